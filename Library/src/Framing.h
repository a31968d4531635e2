// Inside the library: why a framing read ended, which the public reads fold
// into a 0 result. Callers such as the grip's frame search need to tell a
// read zero byte from a wait that ran out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Vantor/HardwareAPI/Devices/Device.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {
namespace framing {

enum class ReadEnd {
    Complete,     // the bytes are in receive_buffer
    TimedOut,     // the device's timeout passed (logged)
    ReadFailed,   // the stream failed (logged, unless at end of stream)
    Aborted,      // the waiting thread's abort check asked to stop (not logged)
};

// The wait clock: whole seconds of a monotonic clock, as the time-out rule
// counts them.
double WaitStart();
// Whether the time-out rule says a wait begun at start is over.
bool TimedOut(const Device& device, double start);

// Waits for one header code byte; the time-out counts from start, so a
// search made of several reads can be bounded as a whole.
ReadEnd ReadHeaderCode(Device& device, double start);
// Waits until n bytes are waiting, then reads them; the time-out counts from
// the call, or from start, so a frame's payload shares its search's time-out.
ReadEnd ReadBytes(Device& device, std::size_t n);
ReadEnd ReadBytes(Device& device, std::size_t n, double start);

// Writes the header time-out line, for a search that ran out while bytes
// kept coming.
void LogHeaderTimeout();

}  // namespace framing
}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
