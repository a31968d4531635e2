#include "Port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace Vantor {
namespace HardwareAPI {
namespace IO {
namespace port {

int Open(const char* path) {
    if (path == nullptr) return -1;
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd == -1) return -1;
    if (!isatty(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Configure(int fd) {
    // The descriptor stays non-blocking for its whole life.
    fcntl(fd, F_SETFL, O_NONBLOCK);

    termios settings{};
    tcgetattr(fd, &settings);
    std::memset(&settings, 0, sizeof settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_iflag = IGNBRK | IGNPAR;
    settings.c_oflag = 0;
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_lflag = 0;  // every control character 0: VMIN = VTIME = 0
    tcsetattr(fd, TCSANOW, &settings);

    int lines = 0;
    ioctl(fd, TIOCMGET, &lines);
    lines |= TIOCM_DTR;
    ioctl(fd, TIOCMSET, &lines);

    tcflush(fd, TCIFLUSH);
}

int Waiting(int fd) {
    int waiting = 0;
    ioctl(fd, FIONREAD, &waiting);
    return waiting;
}

short WaitForBytes(int fd, int count, int timeout_ms) {
    termios settings{};
    const bool counted = count > 1 && tcgetattr(fd, &settings) == 0;
    if (counted) {
        settings.c_cc[VMIN] = static_cast<cc_t>(std::min(count, kMostCounted));
        settings.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &settings);
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeout_ms);
    if (counted) {
        // Reads are non-blocking either way; the count is put back so that
        // every other wait on the line asks for one byte.
        settings.c_cc[VMIN] = 0;
        tcsetattr(fd, TCSANOW, &settings);
    }
    return ready > 0 ? p.revents : 0;
}

}  // namespace port
}  // namespace IO
}  // namespace HardwareAPI
}  // namespace Vantor
