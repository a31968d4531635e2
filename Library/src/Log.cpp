#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Vantor/HardwareAPI/Log.h"

namespace Vantor {
namespace HardwareAPI {

namespace {

struct Entry {
    const char* source;
    unsigned line;
    const char* message;  // may take the count as %zu
};

// Callers match on these paths and line numbers: they never change.
constexpr Entry kEntries[] = {
    {"Library/src/SerialStream.cpp", 53, "unable to write '%zu' bytes to stream"},
    {"Library/src/Device.cpp", 58, "timeout waiting for header code"},
    {"Library/src/Device.cpp", 75, "unable to read header code from stream"},
    {"Library/src/Device.cpp", 87, "timeout waiting for '%zu' bytes"},
    {"Library/src/Device.cpp", 97, "unable to read '%zu' bytes from stream"},
};

std::mutex g_sink_mutex;
LogSink g_sink = &WriteLogLineToStandardError;
void* g_context = nullptr;
thread_local unsigned long long t_lines = 0;

}  // namespace

void WriteLogLineToStandardError(const char* line, void*) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

unsigned long long LogLinesOfThisThread() { return t_lines; }

void SetLogSink(LogSink sink, void* context) {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    g_sink = sink != nullptr ? sink : &WriteLogLineToStandardError;
    g_context = sink != nullptr ? context : nullptr;
}

namespace log {

void Error(Line which, std::size_t count) {
    const int error = errno;
    ++t_lines;
    const Entry& entry = kEntries[static_cast<int>(which)];
    // Formatted into a fixed buffer: logging allocates nothing.
    char message[96];
    std::snprintf(message, sizeof message, entry.message, count);
    char line[256];
    std::snprintf(line, sizeof line, "[err] %s:%u> %s: [%d] %s\n", entry.source, entry.line, message, error,
                  std::strerror(error));
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    g_sink(line, g_context);
}

}  // namespace log
}  // namespace HardwareAPI
}  // namespace Vantor
