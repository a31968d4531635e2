// The servo loop and its effects on the in-memory stream: the test plays an
// arm that answers every force request, and asserts on the forces written.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <limits>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Vantor/HardwareAPI/Control/AsyncEffect.h"
#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "support/LogCapture.h"
#include "support/MemoryStream.h"

using namespace Vantor::HardwareAPI;
using namespace Vantor::HardwareAPI::Control;
using namespace vantor_test;

namespace {

double Norm(const Vector3d& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

EffectInput At(const Vector3d& position, const Vector3d& velocity) { return {position, velocity, 0.0, 0.001}; }

void ExpectVec(const Vector3d& actual, const Vector3d& expected, double tolerance = 1e-9) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

// An arm at a fixed pose that answers each force request with its state,
// until told to fall silent. Used by the loop's thread only while it runs.
class ArmStream : public MemoryStream {
public:
    void Write(const uint8_t* data, std::size_t n) override {
        MemoryStream::Write(data, n);
        if (n != 13 || data[0] != 42) return;
        Vector3d force;
        float f[3];
        std::memcpy(f, data + 1, sizeof f);
        for (int i = 0; i < 3; ++i) force[i] = f[i];
        forces.push_back(force);
        if (silent_after >= 0 && static_cast<int>(forces.size()) > silent_after) return;
        Feed(Bytes({43}) + FloatBytes({position[0], position[1], position[2], velocity[0], velocity[1], velocity[2]}));
    }

    std::vector<Vector3d> forces;
    float position[3] = {0.0f, 0.0f, 0.1f};
    float velocity[3] = {0.0f, 0.0f, 0.0f};
    int silent_after = -1;
};

struct Rig {
    explicit Rig(ServoConfig config = Quick()) : talon(&stream), loop(talon, config) {}

    static ServoConfig Quick() {
        ServoConfig c;
        c.rate_hz = 1000;
        c.ramp_s = 0.05;
        c.exchange_deadline_ms = 1000;  // a loaded or sanitized run must not fault for slowness
        return c;
    }
    void RunFor(double seconds) {
        loop.Start();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        loop.Stop();
    }

    ArmStream stream;
    Devices::Talon talon;
    ServoLoop loop;
};

}  // namespace

// --- effects --------------------------------------------------------------------

TEST(Effects, SpringDamperConstant) {
    Spring spring({{0, 0, 0.1}, 100.0, 2.0});
    ExpectVec(spring.Force(At({0.01, 0, 0.1}, {0.5, 0, 0})), {-1.0 - 1.0, 0, 0});
    spring.set_params({{0.02, 0, 0.1}, 100.0, 0.0});
    ExpectVec(spring.Force(At({0.01, 0, 0.1}, {0.5, 0, 0})), {1.0, 0, 0});
    Damper damper({3.0});
    ExpectVec(damper.Force(At({1, 2, 3}, {0.1, -0.2, 0})), {-0.3, 0.6, 0});
    ConstantForce push(ConstantForce::Params{{0, 1, 0}});
    ExpectVec(push.Force(At({5, 5, 5}, {1, 1, 1})), {0, 1, 0});
}

TEST(Effects, PlanePushesOutOnlyWhilePenetratedAndNeverPulls) {
    Plane wall({{0, 0, 0.10}, {0, 0, -2.0}, 400.0, 2.0});  // normal made unit length
    ExpectVec(wall.params().normal, {0, 0, -1});
    ExpectVec(wall.Force(At({0, 0, 0.09}, {0, 0, 0})), {0, 0, 0});          // in free space
    ExpectVec(wall.Force(At({0, 0, 0.11}, {0, 0, 0})), {0, 0, -4.0}, 1e-9);  // 1 cm in
    // Moving into the wall: damping adds to the push.
    ExpectVec(wall.Force(At({0, 0, 0.11}, {0, 0, 1.0})), {0, 0, -6.0}, 1e-9);
    // Leaving fast: damping would pull, so the push stops at zero.
    ExpectVec(wall.Force(At({0, 0, 0.101}, {0, 0, -1.0})), {0, 0, 0});
    EXPECT_NEAR(Plane::Penetration(wall.params(), {0, 0, 0.13}), 0.03, 1e-12);
}

TEST(Effects, SphereSolidAndCageAndBox) {
    Sphere ball({{0, 0, 0}, 0.05, 100.0, 0.0, false});
    ExpectVec(ball.Force(At({0.04, 0, 0}, {0, 0, 0})), {1.0, 0, 0}, 1e-9);
    ExpectVec(ball.Force(At({0.06, 0, 0}, {0, 0, 0})), {0, 0, 0});
    EXPECT_GT(Norm(ball.Force(At({0, 0, 0}, {0, 0, 0}))), 0.0);  // the center still pushes out
    Sphere cage({{0, 0, 0}, 0.05, 100.0, 0.0, true});
    ExpectVec(cage.Force(At({0, 0.07, 0}, {0, 0, 0})), {0, -2.0, 0}, 1e-9);
    ExpectVec(cage.Force(At({0, 0.04, 0}, {0, 0, 0})), {0, 0, 0});

    Box box({{-0.1, -0.1, 0.0}, {0.1, 0.1, 0.2}, 100.0, 0.0});
    ExpectVec(box.Force(At({0, 0, 0.1}, {0, 0, 0})), {0, 0, 0});
    ExpectVec(box.Force(At({0.12, -0.13, 0.1}, {0, 0, 0})), {-2.0, 3.0, 0}, 1e-9);
}

TEST(Effects, SumAddsItsParts) {
    auto a = std::make_shared<ConstantForce>(ConstantForce::Params{{1, 0, 0}});
    auto b = std::make_shared<ConstantForce>(ConstantForce::Params{{0, 2, 0}});
    Sum sum({a, b, nullptr});
    ExpectVec(sum.Force(At({0, 0, 0}, {0, 0, 0})), {1, 2, 0});
    b->set_params({{0, -2, 0}});
    ExpectVec(sum.Force(At({0, 0, 0}, {0, 0, 0})), {1, -2, 0});
}

TEST(Effects, ParametersAreNeverSeenHalfReplaced) {
    Spring spring({{0, 0, 0}, 0.0, 0.0});
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (double x = 0; !stop; x += 1) spring.set_params({{x, x, x}, x, x});
    });
    for (int i = 0; i < 200000; ++i) {
        const Spring::Params p = i % 2 ? spring.params() : Spring::Params{};
        if (i % 2) {
            ASSERT_EQ(p.anchor[0], p.anchor[1]);
            ASSERT_EQ(p.anchor[1], p.anchor[2]);
            ASSERT_EQ(p.anchor[2], p.stiffness);
            ASSERT_EQ(p.stiffness, p.damping);
        }
        // The loop's own read: whole too, and never waits.
        const Vector3d f = spring.Force(At({0, 0, 0}, {0, 0, 0}));
        ASSERT_EQ(f[0], f[1]);
    }
    stop = true;
    writer.join();
}

