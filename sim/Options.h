#pragma once
// Command line of vantor-sim.

#include <string>

namespace sim {

enum class DeviceKind { Talon, Handle };

struct Options {
    DeviceKind kind = DeviceKind::Talon;
    std::string linkPath;    // empty: no link
    double streamHz = 0.0;   // handle only; 0: no compact frames
    bool verbose = false;
    // Faults, for testing the host side.
    bool silent = false;
    long delayMs = 0;
    bool wrongCode = false;
    long shortLength = -1;   // bytes of each reply kept; -1: whole replies
    long closeAfter = 0;     // requests before the port closes; 0: never
};

// Fills `options` from the command line; on failure returns false and sets `error`.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char* const kUsage;

}  // namespace sim
