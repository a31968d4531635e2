// Framing on the in-memory stream: no timing except where a time-out must run.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/Log.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"
#include "support/PtyDevice.h"
#include "support/Timing.h"

using Vantor::HardwareAPI::Devices::Device;
using namespace vantor_test;

TEST(Device, ConstructionDefaults) {
    MemoryStream stream;
    Device device(&stream);
    EXPECT_FLOAT_EQ(device.timeout, 5.0f);
    EXPECT_EQ(device.stream, &stream);
    for (std::size_t i = 0; i < Device::kBufferSize; ++i) {
        ASSERT_EQ(device.send_buffer[i], 0);
        ASSERT_EQ(device.receive_buffer[i], 0);
    }
    EXPECT_TRUE(stream.writes.empty());
}

TEST(Device, ReadsHeaderThenPayload) {
    MemoryStream stream;
    stream.Feed(Bytes({0xAB, 1, 2, 3}));
    Device device(&stream);
    EXPECT_EQ(device.ReadHeaderCode(), 0xAB);
    EXPECT_EQ(device.receive_buffer[0], 0xAB);
    EXPECT_EQ(device.ReadBytes(3), 3);
    EXPECT_EQ(device.receive_buffer[0], 1);
    EXPECT_EQ(device.receive_buffer[2], 3);
    EXPECT_EQ(device.ReadBytes(0), 0);
}

TEST(Device, WaitsForTheWholePayload) {
    MemoryStream stream;
    stream.FeedLater(Bytes({1}));
    stream.FeedLater(Bytes({2, 3}));
    stream.FeedLater(Bytes({4}));
    Device device(&stream);
    EXPECT_EQ(device.ReadBytes(4), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(device.receive_buffer.get()), 4), Bytes({1, 2, 3, 4}));
}

TEST(Device, OversizedReadIsRefused) {
    MemoryStream stream;
    stream.Feed(std::string(1100, 'x'));
    Device device(&stream);
    EXPECT_EQ(device.ReadBytes(1025), 0);
    EXPECT_EQ(stream.Unread(), 1100u);
    EXPECT_EQ(device.ReadBytes(1024), 1024);
}

TEST(Device, TimeoutsReturnZeroLogAndConsumeNothing) {
    MemoryStream stream;
    Device device(&stream);
    device.timeout = 1.0f;

    vantor_test::CaptureLog();
    auto start = Clock::now();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    double took = SecondsSince(start);
    std::string err = vantor_test::CapturedLog();
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 2.5);
    EXPECT_EQ(err.rfind("[err] Library/src/Device.cpp:58> timeout waiting for header code: [", 0), 0u) << err;

    stream.Feed(Bytes({7, 8, 9}));
    vantor_test::CaptureLog();
    start = Clock::now();
    EXPECT_EQ(device.ReadBytes(4), 0);
    took = SecondsSince(start);
    err = vantor_test::CapturedLog();
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 2.5);
    EXPECT_EQ(err.rfind("[err] Library/src/Device.cpp:87> ", 0), 0u) << err;
    EXPECT_EQ(stream.Unread(), 3u);  // the partial payload stays
    EXPECT_EQ(device.ReadBytes(3), 3);
}

TEST(Device, SendValuesWritesCodeAndFloatsInOneWrite) {
    MemoryStream stream;
    Device device(&stream);
    const float values[] = {1.0f, -2.5f, 3.25f};
    int count = 3;
    device.SendValues(42, values, count);
    ASSERT_EQ(stream.writes.size(), 1u);
    EXPECT_EQ(stream.writes[0], Bytes({42}) + FloatBytes({1.0f, -2.5f, 3.25f})) << Hex(stream.writes[0]);
    EXPECT_EQ(count, 3);

    count = 0;
    device.SendValues(10, values, count);
    count = -4;
    device.SendValues(11, values, count);
    ASSERT_EQ(stream.writes.size(), 3u);
    EXPECT_EQ(stream.writes[1], Bytes({10}));
    EXPECT_EQ(stream.writes[2], Bytes({11}));

    // 255 floats fill the buffer; more are refused rather than overrun it.
    std::vector<float> many(256, 1.0f);
    count = 255;
    device.SendValues(12, many.data(), count);
    ASSERT_EQ(stream.writes.size(), 4u);
    EXPECT_EQ(stream.writes[3].size(), 1021u);
    count = 256;
    device.SendValues(12, many.data(), count);
    EXPECT_EQ(stream.writes.size(), 4u);
}

