#pragma once
// The grip's side of the handle messages, and its compact status frame.

#include <array>

#include "SimDevice.h"

namespace sim {

constexpr std::size_t kCompactDataLength = 18;
constexpr std::size_t kCompactWireLength = 19;

// Stuffs the 18 data bytes of a compact frame into the 19 bytes that follow
// its header code. Readers take exactly 19 bytes and stop unstuffing after
// position 17, so only the last data byte may be escaped: the others must
// not be END or ESC.
std::array<std::uint8_t, kCompactWireLength> stuffCompactFrame(const std::array<std::uint8_t, kCompactDataLength>& data);

class HandleSim : public SimDevice {
public:
    HandleSim(Clock::time_point start, std::uint16_t deviceId);

    long requestLength(const std::uint8_t* data, std::size_t size) const override;
    void answer(const std::uint8_t* request, std::size_t size, Clock::time_point now, Message& reply) override;
    void streamFrame(Clock::time_point now, Message& frame) override;

private:
    Clock::time_point start_;
    std::uint16_t deviceId_;
    // From the last handle state, echoed in status messages; its length is one byte.
    std::array<std::uint8_t, 255> userData_{};
    std::size_t userDataLength_ = 0;
    std::uint8_t sequence_ = 0;  // counts compact frames in their spare last byte
};

}  // namespace sim
