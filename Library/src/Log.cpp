#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>

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

// The sink is called outside the lock, so a sink that waits for something
// (a Python sink waits for the interpreter lock) never holds up a thread
// that only wants to swap sinks or log. A swap waits until no line is being
// delivered, so the old sink's context outlives its last call.
std::mutex g_sink_mutex;
LogSink g_sink = &WriteLogLineToStandardError;
void* g_context = nullptr;
std::atomic<int> g_delivering{0};
thread_local unsigned long long t_lines = 0;
thread_local bool t_in_sink = false;

}  // namespace

void WriteLogLineToStandardError(const char* line, void*) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

unsigned long long LogLinesOfThisThread() { return t_lines; }

void SetLogSink(LogSink sink, void* context) {
    {
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        g_sink = sink != nullptr ? sink : &WriteLogLineToStandardError;
        g_context = sink != nullptr ? context : nullptr;
    }
    // A sink that swaps sinks itself cannot wait for its own delivery.
    if (t_in_sink) return;
    while (g_delivering.load(std::memory_order_acquire) != 0) std::this_thread::yield();
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
    LogSink sink;
    void* context;
    {
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        sink = g_sink;
        context = g_context;
        g_delivering.fetch_add(1, std::memory_order_acq_rel);
    }
    // Undone on any way out of the sink, an unwinding thread's included.
    struct Delivering {
        bool nested = t_in_sink;
        Delivering() { t_in_sink = true; }
        ~Delivering() {
            t_in_sink = nested;
            g_delivering.fetch_sub(1, std::memory_order_acq_rel);
        }
    } delivering;
    sink(line, context);
}

}  // namespace log
}  // namespace HardwareAPI
}  // namespace Vantor
