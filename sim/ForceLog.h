#pragma once
// --force-log: every force and joint torque the arm is sent, one line per
// request, so that a test can judge what a program put on the arm rather than
// what the program says it did.

#include <string>

#include "Arm.h"
#include "Posix.h"

namespace sim {

class ForceLog {
public:
    ForceLog() = default;                    // logs nothing
    explicit ForceLog(const std::string& path);  // throws std::system_error

    // "force FX FY FZ" (N) or "torque T0 T1 T2" (N m); other drives are not
    // forces and are not logged. Each line is one write, made before the
    // reply goes out, so a client that has its reply finds its line there.
    void record(Drive drive, const Vec3& command) const;

private:
    FileDescriptor file_;
};

}  // namespace sim
