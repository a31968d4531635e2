// The servo loop's steps on their own, without a loop, a device or a clock:
// the safety chain, the schedule and the hand-off of objects to the loop's
// thread.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Control/Handoff.h"
#include "Control/Pacer.h"
#include "Control/Safety.h"
#include "Vantor/HardwareAPI/Control/Effects.h"

using namespace Vantor::HardwareAPI::Control;

namespace {

double Norm(const Vector3d& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// --- the safety chain -------------------------------------------------------------------

TEST(SafetyChain, ClampKeepsTheDirectionOfAnyFiniteForce) {
    for (double scale : {3.0, 1e10, 1e154, 1e300, std::numeric_limits<double>::max()}) {
        Vector3d force{scale, -scale, 0.0};
        ASSERT_TRUE(safety::Clamp(force, 2.0)) << scale;
        EXPECT_NEAR(Norm(force), 2.0, 1e-12) << scale;
        EXPECT_NEAR(force[0], std::sqrt(2.0), 1e-12) << scale;
        EXPECT_NEAR(force[1], -std::sqrt(2.0), 1e-12) << scale;
    }
    Vector3d tiny{1e-300, 0, 0};
    ASSERT_TRUE(safety::Clamp(tiny, 2.0));
    EXPECT_EQ(tiny[0], 1e-300);  // below the limit: untouched
    Vector3d zero{0, 0, 0};
    ASSERT_TRUE(safety::Clamp(zero, 0.0));
}

TEST(SafetyChain, ClampRefusesWhatIsNotFinite) {
    for (const Vector3d& bad : {Vector3d{kNaN, 0, 0}, Vector3d{0, kInf, 0}, Vector3d{0, 0, -kInf}}) {
        Vector3d force = bad;
        EXPECT_FALSE(safety::Clamp(force, 2.0));
    }
}

TEST(SafetyChain, TheRampScalesTheClampedForce) {
    // Clamp first, then ramp: 1000 N wanted, 2 N allowed, a tenth of the way in.
    Vector3d force{0, 0, 1000.0};
    ASSERT_TRUE(safety::Clamp(force, 2.0));
    const Vector3d ramped = safety::Ramp(force, safety::RampFraction(50, 500));
    EXPECT_NEAR(ramped[2], 0.2, 1e-12);
    EXPECT_EQ(safety::RampFraction(0, 500), 0.0);
    EXPECT_EQ(safety::RampFraction(-5, 500), 0.0);
    EXPECT_EQ(safety::RampFraction(600, 500), 1.0);
    EXPECT_EQ(safety::RampFraction(0, 0), 1.0);  // no ramp
}

TEST(SafetyChain, ReadingsThatAreNotNumbersAreFaultsBeforeAnyLimit) {
    ServoConfig config;
    config.velocity_limit = 0.2;
    config.workspace = Workspace{{-1, -1, -1}, {1, 1, 1}};
    EXPECT_EQ(safety::CheckReading({0, 0, 0}, {0, kNaN, 0}), Fault::BadReading);
    EXPECT_EQ(safety::CheckReading({kInf, 0, 0}, {0, 0, 0}), Fault::BadReading);
    EXPECT_EQ(safety::CheckReading({0, 0, 0.1}, {0.1, 0, 0}), Fault::None);
    // What a NaN would have slipped past:
    EXPECT_EQ(safety::CheckMotion(config, {0, 0, 0}, {0, 0.3, 0}), Fault::VelocityLimit);
    EXPECT_EQ(safety::CheckMotion(config, {0, 0, 1.5}, {0, 0, 0}), Fault::OutsideWorkspace);
    EXPECT_EQ(safety::CheckMotion(config, {0, 0, 0}, {1e200, 1e200, 0}), Fault::VelocityLimit);
    EXPECT_EQ(safety::CheckMotion(config, {0, 0, 0.5}, {0.1, 0.1, 0}), Fault::None);
}

// --- the schedule --------------------------------------------------------------------------

TEST(Pacer, DeadlinesArePeriodsApartAndALateCycleStartsAFreshSchedule) {
    Pacer pacer(1000, 0);
    pacer.Restart(10000);
    EXPECT_EQ(pacer.Jitter(10003), 3);
    EXPECT_FALSE(pacer.Advance(10400));  // work done early
    EXPECT_EQ(pacer.deadline_ns(), 11000);
    EXPECT_FALSE(pacer.Advance(11900));
    EXPECT_EQ(pacer.deadline_ns(), 12000);
    EXPECT_TRUE(pacer.Advance(15500));  // overran: no burst of catch-up cycles
    EXPECT_EQ(pacer.deadline_ns(), 15500);
    EXPECT_FALSE(pacer.Advance(15600));
    EXPECT_EQ(pacer.deadline_ns(), 16500);
}

TEST(Pacer, AStopEndsALongWait) {
    Pacer pacer(60LL * 1000000000, 0);  // a minute between cycles
    pacer.Restart(clock::Now());
    pacer.Advance(clock::Now());
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stop = true;
    });
    const int64_t before = clock::Now();
    pacer.Wait(stop);
    stopper.join();
    EXPECT_LT(clock::Now() - before, 5LL * 1000000000);
}

