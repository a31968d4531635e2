#include "HandleSim.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr std::uint8_t kWakeup = 0x0A;
constexpr std::uint8_t kStatus = 0xDA;       // request, status message and compact frame
constexpr std::uint8_t kHandleState = 0xDB;
constexpr std::uint8_t kHandleInfo = 0xD0;

constexpr std::uint8_t kModelNumber = 2;
constexpr std::uint8_t kHardwareVersion = 1;
constexpr std::uint8_t kFirmwareVersion = 3;
constexpr std::uint8_t kToolDataRemaining = 0;

constexpr std::uint8_t kEnd = 0xC0;
constexpr std::uint8_t kEsc = 0xDB;
constexpr std::uint8_t kEscEnd = 0xDC;
constexpr std::uint8_t kEscEsc = 0xDD;

constexpr double kTurnRate = 0.5;          // rad/s about a tilted axis
constexpr double kHallPeriod = 4.0;        // s, squeeze and release
constexpr std::uint8_t kHallMax = 31;
constexpr double kButtonPeriod = 1.0;      // s per button pattern
constexpr int kBatteryFull = 240;          // raw, 4.2 V
constexpr double kBatteryDrain = 10.0;     // s per raw step

bool special(std::uint8_t b) { return b == kEnd || b == kEsc; }

struct Pose {
    std::array<double, 4> quaternion;  // x, y, z, w
    std::uint8_t hallLevel;
    std::uint8_t buttons;
    std::uint8_t batteryRaw;
};

Pose poseAt(double t) {
    const double ax = 0.3, ay = 0.4, az = std::sqrt(1.0 - ax * ax - ay * ay);
    const double half = 0.5 * kTurnRate * t;
    const double s = std::sin(half);
    Pose pose{};
    pose.quaternion = {ax * s, ay * s, az * s, std::cos(half)};
    const double phase = std::fmod(t, kHallPeriod) / kHallPeriod;
    const double triangle = phase < 0.5 ? 2.0 * phase : 2.0 * (1.0 - phase);
    pose.hallLevel = static_cast<std::uint8_t>(std::lround(triangle * kHallMax));
    pose.buttons = static_cast<std::uint8_t>(static_cast<long>(t / kButtonPeriod) % 8);
    pose.batteryRaw = static_cast<std::uint8_t>(std::max(0L, kBatteryFull - static_cast<long>(t / kBatteryDrain)));
    return pose;
}

// Q15, little-endian; +1.0 saturates to the largest code.
std::uint16_t toQ15(double value) {
    const long raw = std::clamp(std::lround(value * 32768.0), -32768L, 32767L);
    return static_cast<std::uint16_t>(raw & 0xFFFF);
}

// Moves a Q15 code to the closest one whose bytes need no escape: at most
// 1/256 off when the high byte is END or ESC, one code off otherwise.
std::uint16_t clearOfEscapes(std::uint16_t raw) {
    const unsigned hi = raw >> 8;
    if (special(static_cast<std::uint8_t>(hi))) raw = (raw & 0xFF) < 0x80 ? static_cast<std::uint16_t>((hi << 8) - 1)
                                                                        : static_cast<std::uint16_t>((hi + 1) << 8);
    if (special(static_cast<std::uint8_t>(raw & 0xFF))) raw = static_cast<std::uint16_t>(raw + 1);
    return raw;
}

}  // namespace

std::array<std::uint8_t, kCompactWireLength> stuffCompactFrame(const std::array<std::uint8_t, kCompactDataLength>& data) {
    std::array<std::uint8_t, kCompactWireLength> wire{};
    std::copy(data.begin(), data.end() - 1, wire.begin());
    const std::uint8_t last = data.back();
    if (special(last)) {
        wire[17] = kEsc;
        wire[18] = last == kEnd ? kEscEnd : kEscEsc;
    } else {
        wire[17] = last;
        wire[18] = kEnd;  // pads a frame that needed no escape
    }
    return wire;
}

HandleSim::HandleSim(Clock::time_point start, std::uint16_t deviceId) : start_(start), deviceId_(deviceId) {}

long HandleSim::requestLength(const std::uint8_t* data, std::size_t size) const {
    if (size == 0) return 0;
    switch (data[0]) {
        case kWakeup:
        case kStatus: return 1;
        case kHandleState:
            // Code, device id (2), data length (1), then the data.
            if (size < 4) return 0;
            return static_cast<std::size_t>(4 + data[3]) <= size ? 4 + data[3] : 0;
        default: return -1;
    }
}

void HandleSim::answer(const std::uint8_t* request, std::size_t size, Clock::time_point now, Message& reply) {
    switch (request[0]) {
        case kWakeup:
            putU8(reply, kHandleInfo);
            putU8(reply, kToolDataRemaining);
            putU16(reply, deviceId_);
            putU8(reply, kModelNumber);
            putU8(reply, kHardwareVersion);
            putU8(reply, kFirmwareVersion);
            break;
        case kStatus: {
            const Pose pose = poseAt(std::chrono::duration<double>(now - start_).count());
            putU8(reply, kStatus);
            putU16(reply, deviceId_);
            putU8(reply, 0);  // error flag
            putU8(reply, pose.hallLevel);
            for (double q : pose.quaternion) putF32(reply, static_cast<float>(q));
            putU8(reply, static_cast<std::uint8_t>(userDataLength_));
            reply.append(userData_.data(), userDataLength_);
            break;
        }
        case kHandleState:
            userDataLength_ = std::min(size - 4, userData_.size());
            std::copy(request + 4, request + 4 + userDataLength_, userData_.begin());
            break;
        default: break;
    }
}

void HandleSim::streamFrame(Clock::time_point now, Message& frame) {
    const Pose pose = poseAt(std::chrono::duration<double>(now - start_).count());
    std::array<std::uint8_t, kCompactDataLength> data{};
    data[2] = 0;  // error flag
    std::uint8_t levelAndButtons = static_cast<std::uint8_t>(pose.hallLevel | (pose.buttons << 5));
    if (special(levelAndButtons)) ++levelAndButtons;  // one hall step, buttons unchanged
    data[3] = levelAndButtons;
    data[4] = static_cast<std::uint8_t>(deviceId_ & 0xFF);
    for (int i = 0; i < 4; ++i) {
        const std::uint16_t raw = clearOfEscapes(toQ15(pose.quaternion[static_cast<std::size_t>(i)]));
        data[8 + 2 * i] = static_cast<std::uint8_t>(raw & 0xFF);
        data[9 + 2 * i] = static_cast<std::uint8_t>(raw >> 8);
    }
    std::uint8_t battery = pose.batteryRaw;
    if (special(battery)) --battery;  // read as drained a step early
    data[16] = battery;
    // The spare last byte may be escaped; a counter there exercises escape pairs now and then.
    data[17] = sequence_++;

    const auto wire = stuffCompactFrame(data);
    putU8(frame, kStatus);
    frame.append(wire.data(), wire.size());
}

}  // namespace sim
