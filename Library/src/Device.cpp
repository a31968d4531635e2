#include "Vantor/HardwareAPI/Devices/Device.h"

#include <poll.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "Framing.h"
#include "Log.h"
#include "Port.h"
#include "Wire.h"

namespace Vantor {
namespace HardwareAPI {
namespace Devices {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAbortCheckInterval = std::chrono::milliseconds(20);

thread_local WaitAbortScope* t_abort_scope = nullptr;

// Whole seconds of a monotonic clock: a wall-clock step can neither end a
// wait early nor stretch it, and a 5 s time-out still ends between 5 and 6 s.
double WholeSeconds(Clock::time_point t) {
    return std::floor(std::chrono::duration<double>(t.time_since_epoch()).count());
}

bool TimedOutAt(float timeout, double start, Clock::time_point now) {
    return timeout > 0 && (WholeSeconds(now) - start) > static_cast<double>(timeout);
}

// Between two looks at the count of waiting bytes, a reply wait sleeps in the
// kernel instead of spinning: a thread that spins beside the kernel's own
// work that delivers its reply (a terminal's or a USB serial driver's input
// is pushed by a kernel worker) delays that work by up to a scheduler slice.
// The sleep is bounded, so the time-out and the abort check keep their
// granularity. A stream without a descriptor (in memory) is looked at again
// at once, as before.
constexpr int kSleepSliceMs = 10;
// A reply wait stays awake for its first kAwakeFor where that pays: back to
// back, the arm's answer is there within a few tens of microseconds and
// waking from a sleep costs as much again (0.35 of the bare busy-polling
// exchange's rate without the window, 1.0 with it), and at real-time
// priority it takes the median down. Paced without real time it costs: the
// spin delays the kernel's work that delivers the reply (at 1 kHz, exchange
// p50 77-96 us with it, 36-50 us without). A wait that starts within
// kBackToBack of the thread's previous one ends counts as back to back.
constexpr auto kAwakeFor = std::chrono::microseconds(50);
constexpr auto kBackToBack = std::chrono::microseconds(100);

// The calling thread's reply waits: when the last one ended, and whether the
// thread runs at real-time priority (asked once, at its first wait).
struct ThreadWaits {
    Clock::time_point last_end{};
    int realtime = -1;
};
thread_local ThreadWaits t_waits;

Clock::time_point AwakeUntil(Clock::time_point now) {
    ThreadWaits& waits = t_waits;
    if (waits.realtime < 0) {
        const int policy = sched_getscheduler(0);
        waits.realtime = policy == SCHED_FIFO || policy == SCHED_RR;
    }
    const bool back_to_back = now - waits.last_end < kBackToBack;
    return back_to_back || waits.realtime != 0 ? now + kAwakeFor : now;
}

// Notes when a wait ended, for the next one's rule.
framing::ReadEnd Ended(framing::ReadEnd end) {
    t_waits.last_end = Clock::now();
    return end;
}

// A hung-up line answers poll at once; looking again a little later costs
// the same result and no core.
constexpr int64_t kHungUpNapNs = 1000000;

void Nap(int64_t ns) {
    const timespec ts{0, static_cast<long>(ns)};
    nanosleep(&ts, nullptr);
}

// Sleeps until the wanted bytes may be there; `waiting` were. A part of a
// reply that is in does not wake the wait: the line is asked for the whole.
void SleepForBytes(const IO::SerialStream& stream, int waiting, std::size_t wanted) {
    // In memory: looked at again at once.
    if (waiting > 0 && !stream.IsOpen()) return;
    const int at_least = static_cast<int>(std::min<std::size_t>(wanted, Device::kBufferSize));
    // Only a drain wants more than the line can be asked for; with that much
    // in, a slice's sleep between looks.
    if (waiting >= IO::port::kMostCounted) {
        poll(nullptr, 0, kSleepSliceMs);
        return;
    }
    if (stream.WaitReadable(kSleepSliceMs, at_least) == IO::SerialStream::LineWait::HungUp) Nap(kHungUpNapNs);
}

// The abort side of one wait: asks the thread's check now and then, the
// first time once the wait has found nothing for an interval.
class AbortWatch {
public:
    bool Stop(Clock::time_point now) {
        if (scope_ == nullptr) return false;
        if (scope_->aborted()) return true;
        if (!started_) {
            started_ = true;
            next_ = now + kAbortCheckInterval;
            return false;
        }
        if (now < next_) return false;
        next_ = now + kAbortCheckInterval;
        return scope_->Ask();
    }

private:
    WaitAbortScope* scope_ = t_abort_scope;
    bool started_ = false;
    Clock::time_point next_{};
};

}  // namespace

// --- abort scopes -------------------------------------------------------------

WaitAbortScope::WaitAbortScope(Check check, void* context)
    : check_(check), context_(context), previous_(t_abort_scope) {
    t_abort_scope = this;
}

WaitAbortScope::~WaitAbortScope() { t_abort_scope = previous_; }

WaitAbortScope* WaitAbortScope::Current() { return t_abort_scope; }

bool WaitAbortScope::Ask() {
    if (!aborted_ && check_ != nullptr && check_(context_)) aborted_ = true;
    return aborted_;
}

// --- framing ------------------------------------------------------------------

namespace framing {

double WaitStart() { return WholeSeconds(Clock::now()); }

bool TimedOut(const Device& device, double start) { return TimedOutAt(device.timeout, start, Clock::now()); }

void LogHeaderTimeout() { log::Error(log::Line::HeaderTimeout); }

namespace {

ReadEnd WaitForHeaderCode(Device& device, double start) {
    IO::SerialStream& stream = *device.stream;
    AbortWatch abort;
    const Clock::time_point awake_until = AwakeUntil(Clock::now());
    for (;;) {
        const int waiting = stream.Available();
        if (waiting > 0) {
            stream.read(reinterpret_cast<char*>(device.receive_buffer.get()), 1);
            if (stream.rdstate() == std::ios_base::goodbit) return ReadEnd::Complete;
            if (!stream.eof()) log::Error(log::Line::HeaderReadFailed);
            return ReadEnd::ReadFailed;
        }
        const Clock::time_point now = Clock::now();
        if (TimedOutAt(device.timeout, start, now)) {
            LogHeaderTimeout();
            return ReadEnd::TimedOut;
        }
        if (abort.Stop(now)) return ReadEnd::Aborted;
        if (now >= awake_until) SleepForBytes(stream, waiting, 1);
    }
}

ReadEnd WaitForBytes(Device& device, std::size_t n, double start) {
    // Nothing larger fits the receive buffer.
    if (n > Device::kBufferSize) return ReadEnd::ReadFailed;
    IO::SerialStream& stream = *device.stream;
    AbortWatch abort;
    const Clock::time_point awake_until = AwakeUntil(Clock::now());
    for (int waiting = stream.Available(); static_cast<std::size_t>(waiting) < n; waiting = stream.Available()) {
        const Clock::time_point now = Clock::now();
        if (TimedOutAt(device.timeout, start, now)) {
            log::Error(log::Line::PayloadTimeout, n);
            return ReadEnd::TimedOut;
        }
        if (abort.Stop(now)) return ReadEnd::Aborted;
        if (now >= awake_until) SleepForBytes(stream, waiting, n);
    }
    stream.read(reinterpret_cast<char*>(device.receive_buffer.get()), static_cast<std::streamsize>(n));
    if (stream.rdstate() == std::ios_base::goodbit) return ReadEnd::Complete;
    if (!stream.eof()) log::Error(log::Line::PayloadReadFailed, n);
    return ReadEnd::ReadFailed;
}

}  // namespace

ReadEnd ReadHeaderCode(Device& device, double start) { return Ended(WaitForHeaderCode(device, start)); }

ReadEnd ReadBytes(Device& device, std::size_t n, double start) { return Ended(WaitForBytes(device, n, start)); }

ReadEnd ReadBytes(Device& device, std::size_t n) { return ReadBytes(device, n, WaitStart()); }

}  // namespace framing

// --- the device ---------------------------------------------------------------

Device::Device(IO::SerialStream* stream)
    : timeout(5.0f),
      stream(stream),
      send_buffer(std::make_unique<uint8_t[]>(kBufferSize)),
      receive_buffer(std::make_unique<uint8_t[]>(kBufferSize)) {}

uint8_t Device::ReadHeaderCode() {
    if (framing::ReadHeaderCode(*this, framing::WaitStart()) != framing::ReadEnd::Complete) return 0;
    return receive_buffer[0];
}

int Device::ReadBytes(std::size_t n) {
    if (framing::ReadBytes(*this, n) != framing::ReadEnd::Complete) return 0;
    return static_cast<int>(stream->gcount());
}

void Device::SendValues(uint8_t code, const float* values, int& count) {
    // 255 floats fill the buffer; a larger count would write past it.
    if (count > 255) return;
    send_buffer[0] = code;
    const int n = count > 0 ? count : 0;
    std::memcpy(send_buffer.get() + 1, values, static_cast<std::size_t>(n) * sizeof(float));
    stream->Write(send_buffer.get(), 1 + static_cast<std::size_t>(n) * sizeof(float));
}

IO::SerialStream* Device::UseStream(IO::SerialStream* next) {
    IO::SerialStream* previous = stream;
    stream = next;
    return previous;
}

Device::ReplyTimeoutScope::ReplyTimeoutScope(Device& device, float seconds)
    : device_(device), saved_(device.timeout) {
    device_.timeout = seconds;
}

Device::ReplyTimeoutScope::~ReplyTimeoutScope() { device_.timeout = saved_; }

}  // namespace Devices
}  // namespace HardwareAPI
}  // namespace Vantor
