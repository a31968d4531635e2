// The servo loop's safety chain: the limiters every force passes, in the
// order the loop applies them. Each is a plain function of its inputs, so it
// can be tested without a loop, a device or a clock.
//
//   1. CheckReading  the arm's position and velocity are finite numbers
//   2. CheckMotion   the arm is inside the workspace and below the velocity limit
//   3. Clamp         the effect's force is finite, and at most force_limit
//   4. Ramp          the clamped force, scaled in over ramp_s
#pragma once

#include <cstdint>

#include "Vantor/HardwareAPI/Control/ServoLoop.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {
namespace safety {

// BadReading when a coordinate is not finite (comparisons with NaN are all
// false, so no later check would see it); else None.
Fault CheckReading(const Vector3d& position, const Vector3d& velocity);

// VelocityLimit or OutsideWorkspace, else None. The reading must be finite.
Fault CheckMotion(const ServoConfig& config, const Vector3d& position, const Vector3d& velocity);

// The force with its magnitude at most limit and its direction kept, for any
// finite force however large; false, and force untouched, when it is not
// finite.
bool Clamp(Vector3d& force, double limit);
// The factor, 0 to 1, by which Clamp scales a finite force.
double ClampFactor(const Vector3d& force, double limit);

// How far the ramp has come, 0 to 1, elapsed_ns after it (re)started.
double RampFraction(int64_t elapsed_ns, int64_t ramp_ns);
Vector3d Ramp(const Vector3d& force, double fraction);

}  // namespace safety
}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
