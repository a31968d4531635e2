#include "Vantor/HardwareAPI/Control/Effects.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "Published.h"
#include "VectorMath.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

// --- parameters -------------------------------------------------------------------

namespace detail {

template <typename Params>
struct ParameterCell<Params>::Impl {
    explicit Impl(const Params& params) : value(params) {}
    Published<Params> value;
};

template <typename Params>
ParameterCell<Params>::ParameterCell(const Params& params) : impl_(std::make_unique<Impl>(params)) {}
template <typename Params>
ParameterCell<Params>::~ParameterCell() = default;
template <typename Params>
Params ParameterCell<Params>::Load() const {
    return impl_->value.Load();
}
template <typename Params>
Params ParameterCell<Params>::LoadForCycle() const {
    return impl_->value.LoadForCycle();
}
template <typename Params>
void ParameterCell<Params>::Store(const Params& params) {
    impl_->value.Store(params);
}

}  // namespace detail

template class detail::ParameterCell<SpringParams>;
template class detail::ParameterCell<DamperParams>;
template class detail::ParameterCell<PlaneParams>;
template class detail::ParameterCell<SphereParams>;
template class detail::ParameterCell<BoxParams>;
template class detail::ParameterCell<ConstantForceParams>;

namespace {

using vec::Add;
using vec::Dot;
using vec::Scale;
using vec::Sub;


// A push of magnitude k d - b (v . n) along n, never a pull.
Vector3d Push(const Vector3d& n, double depth, const Vector3d& velocity, double stiffness, double damping) {
    const double magnitude = stiffness * depth - damping * Dot(velocity, n);
    return magnitude > 0 ? Scale(n, magnitude) : Vector3d{0, 0, 0};
}

[[noreturn]] void Refuse(const char* name, const std::string& why) {
    throw std::invalid_argument(std::string(name) + " " + why);
}

std::string Text(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string Text(const Vector3d& v) { return "(" + Text(v[0]) + ", " + Text(v[1]) + ", " + Text(v[2]) + ")"; }

void Finite(const char* name, const Vector3d& v) {
    if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2]))
        Refuse(name, "must be three finite numbers, got " + Text(v));
}

// Negative stiffness or damping would add energy: the effect would push the
// hand on by itself.
void Passive(const char* name, double value) {
    if (!(std::isfinite(value) && value >= 0)) Refuse(name, "must be a finite number, 0 or more, got " + Text(value));
}

template <typename Params>
void PassiveGains(const Params& p) {
    Passive("stiffness", p.stiffness);
    Passive("damping", p.damping);
}

}  // namespace

SpringParams Checked(SpringParams p) {
    Finite("anchor", p.anchor);
    PassiveGains(p);
    return p;
}

DamperParams Checked(DamperParams p) {
    Passive("damping", p.damping);
    return p;
}

PlaneParams Checked(PlaneParams p) {
    Finite("point", p.point);
    Finite("normal", p.normal);
    PassiveGains(p);
    // Scaled first, so neither a tiny nor a huge normal under- or overflows.
    const double largest = std::max({std::fabs(p.normal[0]), std::fabs(p.normal[1]), std::fabs(p.normal[2])});
    if (!(largest > 0)) Refuse("normal", "must not be zero: it says which way the wall pushes");
    const Vector3d scaled = Scale(p.normal, 1.0 / largest);
    p.normal = Scale(scaled, 1.0 / std::sqrt(Dot(scaled, scaled)));
    return p;
}

SphereParams Checked(SphereParams p) {
    Finite("center", p.center);
    if (!(std::isfinite(p.radius) && p.radius > 0)) Refuse("radius", "must be a finite number above 0, got " + Text(p.radius));
    PassiveGains(p);
    return p;
}

BoxParams Checked(BoxParams p) {
    Finite("lower", p.lower);
    Finite("upper", p.upper);
    for (int i = 0; i < 3; ++i) {
        if (!(p.lower[i] < p.upper[i]))
            Refuse("lower", "must be below upper on every axis, got " + Text(p.lower) + " and " + Text(p.upper));
    }
    PassiveGains(p);
    return p;
}

ConstantForceParams Checked(ConstantForceParams p) {
    Finite("force", p.force);
    return p;
}

// --- forces -----------------------------------------------------------------------

Vector3d Spring::Force(const EffectInput& in) {
    const Params p = CycleParams();
    return Sub(Scale(Sub(p.anchor, in.position), p.stiffness), Scale(in.velocity, p.damping));
}

Vector3d Damper::Force(const EffectInput& in) { return Scale(in.velocity, -CycleParams().damping); }

double Plane::Penetration(const Params& params, const Vector3d& position) {
    const double depth = Dot(Sub(params.point, position), params.normal);
    return depth > 0 ? depth : 0.0;
}

Vector3d Plane::Force(const EffectInput& in) {
    const Params p = CycleParams();
    const double depth = Penetration(p, in.position);
    if (depth <= 0) return {0, 0, 0};
    return Push(p.normal, depth, in.velocity, p.stiffness, p.damping);
}

