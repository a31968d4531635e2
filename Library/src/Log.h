// Inside the library: the one form of an error line and the fixed source
// lines that callers match on.
#pragma once

#include <cstddef>

namespace Vantor {
namespace HardwareAPI {
namespace log {

enum class Line {
    WriteFailed,        // "Library/src/SerialStream.cpp":53
    HeaderTimeout,      // "Library/src/Device.cpp":58
    HeaderReadFailed,   // 75
    PayloadTimeout,     // 87
    PayloadReadFailed,  // 97
};

// Writes the line to the installed sink: "[err] <source>:<line>> <message>:
// [<errno>] <strerror>", the message naming count where it has one. errno is
// taken as the call finds it.
void Error(Line line, std::size_t count = 0);

}  // namespace log
}  // namespace HardwareAPI
}  // namespace Vantor
