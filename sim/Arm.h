#pragma once
// The simulated arm. Its state is the joint angles; the end-effector position
// is always the forward kinematics of them, so the joint state and the
// end-effector state the arm reports never disagree.

#include "Hand.h"
#include "Kinematics.h"

namespace sim {

enum class Drive { Force, Position, JointTorque, JointAngle };

class Arm {
public:
    // At rest, with `hand` on it; a spring hand without a target holds the
    // arm at its rest position.
    explicit Arm(const Hand& hand = {});

    // Advances the arm by `dt` seconds under one request: a force (N), a
    // target position (m), joint torques (N m) or target joint angles (deg).
    // The hand's force adds to the request's in every drive.
    void advance(Drive drive, const Vec3& command, double dt);

    const Vec3& joints() const { return joints_; }                  // degrees
    const Vec3& jointVelocities() const { return jointVelocities_; }  // degrees per second
    const Vec3& position() const { return position_; }              // metres
    const Vec3& velocity() const { return velocity_; }              // metres per second
    Vec3 jointTorques() const;                                       // last torques at the motors, N m

private:
    void cartesianStep(const Vec3& force, double h);
    void jointStep(const Vec3& torque, double h);
    Vec3 handForce() const { return hand_.force(position_, velocity_, time_); }

    Hand hand_;
    double time_ = 0.0;  // seconds advanced: the hand's clock
    Vec3 joints_;
    Vec3 jointVelocities_{};
    Vec3 position_;
    Vec3 velocity_{};
    // What the last request asked of the motors: a force, whose joint torques
    // are worked out only when asked for, or the joint torques themselves.
    Vec3 load_{};
    bool loadIsForce_ = false;
};

}  // namespace sim
