#include "Vantor/HardwareAPI/Control/GripReader.h"

#include <poll.h>
#include <time.h>

#include <utility>

#include "Reopen.h"
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

}  // namespace

GripReader::GripReader(Devices::Handle& handle, bool wakeup, OnStatus on_status, void* context,
                       Reconnection reconnection)
    : handle_(handle),
      wakeup_(wakeup),
      on_status_(on_status),
      context_(context),
      reconnection_(std::move(reconnection)),
      first_stream_(handle.stream) {}

GripReader::~GripReader() {
    Stop();
    if (reopened_) handle_.stream = first_stream_;
}

void GripReader::Start() {
    if (running()) return;
    stop_.store(false, std::memory_order_release);
    started_ns_.store(Clock(CLOCK_MONOTONIC), std::memory_order_release);
    connected_.store(handle_.stream->rdstate() == std::ios_base::goodbit, std::memory_order_release);
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

const char* GripReader::fault() const {
    return other_device_.load(std::memory_order_acquire) ? "another grip is on the port: not adopted" : "";
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
    s.reconnects = reconnects_.load(std::memory_order_acquire);
    s.device_log_lines = log_lines_.load(std::memory_order_relaxed);
    return s;
}

// The reader's way out of a frame wait (asked every 20 ms of one): a stop,
// or, when it reconnects, a line that hung up in the middle of a frame.
bool GripReader::EndWait(void* reader) {
    const auto* self = static_cast<const GripReader*>(reader);
    if (self->stop_.load(std::memory_order_acquire)) return true;
    return self->reconnection_.enabled && reopen::HungUp(*self->handle_.stream);
}

GripReader::Read GripReader::WaitForFrame(int poll_ms, Devices::QuillonStatus& status) {
    const int fd = handle_.stream->buffer ? handle_.stream->buffer->fd : -1;
    if (fd < 0 || handle_.stream->rdstate() != std::ios_base::goodbit) return Read::Gone;
    // Sleep in the kernel until the frame's first bytes are there...
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, poll_ms);
    if (ready <= 0) return Read::Quiet;
    // A hung-up line answers poll at once, forever, and holds nothing to read.
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return Read::Gone;
    // ...then for the bytes still on the line.
    const int waiting = handle_.stream->Available();
    if (waiting < kFrameBytes) SleepNs((kFrameBytes - waiting) * kByteNs);
    status = handle_.GetQuillonStatus();
    if (status.error_flag == 1) return Read::Bad;
    // Flag 2 with nothing decoded: no frame came after all.
    if (status.error_flag == 2 && status.battery_level == 0.0f) return Read::Quiet;
    return Read::Good;
}

void GripReader::Store(const Devices::QuillonStatus& status, int64_t now_ns) {
    GripSample sample;
    sample.status = status;
    sample.t = static_cast<double>(now_ns - started_ns_.load(std::memory_order_relaxed)) / kNsPerS;
    sample.valid = true;
    latest_.StoreSingleWriter(sample);
    good_.fetch_add(1, std::memory_order_relaxed);
    if (on_status_ != nullptr) on_status_(sample, context_);
}

bool GripReader::Reconnect() {
    connected_.store(false, std::memory_order_release);
    const int64_t after_ns = static_cast<int64_t>(reconnection_.after_s * kNsPerS);
    while (!stop_.load(std::memory_order_acquire)) {
        if (!reopen::Reattach(handle_, reopened_, reconnection_.port_path, stop_)) return false;
        // A grip that comes back is silent until woken; its first frame says which grip it is.
        handle_.SendDeviceWakeup();
        Devices::QuillonStatus status;
        Read read = Read::Quiet;
        for (int64_t waited = 0; read != Read::Good && read != Read::Gone && waited < after_ns;
             waited += kQuietPollMs * 1000000LL) {
            if (stop_.load(std::memory_order_acquire)) return false;
            read = WaitForFrame(kQuietPollMs, status);
            if (read == Read::Bad) bad_.fetch_add(1, std::memory_order_relaxed);
        }
        if (read != Read::Good) continue;
        if (identity_known_ && status.device_id != identity_) {
            other_device_.store(true, std::memory_order_release);
            if (!reopen::Pause(after_ns, stop_)) return false;
            continue;
        }
        identity_ = status.device_id;
        identity_known_ = true;
        other_device_.store(false, std::memory_order_release);
        // Connected before it is counted: whoever sees the count sees the grip back.
        connected_.store(true, std::memory_order_release);
        reconnects_.fetch_add(1, std::memory_order_release);
        Store(status, Clock(CLOCK_MONOTONIC));
        return true;
    }
    return false;
}

void GripReader::Run() {
    Devices::WaitAbortScope abort(&EndWait, this);
    const unsigned long long log_lines_before = LogLinesOfThisThread();
    const int64_t reconnect_after_ns = static_cast<int64_t>(reconnection_.after_s * kNsPerS);
    if (wakeup_) handle_.SendDeviceWakeup();
    int64_t last_frame_ns = Clock(CLOCK_MONOTONIC);

    while (!stop_.load(std::memory_order_acquire)) {
        Devices::QuillonStatus status;
        const Read read = WaitForFrame(kQuietPollMs, status);
        const int64_t now = Clock(CLOCK_MONOTONIC);
        if (read == Read::Good) {
            if (!identity_known_) {
                identity_ = status.device_id;
                identity_known_ = true;
            }
            Store(status, now);
            last_frame_ns = now;
        } else if (read == Read::Bad) {
            bad_.fetch_add(1, std::memory_order_relaxed);
        }
        if (read == Read::Gone) connected_.store(false, std::memory_order_release);

        if (reconnection_.enabled && (read == Read::Gone || now - last_frame_ns >= reconnect_after_ns)) {
            if (!Reconnect()) break;
            last_frame_ns = Clock(CLOCK_MONOTONIC);
        } else if (read == Read::Gone) {
            SleepNs(kQuietPollMs * 1000000LL);  // nothing to read from: the stream has failed
        }
        last_ns_.store(Clock(CLOCK_MONOTONIC), std::memory_order_relaxed);
        cpu_ns_.store(Clock(CLOCK_THREAD_CPUTIME_ID), std::memory_order_relaxed);
        log_lines_.store(LogLinesOfThisThread() - log_lines_before, std::memory_order_relaxed);
    }
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