// --- the loop: limits, ramp, zero on exit -------------------------------------------

TEST(ServoLoop, ClampsKeepsDirectionRampsInAndEndsWithZero) {
    Rig rig;
    rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{3.0, 4.0, 0.0}}));
    rig.RunFor(0.2);
    const auto& forces = rig.stream.forces;
    ASSERT_GT(forces.size(), 50u);
    ExpectVec(forces.front(), {0, 0, 0});  // the first exchange commands nothing
    ExpectVec(forces.back(), {0, 0, 0});   // and so does the last
    double previous = 0;
    bool reached = false;
    for (std::size_t i = 1; i + 1 < forces.size(); ++i) {
        const double magnitude = Norm(forces[i]);
        EXPECT_LE(magnitude, 2.0 + 1e-6);
        EXPECT_GE(magnitude + 1e-6, previous) << i;  // the ramp only rises
        if (magnitude > 0) {
            EXPECT_NEAR(forces[i][0] / magnitude, 0.6, 1e-6);
        }
        previous = magnitude;
        reached = reached || magnitude > 2.0 - 1e-6;
    }
    EXPECT_TRUE(reached);
    // The ramp starts at zero.
    EXPECT_EQ(Norm(forces[1]), 0.0);
    const ServoStats stats = rig.loop.stats();
    EXPECT_EQ(stats.cycles + 1, forces.size());  // every cycle, then the final zero
    EXPECT_GT(stats.rate_hz, 0);
    EXPECT_EQ(stats.faults, 0u);
}

