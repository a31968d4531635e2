#pragma once
// The serving loop: reads requests from the terminal, hands them to the
// device, sends replies (with any faults applied) and compact frames.

#include "Options.h"
#include "Posix.h"
#include "SimDevice.h"

namespace sim {

// Runs until one of `signals` arrives or the close-after count is reached.
// Returns the exit status.
int serve(PseudoTerminal& pty, SimDevice& device, const Options& options, const Signals& signals);

}  // namespace sim
