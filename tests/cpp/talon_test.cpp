// The Talon's messages on the in-memory stream (queries, control exchanges,
// the older one-way calls): the bytes of every request, the decoding of every reply, and the defaults after
// a missing, short or mismatched reply. Only the failure tests wait out
// time-outs, with timeout = 1.0 (a missing reply costs two of them).
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"
#include "support/Timing.h"

using Vantor::HardwareAPI::UUID;
using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::Devices::TalonInfo;
using Vantor::HardwareAPI::Devices::TalonState;
using Vantor::HardwareAPI::Devices::Vector3;
using Vantor::HardwareAPI::Devices::Vector4;
using namespace vantor_test;

namespace {

// Counts the "[err]" lines in captured standard error.
int ErrorLines(const std::string& err) {
    int lines = 0;
    for (std::size_t at = err.find("[err] "); at != std::string::npos; at = err.find("[err] ", at + 1))
        ++lines;
    return lines;
}

// 0x00, 0x11, ..., 0xFF.
std::string IdentifierBytes() {
    std::string out;
    for (int i = 0; i < 16; ++i) out.push_back(static_cast<char>(i * 0x11));
    return out;
}

const std::string kIdentifierHex = "00112233445566778899aabbccddeeff";

// Device information: id 0x1234, model 4, hardware 7, firmware 9.
std::string InfoPayload() { return Bytes({0x34, 0x12, 4, 7, 9}) + IdentifierBytes(); }

std::string StateReply(int code, std::initializer_list<float> six) { return Bytes({code}) + FloatBytes(six); }

std::array<float, 6> Join(const TalonState& s) {
    return {s.position[0], s.position[1], s.position[2], s.velocity[0], s.velocity[1], s.velocity[2]};
}

void ExpectVector(const float* actual, std::initializer_list<float> expected) {
    int i = 0;
    for (float e : expected) {
        EXPECT_EQ(actual[i], e) << "index " << i;
        ++i;
    }
}

class TalonTest : public ::testing::Test {
protected:
    TalonTest() : talon(&stream) { talon.timeout = 1.0f; }
    MemoryStream stream;
    Talon talon;
};

}  // namespace

// --- construction -------------------------------------------------------------

TEST(TalonDevice, ConstructionSendsNothing) {
    MemoryStream stream;
    Talon first(&stream);
    Talon second(&stream);
    EXPECT_TRUE(stream.writes.empty());
    EXPECT_FLOAT_EQ(first.timeout, 5.0f);
    EXPECT_EQ(second.stream, &stream);
}

// --- bytes on the wire ----------------------------------------------------------

TEST_F(TalonTest, WakeupWritesCode10Once) {
    stream.Feed(Bytes({11}) + InfoPayload());
    talon.device_wakeup();
    ASSERT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.writes[0], Bytes({10}));
}

TEST_F(TalonTest, OneByteRequests) {
    struct Case {
        const char* name;
        std::string reply;
        void (*call)(Talon&);
        std::string request;
    };
    const std::vector<Case> cases = {
        {"device_wakeup_dict", Bytes({11}) + InfoPayload(), [](Talon& t) { t.device_wakeup_dict(); }, Bytes({10})},
        {"get_device_orientation", Bytes({12}) + FloatBytes({0, 0, 0, 0}),
         [](Talon& t) { t.get_device_orientation(); }, Bytes({12})},
        {"get_temperature", Bytes({170}) + FloatBytes({0}), [](Talon& t) { t.get_temperature(); }, Bytes({170})},
        {"get_motor_currents", Bytes({171}) + FloatBytes({0, 0, 0}), [](Talon& t) { t.get_motor_currents(); },
         Bytes({171})},
        {"get_power_status", Bytes({172, 0}), [](Talon& t) { t.get_power_status(); }, Bytes({172})},
    };
    for (const auto& c : cases) {
        MemoryStream s;
        Talon t(&s);
        s.Feed(c.reply);
        c.call(t);
        ASSERT_EQ(s.writes.size(), 1u) << c.name;
        EXPECT_EQ(s.writes[0], c.request) << c.name << ": " << Hex(s.writes[0]);
        EXPECT_EQ(s.Unread(), 0u) << c.name;
    }
}

