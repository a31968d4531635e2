#include "Vantor/HardwareAPI/Control/Lending.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Lease.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

// A port as the system knows it, whatever path names it: a terminal by its
// device number, anything else by its file.
struct PortId {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
    bool operator==(const PortId& other) const {
        return known && other.known && device == other.device && inode == other.inode;
    }
};

PortId IdOf(const struct stat& info) {
    if (S_ISCHR(info.st_mode)) return {info.st_rdev, 0, true};
    return {info.st_dev, info.st_ino, true};
}

PortId OpenPort(const Devices::Device& device) {
    struct stat info {};
    if (device.stream == nullptr || !device.stream->IsOpen() || fstat(device.stream->buffer->fd, &info) != 0) return {};
    return IdOf(info);
}

PortId PathPort(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) return {};
    return IdOf(info);
}

// Not read from the borrower's stream later: a loop that reconnects
// closes it, and swaps it from its own thread. Its port is the one its path
// leads to, which follows the device (a by-id link); the number its gone
// terminal had may be given to another device meanwhile.
struct Lent {
    const Devices::Device* device;
    const char* borrower;
    PortId port;  // recorded when lent
    std::string reconnect_path;

    PortId Port() const { return reconnect_path.empty() ? port : PathPort(reconnect_path); }
};

std::mutex g_mutex;
std::vector<Lent> g_lent;
// Read without the lock on every call of a device's owner: most programs
// lend nothing.
std::atomic<int> g_count{0};

}  // namespace

const char* BorrowerOf(const Devices::Device& device) {
    if (g_count.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& entry : g_lent) {
        if (entry.device == &device) return entry.borrower;
    }
    return nullptr;
}

Lease::Lease(const Devices::Device& device, const char* borrower, const std::string& reconnect_path)
    : device_(device) {
    const PortId mine[] = {OpenPort(device), PathPort(reconnect_path)};
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& entry : g_lent) {
        const PortId theirs = entry.Port();
        if (entry.device == &device || mine[0] == theirs || mine[1] == theirs)
            throw std::runtime_error(std::string("this port is already driven by a ") + entry.borrower +
                                     " of this program: stop it first");
    }
    g_lent.push_back({&device, borrower, mine[0], reconnect_path});
    g_count.fetch_add(1, std::memory_order_release);
}

const char* Lease::OtherBorrowerOf(const Devices::Device& device, const std::string& path) {
    if (g_count.load(std::memory_order_acquire) < 2) return nullptr;
    const PortId port = PathPort(path);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& entry : g_lent) {
        if (entry.device == &device) continue;
        if (port == entry.Port()) return entry.borrower;
    }
    return nullptr;
}

Lease::~Lease() {
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = std::find_if(g_lent.begin(), g_lent.end(), [&](const Lent& e) { return e.device == &device_; });
    if (it != g_lent.end()) g_lent.erase(it);
    g_count.fetch_sub(1, std::memory_order_release);
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
