#include "Vantor/HardwareAPI/Devices/Handle.h"

#include <cstring>

#include "Framing.h"
#include "HandleFrames.h"
#include "Wire.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

namespace {

uint16_t ReadU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

// Q15 fixed point: -1.0 up to, but not including, 1.0.
float FromQ15(const uint8_t* bytes) {
    const int raw = ReadU16(bytes);
    return static_cast<float>(raw > 32767 ? raw - 65536 : raw) / 32768.0f;
}

QuillonStatus Rejected(uint8_t error_flag) {
    QuillonStatus status;
    status.error_flag = error_flag;
    return status;
}

constexpr uint8_t kBadFrame = 1;
constexpr uint8_t kNoFrame = 2;

}  // namespace

Handle::Handle(IO::SerialStream* stream) : Device(stream) {}

void Handle::SendDeviceWakeup() {
    send_buffer[0] = HandleWire::kWakeup;
    stream->Write(send_buffer.get(), 1);
}

void Handle::RequestStatus() {
    send_buffer[0] = HandleWire::kStatusRequest;
    stream->Write(send_buffer.get(), 1);
}

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
    // Without data to copy the message still goes out, announcing none.
    if (user_data == nullptr) data_length = 0;
    send_buffer[0] = HandleWire::kHandleState;
    send_buffer[1] = static_cast<uint8_t>(device_id & 0xFF);
    send_buffer[2] = static_cast<uint8_t>(device_id >> 8);
    send_buffer[3] = data_length;
    if (data_length > 0) {
        std::memcpy(send_buffer.get() + HandleWire::kHandleStateFixedLength, user_data, data_length);
    }
    stream->Write(send_buffer.get(), HandleWire::kHandleStateFixedLength + data_length);
}

int Handle::Receive() {
    const uint8_t code = ReadHeaderCode();
    const uint8_t* in = receive_buffer.get();

    if (code == HandleWire::kStatusMessage) {
        HandleStatusResponse status;
        const int fixed = ReadBytes(HandleWire::kStatusFixedLength);
        // Without the fixed part the tail length is unknown: read nothing more.
        if (fixed != static_cast<int>(HandleWire::kStatusFixedLength)) return fixed;
        status.device_id = ReadU16(in + HandleWire::kStatusDeviceIdOffset);
        status.error_flag = in[HandleWire::kStatusErrorFlagOffset];
        status.hall_effect_sensor_level = in[HandleWire::kStatusHallLevelOffset];
        std::memcpy(status.quaternion, in + HandleWire::kStatusQuaternionOffset,
                    sizeof status.quaternion);
        status.user_data_length = in[HandleWire::kStatusUserDataLengthOffset];

        int tail = 0;
        if (status.user_data_length > 0) {
            tail = ReadBytes(status.user_data_length);
            if (tail != status.user_data_length) return fixed + tail;
            std::memcpy(status.user_data, in, status.user_data_length);
        }
        OnReceiveHandleStatusMessage(status.device_id, status.quaternion, status.error_flag,
                                     status.hall_effect_sensor_level, status.user_data_length,
                                     status.user_data);
        OnReceiveHandleStatusMessage(status);
        return fixed + tail;
    }

    if (code == HandleWire::kHandleInfo) {
        HandleInfoResponse info;
        const int count = ReadBytes(HandleWire::kHandleInfoLength);
        if (count != static_cast<int>(HandleWire::kHandleInfoLength)) return count;
        info.tool_data_remaining = in[HandleWire::kInfoToolDataOffset];
        info.device_id = ReadU16(in + HandleWire::kInfoDeviceIdOffset);
        info.device_model_number = in[HandleWire::kInfoModelNumberOffset];
        info.hardware_version = in[HandleWire::kInfoHardwareVersionOffset];
        info.firmware_version = in[HandleWire::kInfoFirmwareVersionOffset];
        OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                            info.hardware_version, info.firmware_version);
        OnReceiveHandleInfo(info);
        return count;
    }

    if (code == HandleWire::kErrorResponse) {
        HandleErrorResponse error;
        const int count = ReadBytes(HandleWire::kErrorResponseLength);
        if (count != static_cast<int>(HandleWire::kErrorResponseLength)) return count;
        error.device_id = ReadU16(in + HandleWire::kErrorDeviceIdOffset);
        error.error_code = in[HandleWire::kErrorCodeOffset];
        OnReceiveHandleErrorResponse(error.device_id, error.error_code);
        OnReceiveHandleErrorResponse(error);
        return count;
    }

    return -1;
}

