// The energy observer and the passivity controller: on sequences of
// positions and forces, then in the loop on the in-memory stream, with an
// arm that moves exactly one period per request, so nothing depends on time.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Control/Passivity.h"
#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "support/MemoryStream.h"

using namespace Vantor::HardwareAPI;
using namespace Vantor::HardwareAPI::Control;
using namespace vantor_test;

namespace {

constexpr double kPeriod = 0.001;

double Dot(const Vector3d& a, const Vector3d& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vector3d Plus(const Vector3d& a, const Vector3d& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

// A point mass with viscous damping and a steady hand push, holding a force
// for one period at a time, in fine steps. It keeps the energy its own
// damping took, so the work done on it can be told from its motion alone.
struct PointArm {
    double mass = 0.2;
    double damping = 2.0;
    Vector3d push{0, 0, 0};
    Vector3d p{0, 0, 0};
    Vector3d v{0, 0, 0};
    double dissipated = 0;  // J, by its own damping
    double pushed = 0;      // J, done by the hand

    void Hold(const Vector3d& force, double period) {
        constexpr int kSteps = 100;
        const double h = period / kSteps;
        for (int s = 0; s < kSteps; ++s) {
            const Vector3d before = p;
            for (int i = 0; i < 3; ++i) {
                v[i] += h * (force[i] + push[i] - damping * v[i]) / mass;
                p[i] += h * v[i];
            }
            dissipated += damping * Dot(v, v) * h;
            pushed += Dot(push, {p[0] - before[0], p[1] - before[1], p[2] - before[2]});
        }
    }
    double Kinetic() const { return 0.5 * mass * Dot(v, v); }
};

// The loop's order, cycle by cycle, against an arm that says where it is as
// a force arrives and then holds it: observe, the effect's force (with the
// controller's damping when on), command.
struct Sampled {
    Sampled(EffectPtr e, bool control, double max_damping = 50.0)
        : effect(std::move(e)), passivity(control, max_damping, kPeriod) {}

    void Cycle() {
        const Vector3d sent = command;  // the exchange
        const Vector3d p = arm.p, v = arm.v;
        positions.push_back(p[2]);
        passivity.Observe(p);
        const SplitForce split = effect->Split({p, v, 0.0, kPeriod});
        damping = passivity.Damping(v);
        velocity = v;
        const Vector3d passive = Plus(split.passive, damping);
        command = Plus(passive, split.active);
        passivity.Command(passive, damping);
        arm.Hold(sent, kPeriod);
    }
    double PeakToPeak(std::size_t last) const {
        const auto from = positions.end() - static_cast<std::ptrdiff_t>(std::min(last, positions.size()));
        const auto range = std::minmax_element(from, positions.end());
        return *range.second - *range.first;
    }

    EffectPtr effect;
    Passivity passivity;
    PointArm arm;
    Vector3d command{0, 0, 0};
    Vector3d damping{0, 0, 0};   // the controller's, in the last cycle
    Vector3d velocity{0, 0, 0};  // the reading it answered
    std::vector<double> positions;
};

std::shared_ptr<Plane> Floor(double stiffness) {
    return std::make_shared<Plane>(Plane::Params{{0, 0, 0}, {0, 0, 1}, stiffness, 0.0});
}

}  // namespace

// --- the observer -----------------------------------------------------------------

TEST(EnergyObserver, ASpringStretchedAndReleasedAlongThePathGivesBackWhatItTook) {
    Spring spring({{0, 0, 0}, 1000.0, 0.0});
    Passivity observer(false, 50.0, kPeriod);
    std::vector<double> path;
    for (int i = 0; i <= 1000; ++i) path.push_back(1e-5 * i);  // out 1 cm
    for (int i = 999; i >= 0; --i) path.push_back(1e-5 * i);   // and back
    double peak = 0;
    for (double x : path) {
        const Vector3d p{x, 0, 0};
        observer.Observe(p);
        peak = std::max(peak, observer.energy());
        observer.Command(spring.Split({p, {0, 0, 0}, 0.0, kPeriod}).passive, {0, 0, 0});
    }
    EXPECT_NEAR(peak, 0.5 * 1000.0 * 0.01 * 0.01, 0.0005);  // what the spring stored, ½ k x²
    EXPECT_NEAR(observer.energy(), 0.0, 0.01 * peak);         // all of it given back
}

TEST(EnergyObserver, ASampledWallDrivenIntoOscillationHasMadeEnergy) {
    Sampled wall(Floor(20000.0), false);
    wall.arm.push = {0, 0, -1.0};
    wall.arm.p = {0, 0, 0.003};
    for (int k = 0; k < 1000; ++k) wall.Cycle();
    ASSERT_GT(wall.PeakToPeak(200), 0.001);  // it rattles
    wall.passivity.Observe(wall.arm.p);
    // The observer's figure is the work the hand did on the wall: minus what
    // the wall did on the arm, which went into its motion and its damping
    // beside what the hand's push did.
    const double done_on_arm = wall.arm.Kinetic() + wall.arm.dissipated - wall.arm.pushed;
    EXPECT_LT(wall.passivity.energy(), -0.01);
    EXPECT_NEAR(wall.passivity.energy(), -done_on_arm, 0.02 * done_on_arm);
}

TEST(EnergyObserver, AnActivePartIsLeftOut) {
    const auto push = std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, -1.0}});
    Sampled pushed(push, true);
    for (int k = 0; k < 200; ++k) pushed.Cycle();
    EXPECT_LT(pushed.arm.p[2], -0.01);  // it moved the arm on purpose
    EXPECT_EQ(pushed.passivity.energy(), 0.0);
    EXPECT_EQ(pushed.passivity.cycles(), 0u);

    // In a sum, the passive part is counted and the active one is not: the
    // damper takes b v² T a period, which pushing would otherwise hide.
    Sampled both(std::make_shared<Sum>(std::vector<EffectPtr>{push, std::make_shared<Damper>(Damper::Params{1.0})}),
                 false);
    for (int k = 0; k < 200; ++k) both.Cycle();
    EXPECT_GT(both.passivity.energy(), 0.0);
}

