#include "Vantor/HardwareAPI/IO/SerialStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "Log.h"
#include "OpenPorts.h"
#include "Port.h"

namespace {

constexpr long kReadLimitMs = 1000;
constexpr useconds_t kPollSleepUs = 100;

// Closes the buffer's descriptor once and forgets it as an open port.
void CloseDescriptor(serialib& buffer) {
    if (buffer.fd < 0) return;
    Vantor::HardwareAPI::IO::open_ports::Forget(&buffer);
    ::close(buffer.fd);
    buffer.fd = -1;
}

}  // namespace

namespace Vantor {
namespace HardwareAPI {
namespace IO {

namespace {

// A port as a device: the device number of a character device, else the
// file's identity.
struct PortId {
    dev_t device;
    ino_t inode;
    bool operator==(const PortId& other) const { return device == other.device && inode == other.inode; }
};

PortId IdOf(const struct stat& info) {
    if (S_ISCHR(info.st_mode)) return {info.st_rdev, 0};
    return {info.st_dev, info.st_ino};
}

}  // namespace

namespace open_ports {

namespace {


std::mutex g_mutex;
std::vector<std::pair<const void*, PortId>> g_open;

}  // namespace

void Remember(const void* owner, int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_open.emplace_back(owner, IdOf(info));
}

void Forget(const void* owner) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = g_open.begin(); it != g_open.end(); ++it) {
        if (it->first == owner) {
            g_open.erase(it);
            return;
        }
    }
}

bool IsOpen(const char* path) {
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0) return false;
    const PortId id = IdOf(info);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& entry : g_open) {
        if (entry.second == id) return true;
    }
    return false;
}

}  // namespace open_ports
}  // namespace IO
}  // namespace HardwareAPI
}  // namespace Vantor

serialib::~serialib() { CloseDescriptor(*this); }

int serialib::timed_read(char* dst, uint32_t n) {
    // A steady clock: a step of the wall clock neither cuts the wait short
    // nor stretches it without end.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadLimitMs);
    uint32_t count = 0;
    for (;;) {
        if (std::chrono::steady_clock::now() >= end) return static_cast<int>(count);
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
    if (buffer) CloseDescriptor(*buffer);
}

int8_t SerialStream::Open() {
    try {
        // A second Open replaces the first buffer, closing its port.
        buffer = std::make_unique<serialib>();
        rdbuf(buffer.get());
        const int fd = port::Open(port_path);
        if (fd == -1) return -2;
        buffer->fd = fd;
        open_ports::Remember(buffer.get(), fd);
        port::Configure(fd);
        return 1;
    } catch (...) {
        return -1;
    }
}

void SerialStream::Close() {
    if (buffer) CloseDescriptor(*buffer);
}

int SerialStream::Available() {
    if (!buffer || buffer->fd < 0) return 0;
    return port::Waiting(buffer->fd);
}

void SerialStream::Write(const uint8_t* data, std::size_t n) {
    write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
    if (good() || eof()) return;
    log::Error(log::Line::WriteFailed, n);
}

SerialStream::LineWait SerialStream::WaitReadable(int timeout_ms, int at_least) const {
    if (!buffer) return LineWait::NoLine;
    if (buffer->fd < 0) return LineWait::HungUp;
    const short events = port::WaitForBytes(buffer->fd, at_least, timeout_ms);
    if (events == 0) return LineWait::TimedOut;  // EINTR too: the caller looks again
    // A hung-up line answers poll at once, forever, and holds nothing to read.
    if (events & (POLLHUP | POLLERR | POLLNVAL)) return LineWait::HungUp;
    return LineWait::Readable;
}

bool SerialStream::HungUp() const {
    if (!buffer) return false;
    if (buffer->fd < 0) return true;
    pollfd p{buffer->fd, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool SerialStream::IsOpen() const { return buffer && buffer->fd >= 0; }

bool SerialStream::SamePort(const SerialStream& other) const {
    if (!IsOpen() || !other.IsOpen()) return false;
    struct stat mine {}, theirs {};
    if (fstat(buffer->fd, &mine) != 0 || fstat(other.buffer->fd, &theirs) != 0) return false;
    return IdOf(mine) == IdOf(theirs);
}

}  // namespace IO
}  // namespace HardwareAPI
}  // namespace Vantor
