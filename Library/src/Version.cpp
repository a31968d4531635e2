#include "Vantor/HardwareAPI/Version.h"

namespace Vantor {
namespace HardwareAPI {

// The project version, set once in the build.
const char* get_cpp_version() { return VANTOR_VERSION; }

}  // namespace HardwareAPI
}  // namespace Vantor
