// Haptic effects: the force a servo loop commands each cycle from the arm's
// position and velocity. SI units throughout: m, m/s, N, N/m, N s/m.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

using Vec3 = std::array<double, 3>;

// Parameters that one thread replaces while another reads them each cycle:
// a reader gets the old set or the new one, never half of each, without a
// lock and without waiting on the writer. Writers are serialised among
// themselves.
template <typename P>
class Published {
    static_assert(std::is_trivially_copyable<P>::value, "parameters are copied as bytes");

public:
    explicit Published(const P& initial) { Store(initial); }

    void Store(const P& value) {
        std::lock_guard<std::mutex> lock(writers_);
        StoreSingleWriter(value);
    }

    // For a value that only one thread ever writes: no lock.
    void StoreSingleWriter(const P& value) {
        uint64_t words[kWords] = {};
        std::memcpy(words, &value, sizeof(P));
        seq_.fetch_add(1, std::memory_order_acq_rel);  // odd: a write is under way
        for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_relaxed);
        seq_.fetch_add(1, std::memory_order_release);  // even again: complete
    }

    // The latest complete set, for any thread: waits out a write under way.
    P Load() const {
        P value;
        while (!TryLoad(value)) {
        }
        return value;
    }

    // For the loop's thread, each cycle: never waits. When a write is under
    // way it gives the set it gave last time, which is just as whole.
    P LoadForCycle() const {
        TryLoad(cycle_copy_);
        return cycle_copy_;
    }

private:
    static constexpr std::size_t kWords = (sizeof(P) + 7) / 8;

    bool TryLoad(P& out) const {
        const uint32_t before = seq_.load(std::memory_order_acquire);
        if (before & 1u) return false;
        uint64_t words[kWords];
        for (std::size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) != before) return false;
        std::memcpy(&out, words, sizeof(P));
        return true;
    }

    std::atomic<uint32_t> seq_{0};
    std::array<std::atomic<uint64_t>, kWords> words_{};
    mutable P cycle_copy_{};  // the loop thread's own
    std::mutex writers_;
};

// One effect. Force runs on the loop's thread every cycle: it must not
// allocate, lock or block; a force that is not finite (NaN) says the effect
// failed, and the loop latches a fault. Parameter setters may run on any thread. An
// effect serves one loop at a time.
class Effect {
public:
    virtual ~Effect() = default;
    virtual Vec3 Force(const Vec3& position, const Vec3& velocity) = 0;
};

using EffectPtr = std::shared_ptr<Effect>;

// Pulls towards anchor: k (anchor - p) - b v.
class Spring : public Effect {
public:
    struct Params {
        Vec3 anchor;
        double stiffness;
        double damping;
    };
    explicit Spring(const Params& params) : params_(params) {}
    Params params() const { return params_.Load(); }
    void set_params(const Params& params) { params_.Store(params); }
    Vec3 Force(const Vec3& position, const Vec3& velocity) override;

private:
    Published<Params> params_;
};

// Resists motion: -b v.
class Damper : public Effect {
public:
    struct Params {
        double damping;
    };
    explicit Damper(const Params& params) : params_(params) {}
    Params params() const { return params_.Load(); }
    void set_params(const Params& params) { params_.Store(params); }
    Vec3 Force(const Vec3& position, const Vec3& velocity) override;

private:
    Published<Params> params_;
};

// A wall through point; normal points out of the wall, into free space. It
// pushes out along normal only while the effector is behind the plane, and
// never pulls.
class Plane : public Effect {
public:
    struct Params {
        Vec3 point;
        Vec3 normal;  // made unit length when set
        double stiffness;
        double damping;
    };
    explicit Plane(const Params& params) : params_(Normalised(params)) {}
    Params params() const { return params_.Load(); }
    void set_params(const Params& params) { params_.Store(Normalised(params)); }
    Vec3 Force(const Vec3& position, const Vec3& velocity) override;
    // How far behind the plane position is (0 in free space).
    static double Penetration(const Params& params, const Vec3& position);

private:
    static Params Normalised(Params params);
    Published<Params> params_;
};

// A ball: solid (keeps the effector out) or, with inside, a cage (keeps it in).
class Sphere : public Effect {
public:
    struct Params {
        Vec3 center;
        double radius;
        double stiffness;
        double damping;
        bool inside;
    };
    explicit Sphere(const Params& params) : params_(params) {}
    Params params() const { return params_.Load(); }
    void set_params(const Params& params) { params_.Store(params); }
    Vec3 Force(const Vec3& position, const Vec3& velocity) override;

private:
    Published<Params> params_;
};

// Keeps the effector inside the box, each face a wall.
class Box : public Effect {
public:
    struct Params {
        Vec3 lower;
        Vec3 upper;
        double stiffness;
        double damping;
    };
    explicit Box(const Params& params) : params_(params) {}
    Params params() const { return params_.Load(); }
    void set_params(const Params& params) { params_.Store(params); }
    Vec3 Force(const Vec3& position, const Vec3& velocity) override;

private:
    Published<Params> params_;
};

// The same force wherever the effector is.
class ConstantForce : public Effect {
public:
    struct Params {
        Vec3 force;
    };
    explicit ConstantForce(const Params& params) : params_(params) {}
    Params params() const { return params_.Load(); }
    void set_params(const Params& params) { params_.Store(params); }
    Vec3 Force(const Vec3& position, const Vec3& velocity) override;

private:
    Published<Params> params_;
};

// The sum of other effects, fixed at construction (each keeps its own
// changeable parameters).
class Sum : public Effect {
public:
    explicit Sum(std::vector<EffectPtr> parts);
    const std::vector<EffectPtr>& parts() const { return parts_; }
    Vec3 Force(const Vec3& position, const Vec3& velocity) override;

private:
    std::vector<EffectPtr> parts_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
