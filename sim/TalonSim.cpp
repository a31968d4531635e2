#include "TalonSim.h"

#include <algorithm>
#include <array>

namespace sim {
namespace {

// Requests.
constexpr std::uint8_t kWakeup = 10;
constexpr std::uint8_t kOrientation = 12;
constexpr std::uint8_t kValueQuery = 13;
constexpr std::uint8_t kJointTorque = 26;
constexpr std::uint8_t kJointAngle = 28;
constexpr std::uint8_t kForce = 42;
constexpr std::uint8_t kPosition = 44;
constexpr std::uint8_t kTemperature = 170;
constexpr std::uint8_t kMotorCurrents = 171;
constexpr std::uint8_t kPowerStatus = 172;

// Replies that differ from their request code.
constexpr std::uint8_t kDeviceInfo = 11;
constexpr std::uint8_t kJointState = 27;
constexpr std::uint8_t kEndEffectorState = 43;

// Value query selectors.
constexpr std::uint8_t kSelectIdentifier = 209;
constexpr std::uint8_t kSelectFirmware = 210;
constexpr std::uint8_t kValueLength = 16;

constexpr std::uint16_t kDeviceId = 0x0102;
constexpr std::uint8_t kModelNumber = 4;
constexpr std::uint8_t kHardwareVersion = 1;
constexpr std::uint8_t kFirmwareVersion = 8;
constexpr std::array<std::uint8_t, 16> kFirmwareValue = {0x00, 0x00, 0x00, 0x08, 0x00, 0x01, 0x40, 0x00,
                                                         0x80, 0x00, 0x20, 0x24, 0x05, 0x17, 0x0b, 0x2e};

constexpr float kTemperatureC = 31.5f;
constexpr double kTorquePerAmp = 0.05;  // N m / A
constexpr double kMaxCurrent = 4.0;     // A
constexpr double kIdleCurrent = 0.02;   // A

// Longest stretch of simulated time one request may advance the arm: a host
// that pauses does not see the arm leap.
constexpr double kMaxAdvance = 0.010;  // s

Vec3 vectorFrom(const std::uint8_t* p) { return {getF32(p), getF32(p + 4), getF32(p + 8)}; }

void putVector(Message& out, const Vec3& v) {
    for (double x : v) putF32(out, static_cast<float>(x));
}

}  // namespace

TalonSim::TalonSim(Clock::time_point start, const Identifier& id, const Hand& hand, const ForceLog* forceLog)
    : id_(id), arm_(hand), lastControl_(start), forceLog_(forceLog) {}

long TalonSim::requestLength(const std::uint8_t* data, std::size_t size) const {
    if (size == 0) return 0;
    long length = -1;
    switch (data[0]) {
        case kWakeup:
        case kOrientation:
        case kTemperature:
        case kMotorCurrents:
        case kPowerStatus: length = 1; break;
        case kValueQuery: length = 2; break;
        case kJointTorque:
        case kJointAngle:
        case kForce:
        case kPosition: length = 13; break;
        default: return -1;
    }
    return static_cast<std::size_t>(length) <= size ? length : 0;
}

void TalonSim::answer(const std::uint8_t* request, std::size_t /*size*/, Clock::time_point now, Message& reply) {
    switch (request[0]) {
        case kWakeup:
            putU8(reply, kDeviceInfo);
            putU16(reply, kDeviceId);
            putU8(reply, kModelNumber);
            putU8(reply, kHardwareVersion);
            putU8(reply, kFirmwareVersion);
            reply.append(id_.data(), id_.size());
            break;
        case kOrientation:
            putU8(reply, kOrientation);
            for (float q : {0.0f, 0.0f, 0.0f, 1.0f}) putF32(reply, q);
            break;
        case kValueQuery: {
            const std::uint8_t selector = request[1];
            putU8(reply, kValueQuery);
            putU8(reply, selector);
            const bool known = selector == kSelectIdentifier || selector == kSelectFirmware;
            // An unknown selector still gets a full-length reply, so the framing holds.
            putU8(reply, known ? kValueLength : 0);
            if (selector == kSelectIdentifier)
                reply.append(id_.data(), id_.size());
            else if (selector == kSelectFirmware)
                reply.append(kFirmwareValue.data(), kFirmwareValue.size());
            else
                reply.appendZeros(kValueLength);
            break;
        }
        case kJointTorque: control(Drive::JointTorque, request + 1, kJointState, now, reply); break;
        case kJointAngle: control(Drive::JointAngle, request + 1, kJointState, now, reply); break;
        case kForce: control(Drive::Force, request + 1, kEndEffectorState, now, reply); break;
        case kPosition: control(Drive::Position, request + 1, kEndEffectorState, now, reply); break;
        case kTemperature:
            putU8(reply, kTemperature);
            putF32(reply, kTemperatureC);
            break;
        case kMotorCurrents:
            putU8(reply, kMotorCurrents);
            for (double torque : arm_.jointTorques()) {
                const double amps = std::clamp(torque / kTorquePerAmp, -kMaxCurrent, kMaxCurrent);
                putF32(reply, static_cast<float>(amps + (amps < 0 ? -kIdleCurrent : kIdleCurrent)));
            }
            break;
        case kPowerStatus:
            putU8(reply, kPowerStatus);
            putU8(reply, 1);
            break;
        default: break;
    }
}

void TalonSim::control(Drive drive, const std::uint8_t* payload, std::uint8_t replyCode, Clock::time_point now,
                       Message& reply) {
    const double elapsed = std::chrono::duration<double>(now - lastControl_).count();
    lastControl_ = now;
    const Vec3 command = vectorFrom(payload);
    if (forceLog_) forceLog_->record(drive, command);
    arm_.advance(drive, command, std::clamp(elapsed, 0.0, kMaxAdvance));

    putU8(reply, replyCode);
    if (replyCode == kJointState) {
        putVector(reply, arm_.joints());
        putVector(reply, arm_.jointVelocities());
    } else {
        putVector(reply, arm_.position());
        putVector(reply, arm_.velocity());
    }
}

}  // namespace sim
