// The few vector operations the effects, the proxy and the loop share.
#pragma once

#include "Vantor/HardwareAPI/Control/Effects.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {
namespace vec {

inline Vector3d Add(const Vector3d& a, const Vector3d& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vector3d Sub(const Vector3d& a, const Vector3d& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vector3d Scale(const Vector3d& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
// a + s d
inline Vector3d Along(const Vector3d& a, const Vector3d& d, double s) {
    return {a[0] + s * d[0], a[1] + s * d[1], a[2] + s * d[2]};
}
inline double Dot(const Vector3d& a, const Vector3d& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vector3d Cross(const Vector3d& a, const Vector3d& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace vec
}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
