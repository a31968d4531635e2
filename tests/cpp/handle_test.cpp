// Handle messages on the in-memory stream; only the time-out cases wait.
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"

using namespace Vantor::HardwareAPI::Devices;
using namespace vantor_test;

namespace {

// Keeps what each callback saw, in call order.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(const HandleInfoResponse& info) override {
        calls.push_back("info record");
        info_record = info;
    }
    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                             uint8_t device_model_number, uint8_t hardware_version,
                             uint8_t firmware_version) override {
        calls.push_back("info fields");
        info_fields = {device_id, tool_data_remaining, device_model_number, hardware_version,
                       firmware_version};
    }
    void OnReceiveHandleStatusMessage(const HandleStatusResponse& status) override {
        calls.push_back("status record");
        status_record = status;
    }
    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                      uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                      uint8_t user_data_length, const uint8_t* user_data) override {
        calls.push_back("status fields");
        if (throw_from_fields) throw std::runtime_error("from the field-list form");
        status_fields = HandleStatusResponse{};
        status_fields.device_id = device_id;
        std::memcpy(status_fields.quaternion, quaternion, sizeof status_fields.quaternion);
        status_fields.error_flag = error_flag;
        status_fields.hall_effect_sensor_level = hall_effect_sensor_level;
        status_fields.user_data_length = user_data_length;
        std::memcpy(status_fields.user_data, user_data, user_data_length);
    }
    void OnReceiveHandleErrorResponse(const HandleErrorResponse& error) override {
        calls.push_back("error record");
        error_record = error;
    }
    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        calls.push_back("error fields");
        error_fields = {device_id, error_code};
    }

    bool throw_from_fields = false;
    std::vector<std::string> calls;
    HandleInfoResponse info_fields, info_record;
    HandleStatusResponse status_fields, status_record;
    HandleErrorResponse error_fields, error_record;
};

// Claims more bytes than it holds, so a payload read runs off the end and
// fails at once instead of waiting out the time-out.
class ShortStream : public MemoryStream {
public:
    int Available() override { return MemoryStream::Available() + 1024; }
};

using Calls = std::vector<std::string>;

std::string StatusMessage(uint16_t device_id, std::initializer_list<float> quaternion,
                          uint8_t error_flag, uint8_t hall, const std::string& user_data) {
    return Bytes({0xDA, device_id & 0xFF, device_id >> 8, error_flag, hall}) +
           FloatBytes(quaternion) + Bytes({static_cast<int>(user_data.size())}) + user_data;
}

void ExpectSameStatus(const HandleStatusResponse& a, const HandleStatusResponse& b) {
    EXPECT_EQ(a.device_id, b.device_id);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(a.quaternion[k], b.quaternion[k]) << k;
    EXPECT_EQ(a.error_flag, b.error_flag);
    EXPECT_EQ(a.hall_effect_sensor_level, b.hall_effect_sensor_level);
    EXPECT_EQ(a.user_data_length, b.user_data_length);
    EXPECT_EQ(0, std::memcmp(a.user_data, b.user_data, a.user_data_length));
}

// The 19 stuffed bytes of a valid compact frame: device 7, hall 5, buttons 5,
// quaternion [0.5, 0, 0, 0], battery raw 200.
std::vector<int> ExampleFrame() {
    return {0x00, 0x00, 0x00, 0xA5, 0x07, 0x00, 0x00, 0x00, 0x00, 0x40,
            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC8, 0x00, 0xC0};
}

std::string Compact(const std::vector<int>& stuffed) {
    std::string out = Bytes({0xDA});
    for (int b : stuffed) out.push_back(static_cast<char>(b));
    return out;
}

void ExpectRejected(const QuillonStatus& s, uint8_t error_flag) {
    EXPECT_EQ(s.error_flag, error_flag);
    EXPECT_EQ(s.device_id, 0);
    EXPECT_EQ(s.hall_effect_sensor_level, 0);
    EXPECT_EQ(s.buttons, 0);
    for (float q : s.quaternion) EXPECT_EQ(q, 0.0f);
    EXPECT_EQ(s.battery_level, 0.0f);
}

}  // namespace

