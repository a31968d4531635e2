// Inside the library: the state reply of a control exchange read with why it
// ended. ReceiveState folds every failure into false, and a reply of another
// code costs it a drain wait of a whole time-out; a servo loop needs to know
// what answered, and to be back within its period.
#pragma once

#include <cstdint>

#include "Vantor/HardwareAPI/Devices/Talon.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

enum class StateRead {
    State,    // position and velocity decoded
    Other,    // a reply of another code came: code says which; what waited behind it is discarded
    NoReply,  // nothing came within the reply time-out, or the read failed or was ended
};

StateRead ReadStateReply(Talon& talon, float* position, float* velocity, uint8_t& code);

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