TEST(ServoLoop, AnEffectSwapRampsAgainAParameterChangeDoesNot) {
    // A slow ramp and no clamp, so the ramp's progress reads off the force
    // however the machine schedules the loop.
    ServoConfig config = Rig::Quick();
    config.ramp_s = 10.0;
    config.force_limit = 100.0;
    Rig rig(config);
    auto push = std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 1.0}});
    rig.loop.SetEffect(push);
    rig.loop.Start();
    auto wait_cycles = [&](uint64_t n) {
        const uint64_t from = rig.loop.state().cycle;
        while (rig.loop.state().cycle < from + n) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double before = rig.loop.state().force[2] / 1.0;
    push->set_params({{0, 0, 100.0}});
    wait_cycles(3);
    const double after_change = rig.loop.state().force[2] / 100.0;
    rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 100.0}}));
    wait_cycles(3);
    const double after_swap = rig.loop.state().force[2] / 100.0;
    rig.loop.Stop();
    EXPECT_GT(before, 0.0);
    EXPECT_GE(after_change, before);    // the same ramp goes on
    EXPECT_LT(after_swap, after_change);  // a new ramp from zero
}

// --- faults -----------------------------------------------------------------------

TEST(ServoLoop, SilentArmLatchesAFaultZeroForceUntilCleared) {
    ServoConfig config = Rig::Quick();
    config.reply_timeout_s = 10.0;
    config.exchange_deadline_ms = 50;  // seen by the watchdog long before the reply time-out
    Rig rig(config);
    rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 1.0}}));
    rig.stream.silent_after = 100;
    CaptureLog();
    rig.loop.Start();
    // The request that goes unanswered is seen from outside while it waits.
    const auto start = std::chrono::steady_clock::now();
    while (rig.loop.fault() == Fault::None &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(rig.loop.fault(), Fault::ArmNotAnswering);
    EXPECT_STREQ(FaultText(rig.loop.fault()), "arm not answering");
    const auto stopping = std::chrono::steady_clock::now();
    rig.loop.Stop();  // ends the reply wait at once
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count();
    EXPECT_LT(took, 5.0);  // not the 10 s reply time-out
    CapturedLog();
    EXPECT_EQ(rig.talon.timeout, 5.0f);  // restored
    ExpectVec(rig.stream.forces.back(), {0, 0, 0});
    EXPECT_EQ(rig.loop.stats().faults, 1u);
}

TEST(ServoLoop, VelocityAndWorkspaceLimitsLatchAndClearResumesWithTheRamp) {
    ServoConfig config = Rig::Quick();
    config.velocity_limit = 0.5;
    Rig rig(config);
    rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 1.0}}));
    rig.loop.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(rig.loop.fault(), Fault::None);
    rig.loop.Stop();
    rig.stream.velocity[0] = 1.0f;  // now moving too fast
    rig.stream.forces.clear();
    rig.loop.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rig.loop.fault(), Fault::VelocityLimit);
    rig.loop.Stop();
    for (const Vector3d& f : rig.stream.forces) ExpectVec(f, {0, 0, 0});  // latched from the first cycle

    rig.stream.velocity[0] = 0.0f;
    rig.loop.ClearFault();
    EXPECT_EQ(rig.loop.fault(), Fault::None);
    rig.stream.forces.clear();
    rig.RunFor(0.1);
    EXPECT_EQ(rig.loop.fault(), Fault::None);
    EXPECT_NEAR(rig.stream.forces[rig.stream.forces.size() - 2][2], 1.0, 1e-6);

    ServoConfig boxed = Rig::Quick();
    boxed.workspace = Workspace{{-0.1, -0.1, 0.0}, {0.1, 0.1, 0.05}};  // the arm sits at z = 0.1
    Rig outside(boxed);
    outside.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 1.0}}));
    outside.RunFor(0.03);
    EXPECT_EQ(outside.loop.fault(), Fault::OutsideWorkspace);
    for (const Vector3d& f : outside.stream.forces) ExpectVec(f, {0, 0, 0});
}

TEST(ServoLoop, StateIsOneCycleAndRecordingFillsTheNextCycles) {
    Rig rig;
    rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 0.5}}));
    rig.loop.Record(20);
    rig.loop.Start();
    const auto start = std::chrono::steady_clock::now();
    while ((rig.loop.state().cycle < 30 || rig.loop.Recording().size() < 20) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const ServoState state = rig.loop.state();
    const std::vector<ServoSample> samples = rig.loop.Recording();
    rig.loop.Stop();
    EXPECT_GE(state.cycle, 30u);
    EXPECT_TRUE(state.connected);
    ExpectVec(state.position, {0, 0, 0.1}, 1e-6);
    ASSERT_EQ(samples.size(), 20u);  // the next 20 cycles, no more
    for (std::size_t i = 1; i < samples.size(); ++i) EXPECT_GT(samples[i].t, samples[i - 1].t);
    EXPECT_NEAR(samples[5].position[2], 0.1, 1e-6);
    EXPECT_GE(samples[5].exchange_us, 0.0);
}

