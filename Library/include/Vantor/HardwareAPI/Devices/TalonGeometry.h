// Host-side model of the arm: a planar five-bar linkage on a turning base.
#pragma once

#include "Vantor/HardwareAPI/Devices/Vectors.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

struct KinematicModel {
    float proximal_length_1;
    float proximal_length_2;
    float distal_length_1;
    float distal_length_2;
    float joint_spacing;
    float lateral_offset_a;
    float lateral_offset_b;
    float v_offset;
    float base_translation[2];
    float height_offset;
    float base_rotation[4];  // x, y, z, w
};

// The one model of the process; constant, so no thread ever sees it change.
const KinematicModel& kinematic_model();

// Process-wide joint-angle offsets (radians), zero at start. Read and
// replaced as one set.
Vector3 joint_offsets();
void set_joint_offsets(const Vector3& offsets);

// End-effector position for joint angles in degrees, with the given offsets.
Vector3 forward_kinematics(const Vector3& joint_degrees, const Vector3& offsets);
// The position when no joint state arrived: joint angles 0, 0, 0.
Vector3 forward_kinematics_at_rest(const Vector3& offsets);
// Offsets that make `measured` joint angles read as `reference` (degrees).
Vector3 calibration_offsets(const Vector3& measured, const Vector3& reference);

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
