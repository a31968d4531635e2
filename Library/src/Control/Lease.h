// Lends a device to the loop or reader that drives it, for as long as it
// runs. One borrower per port: a second loop or reader of this process on
// the same port (compared as a device, not as a path) is refused, and the
// bindings refuse the owner's own calls meanwhile (Lending.h).
#pragma once

#include "Vantor/HardwareAPI/Devices/Device.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class Lease {
public:
    // Throws std::runtime_error when the device or its port is lent already.
    Lease(const Devices::Device& device, const char* borrower);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

private:
    const Devices::Device& device_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
