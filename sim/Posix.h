#pragma once
// Owners of the operating-system resources the simulator holds.

#include <cstddef>
#include <string>

namespace sim {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_;
};

// A pseudo-terminal whose master side is the device. The simulator keeps the
// slave open too, so the master never reports a hang-up while no client is
// connected and clients can come and go.
class PseudoTerminal {
public:
    PseudoTerminal();  // throws std::system_error

    int master() const { return master_.get(); }
    const std::string& slavePath() const { return slavePath_; }

    // Bytes written to the client that it has not read yet.
    std::size_t unreadByClient() const;

private:
    FileDescriptor master_;
    FileDescriptor slave_;
    std::string slavePath_;
};

// A symbolic link to the slave, removed again when destroyed unless someone
// has pointed it elsewhere in the meantime.
class SymbolicLink {
public:
    SymbolicLink(std::string path, std::string target);  // throws std::system_error
    ~SymbolicLink();
    SymbolicLink(const SymbolicLink&) = delete;
    SymbolicLink& operator=(const SymbolicLink&) = delete;

private:
    std::string path_;
    std::string target_;
};

// Turns SIGTERM, SIGINT and SIGHUP into a readable descriptor for poll(),
// and a flag a busy loop can check without a system call.
class SignalPipe {
public:
    SignalPipe();  // throws std::system_error
    ~SignalPipe();
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    int fd() const { return read_.get(); }
    static bool raised();

private:
    FileDescriptor read_;
    FileDescriptor write_;
};

}  // namespace sim
