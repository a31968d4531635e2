#pragma once

namespace Vantor {
namespace HardwareAPI {

// The library's own version, independent of the Python module's __version__.
const char* get_cpp_version();

}  // namespace HardwareAPI
}  // namespace Vantor
