#include "Vantor/HardwareAPI/Control/GripReader.h"

#include <poll.h>
#include <time.h>

#include "Vantor/HardwareAPI/Log.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

constexpr int64_t kNsPerS = 1000000000;
// A compact frame: its code and 19 stuffed bytes.
constexpr int kFrameBytes = 20;
// One byte on the line: 10 bits at 115200 baud.
constexpr int64_t kByteNs = 10 * kNsPerS / 115200;
// How often a quiet wait looks whether the reader should stop.
constexpr int kQuietPollMs = 50;

int64_t Clock(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

void SleepNs(int64_t ns) {
    const timespec ts{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
    nanosleep(&ts, nullptr);
}

bool StopRequested(void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(std::memory_order_acquire); }

}  // namespace

GripReader::GripReader(Devices::Handle& handle, bool wakeup, OnStatus on_status, void* context)
    : handle_(handle), wakeup_(wakeup), on_status_(on_status), context_(context) {}

GripReader::~GripReader() { Stop(); }

void GripReader::Start() {
    if (running()) return;
    stop_.store(false, std::memory_order_release);
    started_ns_.store(Clock(CLOCK_MONOTONIC), std::memory_order_release);
    thread_ = std::thread([this] { Run(); });
}

void GripReader::Stop() {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_release);
    thread_.join();
}

double GripReader::now() const {
    return static_cast<double>(Clock(CLOCK_MONOTONIC) - started_ns_.load(std::memory_order_acquire)) / kNsPerS;
}

GripStats GripReader::stats() const {
    GripStats s;
    s.frames_good = good_.load(std::memory_order_relaxed);
    s.frames_bad = bad_.load(std::memory_order_relaxed);
    const double seconds =
        static_cast<double>(last_ns_.load(std::memory_order_relaxed) - started_ns_.load(std::memory_order_relaxed)) /
        kNsPerS;
    if (seconds > 0) {
        s.rate_hz = static_cast<double>(s.frames_good) / seconds;
        s.cpu_percent = static_cast<double>(cpu_ns_.load(std::memory_order_relaxed)) / kNsPerS / seconds * 100.0;
    }
    s.device_log_lines = log_lines_.load(std::memory_order_relaxed);
    return s;
}

void GripReader::Run() {
    Devices::WaitAbortScope abort(&StopRequested, &stop_);
    const unsigned long long log_lines_before = LogLinesOfThisThread();
    const int64_t start = started_ns_.load(std::memory_order_acquire);
    if (wakeup_) handle_.SendDeviceWakeup();

    while (!stop_.load(std::memory_order_acquire)) {
        const int fd = handle_.stream->buffer ? handle_.stream->buffer->fd : -1;
        if (fd < 0 || handle_.stream->rdstate() != std::ios_base::goodbit) {
            SleepNs(kQuietPollMs * 1000000LL);  // nothing to read from: the stream has failed
        } else {
            // Sleep in the kernel until the frame's first bytes are there...
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, kQuietPollMs);
            if (ready > 0 && (p.revents & POLLIN)) {
                // ...then for the bytes still on the line.
                const int waiting = handle_.stream->Available();
                if (waiting < kFrameBytes) SleepNs((kFrameBytes - waiting) * kByteNs);
                const Devices::QuillonStatus status = handle_.GetQuillonStatus();
                const int64_t now = Clock(CLOCK_MONOTONIC);
                if (status.error_flag == 1) {
                    bad_.fetch_add(1, std::memory_order_relaxed);
                } else if (status.error_flag != 2 || status.battery_level != 0.0f) {
                    GripSample sample;
                    sample.status = status;
                    sample.t = static_cast<double>(now - start) / kNsPerS;
                    sample.valid = true;
                    latest_.StoreSingleWriter(sample);
                    good_.fetch_add(1, std::memory_order_relaxed);
                    if (on_status_ != nullptr) on_status_(sample, context_);
                }
                last_ns_.store(now, std::memory_order_relaxed);
            } else if (ready > 0) {
                SleepNs(kQuietPollMs * 1000000LL);  // hung up: poll would answer at once, forever
            }
        }
        last_ns_.store(Clock(CLOCK_MONOTONIC), std::memory_order_relaxed);
        cpu_ns_.store(Clock(CLOCK_THREAD_CPUTIME_ID), std::memory_order_relaxed);
        log_lines_.store(LogLinesOfThisThread() - log_lines_before, std::memory_order_relaxed);
    }
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
