#include "Reopen.h"

#include <poll.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <utility>

namespace Vantor {
namespace HardwareAPI {
namespace Control {
namespace reopen {

namespace {

constexpr int64_t kSliceNs = 20000000;  // how soon a stop is seen
constexpr int64_t kRetryNs = 50000000;  // between two looks at the path

}  // namespace

bool HungUp(const IO::SerialStream& stream) {
    const int fd = stream.buffer ? stream.buffer->fd : -1;
    if (fd < 0) return true;
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool Pause(int64_t ns, const std::atomic<bool>& stop) {
    while (ns > 0) {
        if (stop.load(std::memory_order_acquire)) return false;
        const int64_t slice = std::min(ns, kSliceNs);
        const timespec ts{0, static_cast<long>(slice)};
        nanosleep(&ts, nullptr);
        ns -= slice;
    }
    return !stop.load(std::memory_order_acquire);
}

bool Reattach(Devices::Device& device, std::unique_ptr<IO::SerialStream>& owned, const std::string& path,
              const std::atomic<bool>& stop) {
    // The failed stream is closed: its terminal is gone for good.
    device.stream->Close();
    while (!stop.load(std::memory_order_acquire)) {
        // stat first: a path that is not there yet costs no failed open.
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            auto stream = std::make_unique<IO::SerialStream>(path.c_str(), true);
            if (stream->buffer && stream->buffer->fd >= 0) {
                owned = std::move(stream);
                device.stream = owned.get();
                // Waits on the failed stream were ended; waits on this one may run.
                if (Devices::WaitAbortScope* scope = Devices::WaitAbortScope::Current()) scope->Rearm();
                return true;
            }
        }
        if (!Pause(kRetryNs, stop)) break;
    }
    return false;
}

}  // namespace reopen
}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
