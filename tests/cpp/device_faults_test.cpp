// Devices misbehaving on a real pseudo-terminal: unplugged in the middle of
// an exchange, silent, dripping or splitting a reply, flooding garbage. The
// call runs on its own thread while the test plays the device on the master
// side. Each call must return within its reply waits with the default result,
// and a fresh stream afterwards must work. timeout is 1.0 throughout, so one
// wait lasts 1 to 2 s on the whole-second clock.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"
#include "support/PtyDevice.h"
#include "support/Timing.h"

using Vantor::HardwareAPI::Devices::Handle;
using Vantor::HardwareAPI::Devices::HandleStatusResponse;
using Vantor::HardwareAPI::Devices::QuillonStatus;
using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::Devices::TalonState;
using Vantor::HardwareAPI::IO::SerialStream;
using namespace vantor_test;
using namespace std::chrono_literals;

namespace {

constexpr float kTimeout = 1.0f;

// Upper bound for a call that may wait out `waits` reply waits: each lasts
// at most 2 s at timeout 1.0, plus the 1 s read poll limit and slack.
double MaxSeconds(int waits) { return 2.5 * waits + 2.0; }

int ErrorLines(const std::string& err) {
    int lines = 0;
    for (auto at = err.find("[err] "); at != std::string::npos; at = err.find("[err] ", at + 1)) ++lines;
    return lines;
}

std::string Summary(const TalonState& s) {
    std::ostringstream out;
    out << "(" << s.position[0] << " " << s.position[1] << " " << s.position[2] << ") (" << s.velocity[0] << " "
        << s.velocity[1] << " " << s.velocity[2] << ")";
    return out.str();
}

std::string Summary(const QuillonStatus& s) {
    std::ostringstream out;
    out << "device " << int(s.device_id) << " flag " << int(s.error_flag) << " hall "
        << int(s.hall_effect_sensor_level) << " buttons " << int(s.buttons) << " q " << s.quaternion[0] << " "
        << s.quaternion[1] << " " << s.quaternion[2] << " " << s.quaternion[3] << " battery " << s.battery_level;
    return out.str();
}

// Remembers the device id of the last status message.
class StatusHandle : public Handle {
public:
    using Handle::Handle;
    using Handle::OnReceiveHandleStatusMessage;
    void OnReceiveHandleStatusMessage(const HandleStatusResponse& status) override { device_id = status.device_id; }
    int device_id = -1;
};

// One device call with a good reply and the results of a lost one.
struct Operation {
    const char* name;
    std::string request;                // what the device receives
    std::string reply;                  // a good answer
    std::string success;                // the result of that answer
    std::vector<std::string> failures;  // accepted results when it is lost
    int waits;                          // reply waits a lost answer costs at most
    std::function<std::string(SerialStream&)> call;
};

const std::string kIdentifier = Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                                       0xCC, 0xDD, 0xEE, 0xFF});
const std::string kQuillonFrame = Bytes({0xDA, 0x00, 0x00, 0x00, 0xA5, 0x07, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x00, 0xC8, 0x00, 0xC0});
const std::string kNoQuillon = "device 0 flag 2 hall 0 buttons 0 q 0 0 0 0 battery 0";
const std::string kBadQuillon = "device 0 flag 1 hall 0 buttons 0 q 0 0 0 0 battery 0";
const std::string kZeroState = "(0 0 0) (0 0 0)";

const Operation& Force() {
    static const Operation op{
        "end_effector_force",
        Bytes({42}) + FloatBytes({1.0f, 2.0f, 3.0f}),
        Bytes({43}) + FloatBytes({0.5f, -1.0f, 2.0f, 0.25f, 0.0f, -3.0f}),
        "(0.5 -1 2) (0.25 0 -3)",
        {kZeroState},
        2,
        [](SerialStream& stream) {
            Talon talon(&stream);
            talon.timeout = kTimeout;
            const float force[] = {1.0f, 2.0f, 3.0f};
            return Summary(talon.end_effector_force(force));
        }};
    return op;
}

const Operation& DeviceId() {
    static const Operation op{"get_device_id",
                              Bytes({13, 209}),
                              Bytes({13, 209, 16}) + kIdentifier,
                              "00112233445566778899aabbccddeeff",
                              {std::string(32, '0')},
                              3,
                              [](SerialStream& stream) {
                                  Talon talon(&stream);
                                  talon.timeout = kTimeout;
                                  return talon.get_device_id().hex();
                              }};
    return op;
}

