// A device on a pseudo-terminal that answers every wake-up byte (0x0A) with
// a fixed reply, after a delay, on a thread of its own.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "support/PtyDevice.h"

namespace vantor_test {

class Responder {
public:
    explicit Responder(std::string reply, int delay_ms = 0);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    const std::string& path() const { return pty_.path(); }
    int wakeups() const { return wakeups_; }

private:
    void Run();

    PtyDevice pty_;
    std::string reply_;
    int delay_ms_;
    std::atomic<bool> stop_{false};
    std::atomic<int> wakeups_{0};
    std::thread thread_;
};

}  // namespace vantor_test
