// Waiting for a port to come back, for the loops that reconnect.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {
namespace reopen {

// Whether the line under stream has hung up (or was never there): a reply
// wait on it can end at once. One poll() that does not wait.
bool HungUp(const IO::SerialStream& stream);

// Sleeps for ns in short slices; false when stop was set meanwhile.
bool Pause(int64_t ns, const std::atomic<bool>& stop);

// Closes device's failed stream, then, once the port at path can be opened
// again, gives device a new stream on it, held in owned. False only when
// stop is set first. path must outlive the stream.
bool Reattach(Devices::Device& device, std::unique_ptr<IO::SerialStream>& owned, const std::string& path,
              const std::atomic<bool>& stop);

}  // namespace reopen
}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
