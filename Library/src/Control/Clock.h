// The control layer's one clock: monotonic nanoseconds, and sleeps on it.
#pragma once

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>

namespace Vantor {
namespace HardwareAPI {
namespace Control {
namespace clock {

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerS = 1000000000;

inline int64_t Read(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

inline int64_t Now() { return Read(CLOCK_MONOTONIC); }
// CPU time of the calling thread.
inline int64_t ThreadCpu() { return Read(CLOCK_THREAD_CPUTIME_ID); }

// Settings are checked before they get here; a saturating conversion keeps
// even an unchecked value from overflowing.
inline int64_t FromSeconds(double seconds) {
    const double ns = std::round(seconds * static_cast<double>(kNsPerS));
    if (!(ns > 0)) return 0;
    return ns >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(ns);
}

inline double ToSeconds(int64_t ns) { return static_cast<double>(ns) / static_cast<double>(kNsPerS); }

inline void SleepUntil(int64_t deadline_ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadline_ns / kNsPerS);
    ts.tv_nsec = static_cast<long>(deadline_ns % kNsPerS);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

inline void SleepFor(int64_t ns) {
    if (ns > 0) SleepUntil(Now() + ns);
}

// Sleeps until deadline_ns in slices short enough that a stop ends even a
// long sleep at once; false when stop was set.
inline bool SleepUntil(int64_t deadline_ns, const std::atomic<bool>& stop) {
    constexpr int64_t kSliceNs = 10 * kNsPerMs;
    while (!stop.load(std::memory_order_acquire)) {
        const int64_t now = Now();
        if (now >= deadline_ns) return true;
        SleepUntil(std::min(deadline_ns, now + kSliceNs));
    }
    return false;
}

inline bool Pause(int64_t ns, const std::atomic<bool>& stop) { return SleepUntil(Now() + ns, stop); }

}  // namespace clock
}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