TEST(HandleSend, EachMessageIsOneWrite) {
    MemoryStream stream;
    Handle handle(&stream);
    handle.SendDeviceWakeup();
    handle.RequestStatus();
    const uint8_t data[] = {0xAA, 0xBB};
    handle.SendHandleState(258, 2, data);
    handle.SendHandleState(7, 0, nullptr);
    // Missing data is never read: the message goes out announcing none.
    handle.SendHandleState(7, 3, nullptr);

    ASSERT_EQ(stream.writes.size(), 5u);
    EXPECT_EQ(stream.writes[0], Bytes({0x0A}));
    EXPECT_EQ(stream.writes[1], Bytes({0xDA}));
    EXPECT_EQ(stream.writes[2], Bytes({0xDB, 0x02, 0x01, 0x02, 0xAA, 0xBB})) << Hex(stream.writes[2]);
    EXPECT_EQ(stream.writes[3], Bytes({0xDB, 0x07, 0x00, 0x00})) << Hex(stream.writes[3]);
    EXPECT_EQ(stream.writes[4], Bytes({0xDB, 0x07, 0x00, 0x00})) << Hex(stream.writes[4]);
}

TEST(HandleSend, LongestHandleState) {
    MemoryStream stream;
    Handle handle(&stream);
    std::string data(255, '\0');
    for (int i = 0; i < 255; ++i) data[i] = static_cast<char>(i);
    handle.SendHandleState(0xFFFF, 255, reinterpret_cast<const uint8_t*>(data.data()));
    ASSERT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.writes[0], Bytes({0xDB, 0xFF, 0xFF, 0xFF}) + data);
}

TEST(HandleReceive, StatusMessageReachesBothFormsInOrder) {
    MemoryStream stream;
    stream.Feed(StatusMessage(0x0102, {0.5f, -0.25f, 1.0f, -1.0f}, 9, 17, Bytes({1, 2, 3})));
    RecordingHandle handle(&stream);
    EXPECT_EQ(handle.Receive(), 24);
    EXPECT_EQ(handle.calls, (Calls{"status fields", "status record"}));
    const HandleStatusResponse& s = handle.status_record;
    EXPECT_EQ(s.device_id, 0x0102);
    EXPECT_EQ(s.quaternion[0], 0.5f);
    EXPECT_EQ(s.quaternion[1], -0.25f);
    EXPECT_EQ(s.quaternion[2], 1.0f);
    EXPECT_EQ(s.quaternion[3], -1.0f);
    EXPECT_EQ(s.error_flag, 9);
    EXPECT_EQ(s.hall_effect_sensor_level, 17);
    ASSERT_EQ(s.user_data_length, 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.user_data), 3), Bytes({1, 2, 3}));
    ExpectSameStatus(handle.status_fields, s);
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST(HandleReceive, StatusUserDataLengthLimits) {
    MemoryStream stream;
    std::string longest(255, '\0');
    for (int i = 0; i < 255; ++i) longest[i] = static_cast<char>(255 - i);
    stream.Feed(StatusMessage(1, {0, 0, 0, 0}, 0, 0, longest));
    stream.Feed(StatusMessage(2, {0, 0, 0, 0}, 0, 0, ""));
    RecordingHandle handle(&stream);

    EXPECT_EQ(handle.Receive(), 276);
    ASSERT_EQ(handle.status_record.user_data_length, 255);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(handle.status_record.user_data), 255), longest);
    ExpectSameStatus(handle.status_fields, handle.status_record);

    // The previous tail still sits in the receive buffer; none of it may show.
    EXPECT_EQ(handle.Receive(), 21);
    EXPECT_EQ(handle.status_record.device_id, 2);
    EXPECT_EQ(handle.status_record.user_data_length, 0);
    for (uint8_t b : handle.status_record.user_data) ASSERT_EQ(b, 0);
    EXPECT_EQ(handle.status_fields.user_data_length, 0);
    EXPECT_EQ(handle.calls.size(), 4u);
}

TEST(HandleReceive, HandleInfoAndErrorResponse) {
    MemoryStream stream;
    stream.Feed(Bytes({0xD0, 0x09, 0x02, 0x01, 0x02, 0x03, 0x04}));
    stream.Feed(Bytes({0xDF, 0x05, 0x00, 0x03}));
    RecordingHandle handle(&stream);

    EXPECT_EQ(handle.Receive(), 6);
    EXPECT_EQ(handle.calls, (Calls{"info fields", "info record"}));
    for (const HandleInfoResponse* info : {&handle.info_fields, &handle.info_record}) {
        EXPECT_EQ(info->tool_data_remaining, 9);
        EXPECT_EQ(info->device_id, 258);
        EXPECT_EQ(info->device_model_number, 2);
        EXPECT_EQ(info->hardware_version, 3);
        EXPECT_EQ(info->firmware_version, 4);
    }

    handle.calls.clear();
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.calls, (Calls{"error fields", "error record"}));
    for (const HandleErrorResponse* error : {&handle.error_fields, &handle.error_record}) {
        EXPECT_EQ(error->device_id, 5);
        EXPECT_EQ(error->error_code, 3);
    }
}

