// Host-side kinematics of the arm: the planar five-bar linkage on a
// turning base, and the process-wide joint-angle offsets of calibration.
//
// Precision rules: inputs, model values and every named intermediate are
// single precision; sin, cos, atan2 and acos run in double precision on
// single-precision arguments; du, dv, u, v and the sine-cosine parts of pa and
// pb are accumulated in double precision and rounded once.
#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"

#include <cmath>
#include <mutex>

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

namespace {

// The single-precision constants of the computation, not the full-precision
// ones.
constexpr float kPi = 3.141592f;
constexpr float kHalfPi = 1.570796f;
constexpr float kDegenerateLinkage = 1e-6f;

// Constant-initialised (no guard, no dynamic initialisation): readable from
// any thread at any time, and never written after that.
constexpr KinematicModel kModel = {
    0.14f,     // proximal_length_1
    0.14f,     // proximal_length_2
    0.165f,    // distal_length_1
    0.165f,    // distal_length_2
    0.0f,      // joint_spacing
    0.0765f,   // lateral_offset_a
    -0.052f,   // lateral_offset_b
    0.0f,      // v_offset
    {0.0f, 0.0f},                       // base_translation
    0.18645f,  // height_offset
    {0.0f, 0.7071f, 0.0f, 0.7071f},     // base_rotation x, y, z, w (not normalised)
};

// The three offsets are read and replaced as one set. std::mutex and the
// zero array are both constant-initialised, so they exist before any
// dynamic initialiser could run.
std::mutex g_offsets_mutex;
Vector3 g_offsets = {0.0f, 0.0f, 0.0f};

inline double Cos(float x) { return std::cos(static_cast<double>(x)); }
inline double Sin(float x) { return std::sin(static_cast<double>(x)); }

// The end-effector point of the five-bar linkage on its turning base, from
// the three joint angles in radians (already mapped from the arm's degrees).
Vector3 Solve(float t0, float t1, float t2, const Vector3& offsets) {
    const KinematicModel& m = kModel;
    const float a1 = m.proximal_length_1;
    const float a2 = m.proximal_length_2;
    const float b1 = m.distal_length_1;
    const float b2 = m.distal_length_2;
    const float d = m.joint_spacing;

    // Calibration: the measured offsets come off each joint.
    const float th0 = t0 - offsets[0];
    const float th1 = t1 - offsets[1];
    const float th2 = t2 - offsets[2];

    // The vector from one elbow to the other, in the linkage plane.
    const float du = static_cast<float>(static_cast<double>(d) + static_cast<double>(a1) * Cos(th1) -
                                        static_cast<double>(a2) * Cos(th2));
    const float dv =
        static_cast<float>(static_cast<double>(a1) * Sin(th1) - static_cast<double>(a2) * Sin(th2));
    const float phi = static_cast<float>(std::atan2(static_cast<double>(dv), static_cast<double>(du)));
    const float r = std::sqrt(du * du + dv * dv);

    // Direction of the first distal link: the triangle of the two distal
    // links and the elbow-to-elbow distance.
    float psi;
    if (r >= kDegenerateLinkage) {
        const float cos_beta = (b1 * b1 + r * r - b2 * b2) / (2.0f * r * b1);
        const float beta = static_cast<float>(std::acos(static_cast<double>(cos_beta)));
        psi = phi + kPi - beta;
    } else {
        psi = th1;  // the two elbows coincide
    }

    // Where the two distal links meet, in the linkage plane.
    const float u = static_cast<float>(static_cast<double>(d) / 2.0 + static_cast<double>(a1) * Cos(th1) +
                                       static_cast<double>(b1) * Cos(psi));
    const float v =
        static_cast<float>(static_cast<double>(a1) * Sin(th1) + static_cast<double>(b1) * Sin(psi));

    // Turned about the base joint and moved by the fixed offsets.
    const float s = m.lateral_offset_a + m.lateral_offset_b;
    const float n = m.v_offset - v;
    const float pa_turn =
        static_cast<float>(static_cast<double>(s) * Cos(th0) - static_cast<double>(n) * Sin(th0));
    const float pb_turn =
        static_cast<float>(static_cast<double>(s) * Sin(th0) + static_cast<double>(n) * Cos(th0));
    const float pa = m.base_translation[0] + pa_turn;
    const float pb = m.base_translation[1] + pb_turn;
    const float pc = u + m.height_offset;

    // The base's fixed rotation, applied to (-pc, pb, pa); the matrix terms
    // keep their single-precision order so results match the arm's to the digit.
    const float qx = m.base_rotation[0];
    const float qy = m.base_rotation[1];
    const float qz = m.base_rotation[2];
    const float qw = m.base_rotation[3];
    const float r00 = 1.0f - 2.0f * (qy * qy + qz * qz);
    const float r01 = 2.0f * (qx * qy - qz * qw);
    const float r02 = 2.0f * (qx * qz + qy * qw);
    const float r10 = 2.0f * (qx * qy + qz * qw);
    const float r11 = 1.0f - 2.0f * (qx * qx + qz * qz);
    const float r12 = 2.0f * (qy * qz - qx * qw);
    const float r20 = 2.0f * (qx * qz - qy * qw);
    const float r21 = 2.0f * (qy * qz + qx * qw);
    const float r22 = 1.0f - 2.0f * (qx * qx + qy * qy);

    const float e0 = -pc;
    const float e1 = pb;
    const float e2 = pa;
    return Vector3{r00 * e0 + r01 * e1 + r02 * e2,
                   r10 * e0 + r11 * e1 + r12 * e2,
                   r20 * e0 + r21 * e1 + r22 * e2};
}

}  // namespace

const KinematicModel& kinematic_model() { return kModel; }

Vector3 joint_offsets() {
    std::lock_guard<std::mutex> lock(g_offsets_mutex);
    return g_offsets;
}

void set_joint_offsets(const Vector3& offsets) {
    std::lock_guard<std::mutex> lock(g_offsets_mutex);
    g_offsets = offsets;
}

Vector3 forward_kinematics(const Vector3& joint_degrees, const Vector3& offsets) {
    // The arm's degrees into the linkage's radians, each evaluated left to
    // right in single precision.
    const float t0 = (joint_degrees[0] + 90.0f) * kPi / 180.0f;
    const float t1 = (-joint_degrees[1] - 180.0f) * kPi / 180.0f;
    const float t2 = (-joint_degrees[2] - 180.0f) * kPi / 180.0f;
    return Solve(t0, t1, t2, offsets);
}

Vector3 forward_kinematics_at_rest(const Vector3& offsets) {
    return Solve(kHalfPi, -kPi, -kPi, offsets);
}

Vector3 calibration_offsets(const Vector3& measured, const Vector3& reference) {
    return Vector3{(measured[0] - reference[0]) * kPi / 180.0f,
                   -((measured[1] - reference[1]) * kPi) / 180.0f,
                   -((measured[2] - reference[2]) * kPi) / 180.0f};
}

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