// The read-state rules need the real stream buffer: a pseudo-terminal.
TEST(Device, StickyEndOfStreamIsSilent) {
    PtyDevice pty;
    Vantor::HardwareAPI::IO::SerialStream stream(pty.path().c_str());
    Device device(&stream);
    device.timeout = 1.0f;
    pty.Send(Bytes({5, 1}));
    usleep(20000);
    EXPECT_EQ(device.ReadHeaderCode(), 5);
    // Only one of two payload bytes: the read ends with eofbit after 1 s.
    stream.read(reinterpret_cast<char*>(device.receive_buffer.get()), 2);
    ASSERT_TRUE(stream.eof());

    pty.Send(Bytes({6, 7}));
    usleep(20000);
    vantor_test::CaptureLog();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(1), 0);
    EXPECT_EQ(vantor_test::CapturedLog(), "");
}

TEST(Device, FailedReadIsLogged) {
    MemoryStream stream;
    stream.Feed(Bytes({1, 2}));
    Device device(&stream);
    stream.setstate(std::ios_base::badbit);
    vantor_test::CaptureLog();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadBytes(1), 0);
    const std::string err = vantor_test::CapturedLog();
    EXPECT_NE(err.find("[err] Library/src/Device.cpp:75> unable to read header code from stream: ["),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[err] Library/src/Device.cpp:97> unable to read '1' bytes from stream: ["),
              std::string::npos)
        << err;
}

// Without a sink of the program's own, the lines go to standard error,
// exactly as they always have; a sink of its own gets the same text, and
// restoring the default brings standard error back.
TEST(Device, ErrorLinesGoToStandardErrorOrToTheInstalledSink) {
    MemoryStream stream;
    stream.Feed(Bytes({1, 2, 3, 4}));
    Device device(&stream);
    stream.setstate(std::ios_base::badbit);
    errno = ENOTTY;
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[err] Library/src/Device.cpp:75> unable to read header code from stream: [25] "
              "Inappropriate ioctl for device\n");

    std::string kept;
    Vantor::HardwareAPI::SetLogSink([](const char* line, void* into) { *static_cast<std::string*>(into) += line; },
                                    &kept);
    testing::internal::CaptureStderr();
    errno = ENOTTY;
    EXPECT_EQ(device.ReadBytes(3), 0);
    Vantor::HardwareAPI::SetLogSink(nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(kept, "[err] Library/src/Device.cpp:97> unable to read '3' bytes from stream: [25] "
                    "Inappropriate ioctl for device\n");
}

// A reply wait on a real line sleeps in the kernel between its looks at the
// waiting count: a silent second costs next to no processor time, and a
// reply that comes in two parts is still read whole.
TEST(Device, AReplyWaitOnALineSleepsInsteadOfSpinning) {
    PtyDevice pty;
    Vantor::HardwareAPI::IO::SerialStream stream(pty.path().c_str());
    Device device(&stream);
    device.timeout = 1.0f;
    CaptureLog();
    const auto cpu = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return ts.tv_sec + ts.tv_nsec * 1e-9;
    };
    const double before = cpu();
    EXPECT_EQ(device.ReadHeaderCode(), 0);  // silent: waits out its 1 to 2 s
    EXPECT_LT(cpu() - before, 0.2);
    EXPECT_NE(CapturedLog().find("timeout waiting for header code"), std::string::npos);

    std::thread sender([&] {
        pty.Send(std::string("\x2b\x01\x02", 3));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.Send(std::string("\x03\x04", 2));
    });
    EXPECT_EQ(device.ReadHeaderCode(), 0x2b);
    const double during = cpu();
    EXPECT_EQ(device.ReadBytes(4), 4);
    EXPECT_LT(cpu() - during, 0.02);  // 30 ms for the rest, asleep
    sender.join();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(device.receive_buffer.get()), 4), std::string("\x01\x02\x03\x04", 4));
}