TEST(HandleReceive, UnknownCodeConsumesOnlyItself) {
    MemoryStream stream;
    stream.Feed(Bytes({0x0B, 0x00, 0xDF, 0x05, 0x00, 0x03}));
    RecordingHandle handle(&stream);
    EXPECT_EQ(handle.Receive(), -1);
    EXPECT_EQ(stream.Unread(), 5u);
    // A zero byte cannot be told from a time-out.
    EXPECT_EQ(handle.Receive(), -1);
    EXPECT_TRUE(handle.calls.empty());
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.calls, (Calls{"error fields", "error record"}));
}

TEST(HandleReceive, PlainHandleReadsAndDrops) {
    MemoryStream stream;
    stream.Feed(StatusMessage(1, {1, 0, 0, 0}, 0, 0, Bytes({4, 5})));
    Handle handle(&stream);
    EXPECT_EQ(handle.Receive(), 23);
    EXPECT_EQ(stream.Unread(), 0u);
    EXPECT_TRUE(stream.writes.empty());
}

TEST(HandleReceive, FailedPayloadReadCallsNothing) {
    struct Case {
        std::string bytes;
        int result;
    };
    const std::string status = StatusMessage(1, {0, 0, 0, 0}, 0, 0, Bytes({1, 2, 3, 4}));
    const std::vector<Case> cases = {
        {status.substr(0, 10), 0},  // fixed part cut short: the tail is not read
        {status.substr(0, 24), 21},  // tail cut short
        {Bytes({0xD0, 1, 2, 3}), 0},
        {Bytes({0xDF, 1}), 0},
    };
    for (const Case& c : cases) {
        ShortStream stream;
        stream.Feed(c.bytes);
        RecordingHandle handle(&stream);
        EXPECT_EQ(handle.Receive(), c.result) << Hex(c.bytes);
        EXPECT_TRUE(handle.calls.empty()) << Hex(c.bytes);
    }
}

TEST(HandleReceive, TimedOutTailCallsNothing) {
    MemoryStream stream;
    const std::string status = StatusMessage(1, {0, 0, 0, 0}, 0, 0, Bytes({1, 2, 3, 4, 5}));
    stream.Feed(status.substr(0, 24));
    RecordingHandle handle(&stream);
    handle.timeout = 1.0f;
    vantor_test::CaptureLog();
    EXPECT_EQ(handle.Receive(), 21);
    const std::string err = vantor_test::CapturedLog();
    EXPECT_NE(err.find("[err] Library/src/Device.cpp:87> "), std::string::npos) << err;
    EXPECT_TRUE(handle.calls.empty());
    EXPECT_EQ(stream.Unread(), 2u);  // the partial tail stays in the stream
}

TEST(HandleReceive, ThrowingFieldListFormSkipsRecordForm) {
    MemoryStream stream;
    stream.Feed(StatusMessage(1, {0, 0, 0, 0}, 0, 0, Bytes({7, 8})));
    stream.Feed(Bytes({0xDF, 0x05, 0x00, 0x03}));
    RecordingHandle handle(&stream);
    handle.throw_from_fields = true;
    EXPECT_THROW(handle.Receive(), std::runtime_error);
    EXPECT_EQ(handle.calls, (Calls{"status fields"}));
    EXPECT_EQ(stream.Unread(), 4u);  // the whole reply was read first
    EXPECT_EQ(handle.Receive(), 3);
}

