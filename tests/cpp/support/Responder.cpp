#include "support/Responder.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <utility>

namespace vantor_test {

Responder::Responder(std::string reply, int delay_ms) : reply_(std::move(reply)), delay_ms_(delay_ms) {
    thread_ = std::thread([this] { Run(); });
}

Responder::~Responder() {
    stop_ = true;
    thread_.join();
}

void Responder::Run() {
    while (!stop_) {
        pollfd p{pty_.master(), POLLIN, 0};
        if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) {
            // No client connected reads as a hang-up: wait for one.
            if (p.revents & POLLHUP) usleep(1000);
            continue;
        }
        char byte = 0;
        if (::read(pty_.master(), &byte, 1) != 1) continue;
        if (byte != 0x0A) continue;
        ++wakeups_;
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
        pty_.Send(reply_);
    }
}

}  // namespace vantor_test
