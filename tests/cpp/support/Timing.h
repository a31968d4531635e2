// Wall time on the monotonic clock, for the tests that bound how long a wait lasts.
#pragma once

#include <chrono>

namespace vantor_test {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace vantor_test