const Operation& Receive() {
    static const Operation op{
        "Receive",
        Bytes({0xDA}),
        Bytes({0xDA, 0x34, 0x12, 0, 9}) + FloatBytes({1.0f, 0.0f, 0.0f, 0.0f}) + Bytes({3, 0xAA, 0xBB, 0xCC}),
        "24 id 4660",
        // Lost before the header code, or after it with the payload missing.
        {"-1 id -1", "0 id -1"},
        1,
        [](SerialStream& stream) {
            StatusHandle handle(&stream);
            handle.timeout = kTimeout;
            handle.RequestStatus();
            const int count = handle.Receive();
            return std::to_string(count) + " id " + std::to_string(handle.device_id);
        }};
    return op;
}

const Operation& Quillon() {
    static const Operation op{"GetQuillonStatus",
                              Bytes({0xDA}),
                              kQuillonFrame,
                              "device 7 flag 0 hall 5 buttons 5 q 0.5 0 0 0 battery 4",
                              {kNoQuillon, kBadQuillon},
                              1,
                              [](SerialStream& stream) {
                                  Handle handle(&stream);
                                  handle.timeout = kTimeout;
                                  handle.RequestStatus();
                                  return Summary(handle.GetQuillonStatus());
                              }};
    return op;
}

// What the device does once the request has arrived.
enum class Fault { Answer, Unplug, UnplugMidReply, Silent, Drip, Split };

const char* Name(Fault fault) {
    switch (fault) {
        case Fault::Answer: return "Answer";
        case Fault::Unplug: return "Unplug";
        case Fault::UnplugMidReply: return "UnplugMidReply";
        case Fault::Silent: return "Silent";
        case Fault::Drip: return "Drip";
        case Fault::Split: return "Split";
    }
    return "?";
}

bool Succeeds(Fault fault) { return fault == Fault::Answer || fault == Fault::Drip || fault == Fault::Split; }

void Play(PtyDevice& device, Fault fault, const std::string& reply) {
    switch (fault) {
        case Fault::Answer: device.Send(reply); break;
        case Fault::Unplug: device.Close(); break;
        case Fault::UnplugMidReply:
            device.Send(reply.substr(0, reply.size() / 2));
            std::this_thread::sleep_for(50ms);
            device.Close();
            break;
        case Fault::Silent: break;
        case Fault::Drip:
            for (char byte : reply) {
                device.Send(std::string(1, byte));
                std::this_thread::sleep_for(4ms);
            }
            break;
        case Fault::Split: {
            const std::size_t half = 1 + (reply.size() - 1) / 2;
            device.Send(reply.substr(0, 1));
            std::this_thread::sleep_for(30ms);
            device.Send(reply.substr(1, half - 1));
            std::this_thread::sleep_for(30ms);
            device.Send(reply.substr(half));
            break;
        }
    }
}

struct Outcome {
    std::string request;  // what reached the device
    std::string result;
    double seconds = 0;
    std::string err;  // standard error during the call
};

// Runs the operation on a new pseudo-terminal and stream while the test
// plays the device.
Outcome RunOnPty(const Operation& op, Fault fault) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    Outcome outcome;
    vantor_test::CaptureLog();
    auto call = std::async(std::launch::async, [&] {
        const auto start = Clock::now();
        outcome.result = op.call(stream);
        outcome.seconds = SecondsSince(start);
    });
    outcome.request = device.Read(op.request.size(), 5000);
    Play(device, fault, op.reply);
    call.get();
    outcome.err = vantor_test::CapturedLog();
    return outcome;
}

void ExpectFreshStreamWorks(const Operation& op) {
    const Outcome fresh = RunOnPty(op, Fault::Answer);
    EXPECT_EQ(fresh.result, op.success) << "fresh stream after the fault";
    EXPECT_EQ(ErrorLines(fresh.err), 0) << fresh.err;
}

struct Case {
    const Operation& (*op)();
    Fault fault;
};

class DeviceFault : public ::testing::TestWithParam<Case> {};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return std::string(info.param.op().name) + "_" + Name(info.param.fault);
}

}  // namespace

