// The three-axis arm: information queries, control
// exchanges and the older one-way calls, all over the shared device framing.
// Nothing here allocates: every message goes through the device's two fixed
// buffers.
#include "Vantor/HardwareAPI/Devices/Talon.h"

#include <algorithm>
#include <cstring>

#include "Framing.h"
#include "TalonReplies.h"
#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"
#include "Wire.h"

#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "floats are copied to and from the wire as they lie in memory");
#endif

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

namespace W = TalonWire;

namespace {

constexpr float kZero[W::kVectorCount] = {0.0f, 0.0f, 0.0f};
constexpr std::size_t kVectorBytes = W::kVectorCount * W::kFloatSize;

}  // namespace

// The kinematic model is a constant initialised before any Talon exists,
// so construction has nothing to rewrite and sends nothing.
Talon::Talon(IO::SerialStream* stream) : Device(stream) {}

// --- reply reception --------------------------------------------------------

bool Talon::ReceiveReply(uint8_t code, std::size_t n) {
    const uint8_t received = ReadHeaderCode();
    if (received != code) {
        // Drain attempt: waits for a full buffer or the time-out; the stray
        // bytes of an unexpected reply normally stay in the stream.
        ReadBytes(kBufferSize);
        return false;
    }
    return ReadBytes(n) == static_cast<int>(n);
}

void Talon::SendCode(uint8_t code) {
    send_buffer[0] = code;
    stream->Write(send_buffer.get(), 1);
}

// --- information queries ----------------------------------------------------

void Talon::SendDeviceWakeup() { SendCode(W::kWakeup); }

TalonInfo Talon::ReceiveDeviceInfo() {
    TalonInfo info;
    if (!ReceiveReply(W::kDeviceInfo, W::kDeviceInfoLength)) return info;
    const uint8_t* p = receive_buffer.get();
    info.device_id = static_cast<uint16_t>(p[W::kInfoDeviceIdOffset] |
                                           (p[W::kInfoDeviceIdOffset + 1] << 8));
    info.device_model_number = p[W::kInfoModelNumberOffset];
    info.hardware_version = p[W::kInfoHardwareVersionOffset];
    info.firmware_version = p[W::kInfoFirmwareVersionOffset];
    std::memcpy(info.device_id_ext.data, p + W::kInfoIdExtOffset, sizeof info.device_id_ext.data);
    return info;
}

TalonInfo Talon::device_wakeup() {
    SendDeviceWakeup();
    return ReceiveDeviceInfo();
}

// The same exchange; the binding turns the result into a dict.
TalonInfo Talon::device_wakeup_dict() { return device_wakeup(); }

UUID Talon::QueryValue(uint8_t selector) {
    UUID value;
    send_buffer[0] = W::kValueQuery;
    send_buffer[1] = selector;
    stream->Write(send_buffer.get(), 2);

    // Both header codes are read before either is tested.
    const uint8_t code = ReadHeaderCode();
    const uint8_t echoed = ReadHeaderCode();
    if (code != W::kValue || echoed != selector) {
        ReadBytes(kBufferSize);  // drain attempt
        return value;
    }
    if (ReadBytes(W::kValueReplyLength) != static_cast<int>(W::kValueReplyLength)) return value;
    if (receive_buffer[0] != W::kValueSize) return value;
    std::memcpy(value.data, receive_buffer.get() + 1, W::kValueSize);
    return value;
}

UUID Talon::get_device_id() { return QueryValue(W::kSelectDeviceId); }

UUID Talon::get_firmware_version() { return QueryValue(W::kSelectFirmwareVersion); }

Vector3 Talon::get_motor_currents() {
    Vector3 currents{};
    RequestCurrent();
    ReceiveCurrent(currents.data());
    return currents;
}

Vector4 Talon::get_device_orientation() {
    Vector4 orientation{};
    SendCode(W::kOrientationRequest);
    if (ReceiveReply(W::kOrientation, W::kOrientationLength))
        std::memcpy(orientation.data(), receive_buffer.get(), W::kOrientationLength);
    return orientation;
}

bool Talon::get_power_status() {
    SendCode(W::kPowerStatusRequest);
    if (!ReceiveReply(W::kPowerStatus, W::kPowerStatusLength)) return false;
    return receive_buffer[0] != 0;
}

float Talon::get_temperature() {
    float temperature = 0.0f;
    SendCode(W::kTemperatureRequest);
    if (ReceiveReply(W::kTemperature, W::kTemperatureLength))
        std::memcpy(&temperature, receive_buffer.get(), W::kTemperatureLength);
    return temperature;
}

// --- one-way building blocks -------------------------------------------------

