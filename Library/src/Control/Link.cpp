#include "Link.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "Clock.h"
#include "Lease.h"
#include "Vantor/HardwareAPI/Control/SettingError.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

constexpr int64_t kRetryNs = 50 * clock::kNsPerMs;  // between two looks at the path
// One try at identifying gets a quarter of the reconnection bound, and at
// least this: a wake-up reply takes a few ms.
constexpr int64_t kShortestTryNs = 50 * clock::kNsPerMs;

// Waits of this thread that were ended may run again.
void RearmWaits() {
    if (Devices::WaitAbortScope* scope = Devices::WaitAbortScope::Current()) scope->Rearm();
}

}  // namespace

void Reconnection::Validate() const {
    if (!(std::isfinite(after_s) && after_s >= 0.05 && after_s <= 3600))
        throw SettingError("reconnect_after_s", "must be between 0.05 and 3600 s", SettingText(after_s));
}

bool Link::Identity::operator==(const Identity& other) const {
    return size == other.size && std::memcmp(bytes, other.bytes, size) == 0;
}

Link::Link(Devices::Device& device, const Reconnection& settings, Identify identify)
    : device_(device),
      settings_(settings),
      after_ns_(clock::FromSeconds(settings.after_s)),
      identify_(identify),
      first_stream_(device.stream) {
    settings.Validate();
    if (settings_.enabled && settings_.port_path.empty()) {
        const char* path = device.stream != nullptr ? device.stream->port_path : nullptr;
        if (path == nullptr || *path == '\0') throw std::invalid_argument("reconnect needs the device's port path");
        settings_.port_path = path;
    }
}

Link::~Link() {
    if (reopened_) device_.UseStream(first_stream_);
}

bool Link::Lost() const {
    const IO::SerialStream& stream = *device_.stream;
    return stream.rdstate() != std::ios_base::goodbit || stream.HungUp();
}

bool Link::EndWait(const std::atomic<bool>& stop) const {
    if (stop.load(std::memory_order_acquire)) return true;
    const int64_t deadline = identify_deadline_ns_.load(std::memory_order_acquire);
    if (deadline != 0 && clock::Now() > deadline) return true;
    return Lost();
}

Link::Outcome Link::Learn(const std::atomic<bool>& stop, Report report, void* context) {
    identity_ = Identity();
    return Reach(stop, report, context);
}

Link::Outcome Link::Reattach(const std::atomic<bool>& stop, Report report, void* context) {
    set_connected(false);
    return Reach(stop, report, context);
}

// Learning (no identity yet), the first device to say who it is becomes the
// one; on a line that goes meanwhile, the next one on the path. After an
// unplug, only the same device is taken back, and the port is opened afresh
// for every try.
Link::Outcome Link::Reach(const std::atomic<bool>& stop, Report report, void* context) {
    const bool learning = identity_.size == 0;
    const int64_t start = clock::Now();
    bool reopen = !learning;
    while (!stop.load(std::memory_order_acquire)) {
        if ((reopen || Lost()) && !Reopen(stop, report, context)) break;
        reopen = !learning;
        const Identity id = Ask(stop);
        if (stop.load(std::memory_order_acquire)) break;
        if (id.size > 0 && (learning || id == identity_)) {
            identity_ = id;
            report(context, Outcome::Adopted);
            set_connected(true);
            if (!learning) reconnections_.fetch_add(1, std::memory_order_acq_rel);
            return Outcome::Adopted;
        }
        const Outcome outcome = id.size > 0 ? Outcome::Other : Outcome::Silent;
        if (!learning || clock::Now() - start >= after_ns_) report(context, outcome);
        // Another device is given time to go; a silent one is asked again soon.
        clock::Pause(outcome == Outcome::Other ? after_ns_ : learning ? kRetryNs : after_ns_ / 4, stop);
    }
    return Outcome::Stopped;
}

// Closes the device's stream, waits for the path to be there again and opens
// it. A port that another loop or reader took meanwhile is not opened (that
// would disturb its line) and is reported once. False once stop is set.
bool Link::Reopen(const std::atomic<bool>& stop, Report report, void* context) {
    device_.stream->Close();  // its terminal is gone for good
    bool taken = false;
    while (!stop.load(std::memory_order_acquire)) {
        // stat first: a path that is not there yet costs no failed open.
        struct stat info {};
        const bool there = ::stat(settings_.port_path.c_str(), &info) == 0;
        const bool taken_now = there && TakenBy() != nullptr;
        if (taken_now && !taken) report(context, Outcome::Taken);
        taken = taken_now;
        if (there && !taken) {
            auto stream = std::make_unique<IO::SerialStream>(settings_.port_path.c_str(), true);
            if (stream->IsOpen()) {
                device_.UseStream(stream.get());
                reopened_ = std::move(stream);  // the one opened before is no longer used
                RearmWaits();
                return true;
            }
        }
        clock::Pause(kRetryNs, stop);
    }
    return false;
}

const char* Link::TakenBy() const { return Lease::OtherBorrowerOf(device_, settings_.port_path); }

Link::Identity Link::Ask(const std::atomic<bool>& stop) {
    identify_deadline_ns_.store(clock::Now() + std::max(after_ns_ / 4, kShortestTryNs), std::memory_order_release);
    const Identity id = identify_(device_);
    identify_deadline_ns_.store(0, std::memory_order_release);
    RearmWaits();
    if (!stop.load(std::memory_order_acquire)) Discard();
    return id;
}

// A reply that came after its wait gave up would be read as the answer to
// the next request.
void Link::Discard() {
    for (int round = 0; round < 8; ++round) {
        const int waiting = device_.stream->Available();
        if (waiting <= 0) return;
        device_.ReadBytes(std::min<std::size_t>(static_cast<std::size_t>(waiting), Devices::Device::kBufferSize));
    }
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
