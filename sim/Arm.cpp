#include "Arm.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// Rest pose: linkage open symmetrically, base centred.
constexpr Vec3 kHomeJoints = {0.0, -60.0, -120.0};

// End effector: a point mass with viscous damping.
constexpr double kMass = 0.2;            // kg
constexpr double kDamping = 2.0;         // N s / m
// Position requests: a stiff spring, critically damped.
constexpr double kStiffness = 2000.0;    // N / m
constexpr double kSpringDamping = 40.0;  // N s / m

// Joint-space requests: each joint a damped rotor.
constexpr double kJointInertia = 0.005;       // kg m^2
constexpr double kJointDamping = 0.05;        // N m s / rad
constexpr double kJointStiffness = 50.0;      // N m / rad
constexpr double kJointSpringDamping = 1.0;   // N m s / rad

// Small fixed steps keep the explicit integration stable whatever the host's
// rate, and a held force acting over a request's whole period as on a real
// arm: with one step a request (0.5 ms steps at 4 kHz) a plain wall of any
// stiffness came to rest, far past the sampled wall's bound.
constexpr double kSubstep = 0.0001;  // s

Vec3 finiteOrZero(const Vec3& v) {
    Vec3 out{};
    for (int i = 0; i < 3; ++i) out[i] = std::isfinite(v[i]) ? v[i] : 0.0;
    return out;
}

}  // namespace

Arm::Arm(const Hand& hand) : hand_(hand), joints_(kHomeJoints), position_(forwardKinematics(kHomeJoints)) {
    if (hand_.target.path == Target::Path::Rest) {
        hand_.target.path = Target::Path::Point;
        hand_.target.a = position_;
    }
}

void Arm::advance(Drive drive, const Vec3& rawCommand, double dt) {
    const Vec3 command = finiteOrZero(rawCommand);
    const int steps = dt > 0.0 ? static_cast<int>(std::ceil(dt / kSubstep)) : 0;
    const double h = steps > 0 ? dt / steps : 0.0;
    const bool cartesian = drive == Drive::Force || drive == Drive::Position;

    auto cartesianForce = [&] {
        if (drive == Drive::Force) return command;
        return kStiffness * (command - position_) - kSpringDamping * velocity_;
    };
    auto jointTorque = [&] {
        if (drive == Drive::JointTorque) return command;
        return kJointStiffness * kRadPerDeg * (command - joints_) - kJointSpringDamping * kRadPerDeg * jointVelocities_;
    };

    for (int i = 0; i < steps; ++i) {
        if (cartesian) {
            cartesianStep(cartesianForce() + handForce(), h);
        } else if (hand_.present()) {
            // The hand's force reaches the joints as torques J^T F.
            const Mat3 j = jacobian(joints_);
            const Vec3 f = handForce();
            Vec3 torque = jointTorque();
            for (int c = 0; c < 3; ++c) torque[c] += j[0][c] * f[0] + j[1][c] * f[1] + j[2][c] * f[2];
            jointStep(torque, h);
        } else {
            jointStep(jointTorque(), h);
        }
        time_ += h;
    }

    // What the motors deliver for this request, for the current read-out.
    loadIsForce_ = cartesian;
    load_ = cartesian ? cartesianForce() : jointTorque();
}

Vec3 Arm::jointTorques() const {
    if (!loadIsForce_) return load_;
    const Mat3 j = jacobian(joints_);
    Vec3 torques{};
    for (int c = 0; c < 3; ++c) torques[c] = j[0][c] * load_[0] + j[1][c] * load_[1] + j[2][c] * load_[2];
    return torques;
}

void Arm::cartesianStep(const Vec3& force, double h) {
    const Vec3 acceleration = (1.0 / kMass) * (force - kDamping * velocity_);
    const Vec3 wanted = position_ + h * (velocity_ + h * acceleration);
    const ArmPose reached = inverseKinematics(wanted, {joints_, position_});
    // Velocities follow the motion actually made, so a stop absorbs momentum.
    jointVelocities_ = (1.0 / h) * (reached.joints - joints_);
    velocity_ = (1.0 / h) * (reached.position - position_);
    joints_ = reached.joints;
    position_ = reached.position;
}

void Arm::jointStep(const Vec3& torque, double h) {
    Vec3 next = joints_;
    Vec3 speed = jointVelocities_;
    for (int i = 0; i < 3; ++i) {
        const double radPerS = speed[i] * kRadPerDeg;
        const double accel = (torque[i] - kJointDamping * radPerS) / kJointInertia;
        speed[i] = (radPerS + h * accel) / kRadPerDeg;
        next[i] += h * speed[i];
    }
    const Vec3 limited = clampToLimits(next);
    for (int i = 0; i < 3; ++i)
        if (limited[i] != next[i]) speed[i] = 0.0;
    const Vec3 reached = forwardKinematics(limited);
    velocity_ = (1.0 / h) * (reached - position_);
    jointVelocities_ = speed;
    joints_ = limited;
    position_ = reached;
}

}  // namespace sim
