// Replies that start and then stall, on a real pseudo-terminal: how long the
// wait lasts, and what it costs the processor while it waits.
#include <time.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"
#include "support/PtyDevice.h"
#include "support/Timing.h"

using Vantor::HardwareAPI::Devices::Handle;
using Vantor::HardwareAPI::Devices::QuillonStatus;
using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::Devices::TalonState;
using Vantor::HardwareAPI::IO::SerialStream;
using namespace vantor_test;
using namespace std::chrono_literals;

namespace {

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

// The frame's code comes shortly before the time-out, then nothing more. The
// search and the frame's payload share the one time-out counted from the
// call, so the call ends within it (on the whole-second clock, timeout + 1 s)
// instead of waiting a second time-out for the payload.
TEST(StalledReply, QuillonCodeJustBeforeTheTimeOutEndsWithinOneTimeOut) {
    constexpr float kTimeout = 3.0f;
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    Handle handle(&stream);
    handle.timeout = kTimeout;
    vantor_test::CaptureLog();
    const auto start = Clock::now();
    auto call = std::async(std::launch::async, [&] { return handle.GetQuillonStatus(); });
    // The earliest the search can time out is kTimeout after the call: 1 s
    // of slack for this thread to be scheduled.
    std::this_thread::sleep_until(start + 2s);
    device.Send(std::string(1, static_cast<char>(0xDA)) + std::string(3, '\0'));
    const QuillonStatus status = call.get();
    const double took = SecondsSince(start);
    vantor_test::CapturedLog();
    EXPECT_EQ(status.error_flag, 1) << "the code was read, the frame was cut short";
    // Waiting for the payload afresh took at least 2 + 3 s.
    EXPECT_LT(took, kTimeout + 1.0 + 0.5);
}

// A partial reply that never completes: the wait sleeps in poll() until more
// bytes come, rather than napping a byte's time over and over.
TEST(StalledReply, StalledPartialReplyCostsAlmostNoProcessor) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    Talon talon(&stream);
    talon.timeout = 1.0f;
    vantor_test::CaptureLog();
    double cpu = 0, wall = 0;
    TalonState state;
    auto call = std::async(std::launch::async, [&] {
        const auto start = Clock::now();
        const double cpu_start = ThreadCpuSeconds();
        const float force[3] = {0, 0, 0};
        state = talon.end_effector_force(force);
        cpu = ThreadCpuSeconds() - cpu_start;
        wall = SecondsSince(start);
    });
    device.Read(13, 5000);
    // The code and 23 of the state's 24 bytes.
    device.Send(Bytes({43}) + FloatBytes({1, 2, 3, 4, 5}) + std::string(3, '\0'));
    call.get();
    vantor_test::CapturedLog();
    EXPECT_EQ(state.position[0], 0.0f) << "the stalled reply gives the default";
    ASSERT_GT(wall, 0.9);
    EXPECT_LT(cpu / wall, 0.03) << cpu << " s of processor in " << wall << " s";
}

// A drain wants more than the line's minimum count can ask for; with more
// than that already waiting it still sleeps between looks.
TEST(StalledReply, StalledDrainCostsAlmostNoProcessor) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    Talon talon(&stream);
    talon.timeout = 1.0f;
    vantor_test::CaptureLog();
    double cpu = 0, wall = 0;
    auto call = std::async(std::launch::async, [&] {
        const auto start = Clock::now();
        const double cpu_start = ThreadCpuSeconds();
        talon.get_device_id();
        cpu = ThreadCpuSeconds() - cpu_start;
        wall = SecondsSince(start);
    });
    device.Read(2, 5000);
    // The wrong selector echoed: the call drains, and 300 bytes stall there.
    device.Send(Bytes({13, 210}) + std::string(300, '\x55'));
    call.get();
    vantor_test::CapturedLog();
    ASSERT_GT(wall, 0.9);
    EXPECT_LT(cpu / wall, 0.03) << cpu << " s of processor in " << wall << " s";
}
