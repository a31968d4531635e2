// vantor-bench: times the force exchange (request 42 with three floats, reply
// 43 with position and velocity) and the host-side read-out computation.
//
//   vantor-bench raw PORT N      the floor: the exchange as bare system calls
//   vantor-bench library PORT N  Talon::end_effector_force on a SerialStream
//   vantor-bench readout N       forward_kinematics, ns per computation
//   vantor-bench passivity N     the energy observer and the passivity
//                                controller, ns per cycle, beside the floor:
//                                the same cycles' wall force, clamp and ramp
//   vantor-bench responder       a reply-only arm on a new pseudo-terminal,
//                                for telling the simulator's cost apart
//   vantor-bench pacing RATE SECONDS [SPIN_US]
//                                the machine's floor for a paced loop: the
//                                servo loop's wait to each deadline, no work
//   vantor-bench floor PORT RATE SECONDS busy|poll
//                                the floor for a paced exchanging loop: the
//                                raw exchange once per period, its reply
//                                awaited by busy-polling the waiting count or
//                                by blocking in poll()
//   vantor-bench servo PORT RATE SECONDS [WALL_Y [SPIN_US [REALTIME]]]
//                                Control::ServoLoop rendering the demo's wall;
//                                a RATE above what the arm answers runs it
//                                back to back (unpaced). WALL_Y nan: from the
//                                start; REALTIME on, off or auto (default off)
//
// Each timed mode prints one JSON line on standard output.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Control/Passivity.h"
#include "Control/Safety.h"
#include "Port.h"
#include "Vantor/HardwareAPI/Control/Effects.h"
#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"

// --- allocation counting ------------------------------------------------------
// Every global allocation of this binary goes through these replacements, so
// the difference of the counter around a loop is what the loop allocated.

namespace {

std::atomic<unsigned long long> g_allocations{0};

void* CountedMalloc(std::size_t n) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n == 0 ? 1 : n);
}

void* CountedAligned(std::size_t n, std::align_val_t alignment) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    std::size_t align = static_cast<std::size_t>(alignment);
    if (align < sizeof(void*)) align = sizeof(void*);
    void* p = nullptr;
    return posix_memalign(&p, align, n == 0 ? 1 : n) == 0 ? p : nullptr;
}

