// The control layer's threads: how one is ended, and how a loop's thread
// asks the system for its place.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

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

// SCHED_FIFO for the calling thread; 0, or why not (an errno value).
inline int MakeRealtime() {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

// A real-time thread that spins can starve what shares its core: with a
// single core online, the reply path would be that.
inline bool EnoughCoresForRealtime() { return sysconf(_SC_NPROCESSORS_ONLN) >= 2; }

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
