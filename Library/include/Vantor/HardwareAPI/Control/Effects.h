// Haptic effects: the force a servo loop commands each cycle from the arm's
// position and velocity. SI units throughout: m, m/s, N, N/m, N s/m.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

// A vector of the control layer, in double precision (the arm's own
// Devices::Vector3 is single precision, as it goes on the wire).
using Vector3d = std::array<double, 3>;

// What a cycle tells an effect.
struct EffectInput {
    Vector3d position;  // m
    Vector3d velocity;  // m/s
    double t;           // s since the loop started
    double period;      // s, the loop's period
};

// A force in two parts: the passive part, which only stores or dissipates
// what the hand puts in (walls, springs, dampers, meshes), and the active
// part, which does work on the hand on purpose (a constant push). The loop
// watches the energy of the passive part only.
struct SplitForce {
    Vector3d passive;
    Vector3d active;
};

// One effect. Force runs on the loop's thread every cycle: it must not
// allocate, lock or block. A force that is not finite says the effect failed:
// the loop then commands zero force and latches a fault. Parameter setters
// may run on any thread; a setting out of range throws std::invalid_argument
// and leaves the effect as it was.
class Effect {
public:
    virtual ~Effect() = default;
    virtual Vector3d Force(const EffectInput& input) = 0;
    // Whether the effect does work on the hand on purpose; passive unless it
    // says otherwise.
    virtual bool Active() const { return false; }
    // What the loop calls: Force, as the part that Active says. An effect
    // made of others splits by its parts.
    virtual SplitForce Split(const EffectInput& input) {
        const Vector3d force = Force(input);
        const Vector3d none{0, 0, 0};
        return Active() ? SplitForce{none, force} : SplitForce{force, none};
    }
    // For an effect whose force can fall behind (AsyncEffect): how old, in s,
    // the force the last Force call found was when it was too old to use; 0
    // when it was fresh. The loop asks only after a force that is not finite.
    virtual double Staleness() const { return 0.0; }
    // True for an effect that keeps state for the loop rendering it (an
    // AsyncEffect's input, which has one writer): one running loop at a time
    // renders it, holding a RenderClaim on it. One without may be shared.
    virtual bool KeepsLoopState() const { return false; }
    // How messages name it.
    virtual std::string Name() const { return "an effect"; }
    // The loop's thread, at the first cycle an effect is rendered in a run
    // (a new effect, a start, a reconnection), before Split: an effect with
    // per-loop state starts it from here (a Mesh's proxy at the effector).
    virtual void Restart(const EffectInput& input) { (void)input; }
    // The loop's thread, after Split: the proxy's position, for an effect
    // that has one (a Mesh); false for the others.
    virtual bool Proxy(Vector3d& position) const {
        (void)position;
        return false;
    }
};

using EffectPtr = std::shared_ptr<Effect>;

// A running loop's hold on the effects it renders that keep per-loop state
// (a Sum's parts too), given back when it is destroyed. Throws
// std::runtime_error "<name> is rendered by another ServoLoop; make another"
// when another holder has one of them, and then holds none. One holder may
// claim an effect several times.
class RenderClaim {
public:
    RenderClaim(const EffectPtr& effect, const void* holder);
    ~RenderClaim();
    RenderClaim(const RenderClaim&) = delete;
    RenderClaim& operator=(const RenderClaim&) = delete;

private:
    std::vector<EffectPtr> claimed_;
    const void* holder_;
};

