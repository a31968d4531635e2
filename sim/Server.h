#pragma once
// The serving loop: reads requests from the terminal, hands them to the
// device, sends replies (with any faults applied) and compact frames.

#include "Options.h"
#include "Posix.h"
#include "SimDevice.h"

namespace sim {

// Runs until a signal arrives on `signalFd`, `stdinFd` (when not -1) reaches
// end of file, or the close-after count is reached. Returns the exit status.
int serve(PseudoTerminal& pty, SimDevice& device, const Options& options, int signalFd, int stdinFd);

}  // namespace sim
