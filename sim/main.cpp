// vantor-sim: a Talon arm or a handle on a pseudo-terminal, for exercising
// the host side without hardware.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <optional>

#include "ForceLog.h"
#include "HandleSim.h"
#include "Options.h"
#include "Posix.h"
#include "Server.h"
#include "TalonSim.h"

namespace {

// End of file on standard input ends the simulator when a parent holds a pipe
// to it. A terminal or /dev/null on standard input is not watched: the first
// would stop a background job, the second would end it at once.
int watchedStdin() {
    struct stat st {};
    if (fstat(STDIN_FILENO, &st) != 0) return -1;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? STDIN_FILENO : -1;
}

}  // namespace

int main(int argc, char** argv) {
    sim::Options options;
    std::string error;
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(sim::usage().c_str(), stdout);
        return 0;
    }
    if (!sim::parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "vantor-sim: %s\n%s", error.c_str(), sim::usage().c_str());
        return 2;
    }

    try {
        sim::Signals signals;
        const sim::EndOfInputWatch input(watchedStdin());
        sim::PseudoTerminal pty;
        std::optional<sim::SymbolicLink> link;
        if (!options.linkPath.empty()) link.emplace(options.linkPath, pty.slavePath());

        const sim::ForceLog forceLog = options.forceLogPath.empty() ? sim::ForceLog() : sim::ForceLog(options.forceLogPath);
        std::unique_ptr<sim::SimDevice> device;
        const auto start = sim::Clock::now();
        if (options.kind == sim::DeviceKind::Talon)
            device = std::make_unique<sim::TalonSim>(start, options.id, options.hand, &forceLog);
        else
            device = std::make_unique<sim::HandleSim>(start, options.gripId);

        std::printf("%s\n", pty.slavePath().c_str());
        std::fflush(stdout);
        if (options.verbose) std::fprintf(stderr, "vantor-sim: serving on %s\n", pty.slavePath().c_str());

        return sim::serve(pty, *device, options, signals);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantor-sim: %s\n", e.what());
        return 1;
    }
}
