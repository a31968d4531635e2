// The grip reader on a pseudo-terminal: the test streams compact frames as a
// grip does and checks that every one is decoded, in order.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Control/GripReader.h"
#include "Vantor/HardwareAPI/Control/Lending.h"
#include "support/MemoryStream.h"
#include "support/PtyDevice.h"

using namespace Vantor::HardwareAPI;
using vantor_test::Bytes;
using vantor_test::PtyDevice;

namespace {

// A frame whose device id carries a counter, so order and loss show.
std::string Frame(int id) {
    return Bytes({0xDA, 0x00, 0x00, 0x00, 0xA5, id, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,
                  0x00, 0xC8, 0x00, 0xC0});
}

struct Seen {
    std::mutex mutex;
    std::vector<int> ids;
    Control::GripReader::OnStatus Record() {
        return [this](const Control::GripSample& sample, double) {
            std::lock_guard<std::mutex> lock(mutex);
            ids.push_back(sample.status.device_id);
        };
    }
};

}  // namespace

TEST(GripReader, EveryStreamedFrameIsDecodedInOrder) {
    PtyDevice grip;
    IO::SerialStream stream(grip.path().c_str());
    Devices::Handle handle(&stream);
    Seen seen;
    Control::GripReader reader(handle, true, seen.Record());
    reader.Start();
    EXPECT_EQ(grip.Read(1), Bytes({0x0A}));  // woken first
    EXPECT_FALSE(reader.latest().valid);

    // 100 Hz, and now and then two frames at once or one in two pieces.
    for (int id = 1; id <= 60; ++id) {
        const std::string frame = Frame(id);
        if (id % 10 == 0) {
            grip.Send(frame.substr(0, 7));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            grip.Send(frame.substr(7));
        } else if (id % 10 == 5) {
            grip.Send(frame + Frame(++id));
        } else {
            grip.Send(frame);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto start = std::chrono::steady_clock::now();
    while (reader.stats().frames_good < 60 && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Control::GripSample latest = reader.latest();
    const Control::GripStats stats = reader.stats();
    reader.Stop();

    EXPECT_EQ(stats.frames_good, 60u);
    EXPECT_EQ(stats.frames_bad, 0u);
    std::vector<int> expected;
    for (int id = 1; id <= 60; ++id) expected.push_back(id);
    EXPECT_EQ(seen.ids, expected);
    EXPECT_TRUE(latest.valid);
    EXPECT_EQ(latest.status.device_id, 60);
    EXPECT_EQ(latest.status.battery_level, 4.0f);
    EXPECT_GT(stats.rate_hz, 0.0);
}

TEST(GripReader, StopsPromptlyOnASilentOrHungUpGrip) {
    PtyDevice grip;
    IO::SerialStream stream(grip.path().c_str());
    Devices::Handle handle(&stream);
    Control::GripReader reader(handle, false);
    reader.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    grip.Close();  // unplugged
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    reader.Stop();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.5);  // not the 5 s time-out
    EXPECT_EQ(reader.stats().frames_good, 0u);
}

TEST(GripReader, ASlowCallbackSkipsFramesButNeverTheReading) {
    PtyDevice grip;
    IO::SerialStream stream(grip.path().c_str());
    Devices::Handle handle(&stream);
    std::atomic<int> calls{0};
    Control::GripReader reader(handle, false, [&](const Control::GripSample&, double) {
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    reader.Start();
    for (int id = 1; id <= 40; ++id) {
        grip.Send(Frame(id));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto start = std::chrono::steady_clock::now();
    while (reader.stats().frames_good < 40 && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(reader.stats().frames_good, 40u);  // every frame read while the callback slept
    EXPECT_EQ(reader.latest().status.device_id, 40);
    reader.Stop();
    const Control::GripStats stats = reader.stats();
    EXPECT_GT(stats.callbacks_skipped, 0u);
    EXPECT_LT(calls.load(), 40);
}

TEST(GripReader, AReaderDestroyedFromItsOwnCallbackEndsCleanly) {
    PtyDevice grip;
    IO::SerialStream stream(grip.path().c_str());
    Devices::Handle handle(&stream);
    std::atomic<bool> deleting{false};
    std::atomic<bool> destroyed{false};
    // The callback's thread is the one that must not join itself.
    Control::GripReader* self = nullptr;
    self = new Control::GripReader(handle, false, [&](const Control::GripSample&, double) {
        if (deleting.exchange(true)) return;
        delete self;
        destroyed = true;
    });
    self->Start();
    grip.Send(Frame(1));
    const auto start = std::chrono::steady_clock::now();
    while (!destroyed && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(destroyed);
    // The callback's thread ends by itself; the handle is the caller's again.
    EXPECT_EQ(Control::BorrowerOf(handle), nullptr);
}

// The callback blocks on its first frame with four more queued behind it:
// Stop delivers for a second, then drops those four and returns while the
// call still runs. (Before, it waited for every one of them.)
TEST(GripReader, StopDropsWhatABlockedCallbackHasNotHadAndReturns) {
    PtyDevice grip;
    IO::SerialStream stream(grip.path().c_str());
    Devices::Handle handle(&stream);
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    std::atomic<int> calls{0};
    Control::GripReader reader(handle, false, [&](const Control::GripSample&, double) {
        ++calls;
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
    });
    reader.Start();
    grip.Send(Frame(1));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return entered; }));
    }
    for (int id = 2; id <= 5; ++id) grip.Send(Frame(id));
    const auto start = std::chrono::steady_clock::now();
    while (reader.stats().frames_good < 5 && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(reader.stats().frames_good, 5u);

    // Should Stop wait for the callback, the callback is let go after 10 s,
    // and the test fails rather than hangs.
    std::thread guard([&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
        released = true;
        changed.notify_all();
    });
    reader.Stop();
    bool still_blocked = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        still_blocked = !released;
        released = true;
    }
    changed.notify_all();
    guard.join();
    EXPECT_TRUE(still_blocked) << "Stop waited for the callback";
    EXPECT_EQ(reader.stats().callbacks_skipped, 4u);
    EXPECT_EQ(calls.load(), 1);
    reader.Stop();  // once more: nothing queued, nothing waited for
    EXPECT_EQ(calls.load(), 1);
}