// --- threads and lifetimes ------------------------------------------------------------

namespace {

// An effect that runs an action on the loop's own thread, once, after a few cycles.
// It acts once the test says it may (after Start has returned: nothing may
// destroy an object while another thread is still in one of its calls).
class Acting : public Effect {
public:
    explicit Acting(std::function<void()> action, std::atomic<bool>* destroyed = nullptr)
        : action_(std::move(action)), destroyed_(destroyed) {}
    ~Acting() override {
        if (destroyed_ != nullptr) *destroyed_ = true;
    }
    Vector3d Force(const EffectInput&) override {
        if (++cycles_ >= 5 && !done_ && go.load()) {
            done_ = true;
            action_();
        }
        return {0, 0, 0.5};
    }
    std::atomic<bool> go{true};

private:
    std::function<void()> action_;
    std::atomic<bool>* destroyed_;
    int cycles_ = 0;
    bool done_ = false;
};

template <typename Done>
bool WaitUntil(Done done, double seconds = 5.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(ServoLoopThreads, AStopFromTheLoopsOwnThreadEndsItWithZeroForce) {
    Rig rig;
    rig.loop.SetEffect(std::make_shared<Acting>([&] { rig.loop.Stop(); }));
    rig.loop.Start();
    ASSERT_TRUE(WaitUntil([&] { return !rig.loop.running(); }));
    rig.loop.Stop();  // joins the ended thread
    ExpectVec(rig.stream.forces.back(), {0, 0, 0});
}

TEST(ServoLoopThreads, AnEffectSwapFromTheLoopsOwnThreadTakesEffect) {
    Rig rig;
    rig.loop.SetEffect(std::make_shared<Acting>(
        [&] { rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 1.5}})); }));
    rig.loop.Start();
    EXPECT_TRUE(WaitUntil([&] { return std::fabs(rig.loop.state().force[2] - 1.5) < 1e-9; }));
    rig.loop.Stop();
}

TEST(ServoLoopThreads, ALoopDestroyedFromItsOwnThreadFinishesWithZeroForce) {
    ArmStream stream;
    Devices::Talon talon(&stream);
    auto* loop = new ServoLoop(talon, Rig::Quick());
    // The effect goes with the loop's last part, once the thread has finished.
    std::atomic<bool> finished{false};
    auto acting = std::make_shared<Acting>([&] { delete loop; }, &finished);
    acting->go = false;
    loop->SetEffect(acting);
    acting.reset();  // the loop's, so it goes with the loop's last part
    std::atomic<bool>* go = &static_cast<Acting&>(*loop->effect()).go;
    loop->Start();
    *go = true;
    ASSERT_TRUE(WaitUntil([&] { return finished.load(); }));
    ExpectVec(stream.forces.back(), {0, 0, 0});
    EXPECT_EQ(talon.timeout, 5.0f);  // its reply time-out given back
}

TEST(ServoLoopThreads, StopsFromSeveralThreadsAllReturn) {
    for (int round = 0; round < 20; ++round) {
        Rig rig;
        rig.loop.Start();
        std::vector<std::thread> stoppers;
        for (int i = 0; i < 3; ++i) stoppers.emplace_back([&] { rig.loop.Stop(); });
        for (auto& s : stoppers) s.join();
        EXPECT_FALSE(rig.loop.running());
    }
}

TEST(ServoLoopThreads, SwapsFromOtherThreadsNeverWaitForTheLoop) {
    Rig rig;
    rig.loop.Start();
    std::vector<std::thread> swappers;
    for (int t = 0; t < 2; ++t) {
        swappers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                rig.loop.SetEffect(std::make_shared<ConstantForce>(ConstantForce::Params{{0, 0, 0.1}}));
                rig.loop.effect();
                rig.loop.Record(4);
            }
        });
    }
    for (auto& s : swappers) s.join();
    rig.loop.Stop();
    for (const Vector3d& f : rig.stream.forces) EXPECT_LE(Norm(f), 0.1 + 1e-9);
}

// --- effects that keep per-loop state ----------------------------------------------------

std::shared_ptr<AsyncEffect> Pulling() {
    return std::make_shared<AsyncEffect>([](const EffectInput& in) {
        return Vector3d{-in.position[0], -in.position[1], -in.position[2]};
    });
}