FrameRead ReadCompactFrame(Handle& handle, QuillonStatus& status, int* skipped) {
    status = QuillonStatus();
    // Every byte before the frame's code is skipped, a 0x00 of a frame that
    // began before the stream did among them. The whole search gets one
    // timeout, so neither silence nor a flood of other bytes holds the
    // caller longer.
    const double start = framing::WaitStart();
    for (;;) {
        if (framing::ReadHeaderCode(handle, start) != framing::ReadEnd::Complete) return FrameRead::NoFrame;
        if (handle.receive_buffer[0] == HandleWire::kStatusMessage) break;
        if (skipped != nullptr && *skipped < 0) *skipped = handle.receive_buffer[0];
        if (framing::TimedOut(handle, start)) {
            framing::LogHeaderTimeout();
            return FrameRead::NoFrame;
        }
    }

    // The frame's bytes get what is left of the same time-out.
    if (framing::ReadBytes(handle, HandleWire::kCompactStuffedLength, start) != framing::ReadEnd::Complete) {
        return FrameRead::BadFrame;
    }

    // Positions 0 to 17 are examined, each appending at most one byte, so
    // the frame never holds more than 18; only an escape at 17 looks at 18.
    const uint8_t* in = handle.receive_buffer.get();
    uint8_t frame[HandleWire::kCompactFrameLength];
    std::size_t length = 0;
    std::size_t i = 0;
    while (i < HandleWire::kCompactFrameLength) {
        const uint8_t byte = in[i];
        if (byte == HandleWire::kSlipEsc) {
            const uint8_t next = in[i + 1];
            if (next == HandleWire::kSlipEscEnd) {
                frame[length++] = HandleWire::kSlipEnd;
                i += 2;
            } else if (next == HandleWire::kSlipEscEsc) {
                frame[length++] = HandleWire::kSlipEsc;
                i += 2;
            } else {
                i += 1;
            }
        } else {
            if (byte != HandleWire::kSlipEnd) frame[length++] = byte;
            i += 1;
        }
    }
    if (length != HandleWire::kCompactFrameLength) return FrameRead::BadFrame;

    status.error_flag = frame[HandleWire::kCompactErrorFlagOffset];
    status.device_id = frame[HandleWire::kCompactDeviceIdOffset];
    status.hall_effect_sensor_level = frame[HandleWire::kCompactHallButtonsOffset] & 0x1F;
    status.buttons = static_cast<uint8_t>(frame[HandleWire::kCompactHallButtonsOffset] >> 5);
    for (std::size_t k = 0; k < 4; ++k) {
        status.quaternion[k] = FromQ15(frame + HandleWire::kCompactQuaternionOffset + 2 * k);
    }
    status.battery_level =
        static_cast<float>(3.0 + frame[HandleWire::kCompactBatteryOffset] * 0.005);
    return FrameRead::Frame;
}

bool ReadHandleInfoId(Handle& handle, uint16_t& device_id) {
    const double start = framing::WaitStart();
    for (;;) {
        if (framing::ReadHeaderCode(handle, start) != framing::ReadEnd::Complete) return false;
        const uint8_t code = handle.receive_buffer[0];
        if (code == HandleWire::kHandleInfo) {
            if (framing::ReadBytes(handle, HandleWire::kHandleInfoLength, start) != framing::ReadEnd::Complete) {
                return false;
            }
            device_id = ReadU16(handle.receive_buffer.get() + HandleWire::kInfoDeviceIdOffset);
            return true;
        }
        if (code == HandleWire::kStatusMessage) framing::ReadBytes(handle, HandleWire::kCompactStuffedLength, start);
        if (framing::TimedOut(handle, start)) return false;
    }
}

QuillonStatus Handle::GetQuillonStatus() {
    QuillonStatus status;
    switch (ReadCompactFrame(*this, status)) {
        case FrameRead::Frame: return status;
        case FrameRead::NoFrame: return Rejected(kNoFrame);
        case FrameRead::BadFrame: break;
    }
    return Rejected(kBadFrame);
}

void Handle::OnReceiveHandleInfo(const HandleInfoResponse&) {}
void Handle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}
void Handle::OnReceiveHandleStatusMessage(const HandleStatusResponse&) {}
void Handle::OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                          const uint8_t*) {}
void Handle::OnReceiveHandleErrorResponse(const HandleErrorResponse&) {}
void Handle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
