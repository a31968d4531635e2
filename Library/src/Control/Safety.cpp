#include "Safety.h"

#include <algorithm>
#include <cmath>

namespace Vantor {
namespace HardwareAPI {
namespace Control {
namespace safety {

namespace {

bool Finite(const Vector3d& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// A vector's length is largest × shape, where shape (1 to √3) is the length
// of v / largest: neither can overflow, however large v is.
double Largest(const Vector3d& v) { return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])}); }

double Shape(const Vector3d& v, double largest) {
    const double x = v[0] / largest, y = v[1] / largest, z = v[2] / largest;
    return std::sqrt(x * x + y * y + z * z);
}

}  // namespace

Fault CheckReading(const Vector3d& position, const Vector3d& velocity) {
    return Finite(position) && Finite(velocity) ? Fault::None : Fault::BadReading;
}

Fault CheckMotion(const ServoConfig& config, const Vector3d& position, const Vector3d& velocity) {
    if (config.velocity_limit) {
        const double largest = Largest(velocity);
        if (largest > 0 && largest > *config.velocity_limit / Shape(velocity, largest)) return Fault::VelocityLimit;
    }
    if (config.workspace) {
        for (int i = 0; i < 3; ++i) {
            if (position[i] < config.workspace->lower[i] || position[i] > config.workspace->upper[i])
                return Fault::OutsideWorkspace;
        }
    }
    return Fault::None;
}

bool Clamp(Vector3d& force, double limit) {
    if (!Finite(force)) return false;
    const double largest = Largest(force);
    if (largest == 0) return true;
    const double shape = Shape(force, largest);
    if (largest <= limit / shape) return true;
    for (double& f : force) f = f / largest * (limit / shape);
    return true;
}

double ClampFactor(const Vector3d& force, double limit) {
    const double largest = Largest(force);
    if (!(largest > 0)) return 1.0;
    const double shape = Shape(force, largest);
    return largest <= limit / shape ? 1.0 : (limit / shape) / largest;
}

double RampFraction(int64_t elapsed_ns, int64_t ramp_ns) {
    if (ramp_ns <= 0) return 1.0;
    if (elapsed_ns <= 0) return 0.0;
    return std::min(1.0, static_cast<double>(elapsed_ns) / static_cast<double>(ramp_ns));
}

Vector3d Ramp(const Vector3d& force, double fraction) {
    return {force[0] * fraction, force[1] * fraction, force[2] * fraction};
}

}  // namespace safety
}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
