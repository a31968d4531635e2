// The serial layer on a real pseudo-terminal: the test plays the device on
// the master side.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/IO/SerialStream.h"
#include "support/LogCapture.h"
#include "support/PtyDevice.h"
#include "support/Timing.h"

using Vantor::HardwareAPI::IO::SerialStream;
using vantor_test::Clock;
using vantor_test::PtyDevice;
using vantor_test::SecondsSince;

TEST(SerialStream, OpensWithDeviceLineSettings) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    ASSERT_NE(stream.buffer, nullptr);
    const int fd = stream.buffer->fd;
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);

    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialStream, OpenReportsResult) {
    PtyDevice device;
    SerialStream later(device.path().c_str(), false);
    EXPECT_EQ(later.buffer, nullptr);
    EXPECT_EQ(later.Available(), 0);
    EXPECT_EQ(later.Open(), 1);

    SerialStream missing("/nonexistent/ttyACM9", false);
    EXPECT_EQ(missing.Open(), -2);
    ASSERT_NE(missing.buffer, nullptr);
    EXPECT_EQ(missing.buffer->fd, -1);

    SerialStream null_path(nullptr, false);
    EXPECT_EQ(null_path.Open(), -2);
}

TEST(SerialStream, UnopenedStreamLogsFailedWrite) {
    SerialStream stream("/nonexistent/ttyACM9");
    EXPECT_EQ(stream.Available(), 0);
    const uint8_t byte = 10;
    vantor_test::CaptureLog();
    stream.Write(&byte, 1);
    const std::string err = vantor_test::CapturedLog();
    EXPECT_NE(err.find("[err] Library/src/SerialStream.cpp:53> unable to write '1' bytes to stream: ["),
              std::string::npos)
        << err;
}

TEST(SerialStream, WriteIsOneWriteOfAllBytes) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    const uint8_t bytes[] = {42, 1, 2, 3, 0xFF, 0x0A, 0x0D};
    stream.Write(bytes, sizeof bytes);
    EXPECT_EQ(device.Read(sizeof bytes), std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
    EXPECT_TRUE(stream.good());
}

TEST(SerialStream, AvailableCountsWaitingBytes) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    EXPECT_EQ(stream.Available(), 0);
    device.Send("abcde");
    usleep(20000);
    EXPECT_EQ(stream.Available(), 5);
}

TEST(SerialStream, ShortReadSetsEofAndFailAndStaysFailed) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    device.Send("xyz");
    char out[5] = {};
    const auto start = Clock::now();
    stream.read(out, 5);
    const double took = SecondsSince(start);
    EXPECT_EQ(stream.gcount(), 3);
    EXPECT_EQ(std::string(out, 3), "xyz");
    EXPECT_TRUE(stream.eof());
    EXPECT_TRUE(stream.fail());
    EXPECT_GE(took, 0.95);
    EXPECT_LT(took, 2.0);

    // The error state is sticky: bytes waiting are not read.
    device.Send("q");
    usleep(20000);
    stream.read(out, 1);
    EXPECT_EQ(stream.gcount(), 0);
    EXPECT_EQ(stream.Available(), 1);
}

TEST(SerialStream, PutBackIsDeliveredFirstAndOnlyOnce) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    device.Send("b");
    usleep(20000);
    EXPECT_EQ(stream.rdbuf()->sputbackc('a'), 'a');
    EXPECT_EQ(stream.rdbuf()->sputbackc('z'), std::char_traits<char>::eof());
    char out[2] = {};
    stream.read(out, 2);
    EXPECT_EQ(stream.gcount(), 2);
    EXPECT_EQ(std::string(out, 2), "ab");
}

TEST(SerialStream, PeekThenReadUsesThePendingByte) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    device.Send("k");
    usleep(20000);
    EXPECT_EQ(stream.rdbuf()->sgetc(), 'k');
    EXPECT_EQ(stream.Available(), 0);  // the byte left the driver
    char out = 0;
    const auto start = Clock::now();
    stream.read(&out, 1);
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(stream.gcount(), 1);
    EXPECT_EQ(out, 'k');
}

TEST(SerialStream, InAvailOnIdlePortWaitsThenAnswersZero) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    const int flags = fcntl(stream.buffer->fd, F_GETFL);
    const auto start = Clock::now();
    EXPECT_EQ(stream.rdbuf()->in_avail(), 0);
    EXPECT_GE(SecondsSince(start), 0.95);
    EXPECT_EQ(fcntl(stream.buffer->fd, F_GETFL), flags);

    device.Send("m");
    usleep(20000);
    EXPECT_EQ(stream.rdbuf()->in_avail(), 1);
    EXPECT_EQ(stream.rdbuf()->sbumpc(), 'm');
}

TEST(SerialStream, CloseClosesTheDescriptorOnce) {
    PtyDevice device;
    const int before = vantor_test::OpenDescriptorCount();
    {
        SerialStream stream(device.path().c_str());
        EXPECT_EQ(vantor_test::OpenDescriptorCount(), before + 1);
        const int fd = stream.buffer->fd;
        stream.Close();
        EXPECT_EQ(stream.buffer->fd, -1);
        EXPECT_EQ(vantor_test::OpenDescriptorCount(), before);
        // A descriptor opened now may reuse the number: a second Close or the
        // destructor must not close it.
        const int other = ::open("/dev/null", O_RDONLY);
        ASSERT_EQ(other, fd);
        stream.Close();
        EXPECT_EQ(stream.Available(), 0);
        ::close(other);
    }
    EXPECT_EQ(vantor_test::OpenDescriptorCount(), before);
    SerialStream destroyed_open(device.path().c_str());
    (void)destroyed_open;
}

TEST(SerialStream, HangUpMakesReadsFail) {
    PtyDevice device;
    SerialStream stream(device.path().c_str());
    device.Close();
    char out[4];
    stream.read(out, 4);
    EXPECT_EQ(stream.gcount(), 0);
    EXPECT_TRUE(stream.fail());
}