TEST(EnergyObserver, ANewSchedulePositionIsNoMotionAndABadReadingIsSkipped) {
    Passivity observer(false, 50.0, kPeriod);
    observer.Command({0, 0, 5.0}, {0, 0, 0});
    observer.Observe({0, 0, 0});
    observer.Observe({0, 0, -0.01});  // held 5 N over -1 cm: 0.05 J in
    EXPECT_NEAR(observer.energy(), 0.05, 1e-12);
    observer.Observe({0, 0, std::nan("")});
    EXPECT_NEAR(observer.energy(), 0.05, 1e-12);
    observer.Observe({0, 0, -0.03});  // counted from here: the jump over the bad reading is not
    EXPECT_NEAR(observer.energy(), 0.05, 1e-12);
    observer.Forget();
    observer.Observe({0, 0, 1.0});
    EXPECT_EQ(observer.energy(), 0.0);
}

// --- the controller ---------------------------------------------------------------

TEST(PassivityController, TakesTheDeficitBackWithinAPeriodBoundedByItsMaximum) {
    Passivity controller(true, 50.0, kPeriod);
    const Vector3d none{0, 0, 0};
    EXPECT_EQ(controller.Damping({0.01, 0, 0}), none);  // nothing owed yet
    controller.Command({1e-4, 0, 0}, none);
    controller.Observe({0, 0, 0});
    controller.Observe({0.01, 0, 0});  // pushed along as it moved: 1e-6 J given, never taken
    ASSERT_NEAR(controller.energy(), -1e-6, 1e-15);
    // -E / (|v|² T) = 1e-6 / (1e-4 · 1e-3) = 10 N s/m.
    const Vector3d f = controller.Damping({0.01, 0, 0});
    EXPECT_NEAR(f[0], -0.1, 1e-12);
    EXPECT_NEAR(controller.max_damping_used(), 10.0, 1e-9);
    // Slower, the same deficit would need 1000 N s/m: held at 50.
    const Vector3d slow = controller.Damping({0.001, 0, 0});
    EXPECT_NEAR(slow[0], -0.05, 1e-12);
    EXPECT_EQ(controller.max_damping_used(), 50.0);
    EXPECT_EQ(controller.Damping({1e-9, 0, 0}), none);  // at rest: no spike, no division by ~0
    EXPECT_EQ(controller.cycles(), 2u);

    Passivity off(false, 50.0, kPeriod);
    off.Command({1e-4, 0, 0}, none);
    off.Observe({0, 0, 0});
    off.Observe({0.01, 0, 0});
    EXPECT_EQ(off.Damping({0.01, 0, 0}), none);
}