TEST_P(DeviceFault, ReturnsWithinItsWaitsThenAFreshStreamWorks) {
    const Operation& op = GetParam().op();
    const Fault fault = GetParam().fault;
    const Outcome outcome = RunOnPty(op, fault);

    EXPECT_EQ(Hex(outcome.request), Hex(op.request));
    EXPECT_LT(outcome.seconds, MaxSeconds(op.waits));
    if (Succeeds(fault)) {
        EXPECT_EQ(outcome.result, op.success);
        EXPECT_EQ(ErrorLines(outcome.err), 0) << outcome.err;
    } else {
        EXPECT_NE(std::find(op.failures.begin(), op.failures.end(), outcome.result), op.failures.end())
            << "got " << outcome.result;
        EXPECT_GE(ErrorLines(outcome.err), 1) << "a lost reply is logged";
    }
    ExpectFreshStreamWorks(op);
}

INSTANTIATE_TEST_SUITE_P(PseudoTerminal, DeviceFault,
                         ::testing::Values(Case{Force, Fault::Unplug}, Case{DeviceId, Fault::Unplug},
                                           Case{Receive, Fault::Unplug}, Case{Quillon, Fault::Unplug},
                                           Case{Force, Fault::UnplugMidReply}, Case{Receive, Fault::UnplugMidReply},
                                           Case{Quillon, Fault::UnplugMidReply}, Case{Force, Fault::Silent},
                                           Case{Receive, Fault::Silent}, Case{Force, Fault::Drip},
                                           Case{DeviceId, Fault::Drip}, Case{Receive, Fault::Drip},
                                           Case{Quillon, Fault::Drip}, Case{Force, Fault::Split},
                                           Case{DeviceId, Fault::Split}, Case{Receive, Fault::Split},
                                           Case{Quillon, Fault::Split}),
                         CaseName);

// --- garbage floods ---------------------------------------------------------------

namespace {

constexpr std::size_t kFloodBytes = 10 * 1024;

// Reproducible random bytes, none of them in `excluded`.
std::string Garbage(std::size_t n, const std::vector<int>& excluded) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out;
    while (out.size() < n) {
        const int b = byte(random);
        if (std::find(excluded.begin(), excluded.end(), b) == excluded.end()) out.push_back(static_cast<char>(b));
    }
    return out;
}

// Writes the flood from a thread of its own. The master side is made
// non-blocking so a library that stops reading cannot hang the writer: it
// gives up after its deadline.
class Flood {
public:
    Flood(PtyDevice& device, std::string bytes) : master_(device.master()), bytes_(std::move(bytes)) {
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        writer_ = std::thread([this] { Write(); });
    }
    ~Flood() { Join(); }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    bool done() const { return done_; }
    // Bytes the library accepted before the writer stopped.
    std::size_t Join() {
        if (writer_.joinable()) writer_.join();
        return written_;
    }

private:
    void Write() {
        const auto deadline = Clock::now() + 30s;
        while (written_ < bytes_.size() && Clock::now() < deadline) {
            const ssize_t n = ::write(master_, bytes_.data() + written_, bytes_.size() - written_);
            if (n > 0) {
                written_ += static_cast<std::size_t>(n);
            } else {
                pollfd p{master_, POLLOUT, 0};
                poll(&p, 1, 10);
            }
        }
        done_ = true;
    }

    int master_;
    std::string bytes_;
    std::size_t written_ = 0;
    std::atomic<bool> done_{false};
    std::thread writer_;
};

}  // namespace

// Never the expected code: each drain attempt swallows 1 KiB at once, until
// the call that finds less than that waits out one time-out.
TEST(GarbageFlood, TalonExchangesReturnZerosWithinTheirWaits) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    Talon talon(&stream);
    talon.timeout = kTimeout;
    Flood flood(device, Garbage(kFloodBytes, {43}));
    const float force[] = {1.0f, 2.0f, 3.0f};

    vantor_test::CaptureLog();
    int calls = 0;
    bool waited = false;  // a call after the flood that ran into the time-out
    while (!waited && calls < 40) {
        const bool flood_over = flood.done();
        const auto start = Clock::now();
        EXPECT_EQ(Summary(talon.end_effector_force(force)), kZeroState) << "call " << calls;
        const double took = SecondsSince(start);
        EXPECT_LT(took, MaxSeconds(2)) << "call " << calls;
        waited = flood_over && took >= 0.9;
        ++calls;
    }
    vantor_test::CapturedLog();
    EXPECT_TRUE(waited);
    EXPECT_GE(calls, 10) << "10 kB hold at most 9 header bytes with full drains";
    EXPECT_LE(calls, 20);
    EXPECT_LT(stream.Available(), 1024);
    EXPECT_EQ(flood.Join(), kFloodBytes);
    ExpectFreshStreamWorks(Force());
}

