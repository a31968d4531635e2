#include "Passivity.h"

#include <algorithm>
#include <cmath>

#include "VectorMath.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

using vec::Dot;

// Below this speed (m/s) the arm is at rest: no damping force to speak of,
// and none that the division would make large.
constexpr double kAtRest = 1e-6;


}  // namespace

Passivity::Passivity(bool control, double max_damping, double period_s)
    : control_(control), max_damping_(max_damping), period_s_(period_s) {}

void Passivity::Restart() {
    energy_ = 0;
    held_ = held_damping_ = {0, 0, 0};
}

void Passivity::Forget() {
    Restart();
    next_ = next_damping_ = {0, 0, 0};
    primed_ = false;
}

void Passivity::Observe(const Vector3d& position) {
    if (!(std::isfinite(position[0]) && std::isfinite(position[1]) && std::isfinite(position[2]))) {
        primed_ = false;
    } else {
        if (primed_) {
            const Vector3d moved{position[0] - last_[0], position[1] - last_[1], position[2] - last_[2]};
            energy_ -= Dot(held_, moved);
            removed_ -= Dot(held_damping_, moved);
        }
        last_ = position;
        primed_ = true;
    }
    held_ = next_;  // the exchange that read position sent it
    held_damping_ = next_damping_;
}

Vector3d Passivity::Damping(const Vector3d& v) {
    if (!control_ || !(energy_ < 0)) return {0, 0, 0};
    const double speed2 = Dot(v, v);
    if (!(speed2 > kAtRest * kAtRest)) return {0, 0, 0};
    const double alpha = std::min(max_damping_, -energy_ / (speed2 * period_s_));
    if (!(alpha > 0)) return {0, 0, 0};
    ++cycles_;
    max_used_ = std::max(max_used_, alpha);
    return {-alpha * v[0], -alpha * v[1], -alpha * v[2]};
}

void Passivity::Command(const Vector3d& passive, const Vector3d& damping) {
    next_ = passive;
    next_damping_ = damping;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