TEST(PassivityController, KeepsTheSampledWallStillWhereThePlainWallRattles) {
    for (const double stiffness : {20000.0, 100000.0}) {
        Sampled plain(Floor(stiffness), false), held(Floor(stiffness), true);
        for (Sampled* s : {&plain, &held}) {
            s->arm.push = {0, 0, -1.0};
            s->arm.p = {0, 0, 0.003};
            for (int k = 0; k < 1500; ++k) s->Cycle();
        }
        EXPECT_GT(plain.PeakToPeak(500), 0.0002) << stiffness;
        EXPECT_LE(held.PeakToPeak(500), 0.0002) << stiffness;
        EXPECT_LE(held.passivity.max_damping_used(), 50.0);
        EXPECT_GT(held.passivity.energy_removed(), 0.0);
    }
}

TEST(PassivityController, ItsMaximumBoundsTheForceItAdds) {
    Sampled held(Floor(100000.0), true, 5.0);
    held.arm.push = {0, 0, -1.0};
    held.arm.p = {0, 0, 0.003};
    for (int k = 0; k < 1000; ++k) {
        held.Cycle();
        const double speed = std::sqrt(Dot(held.velocity, held.velocity));
        ASSERT_LE(std::sqrt(Dot(held.damping, held.damping)), 5.0 * speed * (1 + 1e-12)) << "cycle " << k;
    }
    EXPECT_EQ(held.passivity.max_damping_used(), 5.0);  // it needed more, and was held to 5
}
// --- in the loop ------------------------------------------------------------------

namespace {

// An arm on the in-memory stream: each force request is answered with where
// the arm is as the force arrives, and the force is then held for exactly one
// period, whatever the machine's pace.
class MovingArmStream : public MemoryStream {
public:
    void Write(const uint8_t* data, std::size_t n) override {
        MemoryStream::Write(data, n);
        if (n != 13 || data[0] != 42) return;
        float f[3];
        std::memcpy(f, data + 1, sizeof f);
        const Vector3d force{f[0], f[1], f[2]};
        forces.push_back(force);
        const Vector3d p = arm.p, v = arm.v;
        Feed(Bytes({43}) + FloatBytes({static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]),
                                       static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])}));
        arm.Hold(force, kPeriod);
    }

    PointArm arm;
    std::vector<Vector3d> forces;  // every force received, the last included
};

struct MovingRig {
    explicit MovingRig(bool passivity) : talon(&stream), loop(talon, Config(passivity)) {
        stream.arm.push = {0, 0, -1.0};
        stream.arm.p = {0, 0, 0.003};
    }
    static ServoConfig Config(bool passivity) {
        ServoConfig c;
        c.rate_hz = 1000;
        c.ramp_s = 0;  // the ramp counts wall-clock time: off, so the run is the same on any machine
        c.exchange_deadline_ms = 1000;
        c.passivity = passivity;
        return c;
    }
    // Runs n recorded cycles; the arm is not touched until the loop has stopped.
    std::vector<ServoSample> Run(std::size_t n) {
        loop.Record(n);
        loop.Start();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (loop.Recording().size() < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        loop.Stop();
        return loop.Recording();
    }

    MovingArmStream stream;
    Devices::Talon talon;
    ServoLoop loop;
};

double PeakToPeakZ(const std::vector<ServoSample>& samples, std::size_t last) {
    double low = samples.back().position[2], high = low;
    for (std::size_t i = samples.size() - last; i < samples.size(); ++i) {
        low = std::min(low, samples[i].position[2]);
        high = std::max(high, samples[i].position[2]);
    }
    return high - low;
}

double Norm(const Vector3d& v) { return std::sqrt(Dot(v, v)); }

}  // namespace

