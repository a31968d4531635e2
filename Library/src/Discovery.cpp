#include "Vantor/HardwareAPI/Discovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>
#include <optional>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Wire.h"
#include "OpenPorts.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace Vantor {
namespace HardwareAPI {

namespace {

namespace fs = std::filesystem;
using Devices::Handle;
using Devices::Talon;
using IO::SerialStream;
namespace open_ports = IO::open_ports;

constexpr auto kTalonWait = std::chrono::seconds(3);
constexpr auto kHandleWait = std::chrono::seconds(5);

// A handle that keeps the info reply or status message it heard.
class MyHandle : public Handle {
public:
    using Handle::Handle;
    using Handle::OnReceiveHandleInfo;
    using Handle::OnReceiveHandleStatusMessage;

    void OnReceiveHandleInfo(const Devices::HandleInfoResponse& info) override {
        heard.outcome = ProbeOutcome::Answered;
        heard.info = info;
    }
    void OnReceiveHandleStatusMessage(const Devices::HandleStatusResponse& status) override {
        heard.outcome = ProbeOutcome::Answered;
        heard.status_message = true;
        heard.status = status;
    }

    HandleProbe heard;
};

// The exclusive advisory lock a probe holds on its port, on a descriptor of
// its own, taken before the port is configured so that a port another
// program has locked is not touched at all.
class ProbeLock {
public:
    explicit ProbeLock(const char* port) : fd_(::open(port, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            locked_elsewhere_ = errno == EWOULDBLOCK;
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~ProbeLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    ProbeLock(const ProbeLock&) = delete;
    ProbeLock& operator=(const ProbeLock&) = delete;

    bool held() const { return fd_ >= 0; }
    bool locked_elsewhere() const { return locked_elsewhere_; }

private:
    int fd_;
    bool locked_elsewhere_ = false;
};

// Why the port is not probed, or nothing once it is open for the probe. A
// port this process already drives is left alone: the probe would read its
// replies, and it the probe's.
std::optional<ProbeOutcome> OpenForProbe(SerialStream& stream, const ProbeLock& lock, const char* port) {
    if (!lock.held()) return lock.locked_elsewhere() ? ProbeOutcome::InUse : ProbeOutcome::NotOpened;
    if (open_ports::IsOpen(port)) return ProbeOutcome::InUse;
    if (stream.Open() != 1) return ProbeOutcome::NotOpened;
    return std::nullopt;
}

// Runs the probe on a thread of its own. A late answer is waited for, so the
// next probe never overlaps this one, but it does not count.
bool ProbeWithin(int (*probe)(const char*), const char* port, std::chrono::seconds bound) {
    std::future<int> result = std::async(std::launch::async, probe, port);
    const bool in_time = result.wait_for(bound) == std::future_status::ready;
    try {
        const int answered = result.get();
        return in_time && answered != 0;
    } catch (const std::exception& e) {
        if (in_time) std::cerr << e.what() << std::endl;
        return false;
    }
}

std::vector<std::string> DetectHandles(const fs::path& dir, bool (*wanted)(PortKind)) {
    std::vector<std::string> found;
    for (const SerialPort& port : list_serial_ports(dir)) {
        if (wanted(port.kind) && check_handle_port(port.path.c_str())) found.push_back(port.path);
    }
    return found;
}

}  // namespace

std::vector<PortEntry> list_port_entries(const fs::path& dir) {
    std::vector<PortEntry> entries;
    if (!fs::exists(dir)) return entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        PortKind kind;
        if (name.find("ttyACM") != std::string::npos)
            kind = PortKind::ACM;
        else if (name.find("ttyUSB") != std::string::npos)
            kind = PortKind::USB;
        else if (name.find("rfcomm") != std::string::npos)
            kind = PortKind::RFCOMM;
        else
            continue;
        const fs::path path = dir / name;
        std::error_code error;
        const fs::path canonical = fs::canonical(path, error);
        entries.push_back({path.string(), kind, error ? std::nullopt : std::optional<std::string>(canonical.string())});
    }
    return entries;
}

std::vector<SerialPort> list_serial_ports(const fs::path& dir) {
    std::vector<SerialPort> ports;
    for (const PortEntry& entry : list_port_entries(dir)) {
        // Resolved again only to throw the error that names the entry.
        ports.push_back({entry.canonical ? *entry.canonical : fs::canonical(entry.path).string(), entry.kind});
    }
    return ports;
}

TalonProbe probe_talon_port(const char* port) {
    TalonProbe probe;
    const ProbeLock lock(port);
    SerialStream stream(port, false);
    if (const auto refused = OpenForProbe(stream, lock, port)) {
        probe.outcome = *refused;
        return probe;
    }
    Talon talon(&stream);
    talon.SendDeviceWakeup();
    probe.info = talon.ReceiveDeviceInfo();
    stream.Close();
    // Information that did not arrive whole stays all zero.
    probe.outcome = probe.info.device_model_number == Devices::TalonWire::kTalonModelNumber ? ProbeOutcome::Answered
                                                                                              : ProbeOutcome::NoAnswer;
    return probe;
}

HandleProbe probe_handle_port(const char* port) {
    const ProbeLock lock(port);
    SerialStream stream(port, false);
    if (const auto refused = OpenForProbe(stream, lock, port)) {
        HandleProbe probe;
        probe.outcome = *refused;
        return probe;
    }
    MyHandle handle(&stream);
    handle.SendDeviceWakeup();
    handle.Receive();
    stream.Close();
    return handle.heard;
}

int probe_talon(const char* port) {
    try {
        return probe_talon_port(port).outcome == ProbeOutcome::Answered ? 1 : 0;
    } catch (const std::exception& e) {
        std::printf("exception: %s\n", e.what());
        return 0;
    }
}

int probe_handle(const char* port) {
    try {
        return probe_handle_port(port).outcome == ProbeOutcome::Answered ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        return 0;
    }
}

bool check_handle_port(const char* port) { return ProbeWithin(&probe_handle, port, kHandleWait); }

std::vector<std::string> detect_talons(const fs::path& dir) {
    std::vector<std::string> found;
    for (const SerialPort& port : list_serial_ports(dir)) {
        if (port.kind == PortKind::ACM && ProbeWithin(&probe_talon, port.path.c_str(), kTalonWait))
            found.push_back(port.path);
    }
    return found;
}

std::vector<std::string> detect_handles(const fs::path& dir) {
    return DetectHandles(dir, [](PortKind) { return true; });
}

std::vector<std::string> detect_wired_handles(const fs::path& dir) {
    return DetectHandles(dir, [](PortKind kind) { return kind == PortKind::USB; });
}

std::vector<std::string> detect_wireless_handles(const fs::path& dir) {
    return DetectHandles(dir, [](PortKind kind) { return kind == PortKind::RFCOMM; });
}

}  // namespace HardwareAPI
}  // namespace Vantor
