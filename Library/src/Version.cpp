#include "Vantor/HardwareAPI/Version.h"

namespace Vantor {
namespace HardwareAPI {

const char* get_cpp_version() { return "0.1.8"; }

}  // namespace HardwareAPI
}  // namespace Vantor