TEST(ServoLoopPassivity, AStiffWallRattlesWithoutTheControllerAndIsStillWithIt) {
    MovingRig plain(false), held(true);
    plain.loop.SetEffect(Floor(20000.0));
    held.loop.SetEffect(Floor(20000.0));
    const std::vector<ServoSample> rattled = plain.Run(1500), still = held.Run(1500);
    ASSERT_EQ(rattled.size(), 1500u);
    ASSERT_EQ(still.size(), 1500u);
    EXPECT_GT(PeakToPeakZ(rattled, 500), 0.0002);
    EXPECT_LT(std::min_element(rattled.begin(), rattled.end(), [](const ServoSample& a, const ServoSample& b) {
                  return a.energy < b.energy;
              })->energy,
              0.0);
    EXPECT_LE(PeakToPeakZ(still, 500), 0.0002);
    const PassivityStats acted = held.loop.stats().passivity;
    EXPECT_GT(acted.cycles, 0u);
    EXPECT_GT(acted.energy_removed_j, 0.0);
    EXPECT_GT(acted.max_damping, 0.0);
    EXPECT_LE(acted.max_damping, 50.0);
    EXPECT_EQ(plain.loop.stats().passivity.cycles, 0u);
    // What the arm received: never past the limit, zero at the end.
    for (const Vector3d& f : held.stream.forces) ASSERT_LE(Norm(f), 2.0 + 1e-6);
    EXPECT_EQ(held.stream.forces.back(), (Vector3d{0, 0, 0}));
    EXPECT_EQ(plain.stream.forces.back(), (Vector3d{0, 0, 0}));
}

TEST(ServoLoopPassivity, AnActivePushIsLeftOutOfTheEnergy) {
    MovingRig rig(true);
    rig.stream.arm.push = {0, 0, 0};
    rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, -1.0}}));
    const std::vector<ServoSample> samples = rig.Run(300);
    ASSERT_EQ(samples.size(), 300u);
    EXPECT_LT(samples.back().position[2], 0.0);  // it moved the arm
    for (const ServoSample& s : samples) ASSERT_EQ(s.energy, 0.0);
    EXPECT_EQ(rig.loop.state().energy, 0.0);
    EXPECT_EQ(rig.loop.stats().passivity.cycles, 0u);
}

namespace {

// A wall that, after some cycles, swaps itself for another on the loop's thread.
class SwappingWall : public Effect {
public:
    SwappingWall(ServoLoop& loop, int after) : loop_(loop), after_(after), wall_(Floor(20000.0)) {}
    Vector3d Force(const EffectInput& in) override {
        if (++cycles_ == after_) loop_.SetEffect(Floor(20000.0));
        return wall_->Force(in);
    }

private:
    ServoLoop& loop_;
    const int after_;
    int cycles_ = 0;
    std::shared_ptr<Plane> wall_;
};

}  // namespace

TEST(ServoLoopPassivity, TheEnergyRestartsAtZeroWhenTheEffectIsSwapped) {
    MovingRig rig(false);
    rig.loop.SetEffect(std::make_shared<SwappingWall>(rig.loop, 800));
    const std::vector<ServoSample> samples = rig.Run(820);
    ASSERT_EQ(samples.size(), 820u);
    // The effect's 800th cycle is recorded cycle 799; the swap is taken at the next.
    EXPECT_LT(samples[799].energy, -1e-4);  // the rattling wall had made energy
    EXPECT_EQ(samples[800].energy, 0.0);
}

TEST(ServoLoopPassivity, TheMaximumDampingIsCheckedLikeTheOtherSettings) {
    for (const double bad : {-1.0, 10000.5, std::nan(""), HUGE_VAL}) {
        ServoConfig c;
        c.passivity_max_damping = bad;
        EXPECT_THROW(c.Validate(), std::invalid_argument) << bad;
    }
    for (const double good : {0.0, 10000.0}) {
        ServoConfig c;
        c.passivity = true;
        c.passivity_max_damping = good;
        EXPECT_NO_THROW(c.Validate());
    }
}
