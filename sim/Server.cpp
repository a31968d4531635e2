#include "Server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

namespace sim {
namespace {

using std::chrono::duration;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

// Flipping this bit turns every reply code into one neither device uses.
constexpr std::uint8_t kWrongCodeBit = 0x40;
// Compact frames wait while this much is still unread, so a client that is
// away never finds more than a few stale frames and a write never blocks.
constexpr std::size_t kStreamBacklog = 1024;
// How long a reply may take to get out, and how long closing waits for the
// client to read what was sent.
constexpr auto kWriteTimeout = std::chrono::seconds(2);
constexpr auto kDrainTimeout = std::chrono::seconds(3);
constexpr std::size_t kReadChunk = 4096;

struct Outgoing {
    Clock::time_point due;
    Bytes bytes;
};

class Loop {
public:
    Loop(PseudoTerminal& pty, SimDevice& device, const Options& options, int signalFd, int stdinFd)
        : pty_(pty), device_(device), options_(options), signalFd_(signalFd), stdinFd_(stdinFd) {}

    int run();

private:
    void log(const char* what, const Bytes& bytes) const;
    bool send(const Bytes& bytes);
    void takeRequests(Clock::time_point now);
    bool waitForClientToRead();

    PseudoTerminal& pty_;
    SimDevice& device_;
    const Options& options_;
    const int signalFd_;
    const int stdinFd_;

    Bytes input_;
    std::deque<Outgoing> outgoing_;
    long requests_ = 0;
    bool closing_ = false;
};

void Loop::log(const char* what, const Bytes& bytes) const {
    if (!options_.verbose) return;
    std::fprintf(stderr, "vantor-sim: %s", what);
    for (std::size_t i = 0; i < bytes.size() && i < 32; ++i) std::fprintf(stderr, " %02x", bytes[i]);
    std::fprintf(stderr, bytes.size() > 32 ? " ... (%zu bytes)\n" : " (%zu bytes)\n", bytes.size());
}

// One message goes out whole or not at all as far as we can help it: the
// host has no way to resynchronise.
bool Loop::send(const Bytes& bytes) {
    const auto deadline = Clock::now() + kWriteTimeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        const auto left = duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd out{pty_.master(), POLLOUT, 0};
        poll(&out, 1, static_cast<int>(std::min<long long>(left, 100)));
    }
    if (done < bytes.size() && options_.verbose)
        std::fprintf(stderr, "vantor-sim: sent %zu of %zu bytes: %s\n", done, bytes.size(), std::strerror(errno));
    return done == bytes.size();
}

void Loop::takeRequests(Clock::time_point now) {
    std::size_t offset = 0;
    while (offset < input_.size() && !closing_) {
        const long length = device_.requestLength(input_.data() + offset, input_.size() - offset);
        if (length == 0) break;  // the rest comes with a later read
        if (length < 0) {
            if (options_.verbose) std::fprintf(stderr, "vantor-sim: skipping unknown byte %02x\n", input_[offset]);
            ++offset;
            continue;
        }
        const auto* request = input_.data() + offset;
        log("request", Bytes(request, request + length));
        Bytes reply = device_.answer(request, static_cast<std::size_t>(length), now);
        offset += static_cast<std::size_t>(length);
        ++requests_;

        if (!reply.empty() && options_.wrongCode) reply[0] ^= kWrongCodeBit;
        if (options_.shortLength >= 0 && reply.size() > static_cast<std::size_t>(options_.shortLength))
            reply.resize(static_cast<std::size_t>(options_.shortLength));
        if (!options_.silent && !reply.empty()) outgoing_.push_back({now + milliseconds(options_.delayMs), reply});
        if (options_.closeAfter > 0 && requests_ >= options_.closeAfter) closing_ = true;
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<long>(offset));
    if (closing_) input_.clear();
}

// The terminal drops unread bytes when it closes, so give the client the
// chance to read the last replies first. Returns false when a signal cut the
// wait short.
bool Loop::waitForClientToRead() {
    const auto deadline = Clock::now() + kDrainTimeout;
    while (pty_.unreadByClient() > 0 && Clock::now() < deadline) {
        pollfd p{signalFd_, POLLIN, 0};
        if (poll(&p, 1, 2) > 0) return false;
    }
    return true;
}

int Loop::run() {
    const bool streaming = options_.streamHz > 0.0;
    const auto period = duration_cast<Clock::duration>(duration<double>(1.0 / (streaming ? options_.streamHz : 1.0)));
    auto nextFrame = Clock::now() + period;
    std::uint8_t chunk[kReadChunk];

    for (;;) {
        auto now = Clock::now();
        while (!outgoing_.empty() && outgoing_.front().due <= now) {
            log("reply", outgoing_.front().bytes);
            send(outgoing_.front().bytes);
            outgoing_.pop_front();
        }
        if (closing_ && outgoing_.empty()) {
            waitForClientToRead();
            if (options_.verbose) std::fprintf(stderr, "vantor-sim: closing after %ld requests\n", requests_);
            return 0;
        }
        if (streaming && !closing_ && now >= nextFrame) {
            if (pty_.unreadByClient() < kStreamBacklog) send(device_.streamFrame(now));
            nextFrame += period;
            if (nextFrame < now) nextFrame = now + period;  // fell behind: skip, do not burst
        }

        auto wake = Clock::time_point::max();
        if (!outgoing_.empty()) wake = outgoing_.front().due;
        if (streaming && !closing_) wake = std::min(wake, nextFrame);
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (wake != Clock::time_point::max()) {
            const auto left = std::max(Clock::duration::zero(), wake - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            timeoutPtr = &timeout;
        }

        pollfd fds[3] = {{signalFd_, POLLIN, 0}, {closing_ ? -1 : pty_.master(), POLLIN, 0}, {stdinFd_, POLLIN, 0}};
        const int ready = ppoll(fds, 3, timeoutPtr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::perror("vantor-sim: poll");
            return 1;
        }
        if (fds[0].revents != 0) return 0;
        if (fds[2].revents != 0) {
            char discard[256];
            const ssize_t n = read(stdinFd_, discard, sizeof discard);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return 0;
        }
        if ((fds[1].revents & (POLLERR | POLLNVAL | POLLHUP)) && !(fds[1].revents & POLLIN)) {
            std::fprintf(stderr, "vantor-sim: terminal failed\n");
            return 1;
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = read(pty_.master(), chunk, sizeof chunk);
            if (n > 0) {
                input_.insert(input_.end(), chunk, chunk + n);
                takeRequests(Clock::now());
            } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                std::perror("vantor-sim: read");
                return 1;
            }
        }
    }
}

}  // namespace

int serve(PseudoTerminal& pty, SimDevice& device, const Options& options, int signalFd, int stdinFd) {
    Loop loop(pty, device, options, signalFd, stdinFd);
    return loop.run();
}

}  // namespace sim
