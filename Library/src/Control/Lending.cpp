#include "Vantor/HardwareAPI/Control/Lending.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Lease.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

std::mutex g_mutex;
std::vector<std::pair<const Devices::Device*, const char*>> g_lent;
// Read without the lock on every call of a device's owner: most programs
// lend nothing.
std::atomic<int> g_count{0};

}  // namespace

const char* BorrowerOf(const Devices::Device& device) {
    if (g_count.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& entry : g_lent) {
        if (entry.first == &device) return entry.second;
    }
    return nullptr;
}

Lease::Lease(const Devices::Device& device, const char* borrower) : device_(device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& entry : g_lent) {
        const bool same_port = entry.first->stream != nullptr && device.stream != nullptr &&
                               entry.first->stream->SamePort(*device.stream);
        if (entry.first == &device || same_port)
            throw std::runtime_error(std::string("this port is already driven by a ") + entry.second +
                                     " of this program: stop it first");
    }
    g_lent.emplace_back(&device, borrower);
    g_count.fetch_add(1, std::memory_order_release);
}

Lease::~Lease() {
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = std::find_if(g_lent.begin(), g_lent.end(), [&](const auto& e) { return e.first == &device_; });
    if (it != g_lent.end()) g_lent.erase(it);
    g_count.fetch_sub(1, std::memory_order_release);
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
