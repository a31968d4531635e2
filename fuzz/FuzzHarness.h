// Feeds arbitrary bytes to a device as if the device had sent them, for every
// reply a Talon or a Handle reads. Shared by the libFuzzer targets and the
// regression test that replays their corpora and crash inputs, so both run
// the same logic.
//
// The bytes go through the tests' MemoryStream, set to end the exchange as
// soon as the device waits for a byte past the input (EndWhenDry): a missing
// byte costs no time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"
#include "support/MemoryStream.h"

namespace vantor_fuzz {

namespace Devices = Vantor::HardwareAPI::Devices;
using Devices::Vector3;

// Stops the run the way a sanitizer report does, so libFuzzer keeps the input.
inline void Check(bool ok) {
    if (!ok) std::abort();
}

// The input as what the device sent, ending at its last byte.
inline void Load(vantor_test::MemoryStream& stream, const uint8_t* data, std::size_t size) {
    stream.Feed(std::string(reinterpret_cast<const char*>(data), size));
    stream.EndWhenDry();
}

// A device that never waits for long, even if the stream were to keep it
// waiting; 0 or less would wait forever.
template <typename D>
void Prepare(D& device) {
    device.timeout = 0.001f;
}

// Runs one operation until the input is used up or the stream has failed.
// Each run reads at least one byte or fails the stream, so this ends.
template <typename Op>
void Repeat(vantor_test::MemoryStream& stream, Op op) {
    while (stream.good()) op();
}

inline bool SameBits(const void* a, const void* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// --- Talon --------------------------------------------------------------------

template <typename Op>
void RunTalon(const uint8_t* data, std::size_t size, Op op) {
    // The offsets are process-wide: start every input from the same ones,
    // and leave them as they were for whatever runs next in the process.
    const Vector3 saved = Devices::joint_offsets();
    Devices::set_joint_offsets({0.0f, 0.0f, 0.0f});
    vantor_test::MemoryStream stream;
    Load(stream, data, size);
    Devices::Talon talon(&stream);
    Prepare(talon);
    Repeat(stream, [&] { op(talon); });
    Devices::set_joint_offsets(saved);
}

// ReceiveState, ReceiveJointState, ReceiveCurrent: on success the outputs
// hold the payload just read, on failure they are left exactly as passed in.
template <typename Receive>
void RunTalonReceive(const uint8_t* data, std::size_t size, std::size_t floats, Receive receive) {
    vantor_test::MemoryStream stream;
    Load(stream, data, size);
    Devices::Talon talon(&stream);
    Prepare(talon);
    Repeat(stream, [&] {
        float out[6];
        for (std::size_t i = 0; i < 6; ++i) out[i] = -1234.5f - static_cast<float>(i);
        float before[6];
        std::memcpy(before, out, sizeof out);
        if (receive(talon, out, out + 3)) {
            const std::size_t bytes = floats * sizeof(float);
            Check(stream.Consumed() >= bytes);
            Check(SameBits(out, stream.memory.data.data() + stream.Consumed() - bytes, bytes));
            Check(SameBits(out + floats, before + floats, (6 - floats) * sizeof(float)));
        } else {
            Check(SameBits(out, before, sizeof out));
        }
    });
}

// --- Handle ---------------------------------------------------------------------

// Reads every byte each callback is handed, so that a pointer or length past
// what it may read shows up under AddressSanitizer, and checks that the record
// form follows the field-list form with the same values.
class ReadingHandle : public Devices::Handle {
public:
    using Handle::Handle;

    int field_calls = 0;
    int record_calls = 0;
    volatile uint8_t sink = 0;

    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t device_model_number,
                             uint8_t hardware_version, uint8_t firmware_version) override {
        Check(field_calls == record_calls);
        ++field_calls;
        info_ = {};
        info_.device_id = device_id;
        info_.tool_data_remaining = tool_data_remaining;
        info_.device_model_number = device_model_number;
        info_.hardware_version = hardware_version;
        info_.firmware_version = firmware_version;
    }
    void OnReceiveHandleInfo(const Devices::HandleInfoResponse& info) override {
        ++record_calls;
        Check(record_calls == field_calls);
        Check(info.device_id == info_.device_id && info.tool_data_remaining == info_.tool_data_remaining &&
              info.device_model_number == info_.device_model_number &&
              info.hardware_version == info_.hardware_version && info.firmware_version == info_.firmware_version);
    }

    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                                      uint8_t hall_effect_sensor_level, uint8_t user_data_length,
                                      const uint8_t* user_data) override {
        Check(field_calls == record_calls);
        ++field_calls;
        Check(quaternion != nullptr && user_data != nullptr);
        status_ = {};
        status_.device_id = device_id;
        std::memcpy(status_.quaternion, quaternion, sizeof status_.quaternion);
        status_.error_flag = error_flag;
        status_.hall_effect_sensor_level = hall_effect_sensor_level;
        status_.user_data_length = user_data_length;
        for (unsigned i = 0; i < user_data_length; ++i) status_.user_data[i] = user_data[i];
    }
    void OnReceiveHandleStatusMessage(const Devices::HandleStatusResponse& status) override {
        ++record_calls;
        Check(record_calls == field_calls);
        Check(status.device_id == status_.device_id && status.error_flag == status_.error_flag &&
              status.hall_effect_sensor_level == status_.hall_effect_sensor_level &&
              status.user_data_length == status_.user_data_length);
        Check(SameBits(status.quaternion, status_.quaternion, sizeof status.quaternion));
        // Only the first user_data_length bytes carry data; the rest stay 0.
        Check(SameBits(status.user_data, status_.user_data, sizeof status.user_data));
        Touch(&status, sizeof status);
    }

    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        Check(field_calls == record_calls);
        ++field_calls;
        error_ = {};
        error_.device_id = device_id;
        error_.error_code = error_code;
    }
    void OnReceiveHandleErrorResponse(const Devices::HandleErrorResponse& error) override {
        ++record_calls;
        Check(record_calls == field_calls);
        Check(error.device_id == error_.device_id && error.error_code == error_.error_code);
    }

