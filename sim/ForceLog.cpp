#include "ForceLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace sim {

ForceLog::ForceLog(const std::string& path) : file_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
    if (file_.get() < 0) throw std::system_error(errno, std::generic_category(), "cannot write the force log " + path);
}

void ForceLog::record(Drive drive, const Vec3& command) const {
    if (file_.get() < 0 || (drive != Drive::Force && drive != Drive::JointTorque)) return;
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%s %.9g %.9g %.9g\n",
                                     drive == Drive::Force ? "force" : "torque", command[0], command[1], command[2]);
    if (length <= 0) return;
    // A short or failed write leaves a line the reader refuses: nothing to do here.
    [[maybe_unused]] const ssize_t written = write(file_.get(), line, static_cast<std::size_t>(length));
}

}  // namespace sim
