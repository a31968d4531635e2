// The stream double itself: what the other tests and the fuzz targets rely on.
#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"

using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::Devices::TalonState;
using Vantor::HardwareAPI::Devices::Vector3;
using namespace vantor_test;

namespace {

const float kZero3[3] = {0.0f, 0.0f, 0.0f};
const std::string kTemperature10 = Bytes({0xAA, 0x00, 0x00, 0x20, 0x41});

}  // namespace

TEST(MemoryStream, ReportsWhatItHoldsHoweverOftenPolled) {
    MemoryStream stream;
    stream.Feed("abc");
    EXPECT_EQ(stream.Available(), 3);
    EXPECT_EQ(stream.Available(), 3);
    EXPECT_EQ(stream.get(), 'a');
    EXPECT_EQ(stream.Available(), 2);
    EXPECT_EQ(stream.Unread(), 2u);
    EXPECT_EQ(stream.Consumed(), 1u);
}

TEST(MemoryStream, FeedLaterDeliversOneChunkPerPoll) {
    MemoryStream stream;
    stream.FeedLater("ab");
    stream.FeedLater("c");
    EXPECT_EQ(stream.Available(), 2);
    EXPECT_EQ(stream.Available(), 3);
    EXPECT_EQ(stream.Available(), 3);
}

// A complete reply is read as the port would deliver it, and a missing byte
// ends the exchange at once, silently, without the device's time-out (which
// would log a line).
TEST(MemoryStream, EndWhenDryReadsCompleteReplyAndMissingByteEndsTheWait) {
    MemoryStream stream;
    stream.Feed(kTemperature10);
    stream.EndWhenDry();
    Talon talon(&stream);
    EXPECT_EQ(talon.get_temperature(), 10.0f);
    EXPECT_TRUE(stream.good());

    vantor_test::CaptureLog();
    EXPECT_EQ(talon.get_temperature(), 0.0f);
    EXPECT_EQ(vantor_test::CapturedLog(), "");
    EXPECT_FALSE(stream.good());

    MemoryStream short_stream;
    short_stream.Feed(Bytes({0x2B, 1, 2, 3}));  // a state reply cut short
    short_stream.EndWhenDry();
    Talon arm(&short_stream);
    vantor_test::CaptureLog();
    const TalonState state = arm.end_effector_force(kZero3);
    EXPECT_EQ(vantor_test::CapturedLog(), "");
    EXPECT_EQ(state.position, (Vector3{0.0f, 0.0f, 0.0f}));
    EXPECT_FALSE(short_stream.good());
}

// Only a second poll with no read in between ends it; once ended it stays so.
TEST(MemoryStream, EndWhenDryEndsOnSecondPollWithoutRead) {
    MemoryStream stream;
    stream.Feed("abc");
    stream.EndWhenDry();
    EXPECT_EQ(stream.Available(), 3);
    EXPECT_EQ(stream.get(), 'a');
    EXPECT_EQ(stream.Available(), 2);
    EXPECT_EQ(stream.Available(), MemoryStream::kEndless);
    stream.Feed("d");
    EXPECT_EQ(stream.Available(), MemoryStream::kEndless);
}

// A chunk still to come is not dry: a reply split over polls with no read
// between them is read whole.
TEST(MemoryStream, EndWhenDryWaitsForLaterChunks) {
    MemoryStream stream;
    stream.FeedLater(kTemperature10.substr(0, 2));
    stream.FeedLater(kTemperature10.substr(2, 1));
    stream.FeedLater(kTemperature10.substr(3));
    stream.EndWhenDry();
    Talon talon(&stream);
    vantor_test::CaptureLog();
    EXPECT_EQ(talon.get_temperature(), 10.0f);
    EXPECT_EQ(vantor_test::CapturedLog(), "");
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(stream.Unread(), 0u);
}
