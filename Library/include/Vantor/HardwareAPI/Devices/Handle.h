// The handheld grip: three one-way sends, replies delivered to overridable
// callbacks, and a compact status frame read on demand.
#pragma once

#include <cstdint>

#include "Vantor/HardwareAPI/Devices/Device.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

struct HandleInfoResponse {
    uint16_t device_id = 0;
    uint8_t tool_data_remaining = 0;
    uint8_t device_model_number = 0;
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
};

struct HandleStatusResponse {
    uint16_t device_id = 0;
    float quaternion[4] = {};
    uint8_t error_flag = 0;
    uint8_t hall_effect_sensor_level = 0;
    uint8_t user_data_length = 0;
    uint8_t user_data[255] = {};
};

struct HandleErrorResponse {
    uint16_t device_id = 0;
    uint8_t error_code = 0;
};

struct QuillonStatus {
    uint8_t device_id = 0;
    float quaternion[4] = {};
    uint8_t error_flag = 0;  // also 1: bad frame, 2: no frame
    uint8_t hall_effect_sensor_level = 0;
    uint8_t buttons = 0;
    float battery_level = 0.0f;
};

class Handle : public Device {
public:
    explicit Handle(IO::SerialStream* stream);

    void SendDeviceWakeup();
    void RequestStatus();
    // user_data must hold data_length bytes; it may be null when that is 0.
    void SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);

    // Reads one reply and calls its callbacks, field-list form first.
    // Returns the payload bytes read, or -1 when no reply of a known code came.
    int Receive();
    // Reads and decodes the next compact status frame.
    QuillonStatus GetQuillonStatus();

    // Callbacks, in this order; each default does nothing.
    virtual void OnReceiveHandleInfo(const HandleInfoResponse& info);
    virtual void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                                     uint8_t device_model_number, uint8_t hardware_version,
                                     uint8_t firmware_version);
    virtual void OnReceiveHandleStatusMessage(const HandleStatusResponse& status);
    virtual void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                              uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                              uint8_t user_data_length, const uint8_t* user_data);
    virtual void OnReceiveHandleErrorResponse(const HandleErrorResponse& error);
    virtual void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code);

    // Declared after the callbacks so they keep the first six slots;
    // subclasses (the Python one among them) are deleted through Handle*.
    virtual ~Handle() = default;
};

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