// --- the hand-off ----------------------------------------------------------------------------

namespace {

struct Counted {
    explicit Counted(std::atomic<int>& alive) : alive(alive) { ++alive; }
    ~Counted() { --alive; }
    std::atomic<int>& alive;
};

}  // namespace

TEST(Handoff, AGenerationNeverRepeatsEvenWhenAnAddressDoes) {
    Handoff<int> handoff;
    std::vector<uint64_t> seen;
    for (int i = 0; i < 100; ++i) {
        handoff.Set(std::make_shared<int>(i));  // the freed int's place is likely given again
        const auto view = handoff.Acquire();
        ASSERT_NE(view.object, nullptr);
        EXPECT_EQ(*view.object, i);
        handoff.Release();
        if (!seen.empty()) {
            EXPECT_GT(view.generation, seen.back());
        }
        seen.push_back(view.generation);
    }
    handoff.Set(nullptr);
    const auto none = handoff.Acquire();
    EXPECT_EQ(none.object, nullptr);
    EXPECT_GT(none.generation, seen.back());
    handoff.Release();
}

TEST(Handoff, AnObjectInUseIsFreedOnlyOnceTheLoopLetsGo) {
    std::atomic<int> alive{0};
    Handoff<Counted> handoff;
    handoff.Set(std::make_shared<Counted>(alive));
    ASSERT_NE(handoff.Acquire().object, nullptr);  // the loop is in a cycle with it
    handoff.Set(std::make_shared<Counted>(alive));
    EXPECT_EQ(alive, 2);  // the first is still in use: kept
    handoff.Release();
    handoff.Collect();
    EXPECT_EQ(alive, 1);
    handoff.Set(nullptr);
    EXPECT_EQ(alive, 0);
}

TEST(Handoff, TheLoopsOwnThreadCanSetWithoutWaiting) {
    Handoff<int> handoff;
    handoff.Set(std::make_shared<int>(1));
    handoff.Acquire();
    handoff.Set(std::make_shared<int>(2));  // from inside the cycle: must not wait for itself
    handoff.Release();
    EXPECT_EQ(*handoff.Get(), 2);
}

TEST(Handoff, OwnersAndTheLoopRunTogetherWithoutLosingOrFreeingAnObjectInUse) {
    std::atomic<int> alive{0};
    {
        Handoff<Counted> handoff;
        std::atomic<bool> stop{false};
        std::thread loop([&] {
            while (!stop) {
                const auto view = handoff.Acquire();
                if (view.object != nullptr) {
                    EXPECT_GT(view.object->alive.load(), 0);
                }
                handoff.Release();
            }
        });
        std::vector<std::thread> owners;
        for (int t = 0; t < 2; ++t) {
            owners.emplace_back([&] {
                for (int i = 0; i < 5000; ++i) {
                    handoff.Set(std::make_shared<Counted>(alive));
                    handoff.Get();
                }
            });
        }
        for (auto& owner : owners) owner.join();
        stop = true;
        loop.join();
        handoff.Collect();
        EXPECT_EQ(alive, 1);  // only the current one is left
    }
    EXPECT_EQ(alive, 0);
}

// --- effects ---------------------------------------------------------------------------------

TEST(EffectParameters, BadValuesAreRefusedAndTheEffectKeepsItsOwn) {
    EXPECT_THROW(Plane({{0, 0, 0}, {0, 0, 0}, 100.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(Plane({{0, 0, kNaN}, {0, 0, 1}, 100.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(Sphere({{0, 0, 0}, -1.0, 100.0, 0.0, true}), std::invalid_argument);
    EXPECT_THROW(Box({{0.1, 0, 0}, {-0.1, 1, 1}, 100.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(Spring({{0, 0, 0}, -1.0, 0.0}), std::invalid_argument);
    EXPECT_THROW(Damper(Damper::Params{-1.0}), std::invalid_argument);
    EXPECT_THROW(ConstantForce(ConstantForce::Params{{kInf, 0, 0}}), std::invalid_argument);

    Plane wall({{0, 0, 0.1}, {0, 0, 1e-200}, 100.0, 0.0});  // a tiny normal is a direction too
    EXPECT_EQ(wall.params().normal, (Vector3d{0, 0, 1}));
    EXPECT_THROW(wall.set_params({{0, 0, 0.1}, {0, 0, 1}, -5.0, 0.0}), std::invalid_argument);
    EXPECT_EQ(wall.params().stiffness, 100.0);
}

TEST(EffectParameters, SumsStayFlatAndBounded) {
    EffectPtr deep = std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 1}});
    for (int i = 0; i < 100000; ++i) deep = std::make_shared<Sum>(std::vector<EffectPtr>{deep});
    EXPECT_EQ(static_cast<Sum&>(*deep).parts().size(), 1u);
    EXPECT_EQ(deep->Force({{0, 0, 0}, {0, 0, 0}, 0, 0.001}), (Vector3d{0, 0, 1}));
    std::vector<EffectPtr> many(Sum::kMaxParts + 1, std::make_shared<Damper>(Damper::Params{1.0}));
    EXPECT_THROW(Sum{many}, std::invalid_argument);
}
