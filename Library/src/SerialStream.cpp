#include "Vantor/HardwareAPI/IO/SerialStream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Error lines name this source and a fixed line: callers match on them.
constexpr const char* kSourcePath = "Library/src/SerialStream.cpp";
constexpr unsigned kWriteFailureLine = 53;

constexpr long kReadLimitMs = 1000;
constexpr useconds_t kPollSleepUs = 100;

long ElapsedMs(const timeval& start, const timeval& now) {
    long seconds = now.tv_sec - start.tv_sec;
    long micros = now.tv_usec - start.tv_usec;
    if (micros < 0) {
        seconds -= 1;
        micros += 1000000;
    }
    return seconds * 1000 + micros / 1000;
}

}  // namespace

serialib::~serialib() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int serialib::timed_read(char* dst, uint32_t n) {
    timeval start{};
    gettimeofday(&start, nullptr);
    uint32_t count = 0;
    for (;;) {
        timeval now{};
        gettimeofday(&now, nullptr);
        if (ElapsedMs(start, now) >= kReadLimitMs) return static_cast<int>(count);
        const ssize_t r = ::read(fd, dst + count, n - count);
        if (r == -1) return -2;
        if (r > 0) {
            count += static_cast<uint32_t>(r);
            if (count >= n) return static_cast<int>(count);
        }
        usleep(kPollSleepUs);
    }
}

std::streambuf* serialib::setbuf(char_type*, std::streamsize) { return this; }

std::streamsize serialib::showmanyc() {
    if (fd == -1) return 0;
    if (has_pending) return 1;
    const int flags = fcntl(fd, F_GETFL);
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return -1;
    std::streamsize result = 0;
    if (timed_read(&pending_byte, 1) == 1) {
        has_pending = true;
        result = 1;
    }
    if (fcntl(fd, F_SETFL, flags) == -1) return -1;
    return result;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
    if (n <= 0 || fd == -1) return 0;
    if (has_pending) {
        s[0] = pending_byte;
        has_pending = false;
        if (n == 1) return 1;
        const int r = timed_read(s + 1, static_cast<uint32_t>(n - 1));
        return 1 + (r == -2 ? 0 : r);
    }
    const int r = timed_read(s, static_cast<uint32_t>(n));
    return r == -2 ? 0 : r;
}

serialib::int_type serialib::underflow() {
    if (fd == -1) return traits_type::eof();
    if (has_pending) return traits_type::to_int_type(pending_byte);
    char byte = 0;
    if (timed_read(&byte, 1) != 1) return traits_type::eof();
    pending_byte = byte;
    has_pending = true;
    return traits_type::to_int_type(byte);
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    has_pending = false;
    return c;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || has_pending) return traits_type::eof();
    pending_byte = traits_type::to_char_type(c);
    has_pending = true;
    return c;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
    if (n <= 0 || fd == -1) return 0;
    const ssize_t written = ::write(fd, s, static_cast<size_t>(n));
    return written < 0 ? 0 : written;
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || fd == -1) return traits_type::eof();
    const char byte = traits_type::to_char_type(c);
    return ::write(fd, &byte, 1) == 1 ? c : traits_type::eof();
}

namespace Vantor {
namespace HardwareAPI {
namespace IO {

SerialStream::SerialStream(const char* port_path, bool open_now)
    : std::iostream(nullptr), port_path(port_path) {
    if (open_now) Open();
}

SerialStream::~SerialStream() {
    if (buffer && buffer->fd >= 0) {
        ::close(buffer->fd);
        buffer->fd = -1;
    }
}

int8_t SerialStream::Open() {
    try {
        // A second Open replaces the first buffer, closing its port.
        buffer = std::make_unique<serialib>();
        rdbuf(buffer.get());
        if (port_path == nullptr) return -2;
        buffer->fd = ::open(port_path, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (buffer->fd == -1) return -2;
        const int fd = buffer->fd;
        fcntl(fd, F_SETFL, O_NONBLOCK);

        termios settings{};
        tcgetattr(fd, &settings);
        std::memset(&settings, 0, sizeof settings);
        cfsetispeed(&settings, B115200);
        cfsetospeed(&settings, B115200);
        settings.c_iflag = IGNBRK | IGNPAR;
        settings.c_oflag = 0;
        settings.c_cflag |= CS8 | CREAD | CLOCAL;
        settings.c_lflag = 0;
        tcsetattr(fd, TCSANOW, &settings);

        int lines = 0;
        ioctl(fd, TIOCMGET, &lines);
        lines |= TIOCM_DTR;
        ioctl(fd, TIOCMSET, &lines);
        return 1;
    } catch (...) {
        return -1;
    }
}

void SerialStream::Close() {
    if (buffer && buffer->fd >= 0) {
        ::close(buffer->fd);
        buffer->fd = -1;
    }
}

int SerialStream::Available() {
    if (!buffer || buffer->fd < 0) return 0;
    int waiting = 0;
    ioctl(buffer->fd, FIONREAD, &waiting);
    return waiting;
}

void SerialStream::Write(const uint8_t* data, std::size_t n) {
    write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    if (good() || eof()) return;
    const int error = errno;
    std::fprintf(stderr, "[err] %s:%u> unable to write '%zu' bytes to stream: [%d] %s\n", kSourcePath,
                 kWriteFailureLine, n, error, std::strerror(error));
    std::fflush(stderr);
}

}  // namespace IO
}  // namespace HardwareAPI
}  // namespace Vantor
