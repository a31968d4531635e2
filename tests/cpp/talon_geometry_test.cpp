// Host-side geometry: the kinematic model, the four reference
// poses, the read-out through a Talon, and calibration with the process-wide
// joint-angle offsets. Tests that change the offsets reset them to zero.
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"

using namespace Vantor::HardwareAPI::Devices;
using namespace vantor_test;

namespace {

const Vector3 kNoOffsets = {0.0f, 0.0f, 0.0f};

std::string JointState(float j0, float j1, float j2) {
    return Bytes({27}) + FloatBytes({j0, j1, j2, 0.5f, 0.5f, 0.5f});
}

// Equal to the reference digits: within half a unit of the last one.
void ExpectDigits(const Vector3& p, double x, double y, double z, double half_unit_x, double half_unit_y,
                  double half_unit_z) {
    EXPECT_NEAR(p[0], x, half_unit_x);
    EXPECT_NEAR(p[1], y, half_unit_y);
    EXPECT_NEAR(p[2], z, half_unit_z);
}

void ExpectClose(const Vector3& a, const Vector3& b, float tolerance) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], tolerance) << "component " << i;
}

class TalonGeometryTest : public ::testing::Test {
protected:
    void SetUp() override { set_joint_offsets(kNoOffsets); }
    void TearDown() override { set_joint_offsets(kNoOffsets); }
};

}  // namespace

// --- the model ----------------------------------------------------------------

TEST(TalonModel, HoldsTheArmDimensionsAndNeverChanges) {
    const KinematicModel& m = kinematic_model();
    EXPECT_EQ(&m, &kinematic_model());
    EXPECT_EQ(m.proximal_length_1, 0.14f);
    EXPECT_EQ(m.proximal_length_2, 0.14f);
    EXPECT_EQ(m.distal_length_1, 0.165f);
    EXPECT_EQ(m.distal_length_2, 0.165f);
    EXPECT_EQ(m.joint_spacing, 0.0f);
    EXPECT_EQ(m.lateral_offset_a, 0.0765f);
    EXPECT_EQ(m.lateral_offset_b, -0.052f);
    EXPECT_EQ(m.v_offset, 0.0f);
    EXPECT_EQ(m.base_translation[0], 0.0f);
    EXPECT_EQ(m.base_translation[1], 0.0f);
    EXPECT_EQ(m.height_offset, 0.18645f);
    EXPECT_EQ(m.base_rotation[0], 0.0f);
    EXPECT_EQ(m.base_rotation[1], 0.7071f);
    EXPECT_EQ(m.base_rotation[2], 0.0f);
    EXPECT_EQ(m.base_rotation[3], 0.7071f);

    const Vector3 before = forward_kinematics({30, -45, -135}, kNoOffsets);
    MemoryStream stream;
    Talon talon(&stream);
    EXPECT_EQ(forward_kinematics({30, -45, -135}, kNoOffsets), before);
    EXPECT_TRUE(stream.writes.empty());
}

// --- the four reference poses ----------------------------------------------------

TEST(TalonKinematics, ZeroAnglesElbowsCoincide) {
    const Vector3 p = forward_kinematics({0, 0, 0}, kNoOffsets);
    ExpectDigits(p, 0.0000021, 0.0245, -0.11855, 0.00000005, 0.00005, 0.000005);
}

TEST(TalonKinematics, Minus90Minus90) {
    const Vector3 p = forward_kinematics({0, -90, -90}, kNoOffsets);
    ExpectDigits(p, -0.3050, 0.0245, 0.18644, 0.00005, 0.00005, 0.000005);
}

TEST(TalonKinematics, Minus60Minus120) {
    const Vector3 p = forward_kinematics({0, -60, -120}, kNoOffsets);
    ExpectDigits(p, -0.27066, 0.0245, 0.18644, 0.000005, 0.00005, 0.000005);
}

TEST(TalonKinematics, BaseTurned30) {
    const Vector3 p = forward_kinematics({30, -45, -135}, kNoOffsets);
    ExpectDigits(p, -0.21230, -0.09428, 0.18644, 0.000005, 0.000005, 0.000005);
}

// The fallback angles 1.570796 and -3.141592 are exactly those that joint
// angles of 0, 0, 0 give in single precision.
TEST(TalonKinematics, AtRestIsZeroJointAngles) {
    EXPECT_EQ(forward_kinematics_at_rest(kNoOffsets), forward_kinematics({0, 0, 0}, kNoOffsets));
    const Vector3 offsets = {0.1f, -0.2f, 0.3f};
    EXPECT_EQ(forward_kinematics_at_rest(offsets), forward_kinematics({0, 0, 0}, offsets));
}

TEST(TalonKinematics, CalibrationOffsetsFormula) {
    const Vector3 o = calibration_offsets({0, 0, 0}, {10, 20, 30});
    EXPECT_EQ(o[0], (0.0f - 10.0f) * 3.141592f / 180.0f);
    EXPECT_EQ(o[1], -((0.0f - 20.0f) * 3.141592f) / 180.0f);
    EXPECT_EQ(o[2], -((0.0f - 30.0f) * 3.141592f) / 180.0f);
    const Vector3 same = calibration_offsets({12, -34, 56}, {12, -34, 56});
    EXPECT_EQ(same[0], 0.0f);
    EXPECT_EQ(same[1], 0.0f);
    EXPECT_EQ(same[2], 0.0f);
}

