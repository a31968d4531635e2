// Wire constants of both devices: header codes, payload lengths and field
// offsets. Every message is one header code byte followed by a payload whose
// length the code alone fixes; integers little-endian, floats binary32
// little-endian, fields packed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

// The line both devices use: 115200 baud, and ten bits on the line for
// each byte (a start bit, eight data bits, a stop bit).
namespace LineWire {
constexpr int kBaudRate = 115200;
constexpr int kBitsPerByte = 10;
}  // namespace LineWire

namespace TalonWire {

// Requests (host to arm).
constexpr uint8_t kWakeup = 10;
constexpr uint8_t kOrientationRequest = 12;
constexpr uint8_t kValueQuery = 13;
constexpr uint8_t kJointTorqueRequest = 26;
constexpr uint8_t kJointAngleRequest = 28;
constexpr uint8_t kForceRequest = 42;
constexpr uint8_t kPositionRequest = 44;
constexpr uint8_t kTemperatureRequest = 170;
constexpr uint8_t kMotorCurrentRequest = 171;
constexpr uint8_t kPowerStatusRequest = 172;

// Selector bytes of the 16-byte value query.
constexpr uint8_t kSelectDeviceId = 209;
constexpr uint8_t kSelectFirmwareVersion = 210;

// Replies (arm to host).
constexpr uint8_t kDeviceInfo = 11;
constexpr uint8_t kOrientation = 12;
constexpr uint8_t kValue = 13;
constexpr uint8_t kJointState = 27;
constexpr uint8_t kEndEffectorState = 43;
constexpr uint8_t kTemperature = 170;
constexpr uint8_t kMotorCurrents = 171;
constexpr uint8_t kPowerStatus = 172;

constexpr std::size_t kFloatSize = 4;
constexpr int kVectorCount = 3;  // floats in every control request
constexpr std::size_t kControlRequestLength = 1 + kVectorCount * kFloatSize;

// Device information payload.
constexpr std::size_t kInfoDeviceIdOffset = 0;         // u16
constexpr std::size_t kInfoModelNumberOffset = 2;      // u8
constexpr std::size_t kInfoHardwareVersionOffset = 3;  // u8
constexpr std::size_t kInfoFirmwareVersionOffset = 4;  // u8
constexpr std::size_t kInfoIdExtOffset = 5;            // 16 bytes
constexpr std::size_t kDeviceInfoLength = 21;
static_assert(kInfoIdExtOffset + 16 == kDeviceInfoLength, "device information record");

// Value reply: after the two header codes (13 and the selector), a length
// byte that must be 16, then the value.
constexpr uint8_t kValueSize = 16;
constexpr std::size_t kValueReplyLength = 1 + kValueSize;

constexpr std::size_t kOrientationLength = 4 * kFloatSize;
constexpr std::size_t kStateLength = 6 * kFloatSize;  // three + three floats
constexpr std::size_t kTemperatureLength = kFloatSize;
constexpr std::size_t kMotorCurrentsLength = 3 * kFloatSize;
constexpr std::size_t kPowerStatusLength = 1;
static_assert(kStateLength == 24, "state record");
static_assert(kControlRequestLength == 13, "control request");

// The arm reporting this model number is a Talon.
constexpr uint8_t kTalonModelNumber = 4;

}  // namespace TalonWire

namespace HandleWire {

// To the handle.
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kStatusRequest = 0xDA;
constexpr uint8_t kHandleState = 0xDB;
constexpr std::size_t kHandleStateFixedLength = 4;  // code, u16 id, u8 length

// From the handle.
constexpr uint8_t kHandleInfo = 0xD0;
constexpr uint8_t kStatusMessage = 0xDA;
constexpr uint8_t kErrorResponse = 0xDF;

// Handle info payload.
constexpr std::size_t kInfoToolDataOffset = 0;        // u8
constexpr std::size_t kInfoDeviceIdOffset = 1;        // u16
constexpr std::size_t kInfoModelNumberOffset = 3;     // u8
constexpr std::size_t kInfoHardwareVersionOffset = 4; // u8
constexpr std::size_t kInfoFirmwareVersionOffset = 5; // u8
constexpr std::size_t kHandleInfoLength = 6;
static_assert(kInfoFirmwareVersionOffset + 1 == kHandleInfoLength, "handle info record");

// Status message payload: a fixed part, then user_data_length bytes.
constexpr std::size_t kStatusDeviceIdOffset = 0;      // u16
constexpr std::size_t kStatusErrorFlagOffset = 2;     // u8
constexpr std::size_t kStatusHallLevelOffset = 3;     // u8
constexpr std::size_t kStatusQuaternionOffset = 4;    // 4 floats
constexpr std::size_t kStatusUserDataLengthOffset = 20;
constexpr std::size_t kStatusFixedLength = 21;
static_assert(kStatusQuaternionOffset + 16 == kStatusUserDataLengthOffset, "status record");
static_assert(kStatusUserDataLengthOffset + 1 == kStatusFixedLength, "status record");

// Error response payload.
constexpr std::size_t kErrorDeviceIdOffset = 0;       // u16
constexpr std::size_t kErrorCodeOffset = 2;           // u8
constexpr std::size_t kErrorResponseLength = 3;
static_assert(kErrorCodeOffset + 1 == kErrorResponseLength, "error response record");

// Compact status frame: 19 SLIP-stuffed bytes after the 0xDA code, which
// unstuff to exactly 18.
constexpr std::size_t kCompactStuffedLength = 19;
constexpr std::size_t kCompactFrameLength = 18;
constexpr uint8_t kSlipEnd = 0xC0;
constexpr uint8_t kSlipEsc = 0xDB;
constexpr uint8_t kSlipEscEnd = 0xDC;
constexpr uint8_t kSlipEscEsc = 0xDD;
constexpr std::size_t kCompactErrorFlagOffset = 2;    // u8
constexpr std::size_t kCompactHallButtonsOffset = 3;  // hall bits 0-4, buttons 5-7
constexpr std::size_t kCompactDeviceIdOffset = 4;     // u8
constexpr std::size_t kCompactQuaternionOffset = 8;   // 4 x s16 Q15
constexpr std::size_t kCompactBatteryOffset = 16;     // u8
static_assert(kCompactQuaternionOffset + 8 == kCompactBatteryOffset, "compact frame");
static_assert(kCompactBatteryOffset + 2 == kCompactFrameLength, "compact frame");

}  // namespace HandleWire

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
