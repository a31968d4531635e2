#pragma once
// Owners of the operating-system resources the simulator holds.

#include <signal.h>

#include <cstddef>
#include <string>
#include <thread>

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

    // Bytes written to the client that it has not read yet: never 0 while
    // some are still on their way to its queue.
    std::size_t unreadByClient() const;

private:
    FileDescriptor master_;
    FileDescriptor slave_;
    std::string slavePath_;
};

// A symbolic link to the slave, removed again when destroyed unless someone
// has pointed it elsewhere in the meantime. An existing link at the path is
// replaced; any other file there is refused.
class SymbolicLink {
public:
    SymbolicLink(std::string path, std::string target);  // throws std::system_error, std::runtime_error
    ~SymbolicLink();
    SymbolicLink(const SymbolicLink&) = delete;
    SymbolicLink& operator=(const SymbolicLink&) = delete;

private:
    std::string path_;
    std::string target_;
};

// Turns SIGTERM, SIGINT and SIGHUP into a flag. They stay blocked except
// while the loop waits in ppoll() with waitMask(), so one that arrives
// between waits still cuts the next wait short, and the loop needs no
// descriptor of its own for them.
class Signals {
public:
    Signals();  // throws std::system_error
    ~Signals();
    Signals(const Signals&) = delete;
    Signals& operator=(const Signals&) = delete;

    const sigset_t* waitMask() const { return &waitMask_; }
    static bool raised();

private:
    sigset_t waitMask_;  // the mask from before, less these signals; kept at the end
};

// Raises SIGHUP when `fd` reaches end of file, so a parent that holds a pipe
// to the simulator ends it by closing the pipe. It watches on a thread of its
// own, so the serving loop polls only the terminal; made after Signals, the
// thread inherits their blocking and leaves them to the loop.
class EndOfInputWatch {
public:
    explicit EndOfInputWatch(int fd);  // -1: watches nothing. Throws std::system_error
    ~EndOfInputWatch();
    EndOfInputWatch(const EndOfInputWatch&) = delete;
    EndOfInputWatch& operator=(const EndOfInputWatch&) = delete;

private:
    FileDescriptor stopRead_;
    FileDescriptor stopWrite_;
    std::thread thread_;
};

}  // namespace sim
