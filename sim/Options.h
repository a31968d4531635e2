#pragma once
// Command line of vantor-sim.

#include <array>
#include <cstdint>
#include <string>

#include "Hand.h"

namespace sim {

enum class DeviceKind { Talon, Handle };

// The arm's 16-byte extended identifier, in wire order.
using Identifier = std::array<std::uint8_t, 16>;

// The identifier an arm reports unless --id names another.
Identifier defaultIdentifier();

// Reads 32 hex digits, bare or in the 8-4-4-4-12 grouping; false for anything else.
bool parseIdentifier(const std::string& text, Identifier& id);

struct Options {
    DeviceKind kind = DeviceKind::Talon;
    Identifier id = defaultIdentifier();  // talon only
    std::uint16_t gripId = 0x0107;        // handle only
    Hand hand;                            // talon only
    std::string linkPath;    // empty: no link
    std::string forceLogPath;  // talon only; empty: no log
    double streamHz = 0.0;   // handle only; 0: no compact frames
    long frames = 0;         // with streamHz: frames sent before the stream ends; 0: no end
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

std::string usage();

}  // namespace sim