namespace detail {
// An effect's parameters, replaced whole by any thread while the loop reads
// them each cycle without waiting. Defined for the parameter sets below.
template <typename Params>
class ParameterCell {
public:
    explicit ParameterCell(const Params& params);
    ~ParameterCell();
    ParameterCell(const ParameterCell&) = delete;
    ParameterCell& operator=(const ParameterCell&) = delete;
    Params Load() const;
    Params LoadForCycle() const;  // the loop's thread only
    void Store(const Params& params);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
}  // namespace detail

// An effect with a set of parameters: checked (Checked, below, for each
// set), then published whole.
template <typename Params>
class EffectWith : public Effect {
public:
    Params params() const { return cell_.Load(); }
    void set_params(const Params& params) { cell_.Store(Checked(params)); }

protected:
    explicit EffectWith(const Params& params) : cell_(Checked(params)) {}
    Params CycleParams() const { return cell_.LoadForCycle(); }

private:
    detail::ParameterCell<Params> cell_;
};

struct SpringParams {
    Vector3d anchor;
    double stiffness;  // N/m, 0 or more
    double damping;    // N s/m, 0 or more
};
// The parameters as the effect keeps them; std::invalid_argument names a bad one.
SpringParams Checked(SpringParams params);
extern template class detail::ParameterCell<SpringParams>;

// Pulls towards anchor: k (anchor - p) - b v.
class Spring : public EffectWith<SpringParams> {
public:
    using Params = SpringParams;
    explicit Spring(const Params& params) : EffectWith(params) {}
    Vector3d Force(const EffectInput& input) override;
};

struct DamperParams {
    double damping;  // N s/m, 0 or more
};
DamperParams Checked(DamperParams params);
extern template class detail::ParameterCell<DamperParams>;

// Resists motion: -b v.
class Damper : public EffectWith<DamperParams> {
public:
    using Params = DamperParams;
    explicit Damper(const Params& params) : EffectWith(params) {}
    Vector3d Force(const EffectInput& input) override;
};

struct PlaneParams {
    Vector3d point;
    Vector3d normal;  // not zero; made unit length when set
    double stiffness;
    double damping;
};
PlaneParams Checked(PlaneParams params);
extern template class detail::ParameterCell<PlaneParams>;

// A wall through point; normal points out of the wall, into free space. It
// pushes out along normal only while the effector is behind the plane, and
// never pulls.
class Plane : public EffectWith<PlaneParams> {
public:
    using Params = PlaneParams;
    explicit Plane(const Params& params) : EffectWith(params) {}
    Vector3d Force(const EffectInput& input) override;
    // How far behind the plane position is (0 in free space).
    static double Penetration(const Params& params, const Vector3d& position);
};

struct SphereParams {
    Vector3d center;
    double radius;  // m, above 0
    double stiffness;
    double damping;
    bool inside;
};
SphereParams Checked(SphereParams params);
extern template class detail::ParameterCell<SphereParams>;

// A ball: solid (keeps the effector out) or, with inside, a cage (keeps it in).
class Sphere : public EffectWith<SphereParams> {
public:
    using Params = SphereParams;
    explicit Sphere(const Params& params) : EffectWith(params) {}
    Vector3d Force(const EffectInput& input) override;
};

struct BoxParams {
    Vector3d lower;  // below upper on every axis
    Vector3d upper;
    double stiffness;
    double damping;
};
BoxParams Checked(BoxParams params);
extern template class detail::ParameterCell<BoxParams>;

// Keeps the effector inside the box, each face a wall.
class Box : public EffectWith<BoxParams> {
public:
    using Params = BoxParams;
    explicit Box(const Params& params) : EffectWith(params) {}
    Vector3d Force(const EffectInput& input) override;
};

struct ConstantForceParams {
    Vector3d force;  // N
};
ConstantForceParams Checked(ConstantForceParams params);
extern template class detail::ParameterCell<ConstantForceParams>;

// The same force wherever the effector is.
class ConstantForce : public EffectWith<ConstantForceParams> {
public:
    using Params = ConstantForceParams;
    explicit ConstantForce(const Params& params) : EffectWith(params) {}
    Vector3d Force(const EffectInput& input) override;
    bool Active() const override { return true; }
};

// The sum of other effects, fixed at construction (each keeps its own
// changeable parameters). A Sum among the parts gives its own parts: sums are
// kept flat, so a cycle never recurses, however they were built. Its passive
// and active parts are those of its parts.
class Sum : public Effect {
public:
    static constexpr std::size_t kMaxParts = 1024;
    // Throws std::invalid_argument for more than kMaxParts parts.
    explicit Sum(const std::vector<EffectPtr>& parts);
    const std::vector<EffectPtr>& parts() const { return parts_; }
    Vector3d Force(const EffectInput& input) override;
    SplitForce Split(const EffectInput& input) override;
    double Staleness() const override;
    void Restart(const EffectInput& input) override;
    // That of the first part that has one.
    bool Proxy(Vector3d& position) const override;

private:
    std::vector<EffectPtr> parts_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