void Talon::SendForce(const float* force) {
    int count = W::kVectorCount;
    SendValues(W::kForceRequest, force, count);
}

void Talon::SendPosition(const float* position) {
    int count = W::kVectorCount;
    SendValues(W::kPositionRequest, position, count);
}

void Talon::SendJointTorques(const float* joint_torque) {
    int count = W::kVectorCount;
    SendValues(W::kJointTorqueRequest, joint_torque, count);
}

void Talon::SendAngle(const float* angle) {
    int count = W::kVectorCount;
    SendValues(W::kJointAngleRequest, angle, count);
}

StateRead ReadStateReply(Talon& talon, float* position, float* velocity, uint8_t& code) {
    if (framing::ReadHeaderCode(talon, framing::WaitStart()) != framing::ReadEnd::Complete) return StateRead::NoReply;
    code = talon.receive_buffer[0];
    if (code != W::kEndEffectorState) {
        // Whatever came with it belongs to the same stray reply.
        for (int waiting = talon.stream->Available(); waiting > 0; waiting = talon.stream->Available())
            framing::ReadBytes(talon, std::min<std::size_t>(static_cast<std::size_t>(waiting), Device::kBufferSize));
        return StateRead::Other;
    }
    if (framing::ReadBytes(talon, W::kStateLength) != framing::ReadEnd::Complete) return StateRead::NoReply;
    std::memcpy(position, talon.receive_buffer.get(), kVectorBytes);
    std::memcpy(velocity, talon.receive_buffer.get() + kVectorBytes, kVectorBytes);
    return StateRead::State;
}

bool Talon::ReceiveState(float* position, float* velocity) {
    if (!ReceiveReply(W::kEndEffectorState, W::kStateLength)) return false;
    std::memcpy(position, receive_buffer.get(), kVectorBytes);
    std::memcpy(velocity, receive_buffer.get() + kVectorBytes, kVectorBytes);
    return true;
}

bool Talon::ReceiveJointState(float* joint_position, float* joint_velocity) {
    if (!ReceiveReply(W::kJointState, W::kStateLength)) return false;
    std::memcpy(joint_position, receive_buffer.get(), kVectorBytes);
    std::memcpy(joint_velocity, receive_buffer.get() + kVectorBytes, kVectorBytes);
    return true;
}

// --- control exchanges ---------------------------------------------------------

TalonState Talon::end_effector_force(const float* force) {
    SendForce(force);
    TalonState state;  // all 0.0; stays so on any failure
    ReceiveState(state.position.data(), state.velocity.data());
    return state;
}

TalonState Talon::end_effector_position(const float* position) {
    SendPosition(position);
    TalonState state;
    ReceiveState(state.position.data(), state.velocity.data());
    return state;
}

TalonState Talon::joint_torques(const float* joint_torque) {
    SendJointTorques(joint_torque);
    TalonState state;
    ReceiveJointState(state.position.data(), state.velocity.data());
    return state;
}

TalonState Talon::joint_angles(const float* angle) {
    SendAngle(angle);
    TalonState state;
    ReceiveJointState(state.position.data(), state.velocity.data());
    return state;
}

TalonState Talon::get_end_effector_position(bool onboard) {
    if (onboard) return end_effector_force(kZero);

    SendJointTorques(kZero);
    Vector3 joints{};
    Vector3 joint_velocity{};
    const bool received = ReceiveJointState(joints.data(), joint_velocity.data());
    // One consistent set of offsets for the whole computation.
    const Vector3 offsets = joint_offsets();
    TalonState state;
    state.position = received ? forward_kinematics(joints, offsets) : forward_kinematics_at_rest(offsets);
    return state;  // velocity (0, 0, 0)
}

void Talon::adjust_angles(const float* angles) {
    const Vector3 reference = {angles[0], angles[1], angles[2]};
    SendJointTorques(kZero);
    Vector3 measured{};  // 0, 0, 0 when the reply fails
    Vector3 joint_velocity{};
    ReceiveJointState(measured.data(), joint_velocity.data());
    set_joint_offsets(calibration_offsets(measured, reference));
}

// --- older one-way calls ---------------------------------------------------------

void Talon::SendForce(float force_x, float force_y, float force_z) {
    const float force[W::kVectorCount] = {force_x, force_y, force_z};
    SendForce(force);
}

void Talon::RequestCurrent() { SendCode(W::kMotorCurrentRequest); }

bool Talon::ReceiveCurrent(float* current) {
    if (!ReceiveReply(W::kMotorCurrents, W::kMotorCurrentsLength)) return false;
    std::memcpy(current, receive_buffer.get(), W::kMotorCurrentsLength);
    return true;
}

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