TEST(HandleQuillon, DecodesTheExampleFrame) {
    MemoryStream stream;
    stream.Feed(Compact(ExampleFrame()));
    Handle handle(&stream);
    const QuillonStatus s = handle.GetQuillonStatus();
    EXPECT_EQ(s.device_id, 7);
    EXPECT_EQ(s.error_flag, 0);
    EXPECT_EQ(s.hall_effect_sensor_level, 5);
    EXPECT_EQ(s.buttons, 5);
    EXPECT_EQ(s.quaternion[0], 0.5f);
    EXPECT_EQ(s.quaternion[1], 0.0f);
    EXPECT_EQ(s.quaternion[2], 0.0f);
    EXPECT_EQ(s.quaternion[3], 0.0f);
    EXPECT_EQ(s.battery_level, 4.0f);
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST(HandleQuillon, FieldRangesAndOrder) {
    std::vector<int> frame = ExampleFrame();
    frame[2] = 0x2A;                   // device error flag passed on as is
    frame[3] = 0xFF;                   // hall 31, buttons 7
    frame[4] = 0xFE;
    frame[8] = 0x00, frame[9] = 0x80;  // -1.0
    frame[10] = 0xFF, frame[11] = 0x7F;  // 32767 / 32768
    frame[12] = 0xFF, frame[13] = 0xFF;  // -1 / 32768
    frame[14] = 0x01, frame[15] = 0x00;  // 1 / 32768
    frame[16] = 0xFF;
    MemoryStream stream;
    stream.Feed(Compact(frame));
    Handle handle(&stream);
    const QuillonStatus s = handle.GetQuillonStatus();
    EXPECT_EQ(s.error_flag, 0x2A);
    EXPECT_EQ(s.hall_effect_sensor_level, 31);
    EXPECT_EQ(s.buttons, 7);
    EXPECT_EQ(s.device_id, 0xFE);
    EXPECT_EQ(s.quaternion[0], -1.0f);
    EXPECT_EQ(s.quaternion[1], 32767.0f / 32768.0f);
    EXPECT_EQ(s.quaternion[2], -1.0f / 32768.0f);
    EXPECT_EQ(s.quaternion[3], 1.0f / 32768.0f);
    EXPECT_EQ(s.battery_level, static_cast<float>(3.0 + 255 * 0.005));
}

TEST(HandleQuillon, StuffingDecidesTheFrameLength) {
    auto read = [](const std::vector<int>& stuffed) {
        MemoryStream stream;
        stream.Feed(Compact(stuffed));
        Handle handle(&stream);
        return handle.GetQuillonStatus();
    };

    // An escape pair early leaves one byte short of 18.
    std::vector<int> early = ExampleFrame();
    early[5] = 0xDB, early[6] = 0xDC;
    ExpectRejected(read(early), 1);

    // A pair at 17 takes the nineteenth byte and completes the frame.
    std::vector<int> last = ExampleFrame();
    last[17] = 0xDB, last[18] = 0xDC;
    const QuillonStatus s = read(last);
    EXPECT_EQ(s.error_flag, 0);
    EXPECT_EQ(s.device_id, 7);
    EXPECT_EQ(s.battery_level, 4.0f);

    // An end byte inside the frame drops it.
    std::vector<int> ended = ExampleFrame();
    ended[10] = 0xC0;
    ExpectRejected(read(ended), 1);
}

TEST(HandleQuillon, SkipsOtherCodesFirst) {
    MemoryStream stream;
    stream.Feed(Bytes({0x0B, 0xD0, 0x01}) + Compact(ExampleFrame()));
    Handle handle(&stream);
    const QuillonStatus s = handle.GetQuillonStatus();
    EXPECT_EQ(s.error_flag, 0);
    EXPECT_EQ(s.device_id, 7);
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST(HandleQuillon, ShortReadIsABadFrame) {
    ShortStream stream;
    stream.Feed(Compact(ExampleFrame()).substr(0, 11));
    Handle handle(&stream);
    ExpectRejected(handle.GetQuillonStatus(), 1);
}

TEST(HandleQuillon, SilenceGivesNoFrame) {
    MemoryStream stream;
    Handle handle(&stream);
    handle.timeout = 1.0f;
    vantor_test::CaptureLog();
    ExpectRejected(handle.GetQuillonStatus(), 2);

    // Silence after another code ends the skip instead of waiting on.
    stream.Feed(Bytes({0x0B}));
    ExpectRejected(handle.GetQuillonStatus(), 2);
    const std::string err = vantor_test::CapturedLog();
    EXPECT_NE(err.find("[err] Library/src/Device.cpp:58> timeout waiting for header code"),
              std::string::npos)
        << err;
    EXPECT_EQ(stream.Unread(), 0u);
}