TEST_F(TalonTest, ValueQueriesWriteCodeAndSelector) {
    stream.Feed(Bytes({13, 209, 16}) + IdentifierBytes());
    stream.Feed(Bytes({13, 210, 16}) + IdentifierBytes());
    talon.get_device_id();
    talon.get_firmware_version();
    ASSERT_EQ(stream.writes.size(), 2u);
    EXPECT_EQ(stream.writes[0], Bytes({13, 209}));
    EXPECT_EQ(stream.writes[1], Bytes({13, 210}));
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST_F(TalonTest, ForceExchangeWritesThirteenBytesOfTheFirstThreeValues) {
    stream.Feed(StateReply(43, {0, 0, 0, 0, 0, 0}));
    const float force[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    talon.end_effector_force(force);
    ASSERT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.writes[0], Bytes({42}) + FloatBytes({1.0f, 2.0f, 3.0f})) << Hex(stream.writes[0]);
    EXPECT_EQ(stream.writes[0], Bytes({0x2A, 0, 0, 0x80, 0x3F, 0, 0, 0, 0x40, 0, 0, 0x40, 0x40}));
}

TEST_F(TalonTest, ControlRequestsWriteTheirCodes) {
    const float v[3] = {-1.5f, 0.25f, 1e-3f};
    struct Case {
        const char* name;
        int reply_code;
        TalonState (Talon::*call)(const float*);
        int request_code;
    };
    const Case cases[] = {
        {"end_effector_force", 43, &Talon::end_effector_force, 42},
        {"end_effector_position", 43, &Talon::end_effector_position, 44},
        {"joint_torques", 27, &Talon::joint_torques, 26},
        {"joint_angles", 27, &Talon::joint_angles, 28},
    };
    for (const auto& c : cases) {
        MemoryStream s;
        Talon t(&s);
        s.Feed(StateReply(c.reply_code, {0, 0, 0, 0, 0, 0}));
        (t.*c.call)(v);
        ASSERT_EQ(s.writes.size(), 1u) << c.name;
        EXPECT_EQ(s.writes[0], Bytes({c.request_code}) + FloatBytes({-1.5f, 0.25f, 1e-3f})) << c.name;
        EXPECT_EQ(s.Unread(), 0u) << c.name;
    }
}

TEST_F(TalonTest, PositionReadOutsWriteZeroRequests) {
    stream.Feed(StateReply(43, {0, 0, 0, 0, 0, 0}));
    talon.get_end_effector_position(true);
    stream.Feed(StateReply(27, {0, 0, 0, 0, 0, 0}));
    talon.get_end_effector_position(false);
    ASSERT_EQ(stream.writes.size(), 2u);
    EXPECT_EQ(stream.writes[0], Bytes({42}) + FloatBytes({0, 0, 0}));
    EXPECT_EQ(stream.writes[1], Bytes({26}) + FloatBytes({0, 0, 0}));
}

// An exchange is one 13-byte write, the header code and exactly 24 bytes.
TEST_F(TalonTest, ExchangeReadsExactlyItsReply) {
    stream.Feed(StateReply(43, {1, 2, 3, 4, 5, 6}) + Bytes({99}));
    const float zero[3] = {0, 0, 0};
    talon.end_effector_force(zero);
    EXPECT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.Unread(), 1u);
}

// --- replies decoded ---------------------------------------------------------------

