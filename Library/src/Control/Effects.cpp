#include "Vantor/HardwareAPI/Control/Effects.h"

#include <cmath>
#include <utility>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

Vec3 Add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 Sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 Scale(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// A push of magnitude k d - b (v . n) along n, never a pull.
Vec3 Push(const Vec3& n, double depth, const Vec3& velocity, double stiffness, double damping) {
    const double magnitude = stiffness * depth - damping * Dot(velocity, n);
    return magnitude > 0 ? Scale(n, magnitude) : Vec3{0, 0, 0};
}

}  // namespace

Vec3 Spring::Force(const Vec3& position, const Vec3& velocity) {
    const Params p = params_.LoadForCycle();
    return Sub(Scale(Sub(p.anchor, position), p.stiffness), Scale(velocity, p.damping));
}

Vec3 Damper::Force(const Vec3&, const Vec3& velocity) {
    return Scale(velocity, -params_.LoadForCycle().damping);
}

Plane::Params Plane::Normalised(Params params) {
    const double length = std::sqrt(Dot(params.normal, params.normal));
    // A zero normal has no direction to push in: the wall is then inert.
    params.normal = length > 0 ? Scale(params.normal, 1.0 / length) : Vec3{0, 0, 0};
    return params;
}

double Plane::Penetration(const Params& params, const Vec3& position) {
    const double depth = Dot(Sub(params.point, position), params.normal);
    return depth > 0 ? depth : 0.0;
}

Vec3 Plane::Force(const Vec3& position, const Vec3& velocity) {
    const Params p = params_.LoadForCycle();
    const double depth = Penetration(p, position);
    if (depth <= 0) return {0, 0, 0};
    return Push(p.normal, depth, velocity, p.stiffness, p.damping);
}

Vec3 Sphere::Force(const Vec3& position, const Vec3& velocity) {
    const Params p = params_.LoadForCycle();
    const Vec3 offset = Sub(position, p.center);
    const double distance = std::sqrt(Dot(offset, offset));
    if (p.inside) {
        if (distance <= p.radius) return {0, 0, 0};
        const Vec3 inward = Scale(offset, -1.0 / distance);
        return Push(inward, distance - p.radius, velocity, p.stiffness, p.damping);
    }
    if (distance >= p.radius) return {0, 0, 0};
    // At the very center any direction is out; pick one that is fixed.
    const Vec3 outward = distance > 0 ? Scale(offset, 1.0 / distance) : Vec3{0, 0, 1};
    return Push(outward, p.radius - distance, velocity, p.stiffness, p.damping);
}

Vec3 Box::Force(const Vec3& position, const Vec3& velocity) {
    const Params p = params_.LoadForCycle();
    Vec3 force{0, 0, 0};
    for (std::size_t i = 0; i < 3; ++i) {
        Vec3 axis{0, 0, 0};
        if (position[i] < p.lower[i]) {
            axis[i] = 1.0;
            force = Add(force, Push(axis, p.lower[i] - position[i], velocity, p.stiffness, p.damping));
        } else if (position[i] > p.upper[i]) {
            axis[i] = -1.0;
            force = Add(force, Push(axis, position[i] - p.upper[i], velocity, p.stiffness, p.damping));
        }
    }
    return force;
}

Vec3 ConstantForce::Force(const Vec3&, const Vec3&) { return params_.LoadForCycle().force; }

Sum::Sum(std::vector<EffectPtr> parts) : parts_(std::move(parts)) {}

Vec3 Sum::Force(const Vec3& position, const Vec3& velocity) {
    Vec3 total{0, 0, 0};
    for (const EffectPtr& part : parts_) {
        if (part) total = Add(total, part->Force(position, velocity));
    }
    return total;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
