// Finds the ports under /dev on which a device of a given kind answers.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"

namespace Vantor {
namespace HardwareAPI {

enum class PortKind : int { ACM = 1, USB = 2, RFCOMM = 3 };

struct SerialPort {
    std::string path;  // canonical path of the device node
    PortKind kind;
};

// One candidate entry of a folder, listed whether or not it leads anywhere.
struct PortEntry {
    std::string path;                      // the entry itself: dir / name
    PortKind kind;
    std::optional<std::string> canonical;  // none when it resolves to nothing
};

// Entries of `dir` whose names contain "ttyACM", "ttyUSB" or "rfcomm" (the
// first of these in that order decides the kind), in listing order. A link
// that leads nowhere is listed too; a missing folder lists nothing.
std::vector<PortEntry> list_port_entries(const std::filesystem::path& dir = "/dev");

// The same entries resolved through symbolic links; a link that leads
// nowhere throws std::filesystem::filesystem_error naming it.
std::vector<SerialPort> list_serial_ports(const std::filesystem::path& dir = "/dev");

// How a probe of one port ended.
enum class ProbeOutcome : int {
    Answered = 0,  // a device of the kind answered
    NoAnswer,      // silence, a reply cut short, or one that does not count
    InUse,         // open in this process or locked by another program: untouched
    NotOpened,     // the port does not open as a terminal
};

struct TalonProbe {
    ProbeOutcome outcome = ProbeOutcome::NoAnswer;
    // The information that came back, whichever model sent it; all zero
    // unless it arrived whole.
    Devices::TalonInfo info;
};

struct HandleProbe {
    ProbeOutcome outcome = ProbeOutcome::NoAnswer;
    bool status_message = false;  // answered with a status message, not its info
    Devices::HandleInfoResponse info;
    Devices::HandleStatusResponse status;
};

// The probes detection runs, saying what answered: the wake-up, then the
// first reply. They wait on the caller's thread, bound only by the device's
// reply time-outs (detection's 3 and 5 s are not applied), and let
// exceptions through.
TalonProbe probe_talon_port(const char* port);
HandleProbe probe_handle_port(const char* port);

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
