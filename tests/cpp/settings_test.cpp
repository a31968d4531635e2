// The settings' checks as a C++ program meets them: a refusal names the
// setting and its range and gives the value as the program set it.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Control/Reconnection.h"
#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "Vantor/HardwareAPI/Control/SettingError.h"

using namespace Vantor::HardwareAPI::Control;

namespace {

// what() of the refusal, or "accepted".
template <typename Settings>
std::string Refusal(const Settings& settings) {
    try {
        settings.Validate();
    } catch (const SettingError& refused) {
        // What a binding rebuilds the text from, with the value as its caller wrote it.
        const std::string head = refused.setting() + " " + refused.requirement() + ", got ";
        EXPECT_EQ(std::string(refused.what()).compare(0, head.size(), head), 0) << refused.what();
        return refused.what();
    }
    return "accepted";
}

}  // namespace

TEST(Settings, TheValueGivenIsQuotedToTheLastDigitThatTellsItApart) {
    ServoConfig config;
    config.rate_hz = 0.999999999;
    EXPECT_EQ(Refusal(config), "rate_hz must be between 1 and 20000 Hz, got 0.999999999");
    config = ServoConfig{};
    config.ramp_s = 60.00000000000001;
    EXPECT_EQ(Refusal(config), "ramp_s must be between 0 and 60 s, got 60.00000000000001");
    config = ServoConfig{};
    config.exchange_deadline_ms = 0.049999999999999996;
    EXPECT_EQ(Refusal(config), "exchange_deadline_ms must be between 0.05 and 1000 ms, got 0.049999999999999996");
    config = ServoConfig{};
    config.spin_us = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(Refusal(config), "spin_us must be between 0 and 1000 us, got -inf");
    config = ServoConfig{};
    config.velocity_limit = 1e300;
    EXPECT_EQ(Refusal(config), "velocity_limit must be above 0 and at most 100 m/s, got 1e+300");
}

TEST(Settings, ReconnectAfterIsQuotedAsGivenNotAtSixDecimals) {
    Reconnection reconnection;
    reconnection.after_s = 1e-9;
    EXPECT_EQ(Refusal(reconnection), "reconnect_after_s must be between 0.05 and 3600 s, got 1e-09");
    reconnection.after_s = 0.049999999;
    EXPECT_EQ(Refusal(reconnection), "reconnect_after_s must be between 0.05 and 3600 s, got 0.049999999");
    ServoConfig config;
    config.reconnection.after_s = 3600.5;
    EXPECT_EQ(Refusal(config), "reconnect_after_s must be between 0.05 and 3600 s, got 3600.5");
}

TEST(Settings, CpuMinusOneIsNoPinningAndOnlyIt) {
    ServoConfig config;
    config.cpu = -1;
    EXPECT_EQ(Refusal(config), "accepted");
    config.cpu = -2;
    EXPECT_EQ(Refusal(config), "cpu must be -1 (none) or between 0 and 1023, got -2");
    config.cpu = 1024;
    EXPECT_EQ(Refusal(config), "cpu must be -1 (none) or between 0 and 1023, got 1024");
}

TEST(Settings, AWorkspaceRefusalGivesBothCorners) {
    ServoConfig config;
    config.workspace = Workspace{{0, 0, 0}, {0.5, 1e-7, 100.5}};
    EXPECT_EQ(Refusal(config), "workspace must have every coordinate between -100 and 100 m, got ((0, 0, 0), (0.5, 1e-07, 100.5))");
    config.workspace = Workspace{{0, 0.2, 0}, {0.5, 0.1, 1}};
    EXPECT_EQ(Refusal(config),
              "workspace is (lower, upper), each lower coordinate below the upper one, got ((0, 0.2, 0), (0.5, 0.1, 1))");
}

TEST(Settings, ARefusalIsAnInvalidArgument) {
    ServoConfig config;
    config.force_limit = std::nan("");
    EXPECT_THROW(config.Validate(), std::invalid_argument);
}
