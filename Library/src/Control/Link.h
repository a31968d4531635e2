// A loop's or reader's way to its device, and back after an unplug: the
// device's first stream and the one opened since, the path to open, who the
// device is, whether it is there, and how often it came back. How a device
// says who it is belongs to the device: the identify step is supplied (an
// arm's wake-up reply, a grip's handle information).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Control/Reconnection.h"
#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class Link {
public:
    // Who a device is: the bytes it reports about itself, compared whole.
    struct Identity {
        uint8_t bytes[16] = {};
        std::size_t size = 0;  // 0: nothing answered
        bool operator==(const Identity& other) const;
        bool operator!=(const Identity& other) const { return !(*this == other); }
    };
    // Wakes the device and reads who it is. Its waits end once the link's
    // EndWait says so (the identify deadline has passed).
    using Identify = Identity (*)(Devices::Device& device);

    enum class Outcome {
        Adopted,  // the device said who it is (and is the same one, after an unplug)
        Other,    // another device answered: not adopted
        Taken,    // another loop or reader of this process drives the port the path leads to
        Silent,   // nothing said who it is in time
        Stopped,  // stop was set
    };
    // Told each time an attempt did not adopt the device, while the link
    // tries again; and Adopted once it does, before it counts as connected,
    // so whoever sees it connected sees what the report did.
    using Report = void (*)(void* context, Outcome outcome);

    // Copies the path: settings.port_path, else the one device's stream was
    // opened on (which must then still be alive). Throws std::invalid_argument
    // for a bad setting, or reconnection without a path.
    Link(Devices::Device& device, const Reconnection& settings, Identify identify);
    // The device has its first stream back.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool reconnects() const { return settings_.enabled; }
    // The path opened again after an unplug; "" without reconnection.
    std::string reconnect_path() const { return settings_.enabled ? settings_.port_path : std::string(); }
    int64_t after_ns() const { return after_ns_; }
    bool connected() const { return connected_.load(std::memory_order_acquire); }
    void set_connected(bool connected) { connected_.store(connected, std::memory_order_release); }
    uint64_t reconnections() const { return reconnections_.load(std::memory_order_acquire); }

    // Whether the device's line is gone: its stream failed, or it hung up.
    bool Lost() const;
    // For the thread's wait-abort check: stop, a gone line, or a passed
    // identify deadline.
    bool EndWait(const std::atomic<bool>& stop) const;

    // Asks who the device is until it says; report hears Silent once
    // after_s has gone by without an answer, then after each try. A line
    // that goes meanwhile is opened again. Adopted, or Stopped.
    Outcome Learn(const std::atomic<bool>& stop, Report report, void* context);
    // Closes the gone stream, waits for the path to be there again, opens it
    // and asks who answered, until the same device does (Adopted: connected
    // and counted) or stop is set (Stopped). Another device (Other) or none
    // (Silent) is reported and the port tried again.
    Outcome Reattach(const std::atomic<bool>& stop, Report report, void* context);
    // Who else drives the port the path leads to now; nullptr: no one.
    const char* TakenBy() const;

private:
    Outcome Reach(const std::atomic<bool>& stop, Report report, void* context);
    bool Reopen(const std::atomic<bool>& stop, Report report, void* context);
    // One wake-up, and who answered within a quarter of after_s.
    Identity Ask(const std::atomic<bool>& stop);
    void Discard();

    Devices::Device& device_;
    Reconnection settings_;
    const int64_t after_ns_;
    const Identify identify_;
    IO::SerialStream* const first_stream_;
    std::unique_ptr<IO::SerialStream> reopened_;
    Identity identity_;
    std::atomic<int64_t> identify_deadline_ns_{0};
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> reconnections_{0};
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
