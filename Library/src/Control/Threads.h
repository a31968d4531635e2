// The control layer's threads: how one is ended, and how a loop's thread
// asks the system for its place.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <thread>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

// Joins thread, unless called on that very thread (an object destroyed from
// a callback its own thread runs): it is then detached to end by itself, and
// whatever it uses must be kept alive by the thread (a shared state).
inline void JoinUnlessSelf(std::thread& thread) {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
    } else {
        thread.join();
    }
}

// SCHED_FIFO for the calling thread, when this process may have it.
inline bool MakeRealtime() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

// The calling thread on one CPU only.
inline bool PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
