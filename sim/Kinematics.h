#pragma once
// Geometry of the arm: a planar five-bar linkage on a base that turns about a
// third joint. Joint angles are in degrees, as the arm reports them; positions
// are in metres, in the frame the host model uses.

#include <array>
#include <cmath>

namespace sim {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  // rows

inline Vec3 operator+(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec3 operator-(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 operator*(double s, const Vec3& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }

constexpr double kPi = 3.14159265358979323846;
constexpr double kRadPerDeg = kPi / 180.0;

// End-effector position for the given joint angles, with zero joint offsets.
Vec3 forwardKinematics(const Vec3& joints);

// d position / d joint angle, per radian: element [i][j] is d p_i / d q_j.
Mat3 jacobian(const Vec3& joints);

// The nearest pose the mechanical stops allow.
Vec3 clampToLimits(const Vec3& joints);

// Joint angles and the end-effector position they give.
struct ArmPose {
    Vec3 joints;
    Vec3 position;
};

// The pose within the stops whose end effector is closest to `target`, found
// by damped Newton steps from `seed` (the arm's current pose, within the
// stops), so the arm never jumps to another assembly of the linkage. Each
// step is solved with the stops the pose is at as constraints, so at a stop
// the arm slides along it as far as the target pulls.
ArmPose inverseKinematics(const Vec3& target, const ArmPose& seed);

}  // namespace sim