private:
    void Touch(const void* p, std::size_t n) {
        const uint8_t* bytes = static_cast<const uint8_t*>(p);
        uint8_t x = 0;
        for (std::size_t i = 0; i < n; ++i) x = static_cast<uint8_t>(x ^ bytes[i]);
        sink = x;
    }

    Devices::HandleInfoResponse info_;
    Devices::HandleStatusResponse status_;
    Devices::HandleErrorResponse error_;
};

inline void HandleReceive(const uint8_t* data, std::size_t size) {
    vantor_test::MemoryStream stream;
    Load(stream, data, size);
    ReadingHandle handle(&stream);
    Prepare(handle);
    Repeat(stream, [&] {
        const std::size_t before = stream.Consumed();
        const int count = handle.Receive();
        Check(handle.field_calls == handle.record_calls);
        // At most the fixed status part and a 255-byte tail.
        Check(count >= -1 && count <= 21 + 255);
        // Framing: a complete reply is its header code and exactly its payload.
        if (count >= 0 && stream.good()) Check(stream.Consumed() - before == 1 + static_cast<std::size_t>(count));
    });
}

inline void HandleQuillonStatus(const uint8_t* data, std::size_t size) {
    vantor_test::MemoryStream stream;
    Load(stream, data, size);
    Devices::Handle handle(&stream);
    Prepare(handle);
    Repeat(stream, [&] {
        const Devices::QuillonStatus s = handle.GetQuillonStatus();
        Check(s.hall_effect_sensor_level <= 31 && s.buttons <= 7);
        for (float q : s.quaternion) Check(q >= -1.0f && q < 1.0f);
        Check(s.battery_level == 0.0f || (s.battery_level >= 3.0f && s.battery_level <= 4.275f));
    });
}

// --- the targets ------------------------------------------------------------------

using TargetFunction = void (*)(const uint8_t* data, std::size_t size);

struct Target {
    const char* name;
    TargetFunction run;
};

inline const float kZero3[3] = {0.0f, 0.0f, 0.0f};
inline const float kReference[3] = {10.0f, -20.0f, 30.0f};

inline const Target kTargets[] = {
    {"talon_device_wakeup",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.device_wakeup(); }); }},
    {"talon_get_device_id",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.get_device_id(); }); }},
    {"talon_get_firmware_version",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.get_firmware_version(); }); }},
    {"talon_get_motor_currents",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.get_motor_currents(); }); }},
    {"talon_get_device_orientation",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.get_device_orientation(); }); }},
    {"talon_get_power_status",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.get_power_status(); }); }},
    {"talon_get_temperature",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.get_temperature(); }); }},
    {"talon_end_effector_force",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.end_effector_force(kZero3); }); }},
    {"talon_joint_torques",
     [](const uint8_t* d, std::size_t n) { RunTalon(d, n, [](Devices::Talon& t) { t.joint_torques(kZero3); }); }},
    {"talon_host_position",
     [](const uint8_t* d, std::size_t n) {
         RunTalon(d, n, [](Devices::Talon& t) { t.get_end_effector_position(false); });
     }},
    // Calibrates from the device's joint state, then reads the position with
    // the offsets that gave.
    {"talon_adjust_angles",
     [](const uint8_t* d, std::size_t n) {
         RunTalon(d, n, [](Devices::Talon& t) {
             t.adjust_angles(kReference);
             t.get_end_effector_position(false);
         });
     }},
    {"talon_receive_state",
     [](const uint8_t* d, std::size_t n) {
         RunTalonReceive(d, n, 6, [](Devices::Talon& t, float* p, float* v) { return t.ReceiveState(p, v); });
     }},
    {"talon_receive_joint_state",
     [](const uint8_t* d, std::size_t n) {
         RunTalonReceive(d, n, 6, [](Devices::Talon& t, float* p, float* v) { return t.ReceiveJointState(p, v); });
     }},
    {"talon_receive_current",
     [](const uint8_t* d, std::size_t n) {
         RunTalonReceive(d, n, 3, [](Devices::Talon& t, float* c, float*) { return t.ReceiveCurrent(c); });
     }},
    {"handle_receive", HandleReceive},
    {"handle_quillon_status", HandleQuillonStatus},
};

inline const Target* FindTarget(const char* name) {
    for (const Target& target : kTargets) {
        if (std::strcmp(target.name, name) == 0) return &target;
    }
    return nullptr;
}

}  // namespace vantor_fuzz
