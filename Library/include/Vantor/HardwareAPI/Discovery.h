// Finds the ports under /dev on which a device of a given kind answers.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Vantor {
namespace HardwareAPI {

enum class PortKind : int { ACM = 1, USB = 2, RFCOMM = 3 };

struct SerialPort {
    std::string path;  // canonical path of the device node
    PortKind kind;
};

// Entries of `dir` whose names contain "ttyACM", "ttyUSB" or "rfcomm", in
// listing order, resolved through symbolic links.
std::vector<SerialPort> list_serial_ports(const std::filesystem::path& dir = "/dev");

// 1 when a device of the kind answered the wake-up on the port, else 0.
int probe_talon(const char* port);
int probe_handle(const char* port);
// probe_handle on a thread of its own; found only within 5 seconds.
bool check_handle_port(const char* port);

std::vector<std::string> detect_talons(const std::filesystem::path& dir = "/dev");
std::vector<std::string> detect_handles(const std::filesystem::path& dir = "/dev");
std::vector<std::string> detect_wired_handles(const std::filesystem::path& dir = "/dev");
std::vector<std::string> detect_wireless_handles(const std::filesystem::path& dir = "/dev");

}  // namespace HardwareAPI
}  // namespace Vantor
