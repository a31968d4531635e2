#include "support/PtyDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace vantor_test {

PtyDevice::PtyDevice() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("no pseudo-terminal");
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    path_ = ptsname(master_);
}

PtyDevice::~PtyDevice() { Close(); }

void PtyDevice::Close() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyDevice::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (w <= 0) throw std::runtime_error("pseudo-terminal write failed");
        done += static_cast<std::size_t>(w);
    }
    tcdrain(master_);
}

std::string PtyDevice::Read(std::size_t n, int wait_ms) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(wait_ms);
    std::string out;
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char chunk[512];
        const ssize_t r = ::read(master_, chunk, std::min(sizeof chunk, n - out.size()));
        if (r <= 0) break;
        out.append(chunk, static_cast<std::size_t>(r));
    }
    return out;
}

std::string PtyDevice::ReadAll(int wait_ms) { return Read(1 << 20, wait_ms); }

int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(dir);
    }
    return count - 1;  // the directory stream itself
}

}  // namespace vantor_test
