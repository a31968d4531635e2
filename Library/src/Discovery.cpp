#include "Vantor/HardwareAPI/Discovery.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>

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

// A handle that remembers whether it heard an info reply or a status message.
class MyHandle : public Handle {
public:
    using Handle::Handle;
    using Handle::OnReceiveHandleInfo;
    using Handle::OnReceiveHandleStatusMessage;

    void OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) override { found = true; }
    void OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t, const uint8_t*) override {
        found = true;
    }

    bool found = false;
};

// The exclusive advisory lock a probe holds on its port, on a descriptor of
// its own, taken before the port is configured so that a port another
// program has locked is not touched at all.
class ProbeLock {
public:
    explicit ProbeLock(const char* port) : fd_(::open(port, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) {
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

private:
    int fd_;
};

// A port this process already drives is left alone: the probe would read
// its replies, and it the probe's.
bool OpenForProbe(SerialStream& stream, const ProbeLock& lock, const char* port) {
    return lock.held() && !open_ports::IsOpen(port) && stream.Open() == 1;
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

std::vector<SerialPort> list_serial_ports(const fs::path& dir) {
    std::vector<SerialPort> ports;
    if (!fs::exists(dir)) return ports;
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
        ports.push_back({fs::canonical(dir / name).string(), kind});
    }
    return ports;
}

int probe_talon(const char* port) {
    try {
        const ProbeLock lock(port);
        SerialStream stream(port, false);
        if (!OpenForProbe(stream, lock, port)) return 0;
        Talon talon(&stream);
        talon.SendDeviceWakeup();
        const Devices::TalonInfo info = talon.ReceiveDeviceInfo();
        stream.Close();
        // Information that did not arrive whole stays all zero.
        return info.device_model_number == Devices::TalonWire::kTalonModelNumber ? 1 : 0;
    } catch (const std::exception& e) {
        std::printf("exception: %s\n", e.what());
        return 0;
    }
}

int probe_handle(const char* port) {
    try {
        const ProbeLock lock(port);
        SerialStream stream(port, false);
        if (!OpenForProbe(stream, lock, port)) return 0;
        MyHandle handle(&stream);
        handle.SendDeviceWakeup();
        handle.Receive();
        stream.Close();
        return handle.found ? 1 : 0;
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