Vector3d Sphere::Force(const EffectInput& in) {
    const Params p = CycleParams();
    const Vector3d offset = Sub(in.position, p.center);
    const double distance = std::sqrt(Dot(offset, offset));
    if (p.inside) {
        if (distance <= p.radius) return {0, 0, 0};
        const Vector3d inward = Scale(offset, -1.0 / distance);
        return Push(inward, distance - p.radius, in.velocity, p.stiffness, p.damping);
    }
    if (distance >= p.radius) return {0, 0, 0};
    // At the very center any direction is out; pick one that is fixed.
    const Vector3d outward = distance > 0 ? Scale(offset, 1.0 / distance) : Vector3d{0, 0, 1};
    return Push(outward, p.radius - distance, in.velocity, p.stiffness, p.damping);
}

Vector3d Box::Force(const EffectInput& in) {
    const Params p = CycleParams();
    Vector3d force{0, 0, 0};
    for (std::size_t i = 0; i < 3; ++i) {
        Vector3d axis{0, 0, 0};
        if (in.position[i] < p.lower[i]) {
            axis[i] = 1.0;
            force = Add(force, Push(axis, p.lower[i] - in.position[i], in.velocity, p.stiffness, p.damping));
        } else if (in.position[i] > p.upper[i]) {
            axis[i] = -1.0;
            force = Add(force, Push(axis, in.position[i] - p.upper[i], in.velocity, p.stiffness, p.damping));
        }
    }
    return force;
}

Vector3d ConstantForce::Force(const EffectInput&) { return CycleParams().force; }

namespace {

struct Claims {
    struct Claim {
        const void* holder;
        std::size_t count;
    };
    std::mutex mutex;  // claims are taken and given back by owners, never in a cycle
    std::unordered_map<const Effect*, Claim> held;
};

// Never destroyed: a loop whose thread ends after static destruction gives its claims back then.
Claims& claims() {
    static Claims* c = new Claims;
    return *c;
}

}  // namespace

RenderClaim::RenderClaim(const EffectPtr& effect, const void* holder) : holder_(holder) {
    if (!effect) return;
    const Sum* sum = dynamic_cast<const Sum*>(effect.get());
    const std::vector<EffectPtr> parts = sum != nullptr ? sum->parts() : std::vector<EffectPtr>{effect};
    Claims& c = claims();
    std::lock_guard<std::mutex> lock(c.mutex);
    for (const EffectPtr& part : parts) {
        if (!part->KeepsLoopState()) continue;
        const auto it = c.held.find(part.get());
        if (it != c.held.end() && it->second.holder != holder) {
            for (const EffectPtr& taken : claimed_) {
                const auto mine = c.held.find(taken.get());
                if (--mine->second.count == 0) c.held.erase(mine);
            }
            claimed_.clear();
            throw std::runtime_error(part->Name() + " is rendered by another ServoLoop; make another");
        }
        ++c.held.emplace(part.get(), Claims::Claim{holder, 0}).first->second.count;
        claimed_.push_back(part);
    }
}

RenderClaim::~RenderClaim() {
    Claims& c = claims();
    std::lock_guard<std::mutex> lock(c.mutex);
    for (const EffectPtr& part : claimed_) {
        const auto it = c.held.find(part.get());
        if (--it->second.count == 0) c.held.erase(it);
    }
}

Sum::Sum(const std::vector<EffectPtr>& parts) {
    for (const EffectPtr& part : parts) {
        if (!part) continue;
        if (const auto* sum = dynamic_cast<const Sum*>(part.get())) {
            parts_.insert(parts_.end(), sum->parts_.begin(), sum->parts_.end());
        } else {
            parts_.push_back(part);
        }
        if (parts_.size() > kMaxParts)
            throw std::invalid_argument("a Sum holds at most " + std::to_string(kMaxParts) + " effects");
    }
}

Vector3d Sum::Force(const EffectInput& in) {
    Vector3d total{0, 0, 0};
    for (const EffectPtr& part : parts_) total = Add(total, part->Force(in));
    return total;
}

SplitForce Sum::Split(const EffectInput& in) {
    SplitForce total{{0, 0, 0}, {0, 0, 0}};
    for (const EffectPtr& part : parts_) {
        const SplitForce f = part->Split(in);
        total.passive = Add(total.passive, f.passive);
        total.active = Add(total.active, f.active);
    }
    return total;
}

void Sum::Restart(const EffectInput& in) {
    for (const EffectPtr& part : parts_) part->Restart(in);
}

bool Sum::Proxy(Vector3d& position) const {
    for (const EffectPtr& part : parts_)
        if (part->Proxy(position)) return true;
    return false;
}

double Sum::Staleness() const {
    double oldest = 0.0;
    for (const EffectPtr& part : parts_) oldest = std::max(oldest, part->Staleness());
    return oldest;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
