// Lends a device to the loop or reader that drives it, for as long as it
// runs. One borrower per port: a second loop or reader of this process on
// the same port (compared as a device, not as a path) is refused, and the
// bindings refuse the owner's own calls meanwhile (Lending.h).
#pragma once

#include <string>

#include "Vantor/HardwareAPI/Devices/Device.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class Lease {
public:
    // Throws std::runtime_error when the device or its port is lent already.
    // The port is the one the device's stream is open on when lent; for a
    // borrower that reconnects (reconnect_path not empty), whatever that
    // path leads to: while it waits for its device with its port closed,
    // the port stays its own.
    Lease(const Devices::Device& device, const char* borrower, const std::string& reconnect_path = {});
    ~Lease();
    Lease(const Lease&) = delete;
    // Who else of this process has the port that path leads to now, or
    // nullptr: a loop that reconnects does not take a port another took
    // meanwhile.
    static const char* OtherBorrowerOf(const Devices::Device& device, const std::string& path);
    Lease& operator=(const Lease&) = delete;

private:
    const Devices::Device& device_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
