// The fixed-size vectors of the arm's requests and replies.
#pragma once

#include <array>

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

using Vector3 = std::array<float, 3>;
using Vector4 = std::array<float, 4>;

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