// --- read-out through a Talon --------------------------------------------------------

TEST_F(TalonGeometryTest, HostReadOutComputesFromTheJointState) {
    MemoryStream stream;
    Talon talon(&stream);
    stream.Feed(JointState(30, -45, -135));
    const TalonState s = talon.get_end_effector_position(false);
    ASSERT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.writes[0], Bytes({26}) + FloatBytes({0, 0, 0}));
    EXPECT_EQ(s.position, forward_kinematics({30, -45, -135}, kNoOffsets));
    EXPECT_EQ(s.velocity, (Vector3{0, 0, 0}));
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST_F(TalonGeometryTest, HostReadOutWithFailedReplyUsesZeroJointAngles) {
    const Vector3 offsets = {0.05f, -0.1f, 0.2f};
    set_joint_offsets(offsets);
    MemoryStream stream;
    Talon talon(&stream);
    talon.timeout = 1.0f;
    stream.Feed(Bytes({27}) + FloatBytes({10, 20, 30}));  // short: 12 of 24 bytes
    vantor_test::CaptureLog();
    const TalonState s = talon.get_end_effector_position(false);
    vantor_test::CapturedLog();
    EXPECT_EQ(s.position, forward_kinematics({0, 0, 0}, offsets));
    EXPECT_NE(s.position, (Vector3{0, 0, 0}));
    EXPECT_EQ(s.velocity, (Vector3{0, 0, 0}));
}

// --- calibration ---------------------------------------------------------------------------

TEST_F(TalonGeometryTest, ReferenceEqualToMeasuredLeavesZeroOffsets) {
    MemoryStream stream;
    Talon talon(&stream);
    stream.Feed(JointState(12, -34, 56));
    const float angles[3] = {12, -34, 56};
    talon.adjust_angles(angles);
    const Vector3 o = joint_offsets();
    EXPECT_EQ(o[0], 0.0f);
    EXPECT_EQ(o[1], 0.0f);
    EXPECT_EQ(o[2], 0.0f);
    ASSERT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.writes[0], Bytes({26}) + FloatBytes({0, 0, 0}));
}

TEST_F(TalonGeometryTest, CalibrationRoundTrip) {
    MemoryStream stream;
    Talon talon(&stream);

    // The reference: the arm reads (10, 20, 30), no offsets.
    stream.Feed(JointState(10, 20, 30));
    const Vector3 reference = talon.get_end_effector_position(false).position;

    // Calibrate while the arm reads (0, 0, 0), then read out at that pose.
    stream.Feed(JointState(0, 0, 0));
    const float angles[4] = {10, 20, 30, 99};  // the fourth value is ignored
    talon.adjust_angles(angles);
    EXPECT_EQ(joint_offsets(), calibration_offsets({0, 0, 0}, {10, 20, 30}));
    stream.Feed(JointState(0, 0, 0));
    const Vector3 calibrated = talon.get_end_effector_position(false).position;

    ExpectClose(calibrated, reference, 1e-6f);
    EXPECT_EQ(stream.Unread(), 0u);
    ASSERT_EQ(stream.writes.size(), 3u);
    for (const auto& w : stream.writes) EXPECT_EQ(w, Bytes({26}) + FloatBytes({0, 0, 0}));
}

TEST_F(TalonGeometryTest, CalibrationWithFailedReplyUsesZeroMeasuredAngles) {
    MemoryStream stream;
    Talon talon(&stream);
    talon.timeout = 1.0f;
    stream.Feed(JointState(5, 5, 5).substr(0, 10));  // short reply
    const float angles[3] = {10, 20, 30};
    vantor_test::CaptureLog();
    talon.adjust_angles(angles);
    vantor_test::CapturedLog();
    EXPECT_EQ(joint_offsets(), calibration_offsets({0, 0, 0}, {10, 20, 30}));
}

TEST_F(TalonGeometryTest, OffsetsSurviveANewTalonAndAreShared) {
    MemoryStream first_stream;
    {
        Talon first(&first_stream);
        first_stream.Feed(JointState(0, 0, 0));
        const float angles[3] = {10, 20, 30};
        first.adjust_angles(angles);
    }
    const Vector3 calibrated = calibration_offsets({0, 0, 0}, {10, 20, 30});
    EXPECT_EQ(joint_offsets(), calibrated);

    MemoryStream second_stream;  // another arm
    Talon second(&second_stream);
    EXPECT_EQ(joint_offsets(), calibrated);
    second_stream.Feed(JointState(0, 0, 0));
    EXPECT_EQ(second.get_end_effector_position(false).position, forward_kinematics({0, 0, 0}, calibrated));
}

// The offsets are read and replaced as one set: a reader running beside a
// calibrating thread sees one set or the other, never a mix.
TEST_F(TalonGeometryTest, OffsetsAreNeverSeenHalfReplaced) {
    const Vector3 a = {1.0f, 1.0f, 1.0f};
    const Vector3 b = {-2.0f, -2.0f, -2.0f};
    set_joint_offsets(a);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) set_joint_offsets(i % 2 ? a : b);
    });
    int mixed = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < until) {
        for (int i = 0; i < 1000; ++i) {
            const Vector3 o = joint_offsets();
            if (o != a && o != b) ++mixed;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
}
