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

    // Handles one complete request, writing its reply into `reply`, which
    // comes empty and stays so when the request has none.
    virtual void answer(const std::uint8_t* request, std::size_t size, Clock::time_point now, Message& reply) = 0;

    // Writes the unsolicited frame sent at the streaming rate into `frame`,
    // which comes empty and stays so for devices without one.
    virtual void streamFrame(Clock::time_point /*now*/, Message& /*frame*/) {}
};

}  // namespace sim
