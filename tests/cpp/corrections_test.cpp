// Faults found in use: stale input on a new stream, a file or pipe given as
// a port, the grip's frame search stopped by a zero byte, waits that cannot
// be ended early, and detection disturbing ports that are in use.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Vantor/HardwareAPI/Discovery.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"
#include "support/PtyDevice.h"
#include "support/Responder.h"
#include "support/Timing.h"

namespace fs = std::filesystem;
using namespace Vantor::HardwareAPI;
using namespace Vantor::HardwareAPI::Devices;
using IO::SerialStream;
using namespace vantor_test;

namespace {

// A compact frame: device 7, hall 5, buttons 5, quaternion [0.5, 0, 0, 0],
// battery 4.0; full of 0x00 bytes, as real frames are.
const std::string kFrame = Bytes({0xDA, 0x00, 0x00, 0x00, 0xA5, 0x07, 0x00, 0x00, 0x00, 0x00, 0x40,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC8, 0x00, 0xC0});

std::string TalonInfoReply(int model) { return Bytes({11, 0x02, 0x01, model, 1, 8}) + std::string(16, '\x5A'); }

// Never runs dry: every byte it delivers is filler.
class FloodStream : public MemoryStream {
public:
    explicit FloodStream(char filler) : filler_(filler) {}
    int Available() override {
        if (memory.Remaining() < 64) memory.data.append(4096, filler_);
        return static_cast<int>(memory.Remaining());
    }

private:
    char filler_;
};

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() /
                ("vantor-corrections-" + std::to_string(getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

// --- a new stream starts with an empty input queue -----------------------------

TEST(FreshStream, BytesSentBeforeItOpenedAreNotRead) {
    PtyDevice device;
    {
        // Another program's stream: its request was answered after it left.
        SerialStream earlier(device.path().c_str());
        device.Send(TalonInfoReply(4).substr(0, 9));
    }
    device.Send(TalonInfoReply(4).substr(9));
    SerialStream stream(device.path().c_str());
    EXPECT_EQ(stream.Available(), 0);

    Talon talon(&stream);
    talon.timeout = 1.0f;
    talon.SendDeviceWakeup();
    EXPECT_EQ(device.Read(1), Bytes({0x0A}));
    device.Send(TalonInfoReply(4));
    const TalonInfo info = talon.ReceiveDeviceInfo();
    EXPECT_EQ(info.device_model_number, 4);
    EXPECT_EQ(info.device_id, 0x0102);
}

// --- only a terminal is a port ------------------------------------------------

TEST(NotATerminal, FileAndPipeAreRefusedAndNothingIsWritten) {
    TempDir dir;
    const fs::path notes = dir.path() / "notes.txt";
    { std::ofstream(notes) << "keep me"; }
    const fs::path fifo = dir.path() / "loop";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    for (const fs::path& path : {notes, fifo}) {
        SerialStream stream(path.c_str(), false);
        EXPECT_EQ(stream.Open(), -2) << path;
        ASSERT_NE(stream.buffer, nullptr);
        EXPECT_EQ(stream.buffer->fd, -1);
        vantor_test::CaptureLog();
        Talon talon(&stream);
        talon.timeout = 1.0f;
        talon.SendForce(1.0f, 2.0f, 3.0f);
        const std::string err = vantor_test::CapturedLog();
        EXPECT_NE(err.find("unable to write '13' bytes"), std::string::npos) << err;
        EXPECT_EQ(stream.Available(), 0);
    }
    std::ifstream in(notes);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "keep me");
}

TEST(NotATerminal, RefusedPortLeavesNoDescriptor) {
    TempDir dir;
    const fs::path notes = dir.path() / "notes.txt";
    { std::ofstream(notes) << "x"; }
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 50; ++i) SerialStream stream(notes.c_str());
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// --- the grip's frame search --------------------------------------------------

TEST(FrameSearch, StreamStartingMidFrameYieldsTheNextWholeFrame) {
    MemoryStream stream;
    // The tail of a frame begun before the stream: zeros first.
    stream.Feed(kFrame.substr(6) + kFrame);
    Handle handle(&stream);
    const QuillonStatus s = handle.GetQuillonStatus();
    EXPECT_EQ(s.error_flag, 0);
    EXPECT_EQ(s.device_id, 7);
    EXPECT_EQ(s.quaternion[0], 0.5f);
    EXPECT_EQ(s.battery_level, 4.0f);
    EXPECT_EQ(stream.Unread(), 0u);
}

TEST(FrameSearch, ZerosThenSilenceEndWithinTheBound) {
    MemoryStream stream;
    stream.Feed(std::string(40, '\0'));
    Handle handle(&stream);
    handle.timeout = 1.0f;
    vantor_test::CaptureLog();
    const auto start = Clock::now();
    const QuillonStatus s = handle.GetQuillonStatus();
    const double took = SecondsSince(start);
    const std::string err = vantor_test::CapturedLog();
    EXPECT_EQ(s.error_flag, 2);
    EXPECT_GE(took, 0.9);  // it waited rather than give up at the first zero
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(stream.Unread(), 0u);
    EXPECT_NE(err.find("Device.cpp:58> timeout waiting for header code"), std::string::npos) << err;
}

TEST(FrameSearch, FloodWithoutFrameCodeEndsWithinTheBound) {
    for (char filler : {'\x00', '\x55'}) {
        FloodStream stream(filler);
        Handle handle(&stream);
        handle.timeout = 1.0f;
        vantor_test::CaptureLog();
        const auto start = Clock::now();
        const QuillonStatus s = handle.GetQuillonStatus();
        const double took = SecondsSince(start);
        const std::string err = vantor_test::CapturedLog();
        EXPECT_EQ(s.error_flag, 2) << int(filler);
        EXPECT_LT(took, 3.0) << int(filler);
        EXPECT_NE(err.find("Device.cpp:58> timeout waiting for header code"), std::string::npos) << err;
    }
}

// --- an optional way out of a wait ---------------------------------------------

namespace {

struct CountingCheck {
    std::atomic<int> asked{0};
    int stop_after = 0;
    static bool Check(void* context) {
        auto* self = static_cast<CountingCheck*>(context);
        return ++self->asked >= self->stop_after;
    }
};

}  // namespace

TEST(WaitAbort, CheckEndsEveryWaitOfTheThreadUntilTheScopeEnds) {
    MemoryStream stream;
    Talon talon(&stream);  // the default 5 s time-out
    CountingCheck check;
    check.stop_after = 3;
    vantor_test::CaptureLog();
    const auto start = Clock::now();
    {
        WaitAbortScope scope(&CountingCheck::Check, &check);
        const float force[3] = {1.0f, 2.0f, 3.0f};
        const TalonState state = talon.end_effector_force(force);
        EXPECT_TRUE(scope.aborted());
        EXPECT_EQ(state.position[0], 0.0f);
        // Later waits of the scope end at once, without asking again.
        EXPECT_EQ(talon.ReadHeaderCode(), 0);
        EXPECT_EQ(talon.ReadBytes(4), 0);
    }
    const double took = SecondsSince(start);
    EXPECT_EQ(check.asked, 3);
    EXPECT_LT(took, 2.5);  // not the 5 s time-out
    // Asked about every 20 ms once the wait had lasted that long.
    EXPECT_GE(took, 0.05);
    EXPECT_EQ(vantor_test::CapturedLog(), "");
    EXPECT_EQ(WaitAbortScope::Current(), nullptr);

    // Bytes that are there are read even under a scope that has stopped.
    stream.Feed(Bytes({43}));
    WaitAbortScope stopped([](void*) { return true; }, nullptr);
    EXPECT_EQ(talon.ReadHeaderCode(), 43);
}

TEST(WaitAbort, OtherThreadsAndFastRepliesAreUnaffected) {
    CountingCheck check;
    check.stop_after = 1;
    WaitAbortScope scope(&CountingCheck::Check, &check);

    MemoryStream quick;
    quick.Feed(Bytes({43}) + FloatBytes({1, 2, 3, 4, 5, 6}));
    Talon talon(&quick);
    const float force[3] = {0.0f, 0.0f, 0.0f};
    EXPECT_EQ(talon.end_effector_force(force).velocity[2], 6.0f);
    EXPECT_EQ(check.asked, 0);

    double took = 0;
    std::thread other([&] {
        MemoryStream silent;
        Handle handle(&silent);
        handle.timeout = 1.0f;
        vantor_test::CaptureLog();
        const auto start = Clock::now();
        handle.Receive();
        took = SecondsSince(start);
        vantor_test::CapturedLog();
    });
    other.join();
    EXPECT_GE(took, 0.9);  // ran to its own time-out
    EXPECT_EQ(check.asked, 0);
}

// --- detection leaves ports in use alone -----------------------------------------

TEST(DetectionInUse, PortOpenInThisProcessIsNotProbed) {
    TempDir dir;
    Responder arm(TalonInfoReply(4));
    fs::create_symlink(arm.path(), dir.path() / "ttyACM0");
    {
        // Opened through a link of another name: still the same port.
        const fs::path other = dir.path() / "arm";
        fs::create_symlink(arm.path(), other);
        SerialStream in_use(other.c_str());
        EXPECT_TRUE(detect_talons(dir.path()).empty());
        EXPECT_TRUE(detect_handles(dir.path()).empty());
        EXPECT_EQ(arm.wakeups(), 0);
        fs::remove(other);
    }
    // Closed again: probed and found.
    EXPECT_EQ(detect_talons(dir.path()).size(), 1u);
    EXPECT_EQ(arm.wakeups(), 1);
}

TEST(DetectionInUse, PortLockedByAnotherProgramIsNotProbed) {
    TempDir dir;
    Responder arm(TalonInfoReply(4));
    fs::create_symlink(arm.path(), dir.path() / "ttyACM0");
    const int holder = ::open(arm.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_TRUE(detect_talons(dir.path()).empty());
    EXPECT_EQ(arm.wakeups(), 0);
    ::close(holder);
    EXPECT_EQ(detect_talons(dir.path()).size(), 1u);
}

TEST(DetectionInUse, ProbeLeavesNothingForTheNextStream) {
    TempDir dir;
    Responder arm(TalonInfoReply(4));
    fs::create_symlink(arm.path(), dir.path() / "ttyACM0");
    // The handle probe reads only the Talon's header code and leaves.
    EXPECT_TRUE(detect_handles(dir.path()).empty());
    EXPECT_EQ(detect_talons(dir.path()).size(), 1u);
    EXPECT_EQ(detect_talons(dir.path()).size(), 1u);

    SerialStream stream(arm.path().c_str());
    Talon talon(&stream);
    talon.timeout = 1.0f;
    EXPECT_EQ(talon.device_wakeup().device_model_number, 4);
}
