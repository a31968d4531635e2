#include "Vantor/HardwareAPI/Devices/Device.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

namespace {

// Error lines name this source and fixed lines: callers match on them.
constexpr const char* kSourcePath = "Library/src/Device.cpp";
constexpr unsigned kHeaderTimeoutLine = 58;
constexpr unsigned kHeaderReadFailureLine = 75;
constexpr unsigned kPayloadTimeoutLine = 87;
constexpr unsigned kPayloadReadFailureLine = 97;

// Whole seconds of a monotonic clock: a wall-clock step can neither end a
// wait early nor stretch it, and a 5 s time-out still ends between 5 and 6 s.
double WholeSeconds() {
    using namespace std::chrono;
    return std::floor(duration<double>(steady_clock::now().time_since_epoch()).count());
}

bool TimedOut(float timeout, double start) {
    return timeout > 0 && (WholeSeconds() - start) > static_cast<double>(timeout);
}

void LogError(unsigned line, const char* message) {
    const int error = errno;
    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %s\n", kSourcePath, line, message, error,
                 std::strerror(error));
    std::fflush(stderr);
}

}  // namespace

Device::Device(IO::SerialStream* stream)
    : timeout(5.0f),
      stream(stream),
      send_buffer(std::make_unique<uint8_t[]>(kBufferSize)),
      receive_buffer(std::make_unique<uint8_t[]>(kBufferSize)) {}

uint8_t Device::ReadHeaderCode() {
    const double start = WholeSeconds();
    for (;;) {
        if (stream->Available() > 0) {
            stream->read(reinterpret_cast<char*>(receive_buffer.get()), 1);
            if (stream->rdstate() == std::ios_base::goodbit) return receive_buffer[0];
            if (stream->eof()) return 0;
            LogError(kHeaderReadFailureLine, "unable to read header code from stream");
            return 0;
        }
        if (TimedOut(timeout, start)) {
            LogError(kHeaderTimeoutLine, "timeout waiting for header code");
            return 0;
        }
    }
}

int Device::ReadBytes(std::size_t n) {
    // Nothing larger fits the receive buffer.
    if (n > kBufferSize) return 0;
    const double start = WholeSeconds();
    while (static_cast<std::size_t>(stream->Available()) < n) {
        if (TimedOut(timeout, start)) {
            const int error = errno;
            std::fprintf(stderr, "[err] %s:%u> timeout waiting for '%zu' bytes: [%d] %s\n",
                         kSourcePath, kPayloadTimeoutLine, n, error, std::strerror(error));
            std::fflush(stderr);
            return 0;
        }
    }
    stream->read(reinterpret_cast<char*>(receive_buffer.get()), static_cast<std::streamsize>(n));
    if (stream->rdstate() == std::ios_base::goodbit) return static_cast<int>(stream->gcount());
    if (stream->eof()) return 0;
    const int error = errno;
    std::fprintf(stderr, "[err] %s:%u> unable to read '%zu' bytes from stream: [%d] %s\n",
                 kSourcePath, kPayloadReadFailureLine, n, error, std::strerror(error));
    std::fflush(stderr);
    return 0;
}

void Device::SendValues(uint8_t code, const float* values, int& count) {
    // 255 floats fill the buffer; a larger count would write past it.
    if (count > 255) return;
    send_buffer[0] = code;
    const int n = count > 0 ? count : 0;
    std::memcpy(send_buffer.get() + 1, values, static_cast<std::size_t>(n) * sizeof(float));
    stream->Write(send_buffer.get(), 1 + static_cast<std::size_t>(n) * sizeof(float));
}

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
