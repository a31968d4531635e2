// Opening and destroying many streams leaves no descriptor behind, whatever
// state each stream ended in.
#include <string>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/IO/SerialStream.h"
#include "support/LogCapture.h"
#include "support/PtyDevice.h"

using Vantor::HardwareAPI::IO::SerialStream;
using vantor_test::OpenDescriptorCount;
using vantor_test::PtyDevice;

namespace {

enum class Path { Pty, Missing };
enum class End { Destroy, CloseThenDestroy, FailedWriteThenDestroy };

struct SoakCase {
    const char* name;
    Path path;
    End end;
    int count;
};

class StreamSoak : public ::testing::TestWithParam<SoakCase> {};

}  // namespace

TEST_P(StreamSoak, LeavesNoDescriptorOpen) {
    const SoakCase& c = GetParam();
    PtyDevice device;
    const std::string path = c.path == Path::Pty ? device.path() : "/dev/vantor-soak-missing";
    const int opened = c.path == Path::Pty ? 1 : 0;
    const uint8_t wakeup = 0x0A;

    // Capturing the failure lines holds a descriptor of its own.
    if (c.end == End::FailedWriteThenDestroy) vantor_test::CaptureLog();
    const int before = OpenDescriptorCount();
    for (int i = 0; i < c.count; ++i) {
        SerialStream stream(path.c_str());
        if (i == 0) {
            EXPECT_EQ(OpenDescriptorCount(), before + opened);
        }
        if (c.end == End::CloseThenDestroy) stream.Close();
        if (c.end == End::FailedWriteThenDestroy) {
            stream.Close();
            stream.Write(&wakeup, 1);
        }
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    if (c.end == End::FailedWriteThenDestroy) vantor_test::CapturedLog();
    EXPECT_EQ(device.ReadAll(), "") << "only the failed writes were attempted";
}

INSTANTIATE_TEST_SUITE_P(
    TenThousand, StreamSoak,
    ::testing::Values(SoakCase{"PtyDestroyed", Path::Pty, End::Destroy, 10000},
                      SoakCase{"PtyClosedFirst", Path::Pty, End::CloseThenDestroy, 1000},
                      SoakCase{"PtyFailedWrite", Path::Pty, End::FailedWriteThenDestroy, 1000},
                      SoakCase{"MissingPath", Path::Missing, End::Destroy, 1000},
                      SoakCase{"MissingPathFailedWrite", Path::Missing, End::FailedWriteThenDestroy, 1000}),
    [](const ::testing::TestParamInfo<SoakCase>& info) { return std::string(info.param.name); });