// Every code, handle codes among them: each Receive takes one message or
// one stray byte and returns -1 or a byte count, never hangs.
TEST(GarbageFlood, HandleReceiveReturnsMinusOneOrACount) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    Handle handle(&stream);
    handle.timeout = kTimeout;
    Flood flood(device, Garbage(kFloodBytes, {}));

    vantor_test::CaptureLog();
    int calls = 0;
    int messages = 0;
    bool silence = false;  // a -1 that waited out the time-out after the flood
    while (!silence && calls < 20000) {
        const bool flood_over = flood.done();
        const auto start = Clock::now();
        const int count = handle.Receive();
        const double took = SecondsSince(start);
        EXPECT_TRUE(count == -1 || (count >= 0 && count <= 276)) << count;
        EXPECT_LT(took, MaxSeconds(2));
        if (count >= 0) ++messages;
        silence = flood_over && count == -1 && took >= 0.9;
        ++calls;
        if (HasFailure()) break;
    }
    vantor_test::CapturedLog();
    EXPECT_TRUE(silence) << calls << " calls";
    EXPECT_EQ(stream.Available(), 0);
    EXPECT_EQ(flood.Join(), kFloodBytes);
    EXPECT_GT(messages, 0) << "random bytes hold handle codes";
    ExpectFreshStreamWorks(Receive());
}

// No status code in the flood, and no 0 byte (which reads as a failed header
// read): the skip loop reads it all, then gives up at the first silent wait.
TEST(GarbageFlood, QuillonStatusSkipsItAllThenReportsNoFrame) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    Handle handle(&stream);
    handle.timeout = kTimeout;
    Flood flood(device, Garbage(kFloodBytes, {0x00, 0xDA}));

    vantor_test::CaptureLog();
    const auto start = Clock::now();
    EXPECT_EQ(Summary(handle.GetQuillonStatus()), kNoQuillon);
    EXPECT_LT(SecondsSince(start), MaxSeconds(2));
    vantor_test::CapturedLog();
    EXPECT_EQ(flood.Join(), kFloodBytes);
    EXPECT_EQ(stream.Available(), 0);
    ExpectFreshStreamWorks(Quillon());
}

// --- the simulator unplugged between exchanges --------------------------------------

namespace {

// vantor-sim as a child process; it exits when its standard input closes.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args) {
        const char* exe = std::getenv("VANTOR_SIM");
        if (exe == nullptr) return;
        args.insert(args.begin(), exe);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~Simulator() {
        if (stdin_ >= 0) close(stdin_);
        if (stdout_ >= 0) close(stdout_);
        if (pid_ > 0 && !WaitForExit(10s)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The terminal's path: the first line of standard output.
    std::string Path() {
        std::string line;
        char c = 0;
        pollfd p{stdout_, POLLIN, 0};
        while (poll(&p, 1, 5000) > 0 && read(stdout_, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    bool WaitForExit(std::chrono::milliseconds wait) {
        const auto deadline = Clock::now() + wait;
        while (waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
        return true;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

}  // namespace

TEST(SimulatorFault, HangUpBetweenExchangesGivesZerosAndALoggedWrite) {
    if (std::getenv("VANTOR_SIM") == nullptr) GTEST_SKIP() << "VANTOR_SIM not set";
    Simulator sim({"talon", "--close-after", "1"});
    const std::string path = sim.Path();
    ASSERT_FALSE(path.empty());
    SerialStream stream(path.c_str());
    Talon talon(&stream);
    talon.timeout = kTimeout;
    const float force[] = {0.0f, 0.0f, 0.0f};

    EXPECT_NE(Summary(talon.end_effector_force(force)), kZeroState) << "the arm answers once";
    ASSERT_TRUE(sim.WaitForExit(10s));

    vantor_test::CaptureLog();
    const auto start = Clock::now();
    EXPECT_EQ(Summary(talon.end_effector_force(force)), kZeroState);
    EXPECT_LT(SecondsSince(start), MaxSeconds(2));
    const std::string err = vantor_test::CapturedLog();
    EXPECT_NE(err.find("unable to write '13' bytes to stream"), std::string::npos) << err;

    Simulator fresh({"talon"});
    const std::string fresh_path = fresh.Path();
    SerialStream fresh_stream(fresh_path.c_str());
    Talon fresh_talon(&fresh_stream);
    fresh_talon.timeout = kTimeout;
    EXPECT_NE(Summary(fresh_talon.end_effector_force(force)), kZeroState);
}
