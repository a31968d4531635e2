#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Version.h"

// The version text is the project's version, given to the tests by the build.
TEST(Version, IsTheProjectVersion) {
    EXPECT_STREQ(Vantor::HardwareAPI::get_cpp_version(), VANTOR_PROJECT_VERSION);
    // One constant text, the same pointer each call.
    EXPECT_EQ(Vantor::HardwareAPI::get_cpp_version(), Vantor::HardwareAPI::get_cpp_version());
}
