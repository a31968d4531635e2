#pragma once
// What the serving loop needs from a simulated device.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "Wire.h"

namespace sim {

using Clock = std::chrono::steady_clock;

class SimDevice {
public:
    virtual ~SimDevice() = default;

    // Length, header code included, of the request at the front of `data`:
    // 0 while more bytes are needed, -1 when the header code is not one of ours.
    virtual long requestLength(const std::uint8_t* data, std::size_t size) const = 0;

    // Handles one complete request; the reply is empty when the request has none.
    virtual Bytes answer(const std::uint8_t* request, std::size_t size, Clock::time_point now) = 0;

    // The unsolicited frame sent at the streaming rate; empty for devices without one.
    virtual Bytes streamFrame(Clock::time_point /*now*/) { return {}; }
};

}  // namespace sim
