// The servo loop's schedule: absolute deadlines one period apart, so timing
// errors do not add up; a late cycle restarts the schedule from its end,
// with no burst of catch-up cycles. The clock is the caller's, so the
// schedule can be tested without one.
#pragma once

#include <atomic>
#include <cstdint>

#include "Clock.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class Pacer {
public:
    Pacer(int64_t period_ns, int64_t spin_ns) : period_ns_(period_ns), spin_ns_(spin_ns) {}

    // Sleeps all the way to each deadline: a thread at real-time priority
    // must not spin, or what shares its core waits.
    void NeverSpin() { spin_ns_ = 0; }

    // A new schedule whose first deadline is now.
    void Restart(int64_t now_ns) { deadline_ns_ = now_ns; }
    // How long after its deadline a cycle started.
    int64_t Jitter(int64_t start_ns) const { return start_ns - deadline_ns_; }
    // Moves to the next deadline once the cycle's work has ended at now_ns;
    // true when that was past the deadline: a late cycle.
    bool Advance(int64_t now_ns) {
        deadline_ns_ += period_ns_;
        if (now_ns <= deadline_ns_) return false;
        deadline_ns_ = now_ns;
        return true;
    }
    int64_t deadline_ns() const { return deadline_ns_; }

    // Sleeps until shortly before the deadline (a stop ends the sleep at
    // once), then spins the last stretch: the core is free between cycles
    // and the start is still on time.
    void Wait(const std::atomic<bool>& stop) const {
        if (!clock::SleepUntil(deadline_ns_ - spin_ns_, stop)) return;
        while (clock::Now() < deadline_ns_ && !stop.load(std::memory_order_relaxed)) {
        }
    }

private:
    const int64_t period_ns_;
    int64_t spin_ns_;
    int64_t deadline_ns_ = 0;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
