// A device driven by a servo loop or a grip reader is lent to it while it
// runs: calls from anyone else would interleave with the loop's exchanges
// (and bypass its force limits), so the bindings refuse them meanwhile.
#pragma once

#include "Vantor/HardwareAPI/Devices/Device.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

// "ServoLoop" or "GripReader" while device is lent to one, else null.
const char* BorrowerOf(const Devices::Device& device);

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
