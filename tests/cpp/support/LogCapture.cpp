#include "support/LogCapture.h"

#include "Vantor/HardwareAPI/Log.h"

namespace vantor_test {

namespace {

// Appended to under the library's sink lock, read once the sink is gone.
std::string g_lines;

void Keep(const char* line, void*) { g_lines += line; }

}  // namespace

void CaptureLog() {
    g_lines.clear();
    Vantor::HardwareAPI::SetLogSink(&Keep, nullptr);
}

std::string CapturedLog() {
    Vantor::HardwareAPI::SetLogSink(nullptr, nullptr);
    std::string lines;
    lines.swap(g_lines);
    return lines;
}

}  // namespace vantor_test