void ExpectRefused(ServoLoop& loop, const EffectPtr& effect) {
    try {
        loop.SetEffect(effect);
        ADD_FAILURE() << "a second running loop was given an effect that keeps per-loop state";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "an AsyncEffect is rendered by another ServoLoop; make another");
    }
}

TEST(RenderClaim, ASecondRunningLoopIsRefusedWhatTheFirstRendersStatelessOnesAreShared) {
    Rig a, b;
    const auto pulling = Pulling();
    const auto spring = std::make_shared<Spring>(Spring::Params{{0, 0, 0}, 10, 0});
    a.loop.SetEffect(std::make_shared<Sum>(std::vector<EffectPtr>{pulling, spring}));
    a.loop.Start();
    b.loop.Start();
    ExpectRefused(b.loop, pulling);
    ExpectRefused(b.loop, std::make_shared<Sum>(std::vector<EffectPtr>{spring, pulling}));
    EXPECT_EQ(b.loop.effect(), nullptr);  // a refused effect is not set
    b.loop.SetEffect(spring);             // shared: it keeps nothing per loop
    EXPECT_EQ(b.loop.effect(), spring);
    b.loop.Stop();
    a.loop.Stop();
}

TEST(RenderClaim, AStartIsRefusedWhileAnotherLoopRendersItsEffectAndTheLoopStaysStopped) {
    Rig a, b;
    const auto pulling = Pulling();
    a.loop.SetEffect(pulling);
    b.loop.SetEffect(pulling);  // neither runs: nothing renders it yet
    a.loop.Start();
    EXPECT_THROW(b.loop.Start(), std::runtime_error);
    EXPECT_FALSE(b.loop.running());
    a.loop.Stop();  // a stopped loop renders nothing
    b.loop.Start();
    EXPECT_TRUE(b.loop.running());
    EXPECT_THROW(a.loop.Start(), std::runtime_error);
    b.loop.Stop();
    EXPECT_TRUE(b.stream.forces.size() > 0);
}

TEST(RenderClaim, OneLoopMayRenderItSeveralTimesAndGivesItBackWhenDestroyed) {
    const auto pulling = Pulling();
    {
        Rig a;
        a.loop.Start();
        a.loop.SetEffect(pulling);
        a.loop.SetEffect(std::make_shared<Sum>(std::vector<EffectPtr>{pulling, pulling}));
        a.loop.SetEffect(pulling);
    }  // destroyed while running
    Rig b;
    b.loop.SetEffect(pulling);
    b.loop.Start();
    EXPECT_TRUE(b.loop.running());
    b.loop.Stop();
}

// --- recordings for vantor plot ------------------------------------------------------

TEST(Recording, IsWrittenAsTheCsvThePythonPackageReads) {
    ServoSample a{};
    a.t = 0.1;
    a.position[2] = 0.123456789012345;
    a.force[0] = -1.5;
    a.exchange_us = 87.25;
    a.late = 1;
    a.fault = static_cast<uint8_t>(Fault::VelocityLimit);
    a.energy = -0.03125;
    a.filtered_velocity[1] = 0.0625;
    for (double& x : a.proxy) x = std::numeric_limits<double>::quiet_NaN();  // no proxy
    ServoSample b = a;
    b.t = 1.0 / 3.0;
    b.proxy[0] = 0.5;
    b.proxy[1] = b.proxy[2] = 0.0;
    const std::string path = testing::TempDir() + "vantor-recording.csv";
    ASSERT_TRUE(WriteRecordingCsv(path, std::vector<ServoSample>{a, b}));
    std::FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char text[1024] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::remove(path.c_str());
    const std::string csv(text, n);
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "t,x,y,z,vx,vy,vz,fx,fy,fz,exchange_us,jitter_us,late,fault,energy,fvx,fvy,fvz,px,py,pz");
    EXPECT_NE(csv.find("\n0.1,0,0,0.123456789012345,0,0,0,-1.5,0,0,87.25,0,1,4,-0.03125,0,0.0625,0,nan,nan,nan\n"),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find(",-0.03125,0,0.0625,0,0.5,0,0\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("\n0.3333333333333333,"), std::string::npos) << csv;  // every digit a double needs

    errno = 0;
    EXPECT_FALSE(WriteRecordingCsv("/nonexistent-folder/run.csv", std::vector<ServoSample>{a}));
    EXPECT_EQ(errno, ENOENT);
}
