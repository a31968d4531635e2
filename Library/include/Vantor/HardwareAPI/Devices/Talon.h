// The three-axis haptic arm.
#pragma once

#include <cstdint>

#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/Devices/Vectors.h"
#include "Vantor/HardwareAPI/UUID.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

// Decoded device-information reply.
struct TalonInfo {
    uint16_t device_id = 0;
    uint8_t device_model_number = 0;
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
    UUID device_id_ext;
};

// The arm's state as one exchange returns it: end-effector position and
// velocity, or joint angles (degrees) and joint velocities.
struct TalonState {
    Vector3 position{};
    Vector3 velocity{};
};

// Every operation is one request and at most one reply on the caller's
// thread. A missing, short or mismatched reply gives the defaults (zeros,
// false, or the caller's values unchanged) and error lines, never an error
// code or exception.
class Talon : public Device {
public:
    // Sends and reads nothing. The kinematic model is a process-wide
    // constant (TalonGeometry.h), so construction leaves it as it is, and
    // the joint-angle offsets are kept.
    explicit Talon(IO::SerialStream* stream);

    // Information queries.
    void SendDeviceWakeup();
    TalonInfo ReceiveDeviceInfo();
    TalonInfo device_wakeup();
    TalonInfo device_wakeup_dict();
    UUID get_device_id();
    UUID get_firmware_version();
    Vector3 get_motor_currents();
    Vector4 get_device_orientation();
    bool get_power_status();
    float get_temperature();

    // One-way building blocks of the control exchanges; each reads three
    // floats.
    void SendForce(const float* force);
    void SendPosition(const float* position);
    void SendJointTorques(const float* joint_torque);
    void SendAngle(const float* angle);
    // Read the state reply into three floats each; on any failure the
    // arrays are left exactly as they were. True when the reply arrived.
    bool ReceiveState(float* position, float* velocity);
    bool ReceiveJointState(float* joint_position, float* joint_velocity);

    // Control exchanges: a request and its state reply in one call.
    TalonState end_effector_force(const float* force);
    TalonState end_effector_position(const float* position);
    TalonState joint_torques(const float* joint_torque);
    TalonState joint_angles(const float* angle);
    // onboard: the arm's own reading (a zero-force exchange); otherwise the
    // host computes it from the joint angles, with a zero velocity.
    TalonState get_end_effector_position(bool onboard);
    // Calibrates the host-side joint angles so the current pose reads as
    // the three given angles (degrees).
    void adjust_angles(const float* angles);

    // Older one-way calls.
    void SendForce(float force_x, float force_y, float force_z);
    void RequestCurrent();
    bool ReceiveCurrent(float* current);

private:
    // Reads the header code and, when it is `code`, the n-byte payload.
    // A mismatch runs the drain attempt. True when all n bytes arrived.
    bool ReceiveReply(uint8_t code, std::size_t n);
    void SendCode(uint8_t code);
    UUID QueryValue(uint8_t selector);
};

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
