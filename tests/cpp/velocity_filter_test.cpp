// The velocity filter: on sequences of readings, then in the loop on the
// in-memory stream, where an effect's damping must see the filtered
// velocity. Nothing depends on time: the loop's ramp is off.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Control/VelocityFilter.h"
#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "support/MemoryStream.h"

using namespace Vantor::HardwareAPI;
using namespace Vantor::HardwareAPI::Control;
using namespace vantor_test;

namespace {

constexpr double kPeriod = 0.001;
const double kPi = std::acos(-1.0);

// The gain of a steady sine at f_hz through the filter, from its response
// once the start has died away, projected on the sine's own frequency.
double Gain(double cutoff_hz, double f_hz) {
    VelocityFilter filter(cutoff_hz, kPeriod);
    const int settle = 2000, n = 2000;  // n: a whole number of periods for the frequencies used
    double in_sin = 0, in_cos = 0, out_sin = 0, out_cos = 0;
    for (int k = 0; k < settle + n; ++k) {
        const double phase = 2 * kPi * f_hz * k * kPeriod;
        const double x = std::sin(phase);
        const double y = filter.Step({x, 0, -x})[0];
        if (k < settle) continue;
        in_sin += x * std::sin(phase);
        in_cos += x * std::cos(phase);
        out_sin += y * std::sin(phase);
        out_cos += y * std::cos(phase);
    }
    return std::hypot(out_sin, out_cos) / std::hypot(in_sin, in_cos);
}

// A second-order Butterworth by the bilinear transform, prewarped.
double ExpectedGain(double cutoff_hz, double f_hz) {
    const double ratio = std::tan(kPi * f_hz * kPeriod) / std::tan(kPi * cutoff_hz * kPeriod);
    return 1.0 / std::sqrt(1.0 + std::pow(ratio, 4));
}

}  // namespace

TEST(VelocityFilter, CutsOffWhereItIsSetAndPassesTheHandsMotion) {
    EXPECT_NEAR(Gain(50, 50), std::sqrt(0.5), 1e-3);  // -3 dB at the cut-off itself
    EXPECT_NEAR(Gain(50, 5), 1.0, 1e-3);              // a hand's motion passes
    EXPECT_NEAR(Gain(50, 200), ExpectedGain(50, 200), 1e-3);
    EXPECT_LT(Gain(50, 200), 0.055);  // 12 dB an octave: two octaves up, about 1/16
    EXPECT_NEAR(Gain(20, 100), ExpectedGain(20, 100), 1e-3);
    // Noise that flips sign each reading is taken out entirely.
    VelocityFilter filter(50, kPeriod);
    double y = 0;
    for (int k = 0; k < 500; ++k) y = filter.Step({k % 2 ? 1.0 : -1.0, 0, 0})[0];
    EXPECT_LT(std::fabs(y), 1e-6);
}

TEST(VelocityFilter, AStepRisesInAboutAQuarterOfTheCutoffPeriodAndSettlesOnIt) {
    VelocityFilter filter(50, kPeriod);
    EXPECT_EQ(filter.Step({0, 0, 0})[1], 0.0);
    std::vector<double> y;
    for (int k = 0; k < 400; ++k) y.push_back(filter.Step({0, 1.0, 0})[1]);
    EXPECT_GT(y[0], 0.0);
    EXPECT_LT(y[0], 0.05);  // no jump
    int half = 0;
    while (y[half] < 0.5) ++half;
    EXPECT_GE(half, 4);  // 4.6 ms for the continuous filter at 50 Hz
    EXPECT_LE(half, 6);
    const double peak = *std::max_element(y.begin(), y.end());
    EXPECT_GT(peak, 1.03);  // a Butterworth's 4 % overshoot, no more
    EXPECT_LT(peak, 1.06);
    EXPECT_NEAR(y.back(), 1.0, 1e-9);
}

TEST(VelocityFilter, StartsAtTheReadingAfterAResetOrAReadingThatIsNoNumber) {
    VelocityFilter filter(30, kPeriod);
    for (int k = 0; k < 100; ++k) filter.Step({0.2, 0.2, 0.2});
    filter.Reset();
    EXPECT_EQ(filter.Step({-0.1, 0.0, 0.3}), (Vector3d{-0.1, 0.0, 0.3}));
    EXPECT_NEAR(filter.Step({-0.1, 0.0, 0.3})[0], -0.1, 1e-12);  // at rest there
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(filter.Step({nan, 0.0, 0.0})[0]));
    // Not poisoned by it: the next reading starts the filter again.
    EXPECT_EQ(filter.Step({0.05, 0.0, 0.0}), (Vector3d{0.05, 0.0, 0.0}));
    VelocityFilter off(0, kPeriod);
    EXPECT_EQ(off.Step({0.5, -0.5, 0.25}), (Vector3d{0.5, -0.5, 0.25}));
}

TEST(VelocityFilter, TheCutoffIsCheckedAgainstHalfTheLoopsRate) {
    for (const double bad : {0.0, -5.0, 500.0, 501.0, std::nan(""), HUGE_VAL}) {
        ServoConfig c;
        c.velocity_filter_hz = bad;
        try {
            c.Validate();
            ADD_FAILURE() << bad << " was taken";
        } catch (const SettingError& e) {
            EXPECT_EQ(e.setting(), "velocity_filter_hz");
            EXPECT_NE(std::string(e.what()).find("above 0 and below 500 Hz"), std::string::npos) << e.what();
        }
    }
    ServoConfig c;
    c.velocity_filter_hz = 499.9;
    EXPECT_NO_THROW(c.Validate());
    c.rate_hz = 4000;
    c.velocity_filter_hz = 1999.0;
    EXPECT_NO_THROW(c.Validate());
    c.velocity_filter_hz.reset();
    EXPECT_NO_THROW(c.Validate());
}