TEST_F(TalonTest, DeviceInformationDecoded) {
    stream.Feed(Bytes({11}) + InfoPayload());
    stream.Feed(Bytes({11}) + InfoPayload());
    for (const TalonInfo& info : {talon.device_wakeup(), talon.device_wakeup_dict()}) {
        EXPECT_EQ(info.device_id, 0x1234);
        EXPECT_EQ(info.device_model_number, 4);
        EXPECT_EQ(info.hardware_version, 7);
        EXPECT_EQ(info.firmware_version, 9);
        EXPECT_EQ(info.device_id_ext.hex(), kIdentifierHex);
    }
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST_F(TalonTest, DeviceIdOfHighBytesIsUnsigned) {
    stream.Feed(Bytes({11, 0xFE, 0xFF, 0xF0, 0xF1, 0xF2}) + std::string(16, '\xAA'));
    const TalonInfo info = talon.device_wakeup();
    EXPECT_EQ(info.device_id, 0xFFFE);
    EXPECT_EQ(info.device_model_number, 0xF0);
    EXPECT_EQ(info.hardware_version, 0xF1);
    EXPECT_EQ(info.firmware_version, 0xF2);
    EXPECT_EQ(info.device_id_ext.hex(), std::string(32, 'a'));
}

TEST_F(TalonTest, IdentifierAndFirmwareVersionDecoded) {
    stream.Feed(Bytes({13, 209, 16}) + IdentifierBytes());
    EXPECT_EQ(talon.get_device_id().hex(), kIdentifierHex);
    std::string reversed = IdentifierBytes();
    std::reverse(reversed.begin(), reversed.end());
    stream.Feed(Bytes({13, 210, 16}) + reversed);
    EXPECT_EQ(talon.get_firmware_version().hex(), "ffeeddccbbaa99887766554433221100");
}

// Codes 170 to 172 must be compared as unsigned bytes.
TEST_F(TalonTest, HighCodeRepliesDecoded) {
    stream.Feed(Bytes({170}) + FloatBytes({36.5f}));
    EXPECT_EQ(talon.get_temperature(), 36.5f);

    stream.Feed(Bytes({171}) + FloatBytes({0.5f, -1.25f, 2.0f}));
    const Vector3 currents = talon.get_motor_currents();
    ExpectVector(currents.data(), {0.5f, -1.25f, 2.0f});

    stream.Feed(Bytes({172, 1}));
    EXPECT_TRUE(talon.get_power_status());
    stream.Feed(Bytes({172, 0}));
    EXPECT_FALSE(talon.get_power_status());
    stream.Feed(Bytes({172, 2}));
    EXPECT_TRUE(talon.get_power_status());
    stream.Feed(Bytes({172, 0xFF}));
    EXPECT_TRUE(talon.get_power_status());
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST_F(TalonTest, OrientationInWireOrder) {
    stream.Feed(Bytes({12}) + FloatBytes({0.1f, 0.2f, -0.3f, 0.9f}));
    const Vector4 q = talon.get_device_orientation();
    ExpectVector(q.data(), {0.1f, 0.2f, -0.3f, 0.9f});
}

TEST_F(TalonTest, StateRepliesDecoded) {
    const float request[3] = {0, 0, 0};
    stream.Feed(StateReply(43, {1, 2, 3, 4, 5, 6}));
    TalonState s = talon.end_effector_force(request);
    ExpectVector(s.position.data(), {1, 2, 3});
    ExpectVector(s.velocity.data(), {4, 5, 6});

    stream.Feed(StateReply(43, {-1, -2, -3, -4, -5, -6}));
    s = talon.end_effector_position(request);
    ExpectVector(s.position.data(), {-1, -2, -3});
    ExpectVector(s.velocity.data(), {-4, -5, -6});

    stream.Feed(StateReply(27, {10, 20, 30, 0.5f, 0.25f, 0.125f}));
    s = talon.joint_torques(request);
    ExpectVector(s.position.data(), {10, 20, 30});
    ExpectVector(s.velocity.data(), {0.5f, 0.25f, 0.125f});

    stream.Feed(StateReply(27, {-10, -20, -30, 1, 2, 3}));
    s = talon.joint_angles(request);
    ExpectVector(s.position.data(), {-10, -20, -30});
    ExpectVector(s.velocity.data(), {1, 2, 3});

    stream.Feed(StateReply(43, {7, 8, 9, 10, 11, 12}));
    s = talon.get_end_effector_position(true);
    ExpectVector(s.position.data(), {7, 8, 9});
    ExpectVector(s.velocity.data(), {10, 11, 12});
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST_F(TalonTest, ReplyArrivingInPiecesIsWaitedFor) {
    const std::string reply = StateReply(27, {1, 2, 3, 4, 5, 6});
    for (char c : reply) stream.FeedLater(std::string(1, c));
    const float request[3] = {0, 0, 0};
    const TalonState s = talon.joint_angles(request);
    ExpectVector(s.position.data(), {1, 2, 3});
    ExpectVector(s.velocity.data(), {4, 5, 6});
}

TEST_F(TalonTest, IdentifierLengthByte15GivesZerosWithoutWaiting) {
    stream.Feed(Bytes({13, 209, 15}) + IdentifierBytes());
    vantor_test::CaptureLog();
    const auto start = Clock::now();
    const UUID id = talon.get_device_id();
    const double took = SecondsSince(start);
    const std::string err = vantor_test::CapturedLog();
    EXPECT_EQ(id.hex(), std::string(32, '0'));
    EXPECT_EQ(stream.Unread(), 0u);  // all 17 bytes arrived and were read
    EXPECT_LT(took, 2.5);  // not the 5 s time-out
    EXPECT_EQ(err, "");
}

// --- defaults after failures (these wait out time-outs) ---------------------------

TEST_F(TalonTest, MissingReplyCostsTwoTimeouts) {
    vantor_test::CaptureLog();
    const auto start = Clock::now();
    const float temperature = talon.get_temperature();
    const double took = SecondsSince(start);
    const std::string err = vantor_test::CapturedLog();
    EXPECT_EQ(temperature, 0.0f);
    EXPECT_GT(took, 1.9);
    EXPECT_LT(took, 5.0);
    EXPECT_EQ(ErrorLines(err), 2) << err;
    EXPECT_EQ(err.rfind("[err] Library/src/Device.cpp:58> timeout waiting for header code: [", 0), 0u) << err;
    EXPECT_NE(err.find("Library/src/Device.cpp:87> "), std::string::npos) << err;
    EXPECT_EQ(stream.writes.size(), 1u);
}

TEST_F(TalonTest, ShortWakeupReplyGivesZeros) {
    stream.Feed(Bytes({11}) + InfoPayload().substr(0, 20));
    vantor_test::CaptureLog();
    const TalonInfo info = talon.device_wakeup();
    const std::string err = vantor_test::CapturedLog();
    EXPECT_EQ(info.device_id, 0);
    EXPECT_EQ(info.device_model_number, 0);
    EXPECT_EQ(info.hardware_version, 0);
    EXPECT_EQ(info.firmware_version, 0);
    EXPECT_EQ(info.device_id_ext.hex(), std::string(32, '0'));
    EXPECT_EQ(ErrorLines(err), 1) << err;
    EXPECT_EQ(stream.Unread(), 20u);  // the timed-out read consumed nothing
}

TEST_F(TalonTest, IdentifierAnsweredForTheOtherSelectorGivesZerosAndLeavesItUnread) {
    stream.Feed(Bytes({13, 210, 16}) + IdentifierBytes());
    vantor_test::CaptureLog();
    const UUID id = talon.get_device_id();
    const std::string err = vantor_test::CapturedLog();
    EXPECT_EQ(id.hex(), std::string(32, '0'));
    EXPECT_EQ(ErrorLines(err), 1) << err;  // the drain attempt timed out
    EXPECT_EQ(stream.Unread(), 17u);       // both header codes were read, nothing more
}

TEST_F(TalonTest, MismatchedStateReplyGivesZerosAndLeavesItUnread) {
    stream.Feed(StateReply(43, {1, 2, 3, 4, 5, 6}));
    const float request[3] = {1, 2, 3};
    vantor_test::CaptureLog();
    const TalonState s = talon.joint_angles(request);
    vantor_test::CapturedLog();
    ExpectVector(s.position.data(), {0, 0, 0});
    ExpectVector(s.velocity.data(), {0, 0, 0});
    EXPECT_EQ(stream.Unread(), 24u);
}

TEST_F(TalonTest, ShortJointStateLeavesArraysUnchanged) {
    stream.Feed(Bytes({27}) + FloatBytes({1, 2, 3, 4, 5}));  // 20 of 24 bytes
    float position[3] = {7, 8, 9};
    float velocity[3] = {-7, -8, -9};
    vantor_test::CaptureLog();
    EXPECT_FALSE(talon.ReceiveJointState(position, velocity));
    vantor_test::CapturedLog();
    ExpectVector(position, {7, 8, 9});
    ExpectVector(velocity, {-7, -8, -9});
    EXPECT_TRUE(stream.writes.empty());
}

// --- the older one-way calls --------------------------------------------------------

TEST_F(TalonTest, SendForceFormsWriteTheSameBytes) {
    const float force[3] = {1.0f, 2.0f, 3.0f};
    talon.SendForce(force);
    talon.SendForce(1.0f, 2.0f, 3.0f);
    ASSERT_EQ(stream.writes.size(), 2u);
    EXPECT_EQ(stream.writes[0], Bytes({42}) + FloatBytes({1.0f, 2.0f, 3.0f}));
    EXPECT_EQ(stream.writes[1], stream.writes[0]);
}

TEST_F(TalonTest, SendCallsReadNothingAndReceiveCallsWriteNothing) {
    stream.Feed(Bytes({5}));
    const float v[3] = {1, 2, 3};
    talon.SendDeviceWakeup();
    talon.SendForce(v);
    talon.SendForce(0.0f, 0.0f, 0.0f);
    talon.SendPosition(v);
    talon.SendJointTorques(v);
    talon.SendAngle(v);
    talon.RequestCurrent();
    EXPECT_EQ(stream.Unread(), 1u);
    ASSERT_EQ(stream.writes.size(), 7u);
    EXPECT_EQ(stream.writes[0], Bytes({10}));
    EXPECT_EQ(stream.writes[3], Bytes({44}) + FloatBytes({1, 2, 3}));
    EXPECT_EQ(stream.writes[4], Bytes({26}) + FloatBytes({1, 2, 3}));
    EXPECT_EQ(stream.writes[5], Bytes({28}) + FloatBytes({1, 2, 3}));
    EXPECT_EQ(stream.writes[6], Bytes({171}));

    MemoryStream quiet;
    Talon receiver(&quiet);
    quiet.Feed(Bytes({11}) + InfoPayload() + StateReply(43, {0, 0, 0, 0, 0, 0}) +
               StateReply(27, {0, 0, 0, 0, 0, 0}) + Bytes({171}) + FloatBytes({0, 0, 0}));
    float a[3], b[3];
    receiver.ReceiveDeviceInfo();
    EXPECT_TRUE(receiver.ReceiveState(a, b));
    EXPECT_TRUE(receiver.ReceiveJointState(a, b));
    EXPECT_TRUE(receiver.ReceiveCurrent(a));
    EXPECT_TRUE(quiet.writes.empty());
    EXPECT_EQ(quiet.Unread(), 0u);
}

// Each legacy pair gives the same bytes and the same result as its paired call.
TEST(TalonLegacy, PairsMatchThePairedCalls) {
    const float v[3] = {0.5f, -2.0f, 8.0f};
    const std::string state43 = StateReply(43, {1, 2, 3, 4, 5, 6});
    const std::string state27 = StateReply(27, {-1, -2, -3, -4, -5, -6});

    struct Pair {
        const char* name;
        std::string reply;
        std::array<float, 6> (*legacy)(Talon&, const float*);
        std::array<float, 6> (*paired)(Talon&, const float*);
    };
    const Pair pairs[] = {
        {"force", state43,
         [](Talon& t, const float* x) {
             std::array<float, 6> out{};
             t.SendForce(x);
             t.ReceiveState(out.data(), out.data() + 3);
             return out;
         },
         [](Talon& t, const float* x) {
             return Join(t.end_effector_force(x));
         }},
        {"position", state43,
         [](Talon& t, const float* x) {
             std::array<float, 6> out{};
             t.SendPosition(x);
             t.ReceiveState(out.data(), out.data() + 3);
             return out;
         },
         [](Talon& t, const float* x) {
             return Join(t.end_effector_position(x));
         }},
        {"joint torques", state27,
         [](Talon& t, const float* x) {
             std::array<float, 6> out{};
             t.SendJointTorques(x);
             t.ReceiveJointState(out.data(), out.data() + 3);
             return out;
         },
         [](Talon& t, const float* x) {
             return Join(t.joint_torques(x));
         }},
        {"joint angles", state27,
         [](Talon& t, const float* x) {
             std::array<float, 6> out{};
             t.SendAngle(x);
             t.ReceiveJointState(out.data(), out.data() + 3);
             return out;
         },
         [](Talon& t, const float* x) {
             return Join(t.joint_angles(x));
         }},
        {"currents", Bytes({171}) + FloatBytes({0.25f, 0.5f, 0.75f}),
         [](Talon& t, const float*) {
             std::array<float, 6> out{};
             t.RequestCurrent();
             t.ReceiveCurrent(out.data());
             return out;
         },
         [](Talon& t, const float*) {
             const Vector3 c = t.get_motor_currents();
             return std::array<float, 6>{c[0], c[1], c[2], 0, 0, 0};
         }},
    };
    for (const auto& p : pairs) {
        MemoryStream legacy_stream, paired_stream;
        Talon legacy(&legacy_stream), paired(&paired_stream);
        legacy_stream.Feed(p.reply);
        paired_stream.Feed(p.reply);
        const auto a = p.legacy(legacy, v);
        const auto b = p.paired(paired, v);
        EXPECT_EQ(legacy_stream.writes, paired_stream.writes) << p.name;
        EXPECT_EQ(a, b) << p.name;
        EXPECT_EQ(legacy_stream.Unread(), 0u) << p.name;
        EXPECT_EQ(paired_stream.Unread(), 0u) << p.name;
    }

    MemoryStream legacy_stream, paired_stream;
    Talon legacy(&legacy_stream), paired(&paired_stream);
    legacy_stream.Feed(Bytes({11}) + InfoPayload());
    paired_stream.Feed(Bytes({11}) + InfoPayload());
    legacy.SendDeviceWakeup();
    const TalonInfo a = legacy.ReceiveDeviceInfo();
    const TalonInfo b = paired.device_wakeup();
    EXPECT_EQ(legacy_stream.writes, paired_stream.writes);
    EXPECT_EQ(a.device_id, b.device_id);
    EXPECT_EQ(a.device_model_number, b.device_model_number);
    EXPECT_EQ(a.hardware_version, b.hardware_version);
    EXPECT_EQ(a.firmware_version, b.firmware_version);
    EXPECT_EQ(a.device_id_ext.hex(), b.device_id_ext.hex());
}

TEST(TalonLegacy, ReceiveStateOverwritesExactlyThreeEntriesEach) {
    MemoryStream stream;
    Talon talon(&stream);
    stream.Feed(StateReply(43, {1, 2, 3, 4, 5, 6}));
    float position[5] = {0, 0, 0, 40, 50};
    float velocity[5] = {0, 0, 0, -40, -50};
    EXPECT_TRUE(talon.ReceiveState(position, velocity));
    ExpectVector(position, {1, 2, 3, 40, 50});
    ExpectVector(velocity, {4, 5, 6, -40, -50});
}

// SendJointTorques, then ReceiveState: the 27 reply does not match 43, the
// drain attempt runs and the arrays are left exactly as they were.
TEST(TalonLegacy, ReceiveStateAfterJointTorquesLeavesArraysUnchanged) {
    MemoryStream stream;
    Talon talon(&stream);
    talon.timeout = 1.0f;
    const float torque[3] = {0, 0, 0};
    talon.SendJointTorques(torque);
    stream.Feed(StateReply(27, {1, 2, 3, 4, 5, 6}));
    float position[3] = {11, 12, 13};
    float velocity[3] = {14, 15, 16};
    vantor_test::CaptureLog();
    EXPECT_FALSE(talon.ReceiveState(position, velocity));
    const std::string err = vantor_test::CapturedLog();
    ExpectVector(position, {11, 12, 13});
    ExpectVector(velocity, {14, 15, 16});
    EXPECT_EQ(stream.Unread(), 24u);
    EXPECT_EQ(ErrorLines(err), 1) << err;
}
