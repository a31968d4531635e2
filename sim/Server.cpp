#include "Server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

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
// Room for a read after the unfinished request an earlier one may leave,
// which is never more than 258 bytes.
constexpr std::size_t kInputCapacity = kReadChunk + 512;

struct Outgoing {
    Clock::time_point due;
    Message reply;
};

class Loop {
public:
    Loop(PseudoTerminal& pty, SimDevice& device, const Options& options, const Signals& signals)
        : pty_(pty), device_(device), options_(options), signals_(signals) {}

    int run();

private:
    void log(const char* what, const std::uint8_t* bytes, std::size_t size) const;
    bool send(const Message& message);
    void takeRequests(Clock::time_point now);
    void sendDueReplies(Clock::time_point now);
    bool repliesPending() const { return delayedSent_ < delayed_.size(); }
    bool waitForClientToRead();

    PseudoTerminal& pty_;
    SimDevice& device_;
    const Options& options_;
    const Signals& signals_;

    std::array<std::uint8_t, kInputCapacity> input_;
    std::size_t inputSize_ = 0;
    Message reply_;
    Message frame_;
    // Replies held back by --delay, due in the order they were made. Sent
    // ones leave in batches, so the storage is reused, not reallocated.
    std::vector<Outgoing> delayed_;
    std::size_t delayedSent_ = 0;
    long requests_ = 0;
    bool closing_ = false;
};

void Loop::log(const char* what, const std::uint8_t* bytes, std::size_t size) const {
    if (!options_.verbose) return;
    std::fprintf(stderr, "vantor-sim: %s", what);
    for (std::size_t i = 0; i < size && i < 32; ++i) std::fprintf(stderr, " %02x", bytes[i]);
    std::fprintf(stderr, size > 32 ? " ... (%zu bytes)\n" : " (%zu bytes)\n", size);
}

// One message goes out whole or not at all as far as we can help it: the
// host has no way to resynchronise.
bool Loop::send(const Message& message) {
    const std::uint8_t* bytes = message.data();
    const std::size_t size = message.size();
    std::size_t done = 0;
    Clock::time_point deadline{};  // from the first time the terminal is full
    while (done < size) {
        const ssize_t n = write(pty_.master(), bytes + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        const auto now = Clock::now();
        if (deadline == Clock::time_point{}) deadline = now + kWriteTimeout;
        const auto left = duration_cast<milliseconds>(deadline - now).count();
        if (left <= 0) break;
        pollfd out{pty_.master(), POLLOUT, 0};
        poll(&out, 1, static_cast<int>(std::min<long long>(left, 100)));
    }
    if (done < size && options_.verbose)
        std::fprintf(stderr, "vantor-sim: sent %zu of %zu bytes: %s\n", done, size, std::strerror(errno));
    return done == size;
}

void Loop::takeRequests(Clock::time_point now) {
    std::size_t offset = 0;
    while (offset < inputSize_ && !closing_) {
        const std::uint8_t* request = input_.data() + offset;
        const long length = device_.requestLength(request, inputSize_ - offset);
        if (length == 0) break;  // the rest comes with a later read
        if (length < 0) {
            if (options_.verbose) std::fprintf(stderr, "vantor-sim: skipping unknown byte %02x\n", *request);
            ++offset;
            continue;
        }
        log("request", request, static_cast<std::size_t>(length));
        reply_.clear();
        device_.answer(request, static_cast<std::size_t>(length), now, reply_);
        offset += static_cast<std::size_t>(length);
        ++requests_;

        if (!reply_.empty() && options_.wrongCode) reply_[0] ^= kWrongCodeBit;
        if (options_.shortLength >= 0) reply_.truncate(static_cast<std::size_t>(options_.shortLength));
        if (!options_.silent && !reply_.empty()) {
            if (options_.delayMs > 0) {
                delayed_.push_back({now + milliseconds(options_.delayMs), reply_});
            } else {
                log("reply", reply_.data(), reply_.size());
                send(reply_);
            }
        }
        if (options_.closeAfter > 0 && requests_ >= options_.closeAfter) closing_ = true;
    }
    if (closing_) {
        inputSize_ = 0;
        return;
    }
    std::memmove(input_.data(), input_.data() + offset, inputSize_ - offset);
    inputSize_ -= offset;
}

void Loop::sendDueReplies(Clock::time_point now) {
    while (repliesPending() && delayed_[delayedSent_].due <= now) {
        const Message& reply = delayed_[delayedSent_++].reply;
        log("reply", reply.data(), reply.size());
        send(reply);
    }
    if (delayedSent_ > 0 && 2 * delayedSent_ >= delayed_.size()) {
        delayed_.erase(delayed_.begin(), delayed_.begin() + static_cast<long>(delayedSent_));
        delayedSent_ = 0;
    }
}

// The terminal drops unread bytes when it closes, so give the client the
// chance to read the last replies first. Returns false when a signal cut the
// wait short.
bool Loop::waitForClientToRead() {
    const auto deadline = Clock::now() + kDrainTimeout;
    const timespec pause{0, 2000000};
    while (pty_.unreadByClient() > 0 && Clock::now() < deadline) {
        ppoll(nullptr, 0, &pause, signals_.waitMask());
        if (Signals::raised()) return false;
    }
    return true;
}

int Loop::run() {
    bool streaming = options_.streamHz > 0.0;
    long framesSent = 0;
    const auto period = duration_cast<Clock::duration>(duration<double>(1.0 / (streaming ? options_.streamHz : 1.0)));
    auto nextFrame = Clock::now() + period;

    for (;;) {
        if (Signals::raised()) return 0;
        const auto now = Clock::now();
        sendDueReplies(now);
        if (closing_ && !repliesPending()) {
            waitForClientToRead();
            if (options_.verbose) std::fprintf(stderr, "vantor-sim: closing after %ld requests\n", requests_);
            return 0;
        }
        if (streaming && !closing_ && now >= nextFrame) {
            if (pty_.unreadByClient() < kStreamBacklog) {
                frame_.clear();
                device_.streamFrame(now, frame_);
                send(frame_);
                // A counted stream ends after its last frame; requests are still answered.
                if (++framesSent == options_.frames) streaming = false;
            }
            nextFrame += period;
            if (nextFrame < now) nextFrame = now + period;  // fell behind: skip, do not burst
        }

        auto wake = Clock::time_point::max();
        if (repliesPending()) wake = delayed_[delayedSent_].due;
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

        // Only the terminal is polled, so a request costs one poll, one read
        // and one write; with nothing timed pending the wait arms no timer.
        pollfd terminal{closing_ ? -1 : pty_.master(), POLLIN, 0};
        if (ppoll(&terminal, 1, timeoutPtr, signals_.waitMask()) < 0) {
            if (errno == EINTR) continue;  // a signal: seen at the top
            std::perror("vantor-sim: poll");
            return 1;
        }
        if ((terminal.revents & (POLLERR | POLLNVAL | POLLHUP)) && !(terminal.revents & POLLIN)) {
            std::fprintf(stderr, "vantor-sim: terminal failed\n");
            return 1;
        }
        if (terminal.revents & POLLIN) {
            const ssize_t n = read(pty_.master(), input_.data() + inputSize_, input_.size() - inputSize_);
            if (n > 0) {
                inputSize_ += static_cast<std::size_t>(n);
                takeRequests(Clock::now());
            } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                std::perror("vantor-sim: read");
                return 1;
            }
        }
    }
}

}  // namespace

int serve(PseudoTerminal& pty, SimDevice& device, const Options& options, const Signals& signals) {
    Loop loop(pty, device, options, signals);
    return loop.run();
}

}  // namespace sim
