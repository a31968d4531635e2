#include "Posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace sim {
namespace {

[[noreturn]] void fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

volatile std::sig_atomic_t signalRaised = 0;

void onSignal(int) { signalRaised = 1; }

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

// End of file is passed on as a hang-up, which ends the loop as any of the
// handled signals does.
void watchForEndOfInput(int fd, int stopFd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        char discard[256];
        const ssize_t n = read(fd, discard, sizeof discard);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            kill(getpid(), SIGHUP);
            return;
        }
    }
}

}  // namespace

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

PseudoTerminal::PseudoTerminal() {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master_.get() < 0) fail("posix_openpt");
    if (grantpt(master_.get()) != 0) fail("grantpt");
    if (unlockpt(master_.get()) != 0) fail("unlockpt");
    char name[PATH_MAX];
    if (ptsname_r(master_.get(), name, sizeof name) != 0) fail("ptsname_r");
    slavePath_ = name;

    // Termios set through the master is the slave's: raw, so no byte is
    // echoed or translated before a client sets its own mode.
    termios tio{};
    if (tcgetattr(master_.get(), &tio) != 0) fail("tcgetattr");
    cfmakeraw(&tio);
    if (tcsetattr(master_.get(), TCSANOW, &tio) != 0) fail("tcsetattr");

    // Non-blocking, so a client that stops reading can never stall the loop.
    const int flags = fcntl(master_.get(), F_GETFL);
    if (flags < 0 || fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl");

    slave_.reset(open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave_.get() < 0) fail("open " + slavePath_);
}

std::size_t PseudoTerminal::unreadByClient() const {
    // Bytes written to the master reach the slave's queue later, from a
    // kernel worker. A poll of the slave that finds its queue empty first
    // waits for that worker, so only "not readable" proves nothing is still
    // on its way: the count alone can read 0 while the client has just
    // emptied the queue and the rest has not been moved there yet.
    pollfd p{slave_.get(), POLLIN, 0};
    const bool readable = poll(&p, 1, 0) != 0 && (p.revents & POLLIN) != 0;
    int waiting = 0;
    if (ioctl(slave_.get(), FIONREAD, &waiting) != 0 || waiting < 0) waiting = 0;
    if (waiting == 0 && readable) return 1;
    return static_cast<std::size_t>(waiting);
}

SymbolicLink::SymbolicLink(std::string path, std::string target) : path_(std::move(path)), target_(std::move(target)) {
    struct stat st {};
    if (lstat(path_.c_str(), &st) != 0) {
        if (errno != ENOENT) fail("lstat " + path_);
        if (symlink(target_.c_str(), path_.c_str()) != 0) fail("symlink " + path_);
        return;
    }
    // Never a file someone keeps there.
    if (!S_ISLNK(st.st_mode)) throw std::runtime_error(path_ + " exists and is not a symbolic link: not replacing it");

    // A link left by an earlier run, maybe one that was killed. The new one
    // is made beside it and renamed over it, so the path always leads to
    // some terminal and never goes missing for a client that opens it.
    for (int attempt = 0;; ++attempt) {
        const std::string beside = path_ + ".new-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        if (symlink(target_.c_str(), beside.c_str()) == 0) {
            if (rename(beside.c_str(), path_.c_str()) == 0) return;
            const int error = errno;
            unlink(beside.c_str());
            errno = error;
            fail("rename " + beside + " to " + path_);
        }
        if (errno != EEXIST || attempt >= 100) fail("symlink " + beside);
    }
}

SymbolicLink::~SymbolicLink() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink(path_.c_str(), buffer, sizeof buffer - 1);
    if (n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target_) unlink(path_.c_str());
}

Signals::Signals() {
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : kHandledSignals) sigaddset(&handled, sig);
    if (const int error = pthread_sigmask(SIG_BLOCK, &handled, &waitMask_); error != 0) {
        errno = error;
        fail("pthread_sigmask");
    }
    for (int sig : kHandledSignals) sigdelset(&waitMask_, sig);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kHandledSignals)
        if (sigaction(sig, &action, nullptr) != 0) fail("sigaction");
    signal(SIGPIPE, SIG_IGN);
}

bool Signals::raised() { return signalRaised != 0; }

Signals::~Signals() {
    // Unblock first: a signal still pending reaches the handler, not the default action.
    pthread_sigmask(SIG_SETMASK, &waitMask_, nullptr);
    for (int sig : kHandledSignals) signal(sig, SIG_DFL);
}

EndOfInputWatch::EndOfInputWatch(int fd) {
    if (fd < 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
    stopRead_.reset(fds[0]);
    stopWrite_.reset(fds[1]);
    thread_ = std::thread(watchForEndOfInput, fd, stopRead_.get());
}

EndOfInputWatch::~EndOfInputWatch() {
    if (!thread_.joinable()) return;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(stopWrite_.get(), &byte, 1);
    thread_.join();
}

}  // namespace sim