// --- in the loop ------------------------------------------------------------------

namespace {

// An arm at rest whose velocity reading is a steady drift plus noise,
// pseudo-random and the same in every run.
class NoisyArmStream : public MemoryStream {
public:
    void Write(const uint8_t* data, std::size_t n) override {
        MemoryStream::Write(data, n);
        if (n != 13 || data[0] != 42) return;
        float f[3];
        std::memcpy(f, data + 1, sizeof f);
        forces.push_back({f[0], f[1], f[2]});
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = (static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5) * 2 * noise_amplitude;
        const float vz = static_cast<float>(drift + noise);
        Feed(Bytes({43}) + FloatBytes({0.0f, 0.0f, 0.1f, 0.0f, 0.0f, vz}));
    }

    double drift = 0.01;            // m/s
    double noise_amplitude = 0.04;  // m/s, uniform
    uint64_t seed = 1;
    std::vector<Vector3d> forces;
};

struct NoisyRig {
    explicit NoisyRig(std::optional<double> filter_hz) : talon(&stream), loop(talon, Config(filter_hz)) {
        loop.SetEffect(std::make_shared<Damper>(Damper::Params{20.0}));
    }
    static ServoConfig Config(std::optional<double> filter_hz) {
        ServoConfig c;
        c.rate_hz = 1000;
        c.ramp_s = 0;  // the ramp counts wall-clock time: off, so the run is the same on any machine
        c.exchange_deadline_ms = 1000;
        c.velocity_filter_hz = filter_hz;
        return c;
    }
    std::vector<ServoSample> Run(std::size_t n) {
        loop.Record(n);
        loop.Start();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (loop.Recording().size() < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        loop.Stop();
        return loop.Recording();
    }

    NoisyArmStream stream;
    Devices::Talon talon;
    ServoLoop loop;
};

// Mean and standard deviation of the z forces the arm received, past the first `skip`.
void Spread(const std::vector<Vector3d>& forces, std::size_t skip, double& mean, double& sd) {
    double sum = 0, squares = 0;
    const std::size_t n = forces.size() - skip - 1;  // the last is the zero of the stop
    for (std::size_t i = skip; i < skip + n; ++i) sum += forces[i][2];
    mean = sum / n;
    for (std::size_t i = skip; i < skip + n; ++i) squares += (forces[i][2] - mean) * (forces[i][2] - mean);
    sd = std::sqrt(squares / n);
}

}  // namespace

TEST(ServoLoopVelocityFilter, DampingOnANoisyVelocityBuzzesLessWithTheFilter) {
    NoisyRig raw(std::nullopt), filtered(30.0);
    const std::vector<ServoSample> raw_samples = raw.Run(1000), samples = filtered.Run(1000);
    ASSERT_EQ(samples.size(), 1000u);
    ASSERT_GE(raw.stream.forces.size(), 1000u);
    ASSERT_GE(filtered.stream.forces.size(), 1000u);
    double raw_mean, raw_sd, mean, sd;
    Spread(raw.stream.forces, 100, raw_mean, raw_sd);
    Spread(filtered.stream.forces, 100, mean, sd);
    // The same drag on the drift (20 N s/m x 0.01 m/s), a fraction of the buzz.
    EXPECT_NEAR(raw_mean, -0.2, 0.02);
    EXPECT_NEAR(mean, -0.2, 0.02);
    EXPECT_GT(raw_sd, 0.4);     // uniform noise of 0.8 N either way: 0.46 N
    EXPECT_LT(sd, 0.25 * raw_sd);  // about sqrt(1.1 x 30 / 500) of it
    // The recording keeps both: what the arm sent, and what the damper saw.
    for (const ServoSample& s : samples) ASSERT_EQ(s.position[2], 0.1f);
    double raw_spread = 0, felt_spread = 0;
    for (std::size_t i = 100; i < samples.size(); ++i) {
        raw_spread += std::fabs(samples[i].velocity[2] - 0.01);
        felt_spread += std::fabs(samples[i].filtered_velocity[2] - 0.01);
    }
    EXPECT_LT(felt_spread, 0.25 * raw_spread);
    for (const ServoSample& s : raw_samples)
        ASSERT_EQ(s.filtered_velocity[2], s.velocity[2]);  // no filter: the effect saw the reading
    EXPECT_EQ(filtered.stream.forces.back(), (Vector3d{0, 0, 0}));
}

TEST(ServoLoopVelocityFilter, StartsAtTheArmsReadingOnEachNewSchedule) {
    NoisyRig rig(10.0);
    rig.stream.noise_amplitude = 0;
    rig.stream.drift = 0;
    ASSERT_EQ(rig.Run(200).size(), 200u);
    // Started again with the arm moving: the damper feels the motion from
    // the first cycle, not a filter still at rest from the run before.
    rig.stream.drift = 0.05;
    rig.stream.forces.clear();
    const std::vector<ServoSample> samples = rig.Run(50);
    ASSERT_EQ(samples.size(), 50u);
    const double v = static_cast<float>(0.05);
    for (const ServoSample& s : samples) ASSERT_NEAR(s.filtered_velocity[2], v, 1e-12);
    // The first force of a schedule is zero; every one after it the full drag.
    ASSERT_GE(rig.stream.forces.size(), 51u);
    EXPECT_EQ(rig.stream.forces.front(), (Vector3d{0, 0, 0}));
    for (std::size_t i = 1; i + 1 < rig.stream.forces.size(); ++i)
        ASSERT_NEAR(rig.stream.forces[i][2], -20.0 * v, 1e-6) << "force " << i;
}