void* OrThrow(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return OrThrow(CountedMalloc(n)); }
void* operator new[](std::size_t n) { return OrThrow(CountedMalloc(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return CountedMalloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return CountedMalloc(n); }
void* operator new(std::size_t n, std::align_val_t a) { return OrThrow(CountedAligned(n, a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return OrThrow(CountedAligned(n, a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return CountedAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return CountedAligned(n, a); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;
using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::Devices::TalonState;
using Vantor::HardwareAPI::Devices::Vector3;
using Vantor::HardwareAPI::IO::SerialStream;
namespace port = Vantor::HardwareAPI::IO::port;

constexpr uint8_t kForceRequest = 42;
constexpr uint8_t kEndEffectorState = 43;
constexpr std::size_t kRequestLength = 13;
constexpr std::size_t kStatePayload = 24;
constexpr std::size_t kReplyLength = 1 + kStatePayload;
// The reply wait of the library gives up after 5 s; so does the raw loop.
constexpr auto kReplyTimeout = std::chrono::seconds(5);

// The same request in every mode: a small constant force.
constexpr float kForce[3] = {0.01f, 0.0f, -0.01f};

const char* const kUsage =
    "usage: vantor-bench raw PORT N | library PORT N | readout N | passivity N | responder\n"
    "       vantor-bench pacing RATE SECONDS [SPIN_US] | floor PORT RATE SECONDS busy|poll\n"
    "       vantor-bench servo PORT RATE SECONDS [WALL_Y [SPIN_US [on|off|auto]]]\n";

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    int get() const { return fd_; }

private:
    int fd_;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

bool ParseCount(const char* text, long& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed <= 0) return false;
    value = parsed;
    return true;
}

bool ParseNumber(const char* text, double& value) {
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool ParsePositive(const char* text, double& value) { return ParseNumber(text, value) && value > 0; }

long WarmupCount(long n) { return std::clamp(n / 10, 50L, 500L); }

struct Measurement {
    std::vector<int64_t> latencies_ns;
    double seconds = 0.0;
    double cpu_seconds = 0.0;
    unsigned long long allocations = 0;
    long errors = 0;
};

// Times `n` calls of `exchange` (returns false on a failed exchange). The
// latency vector is sized before the loop, so the loop itself allocates only
// what the exchange does.
template <typename Exchange>
Measurement Measure(long n, Exchange&& exchange) {
    for (long i = 0; i < WarmupCount(n); ++i) exchange();

    Measurement m;
    m.latencies_ns.assign(static_cast<std::size_t>(n), 0);
    const double cpu_start = CpuSeconds();
    const unsigned long long allocations_start = g_allocations.load(std::memory_order_relaxed);
    const auto start = Clock::now();
    auto before = start;
    for (long i = 0; i < n; ++i) {
        if (!exchange()) ++m.errors;
        const auto after = Clock::now();
        m.latencies_ns[static_cast<std::size_t>(i)] =
            std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count();
        before = after;
    }
    m.seconds = std::chrono::duration<double>(before - start).count();
    m.allocations = g_allocations.load(std::memory_order_relaxed) - allocations_start;
    m.cpu_seconds = CpuSeconds() - cpu_start;
    return m;
}

double PercentileUs(std::vector<int64_t> sorted, double p) {
    std::sort(sorted.begin(), sorted.end());
    std::size_t rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return static_cast<double>(sorted[rank - 1]) / 1000.0;
}

// `extra` is appended inside the object as further "key": value pairs.
void PrintExchangeJson(const char* mode, const Measurement& m, const std::string& extra = "") {
    const double n = static_cast<double>(m.latencies_ns.size());
    std::printf(
        "{\"mode\": \"%s\", \"exchanges\": %zu, \"warmup\": %ld, \"seconds\": %.6f, "
        "\"exchanges_per_second\": %.1f, \"p50_us\": %.3f, \"p99_us\": %.3f, "
        "\"cpu_us_per_exchange\": %.3f, \"allocations_per_exchange\": %.4f, \"errors\": %ld%s}\n",
        mode, m.latencies_ns.size(), WarmupCount(static_cast<long>(m.latencies_ns.size())), m.seconds,
        n / m.seconds, PercentileUs(m.latencies_ns, 0.50), PercentileUs(m.latencies_ns, 0.99),
        m.cpu_seconds / n * 1e6, static_cast<double>(m.allocations) / n, m.errors, extra.c_str());
    std::fflush(stdout);
}

// --- (a) the floor: bare system calls ----------------------------------------

// Opens and configures the port with the library's own port calls.
int OpenPortLikeTheLibrary(const char* path) {
    const int fd = port::Open(path);
    if (fd != -1) port::Configure(fd);
    return fd;
}

// Busy poll of the waiting byte count, no sleep: the reply wait of old.
bool WaitForBytes(int fd, int n) {
    const auto start = Clock::now();
    for (;;) {
        if (port::Waiting(fd) >= n) return true;
        if (Clock::now() - start > kReplyTimeout) return false;
    }
}

// The same wait asleep in poll() until the descriptor is readable.
bool WaitForBytesInPoll(int fd, int n) {
    const auto start = Clock::now();
    for (;;) {
        if (port::Waiting(fd) >= n) return true;
        if (Clock::now() - start > kReplyTimeout) return false;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 10);
    }
}

// One write of the request, then the header code and the payload, each read
// once enough bytes are waiting.
template <bool (*Wait)(int, int)>
bool RawExchange(int fd, const uint8_t* request, uint8_t* reply) {
    if (::write(fd, request, kRequestLength) != static_cast<ssize_t>(kRequestLength)) return false;
    if (!Wait(fd, 1) || ::read(fd, reply, 1) != 1) return false;
    if (reply[0] != kEndEffectorState) return false;
    if (!Wait(fd, static_cast<int>(kStatePayload))) return false;
    return ::read(fd, reply + 1, kStatePayload) == static_cast<ssize_t>(kStatePayload);
}

// The port as the library opens it, and the request every mode sends; a
// closed descriptor (said on standard error) when it cannot be opened.
Descriptor OpenRawPort(const char* port, uint8_t (&request)[kRequestLength]) {
    Descriptor fd(OpenPortLikeTheLibrary(port));
    if (fd.get() < 0) std::fprintf(stderr, "vantor-bench: cannot open %s: %s\n", port, std::strerror(errno));
    request[0] = kForceRequest;
    std::memcpy(request + 1, kForce, sizeof kForce);
    return fd;
}

int RunRaw(const char* port, long n) {
    uint8_t request[kRequestLength];
    const Descriptor fd = OpenRawPort(port, request);
    if (fd.get() < 0) return 1;
    uint8_t reply[kReplyLength];
    const Measurement m = Measure(n, [&] { return RawExchange<WaitForBytes>(fd.get(), request, reply); });
    PrintExchangeJson("raw", m);
    return m.errors == 0 ? 0 : 3;
}

// --- (b) the library -----------------------------------------------------------

int RunLibrary(const char* port, long n) {
    SerialStream stream(port);
    if (!stream.IsOpen()) {
        std::fprintf(stderr, "vantor-bench: cannot open %s: %s\n", port, std::strerror(errno));
        return 1;
    }
    // The device's two buffers are allocated here: seeing them shows that the
    // counter catches the library's allocations.
    const unsigned long long before_construction = g_allocations.load(std::memory_order_relaxed);
    Talon talon(&stream);
    const unsigned long long construction = g_allocations.load(std::memory_order_relaxed) - before_construction;
    float sink = 0.0f;
    // A late or mismatched reply gives all zeros; a failed read also leaves
    // the stream's error bits set for good.
    const Measurement m = Measure(n, [&] {
        const TalonState state = talon.end_effector_force(kForce);
        sink += state.position[0];
        const auto zero = [](float v) { return v == 0.0f; };
        const bool all_zero = std::all_of(state.position.begin(), state.position.end(), zero) &&
                              std::all_of(state.velocity.begin(), state.velocity.end(), zero);
        return !all_zero && stream.rdstate() == std::ios_base::goodbit;
    });
    PrintExchangeJson("library", m, ", \"construction_allocations\": " + std::to_string(construction));
    if (sink != sink) std::fprintf(stderr, "vantor-bench: the arm reported NaN\n");
    return m.errors == 0 ? 0 : 3;
}

// --- read-out ------------------------------------------------------------------

int RunReadout(long n) {
    using Vantor::HardwareAPI::Devices::forward_kinematics;
    const Vector3 offsets = {0.0f, 0.0f, 0.0f};
    // A spread of poses, so no branch or result settles into one case.
    auto pose = [](long i) {
        return Vector3{-30.0f + static_cast<float>(i % 61), 10.0f + 0.5f * static_cast<float>(i % 97),
                       60.0f + 0.25f * static_cast<float>(i % 89)};
    };
    volatile float sink = 0.0f;
    for (long i = 0; i < 1000; ++i) {
        const Vector3 p = forward_kinematics(pose(i), offsets);
        sink = sink + p[0];
    }
    const unsigned long long allocations_start = g_allocations.load(std::memory_order_relaxed);
    const auto start = Clock::now();
    float sum = 0.0f;
    for (long i = 0; i < n; ++i) {
        const Vector3 p = forward_kinematics(pose(i), offsets);
        sum += p[0] + p[1] + p[2];
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const unsigned long long allocations = g_allocations.load(std::memory_order_relaxed) - allocations_start;
    sink = sum;
    std::printf(
        "{\"mode\": \"readout\", \"iterations\": %ld, \"seconds\": %.6f, \"ns_per_computation\": %.2f, "
        "\"allocations_per_computation\": %.4f}\n",
        n, seconds, seconds / static_cast<double>(n) * 1e9,
        static_cast<double>(allocations) / static_cast<double>(n));
    std::fflush(stdout);
    return 0;
}

// --- passivity -------------------------------------------------------------------

// One cycle's force for a stiff wall through the clamp and the ramp; with
// control, the observer and the controller too, as the loop runs them.
volatile double g_passivity_sink = 0;

template <bool kWithPassivity>
double PassivityCycles(long n, Vantor::HardwareAPI::Control::Plane& wall,
                       Vantor::HardwareAPI::Control::Passivity& passivity) {
    namespace C = Vantor::HardwareAPI::Control;
    // A rattle against the wall, so the controller acts in most cycles.
    auto reading = [](long i) {
        const double phase = static_cast<double>(i % 20) / 20.0 * 6.283185307179586;
        return std::make_pair(C::Vector3d{0, 0, -1e-4 * std::sin(phase)}, C::Vector3d{0, 0, -0.03 * std::cos(phase)});
    };
    double sum = 0;
    const auto start = Clock::now();
    for (long i = 0; i < n; ++i) {
        const auto read = reading(i);
        C::SplitForce split = wall.Split({read.first, read.second, 0.0, 0.001});
        C::Vector3d damping{0, 0, 0};
        if (kWithPassivity) {
            passivity.Observe(read.first);
            damping = passivity.Damping(read.second);
        }
        C::Vector3d next{split.passive[0] + damping[0] + split.active[0], split.passive[1] + damping[1] + split.active[1],
                         split.passive[2] + damping[2] + split.active[2]};
        const double clamp = kWithPassivity ? C::safety::ClampFactor(next, 2.0) : 1.0;
        C::safety::Clamp(next, 2.0);
        next = C::safety::Ramp(next, 1.0);
        if (kWithPassivity) {
            const C::Vector3d passive{split.passive[0] + damping[0], split.passive[1] + damping[1],
                                      split.passive[2] + damping[2]};
            passivity.Command(C::safety::Ramp(passive, clamp), C::safety::Ramp(damping, clamp));
        }
        sum += next[2];
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    g_passivity_sink = sum;
    return seconds;
}

int RunPassivity(long n) {
    Vantor::HardwareAPI::Control::Plane wall({{0, 0, 0}, {0, 0, 1}, 100000.0, 0.0});
    Vantor::HardwareAPI::Control::Passivity passivity(true, 50.0, 0.001);
    PassivityCycles<false>(1000, wall, passivity);  // warm
    PassivityCycles<true>(1000, wall, passivity);
    const unsigned long long allocations_start = g_allocations.load(std::memory_order_relaxed);
    // Rounds taken in turn, each figure its fastest: what the other work on
    // a shared machine adds is left out of both alike.
    constexpr int kRounds = 7;
    double floor_s = HUGE_VAL, with_s = HUGE_VAL;
    for (int round = 0; round < kRounds; ++round) {
        floor_s = std::min(floor_s, PassivityCycles<false>(n / kRounds, wall, passivity));
        with_s = std::min(with_s, PassivityCycles<true>(n / kRounds, wall, passivity));
    }
    const unsigned long long allocations = g_allocations.load(std::memory_order_relaxed) - allocations_start;
    const double per = 1e9 / static_cast<double>(n / kRounds);
    std::printf(
        "{\"mode\": \"passivity\", \"iterations\": %ld, \"floor_ns_per_cycle\": %.2f, "
        "\"with_passivity_ns_per_cycle\": %.2f, \"passivity_ns_per_cycle\": %.2f, \"ratio_to_floor\": %.3f, "
        "\"controller_cycles\": %llu, \"allocations\": %llu}\n",
        n, floor_s * per, with_s * per, (with_s - floor_s) * per, with_s / floor_s,
        static_cast<unsigned long long>(passivity.cycles()), allocations);
    std::fflush(stdout);
    return 0;
}

// --- reply-only arm --------------------------------------------------------------
// Answers every force request with 43 and the request's floats twice, and
// does nothing else: the least a device on a pseudo-terminal can cost.

int RunResponder() {
    Descriptor master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        std::perror("vantor-bench: pseudo-terminal");
        return 1;
    }
    char name[PATH_MAX];
    if (ptsname_r(master.get(), name, sizeof name) != 0) {
        std::perror("vantor-bench: ptsname_r");
        return 1;
    }
    termios tio{};
    tcgetattr(master.get(), &tio);
    cfmakeraw(&tio);
    tcsetattr(master.get(), TCSANOW, &tio);
    // Held open so the master never sees a hang-up between clients.
    const Descriptor slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (slave.get() < 0) {
        std::perror("vantor-bench: open slave");
        return 1;
    }
    // Ends with its parent, or when a pipe on standard input closes; the
    // watch runs on its own thread so the reply path stays a bare read.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct stat in {};
    if (fstat(STDIN_FILENO, &in) == 0 && (S_ISFIFO(in.st_mode) || S_ISSOCK(in.st_mode))) {
        std::thread([] {
            char discard[256];
            for (;;) {
                const ssize_t r = ::read(STDIN_FILENO, discard, sizeof discard);
                if (r == 0 || (r < 0 && errno != EINTR)) _exit(0);
            }
        }).detach();
    }
    std::printf("%s\n", name);
    std::fflush(stdout);

    uint8_t input[4096];
    std::size_t have = 0;
    uint8_t reply[kReplyLength];
    reply[0] = kEndEffectorState;
    for (;;) {
        const ssize_t r = ::read(master.get(), input + have, sizeof input - have);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 1;
        have += static_cast<std::size_t>(r);
        std::size_t offset = 0;
        while (have - offset >= kRequestLength) {
            if (input[offset] != kForceRequest) {
                ++offset;
                continue;
            }
            std::memcpy(reply + 1, input + offset + 1, 12);
            std::memcpy(reply + 13, input + offset + 1, 12);
            if (::write(master.get(), reply, sizeof reply) < 0 && errno != EAGAIN) return 1;
            offset += kRequestLength;
        }
        std::memmove(input, input + offset, have - offset);
        have -= offset;
    }
}


// --- paced loops -----------------------------------------------------------------

constexpr int64_t kNsPerS = 1000000000;

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

// The servo loop's own wait: sleep to spin_ns before the deadline, then spin.
void WaitUntil(int64_t deadline_ns, int64_t spin_ns) {
    const int64_t wake = deadline_ns - spin_ns;
    if (NowNs() < wake) {
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(wake / kNsPerS);
        ts.tv_nsec = static_cast<long>(wake % kNsPerS);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (NowNs() < deadline_ns) {
    }
}

// A value as the servo loop's stats() give it: the upper edge of its bin
// (0.5 us below 1 ms, 100 us above), never above the maximum.
double BinnedUs(int64_t ns, int64_t max_ns) {
    if (ns < 0) ns = 0;
    double upper_ns;
    if (ns < 1000000) {
        upper_ns = static_cast<double>(ns / 500 + 1) * 500.0;
    } else {
        const int64_t coarse = std::min<int64_t>((ns - 1000000) / 100000, 1000);
        upper_ns = 1e6 + static_cast<double>(coarse + 1) * 1e5;
    }
    return std::min(upper_ns, static_cast<double>(max_ns)) / 1000.0;
}

std::string PercentilesJson(std::vector<int64_t> values) {
    if (values.empty()) return "{\"p50\": 0, \"p99\": 0, \"max\": 0}";
    std::sort(values.begin(), values.end());
    const int64_t max_ns = values.back();
    auto at = [&](double fraction) {
        const std::size_t rank = std::max<std::size_t>(
            1, static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size()))));
        return BinnedUs(values[std::min(rank, values.size()) - 1], max_ns);
    };
    char text[128];
    std::snprintf(text, sizeof text, "{\"p50\": %.1f, \"p99\": %.1f, \"max\": %.1f}", at(0.50), at(0.99),
                  static_cast<double>(max_ns) / 1000.0);
    return text;
}

std::string PercentilesJson(const Vantor::HardwareAPI::Control::Percentiles& p) {
    char text[128];
    std::snprintf(text, sizeof text, "{\"p50\": %.1f, \"p99\": %.1f, \"max\": %.1f}", p.p50, p.p99, p.max);
    return text;
}

// A paced loop with the servo loop's schedule: sleep (and spin the last
// spin_ns) to each absolute deadline; late when the cycle's work ends after
// the next deadline, which then restarts from now. work() is the cycle's
// work, false when it failed.
struct Paced {
    std::vector<int64_t> jitter;
    std::vector<int64_t> work_ns;
    uint64_t late = 0;
    long errors = 0;
    double wall = 0;
    double cpu = 0;
    double rate_hz = 0;  // achieved
};

template <typename Work>
Paced RunPaced(double rate_hz, double seconds, int64_t spin_ns, Work&& work) {
    const int64_t period_ns = static_cast<int64_t>(std::llround(kNsPerS / rate_hz));
    // Never more cycles than periods in the run, so the records need no growth.
    const std::size_t room = static_cast<std::size_t>(seconds * rate_hz) + 16;
    Paced p;
    p.jitter.reserve(room);
    p.work_ns.reserve(room);
    const double cpu_start = CpuSeconds();
    const int64_t start = NowNs();
    const int64_t end = start + static_cast<int64_t>(seconds * kNsPerS);
    int64_t deadline = start;
    int64_t last_start = start;
    for (;;) {
        const int64_t cycle_start = NowNs();
        if (cycle_start >= end || p.jitter.size() == room) break;
        last_start = cycle_start;
        p.jitter.push_back(cycle_start - deadline);
        if (!work()) ++p.errors;
        const int64_t work_end = NowNs();
        p.work_ns.push_back(work_end - cycle_start);
        deadline += period_ns;
        if (work_end > deadline) {
            ++p.late;
            deadline = work_end;
        }
        WaitUntil(deadline, spin_ns);
    }
    p.wall = static_cast<double>(NowNs() - start) / kNsPerS;
    p.cpu = CpuSeconds() - cpu_start;
    const std::size_t cycles = p.jitter.size();
    const double span = static_cast<double>(last_start - start) / kNsPerS;
    p.rate_hz = cycles > 1 && span > 0 ? static_cast<double>(cycles - 1) / span : 0.0;
    return p;
}

// "key": value pairs common to the paced modes' lines.
std::string PacedJson(double rate_hz, Paced p) {
    const std::size_t cycles = p.jitter.size();
    char text[256];
    std::snprintf(text, sizeof text,
                  "\"rate_hz_set\": %.1f, \"seconds\": %.3f, \"cycles\": %zu, \"rate_hz\": %.1f, \"late_cycles\": %llu, "
                  "\"late_share\": %.6f, \"cpu_percent\": %.2f, ",
                  rate_hz, p.wall, cycles, p.rate_hz, static_cast<unsigned long long>(p.late),
                  cycles ? static_cast<double>(p.late) / static_cast<double>(cycles) : 0.0, 100.0 * p.cpu / p.wall);
    return std::string(text) + "\"jitter_us\": " + PercentilesJson(std::move(p.jitter));
}

// Sleep and spin to each absolute deadline and nothing else: the machine's
// own floor for a paced loop.
int RunPacing(double rate_hz, double seconds, double spin_us) {
    Paced p = RunPaced(rate_hz, seconds, static_cast<int64_t>(spin_us * 1000.0), [] { return true; });
    std::printf("{\"mode\": \"pacing\", \"spin_us\": %.1f, %s}\n", spin_us, PacedJson(rate_hz, std::move(p)).c_str());
    std::fflush(stdout);
    return 0;
}

// The floor for a paced exchanging loop: the raw exchange once per period,
// slept to each absolute deadline, nothing else; the reply awaited by
// busy-polling or in poll(). Figures as the servo loop gives them.
int RunFloor(const char* path, double rate_hz, double seconds, bool in_poll) {
    uint8_t request[kRequestLength];
    const Descriptor fd = OpenRawPort(path, request);
    if (fd.get() < 0) return 1;
    uint8_t reply[kReplyLength];
    const auto exchange = in_poll ? &RawExchange<WaitForBytesInPoll> : &RawExchange<WaitForBytes>;
    for (int i = 0; i < 50; ++i) exchange(fd.get(), request, reply);
    Paced p = RunPaced(rate_hz, seconds, 0, [&] { return exchange(fd.get(), request, reply); });
    const long errors = p.errors;
    const std::string exchange_us = PercentilesJson(std::move(p.work_ns));
    std::printf("{\"mode\": \"floor\", \"wait\": \"%s\", %s, \"exchange_us\": %s, \"errors\": %ld}\n",
                in_poll ? "poll" : "busy", PacedJson(rate_hz, std::move(p)).c_str(), exchange_us.c_str(), errors);
    std::fflush(stdout);
    return errors == 0 ? 0 : 3;
}

// The demo's wall: a steady hand force towards a plane on the y axis that
// pushes back once passed.
constexpr double kWallOffset = 0.02;  // m beyond the starting point
constexpr double kStiffness = 500.0;  // N/m
constexpr double kDamping = 2.0;      // N s/m
constexpr double kHandForce = 0.5;    // N
constexpr double kForceLimit = 5.0;   // N
// Before the counted window: thread start and the first cycles.
constexpr auto kSettle = std::chrono::milliseconds(250);
// How often a latched fault (a stall of the machine past the deadline) is
// cleared, as the demo does.
constexpr auto kFaultCheck = std::chrono::milliseconds(250);

// wall_y: the plane's place on the y axis (m); NaN: kWallOffset beyond
// where the arm is at the start.
// realtime: "on", "off" or "auto" (the loop's default).
int RunServo(const char* port, double rate_hz, double seconds, double wall_y, double spin_us,
             const std::string& realtime) {
    namespace control = Vantor::HardwareAPI::Control;
    SerialStream stream(port);
    if (!stream.IsOpen()) {
        std::fprintf(stderr, "vantor-bench: cannot open %s: %s\n", port, std::strerror(errno));
        return 1;
    }
    Talon talon(&stream);
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    const TalonState at_start = talon.end_effector_force(zero);

    control::Plane::Params wall{};
    wall.point = {0.0, std::isnan(wall_y) ? at_start.position[1] + kWallOffset : wall_y, 0.0};
    wall.normal = {0.0, -1.0, 0.0};
    wall.stiffness = kStiffness;
    wall.damping = kDamping;
    control::ConstantForce::Params hand{};
    hand.force = {0.0, kHandForce, 0.0};
    auto effect = std::make_shared<control::Sum>(std::vector<control::EffectPtr>{
        std::make_shared<control::ConstantForce>(hand), std::make_shared<control::Plane>(wall)});

    control::ServoConfig config;
    config.rate_hz = std::min(rate_hz, 20000.0);  // the loop's highest rate: the arm answers slower
    config.force_limit = kForceLimit;
    config.spin_us = spin_us;
    if (realtime != "auto") config.realtime = realtime == "on";
    control::ServoLoop loop(talon, config);
    loop.SetEffect(effect);

    const auto allocations = [] { return g_allocations.load(std::memory_order_relaxed); };
    const unsigned long long before_start = allocations();
    loop.Start();
    const unsigned long long start_allocations = allocations() - before_start;
    std::this_thread::sleep_for(kSettle);

    // The counted window: the loop's steady running.
    const double cpu_start = CpuSeconds();
    const unsigned long long allocations_start = allocations();
    const uint64_t cycles_start = loop.stats().cycles;
    const auto window_start = Clock::now();
    const auto window_end = window_start + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(seconds));
    long cleared = 0;
    for (auto now = window_start; now < window_end; now = Clock::now()) {
        std::this_thread::sleep_for(std::min<Clock::duration>(kFaultCheck, window_end - now));
        if (loop.fault() != control::Fault::None) {
            ++cleared;
            loop.ClearFault();
        }
    }
    const uint64_t cycles_end = loop.stats().cycles;
    const unsigned long long window_allocations = allocations() - allocations_start;
    const double cpu = CpuSeconds() - cpu_start;
    const double wall_seconds = std::chrono::duration<double>(Clock::now() - window_start).count();

    const unsigned long long before_stop = allocations();
    loop.Stop();
    const unsigned long long stop_allocations = allocations() - before_stop;
    const control::ServoStats stats = loop.stats();
    const uint64_t window_cycles = cycles_end - cycles_start;

    std::printf(
        "{\"mode\": \"servo\", \"rate_hz_set\": %.1f, \"seconds\": %.3f, \"cycles\": %llu, \"rate_hz\": %.1f, "
        "\"late_cycles\": %llu, \"late_share\": %.6f, \"jitter_us\": %s, \"exchange_us\": %s, "
        "\"faults\": %llu, \"faults_cleared\": %ld, \"cpu_percent\": %.2f, \"window_cycles\": %llu, "
        "\"allocations\": %llu, \"allocations_per_cycle\": %.6f, \"start_allocations\": %llu, "
        "\"stop_allocations\": %llu, \"device_log_lines\": %llu, \"spin_us\": %.1f, \"realtime\": %s}\n",
        rate_hz, wall_seconds, static_cast<unsigned long long>(stats.cycles), stats.rate_hz,
        static_cast<unsigned long long>(stats.late_cycles),
        stats.cycles ? static_cast<double>(stats.late_cycles) / static_cast<double>(stats.cycles) : 0.0,
        PercentilesJson(stats.jitter_us).c_str(), PercentilesJson(stats.exchange_us).c_str(),
        static_cast<unsigned long long>(stats.faults), cleared, 100.0 * cpu / wall_seconds,
        static_cast<unsigned long long>(window_cycles), window_allocations,
        window_cycles ? static_cast<double>(window_allocations) / static_cast<double>(window_cycles) : 0.0,
        start_allocations, stop_allocations, static_cast<unsigned long long>(stats.device_log_lines), spin_us,
        stats.realtime ? "true" : "false");
    std::fflush(stdout);
    return stats.cycles > 0 ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc >= 2 ? argv[1] : "";
    long n = 0;
    if ((mode == "raw" || mode == "library") && argc == 4 && ParseCount(argv[3], n))
        return mode == "raw" ? RunRaw(argv[2], n) : RunLibrary(argv[2], n);
    if (mode == "readout" && argc == 3 && ParseCount(argv[2], n)) return RunReadout(n);
    if (mode == "passivity" && argc == 3 && ParseCount(argv[2], n)) return RunPassivity(n);
    if (mode == "responder" && argc == 2) return RunResponder();
    double rate = 0.0, seconds = 0.0, spin_us = 100.0;
    if (mode == "pacing" && (argc == 4 || argc == 5) && ParsePositive(argv[2], rate) &&
        ParsePositive(argv[3], seconds) && (argc == 4 || ParsePositive(argv[4], spin_us)))
        return RunPacing(rate, seconds, spin_us);
    if (mode == "floor" && argc == 6 && ParsePositive(argv[3], rate) && ParsePositive(argv[4], seconds) &&
        (std::string(argv[5]) == "busy" || std::string(argv[5]) == "poll"))
        return RunFloor(argv[2], rate, seconds, std::string(argv[5]) == "poll");
    if (mode == "servo" && argc >= 5 && argc <= 8 && ParsePositive(argv[3], rate) && ParsePositive(argv[4], seconds)) {
        double wall_y = std::nan("");
        double servo_spin_us = 100.0;
        const std::string rt = argc == 8 ? argv[7] : "off";
        const bool ok = (argc < 6 || std::string(argv[5]) == "nan" || ParseNumber(argv[5], wall_y)) &&
                        (argc < 7 || (ParseNumber(argv[6], servo_spin_us) && servo_spin_us >= 0)) &&
                        (rt == "on" || rt == "off" || rt == "auto");
        if (!ok) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return RunServo(argv[2], rate, seconds, wall_y, servo_spin_us, rt);
    }
    std::fputs(kUsage, stderr);
    return 2;
}
