#include "Vantor/HardwareAPI/Control/ServoLoop.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "Clock.h"
#include "Faults.h"
#include "Handoff.h"
#include "Histogram.h"
#include "Lease.h"
#include "Link.h"
#include "Pacer.h"
#include "Passivity.h"
#include "Published.h"
#include "Safety.h"
#include "Threads.h"
#include "VectorMath.h"
#include "VelocityFilter.h"
#include "../TalonReplies.h"
#include "../Wire.h"
#include "Vantor/HardwareAPI/Control/SettingError.h"
#include "Vantor/HardwareAPI/Log.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

// --- settings -----------------------------------------------------------------------

namespace {

using vec::Add;

void InRange(const char* name, double value, double low, double high, const char* unit) {
    if (std::isfinite(value) && value >= low && value <= high) return;
    throw SettingError(name, "must be between " + SettingText(low) + " and " + SettingText(high) + " " + unit,
                       SettingText(value));
}

std::string Text(const Vector3d& v) {
    return "(" + SettingText(v[0]) + ", " + SettingText(v[1]) + ", " + SettingText(v[2]) + ")";
}

}  // namespace

void ServoConfig::Validate() const {
    InRange("rate_hz", rate_hz, 1.0, 20000.0, "Hz");
    InRange("force_limit", force_limit, 0.0, 100.0, "N");
    InRange("ramp_s", ramp_s, 0.0, 60.0, "s");
    if (velocity_limit && !(std::isfinite(*velocity_limit) && *velocity_limit > 0 && *velocity_limit <= 100))
        throw SettingError("velocity_limit", "must be above 0 and at most 100 m/s", SettingText(*velocity_limit));
    if (workspace) {
        const std::string given = "(" + Text(workspace->lower) + ", " + Text(workspace->upper) + ")";
        for (int i = 0; i < 3; ++i) {
            for (const double coordinate : {workspace->lower[i], workspace->upper[i]})
                if (!(std::isfinite(coordinate) && coordinate >= -100 && coordinate <= 100))
                    throw SettingError("workspace", "must have every coordinate between -100 and 100 m", given);
            if (!(workspace->lower[i] < workspace->upper[i]))
                throw SettingError("workspace", "is (lower, upper), each lower coordinate below the upper one", given);
        }
    }
    InRange("exchange_deadline_ms", exchange_deadline_ms, 0.05, 1000.0, "ms");
    InRange("link_timeout_ms", link_timeout_ms, 1.0, 10000.0, "ms");
    InRange("reply_timeout_s", reply_timeout_s, 1.0, 60.0, "s");
    if (cpu < -1 || cpu > 1023)
        throw SettingError("cpu", "must be -1 (none) or between 0 and 1023", std::to_string(cpu));
    InRange("spin_us", spin_us, 0.0, 1000.0, "us");
    InRange("passivity_max_damping", passivity_max_damping, 0.0, 10000.0, "N s/m");
    // Below half the rate the loop runs at, its period in whole nanoseconds.
    const double nyquist = std::min(rate_hz / 2, 0.5 / clock::ToSeconds(std::llround(clock::kNsPerS / rate_hz)));
    if (velocity_filter_hz && !(std::isfinite(*velocity_filter_hz) && *velocity_filter_hz > 0 &&
                                *velocity_filter_hz < nyquist))
        throw SettingError("velocity_filter_hz",
                           "must be above 0 and below " + SettingText(rate_hz / 2) + " Hz (half of rate_hz)",
                           SettingText(*velocity_filter_hz));
    reconnection.Validate();
}

const char* FaultText(Fault fault) {
    switch (fault) {
        case Fault::None: return "";
        case Fault::ArmNotAnswering: return "arm not answering";
        case Fault::ArmTooSlow: return "arm too slow: no exchange within the exchange deadline";
        case Fault::LineHungUp: return "the arm's line hung up: unplugged or switched off";
        case Fault::VelocityLimit: return "velocity limit exceeded";
        case Fault::OutsideWorkspace: return "outside the workspace";
        case Fault::EffectFailed: return "the effect gave no valid force";
        case Fault::OtherDevice: return "another arm is on the port: not adopted";
        case Fault::BadReading: return "the arm sent a position or velocity that is not a number";
        case Fault::NoIdentity:
            return "the arm has not said who it is (its device_id_ext): not driven, since reconnect needs it";
        case Fault::EffectStalled: return "the effect's own thread fell behind: its force is too old to use";
    }
    return "unknown fault";
}

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::None: return "none";
        case Fault::ArmNotAnswering: return "arm_not_answering";
        case Fault::ArmTooSlow: return "arm_too_slow";
        case Fault::LineHungUp: return "line_hung_up";
        case Fault::VelocityLimit: return "velocity_limit";
        case Fault::OutsideWorkspace: return "outside_workspace";
        case Fault::EffectFailed: return "effect_failed";
        case Fault::OtherDevice: return "other_device";
        case Fault::BadReading: return "bad_reading";
        case Fault::NoIdentity: return "no_identity";
        case Fault::EffectStalled: return "effect_stalled";
    }
    return "unknown";
}

// --- the loop's parts -----------------------------------------------------------------

namespace {

Link::Identity IdentifyArm(Devices::Device& device) {
    const UUID id = static_cast<Devices::Talon&>(device).device_wakeup().device_id_ext;
    Link::Identity identity;
    static const UUID none;
    if (std::memcmp(id.data, none.data, sizeof id.data) == 0) return identity;  // all zero: no answer
    std::memcpy(identity.bytes, id.data, sizeof id.data);
    identity.size = sizeof id.data;
    return identity;
}

struct RecordBuffer {
    explicit RecordBuffer(std::size_t n) : samples(n) {}
    std::vector<ServoSample> samples;
    std::atomic<std::size_t> filled{0};
};

// One force exchange: what was sent, and what came back.
struct Exchanged {
    Vector3d sent;
    Vector3d position;  // the last reading, when nothing came back
    Vector3d velocity;
    bool answered;
    int64_t start_ns;
    int64_t end_ns;
};

}  // namespace

// --- the loop -------------------------------------------------------------------------

namespace {

ServoConfig Validated(const ServoConfig& settings) {
    settings.Validate();
    return settings;
}

}  // namespace

struct ServoLoop::Impl {
    Impl(Devices::Talon& arm, const ServoConfig& settings)
        : talon(arm),
          config(Validated(settings)),
          link(arm, settings.reconnection, &IdentifyArm),
          period_ns(std::llround(clock::kNsPerS / settings.rate_hz)),
          exchange_deadline_ns(std::llround(settings.exchange_deadline_ms * clock::kNsPerMs)),
          link_timeout_ns(std::llround(settings.link_timeout_ms * clock::kNsPerMs)),
          ramp_ns(clock::FromSeconds(settings.ramp_s)),
          pacer(period_ns, std::llround(settings.spin_us * clock::kNsPerUs)),
          passivity(settings.passivity, settings.passivity_max_damping, clock::ToSeconds(period_ns)),
          filter(settings.velocity_filter_hz.value_or(0.0), clock::ToSeconds(period_ns)) {}

    // set_up: told whether real time could be had, before the first cycle.
    void Run(std::promise<int> set_up);
    void Watch();
    bool Stopping() const { return stop.load(std::memory_order_acquire); }
    double Since(int64_t ns) const { return clock::ToSeconds(ns - started_ns.load(std::memory_order_relaxed)); }
    static bool EndWait(void* self) { return static_cast<Impl*>(self)->link.EndWait(static_cast<Impl*>(self)->stop); }
    static void Report(void* self, Link::Outcome outcome);

    // The cycle's steps, in order.
    int SetUpThread();
    void NewSchedule();
    Exchanged Exchange(const Vector3d& force, int64_t start_ns);
    bool LinkDown(const Exchanged& ex);
    bool Recover();
    Fault Judge(const Exchanged& ex);
    void LatchMotion(Fault motion, const Exchanged& ex);
    void LatchSilence(int64_t now_ns, int64_t silent_ns, Faults::Writer writer = Faults::kLoop);
    void Observe(const Exchanged& ex);
    Vector3d FilterVelocity(const Exchanged& ex);
    Vector3d NextForce(const Exchanged& ex, const Vector3d& velocity, Fault fault);
    void Publish(const Exchanged& ex);
    void Record(const Exchanged& ex, const Vector3d& velocity, int64_t jitter_ns, bool late);
    void Count(const Exchanged& ex, int64_t jitter_ns, bool late);
    void PublishGone();
    void SendZero();

    // Set up by the owner.
    Devices::Talon& talon;
    const ServoConfig config;
    Link link;
    std::mutex lifecycle;  // Start and Stop among themselves
    // Whether the loop runs, and the claims on what it renders, change together.
    std::mutex claims;
    std::thread thread;
    std::atomic<std::thread::id> thread_id{};
    std::unique_ptr<Lease> lease;
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    Handoff<Effect> effect;
    Handoff<RecordBuffer> record;
    Faults faults;

    // Read by anyone.
    Published<ServoState> state;
    Histogram jitter;
    Histogram exchange;
    std::atomic<uint64_t> cycles{0};
    std::atomic<uint64_t> late_cycles{0};
    std::atomic<uint64_t> log_lines{0};
    std::atomic<int64_t> started_ns{0};
    std::atomic<int64_t> last_cycle_ns{0};
    std::atomic<int64_t> exchange_started_ns{0};  // 0: not in an exchange
    std::atomic<int> other_code{-1};              // the code of a reply that was not the state, since the last on time
    std::atomic<uint64_t> slow_exchanges{0};
    std::atomic<bool> watching{false};
    std::atomic<bool> realtime{false};
    std::atomic<bool> pinned{false};
    std::atomic<uint64_t> passivity_cycles{0};
    std::atomic<double> energy_removed{0};
    std::atomic<double> max_damping_used{0};

    // The loop's thread only.
    const int64_t period_ns;
    const int64_t exchange_deadline_ns;
    const int64_t link_timeout_ns;
    const int64_t ramp_ns;
    Pacer pacer;
    Passivity passivity;
    VelocityFilter filter;
    Vector3d command{0, 0, 0};
    Vector3d position{0, 0, 0};
    Vector3d velocity{0, 0, 0};
    int64_t ramp_start_ns = 0;
    int64_t on_time_ns = 0;   // the end of the last exchange within the deadline
    int64_t answered_ns = 0;  // the end of the last exchange answered, slow or not
    uint64_t effect_generation = 0;
    bool restart_effect = true;  // a new schedule: the effect starts its per-loop state again
    bool has_proxy = false;
    Vector3d proxy{0, 0, 0};
    uint64_t cycle = 0;
    bool learning = false;  // who the arm is, before the first force
    unsigned long long log_lines_before = 0;
};

void ServoLoop::Impl::Run(std::promise<int> set_up) {
    set_up.set_value(SetUpThread());
    Devices::WaitAbortScope abort(&EndWait, this);  // stop and a gone line end any reply wait
    const Devices::Device::ReplyTimeoutScope timeout(talon, static_cast<float>(config.reply_timeout_s));
    std::thread watchdog([this] { Watch(); });
    // With reconnect on, the arm says who it is before it gets any force.
    learning = link.reconnects();
    if (!learning || link.Learn(stop, &Report, this) == Link::Outcome::Adopted) {
        learning = false;
        NewSchedule();
        while (!Stopping()) {
            const int64_t start = clock::Now();
            const int64_t jitter_ns = pacer.Jitter(start);
            const Exchanged ex = Exchange(command, start);
            if (Stopping()) break;
            if (LinkDown(ex)) {
                if (!Recover()) break;
                continue;
            }
            const Fault fault = Judge(ex);
            Observe(ex);
            const Vector3d felt = FilterVelocity(ex);
            command = NextForce(ex, felt, fault);
            Publish(ex);
            const bool late = pacer.Advance(clock::Now());
            Record(ex, felt, jitter_ns, late);
            Count(ex, jitter_ns, late);
            pacer.Wait(stop);
        }
    }
    SendZero();
    watching.store(false, std::memory_order_release);
    watchdog.join();
    lease.reset();  // the arm is given back
    running.store(false, std::memory_order_release);
}

// Returns 0, or why real time could not be had (an errno value).
int ServoLoop::Impl::SetUpThread() {
    int refused = 0;
    if (config.realtime.value_or(EnoughCoresForRealtime())) {
        refused = MakeRealtime();
        realtime.store(refused == 0, std::memory_order_relaxed);
        if (refused == 0) pacer.NeverSpin();
    }
    if (config.cpu >= 0) pinned.store(PinTo(config.cpu), std::memory_order_relaxed);
    log_lines_before = LogLinesOfThisThread();
    link.set_connected(talon.stream->rdstate() == std::ios_base::goodbit);
    return refused;
}

// From zero force, with the ramp, on a schedule that starts now.
void ServoLoop::Impl::NewSchedule() {
    command = {0, 0, 0};
    restart_effect = true;
    passivity.Forget();
    filter.Reset();
    ramp_start_ns = on_time_ns = answered_ns = clock::Now();
    pacer.Restart(ramp_start_ns);
}

// One SendForce and its state reply, watched from outside while it waits.
Exchanged ServoLoop::Impl::Exchange(const Vector3d& force, int64_t start_ns) {
    const float request[3] = {static_cast<float>(force[0]), static_cast<float>(force[1]), static_cast<float>(force[2])};
    float p[3] = {0, 0, 0};
    float v[3] = {0, 0, 0};
    exchange_started_ns.store(start_ns, std::memory_order_release);
    talon.SendForce(request);
    uint8_t code = 0;
    const Devices::StateRead read = Devices::ReadStateReply(talon, p, v, code);
    const bool answered = read == Devices::StateRead::State;
    const int64_t end_ns = clock::Now();
    exchange_started_ns.store(0, std::memory_order_release);
    if (read == Devices::StateRead::Other) other_code.store(code, std::memory_order_relaxed);
    if (answered) {
        for (int i = 0; i < 3; ++i) {
            position[i] = p[i];
            velocity[i] = v[i];
        }
        answered_ns = end_ns;
    }
    return {force, position, velocity, answered, start_ns, end_ns};
}

// The line is gone, or (reconnecting) the arm has been silent too long.
bool ServoLoop::Impl::LinkDown(const Exchanged& ex) {
    if (ex.answered) return false;
    if (link.Lost()) return true;
    return link.reconnects() && ex.end_ns - answered_ns >= link.after_ns();
}

// Waits for the same arm to come back; without reconnect a dead line is not
// exchanged on again, and the thread waits for the stop without a busy core.
// Either way the arm's absence is a fault of the link; reconnected, it ends
// (the report of the adoption ends it).
bool ServoLoop::Impl::Recover() {
    link.set_connected(false);
    const double t = Since(clock::Now());
    if (!link.reconnects()) {
        faults.Say(Faults::kLoop, Fault::LineHungUp, t,
                   "the arm's line hung up: unplugged or switched off; plug it in and start the loop again, or "
                   "let reconnect=True wait for it");
        PublishGone();
        while (clock::Pause(clock::kNsPerS, stop)) {
        }
        return false;
    }
    if (link.Lost()) {
        faults.Say(Faults::kLoop, Fault::LineHungUp, t,
                   "the arm's line hung up: unplugged or switched off; the loop waits for the same arm and drives "
                   "it again once it is back (reconnect)");
    } else {
        faults.Say(Faults::kLoop, Fault::ArmNotAnswering, t,
                   "arm not answering for %.0f ms (reconnect_after_s=%g): the loop waits for the same arm and drives "
                   "it again once it answers (reconnect)",
                   (clock::Now() - answered_ns) / 1e6, config.reconnection.after_s);
    }
    PublishGone();
    if (link.Reattach(stop, &Report, this) != Link::Outcome::Adopted) return false;
    PublishGone();  // connected again, no force yet
    NewSchedule();
    return true;
}

void ServoLoop::Impl::Report(void* self, Link::Outcome outcome) {
    auto& loop = *static_cast<Impl*>(self);
    const double t = loop.Since(clock::Now());
    if (outcome == Link::Outcome::Adopted) {
        loop.faults.EndPassing();  // the link's faults, and no identity
        return;
    }
    if (outcome == Link::Outcome::Other)
        loop.faults.Say(Faults::kLoop, Fault::OtherDevice, t,
                        "another arm is on the port: not adopted; the loop waits for its own arm (reconnect)");
    if (outcome == Link::Outcome::Taken) {
        const char* other = loop.link.TakenBy();
        loop.faults.Say(Faults::kLoop, Fault::OtherDevice, t,
                        "the port is driven by a %s of this program: not adopted; the loop waits for its own arm "
                        "(reconnect) once that one stops",
                        other != nullptr ? other : "loop or reader");
    }
    if (outcome == Link::Outcome::Silent && loop.learning)
        loop.faults.Say(Faults::kLoop, Fault::NoIdentity, t,
                        "the arm has not said who it is (its device_id_ext, in answer to the wake-up): not "
                        "driven, since reconnect=True needs it; is an arm on this port, and awake?");
    loop.PublishGone();
}

// This cycle's faults. A clear asked for since the last cycle goes first, so
// a cycle that is itself in fault never gets force. A slow exchange is
// counted; only a link that has been slow for link_timeout_ms is a fault,
// and it ends with the next exchange on time. A silent arm is the
// watchdog's to say.
Fault ServoLoop::Impl::Judge(const Exchanged& ex) {
    if (faults.TakeClear()) {
        faults.Reset();
        ramp_start_ns = ex.end_ns;
    }
    // What the schedule itself puts between two exchanges is no silence.
    if (!ex.answered) {
        // A reply of another code fails at once: the loop's thread says so.
        const int64_t silent_ns = ex.end_ns - answered_ns - period_ns;
        if (silent_ns > link_timeout_ns) LatchSilence(ex.end_ns, silent_ns);
        return faults.Get();
    }
    const int64_t took = ex.end_ns - ex.start_ns;
    if (took <= exchange_deadline_ns) {
        on_time_ns = ex.end_ns;
        other_code.store(-1, std::memory_order_relaxed);
        // The link is back: from zero, with the ramp.
        if (faults.End(Fault::ArmNotAnswering) || faults.End(Fault::ArmTooSlow)) ramp_start_ns = ex.end_ns;
    } else {
        slow_exchanges.fetch_add(1, std::memory_order_relaxed);
        const int64_t slow_for = ex.end_ns - on_time_ns - period_ns;
        if (slow_for > link_timeout_ns)
            faults.Latch(Faults::kLoop, Fault::ArmTooSlow, Since(ex.end_ns),
                         "arm too slow: no exchange within exchange_deadline_ms=%g for %.0f ms (the last took %.1f ms); "
                         "it goes on by itself once the arm answers in time, or raise exchange_deadline_ms or "
                         "link_timeout_ms=%g",
                         config.exchange_deadline_ms, slow_for / 1e6, took / 1e6, config.link_timeout_ms);
    }
    Fault motion = safety::CheckReading(ex.position, ex.velocity);
    if (motion == Fault::None) motion = safety::CheckMotion(config, ex.position, ex.velocity);
    if (motion != Fault::None) LatchMotion(motion, ex);
    return faults.Get();
}

namespace {

// What a reply that was not the state says about what is on the port.
const char* WhatAnswered(int code) {
    namespace H = Devices::HandleWire;
    namespace T = Devices::TalonWire;
    switch (code) {
        case H::kHandleInfo: return "a grip's handle information: is this the grip's port?";
        case H::kStatusMessage: return "a grip's status: is this the grip's port?";
        case H::kErrorResponse: return "a grip's error response: is this the grip's port?";
        case T::kDeviceInfo: return "an arm's device information, late: the arm may be resetting";
        default: return "no reply an arm sends";
    }
}

}  // namespace

// No answer for link_timeout_ms: said with what answered instead, when
// something did.
void ServoLoop::Impl::LatchSilence(int64_t now_ns, int64_t silent_ns, Faults::Writer writer) {
    const double silent_ms = silent_ns / 1e6;
    const int code = other_code.load(std::memory_order_relaxed);
    if (code < 0) {
        faults.Latch(writer, Fault::ArmNotAnswering, Since(now_ns),
                     "arm not answering for %.0f ms (link_timeout_ms=%g): is it switched on and plugged in, and is "
                     "this its port? It goes on by itself once the arm answers",
                     silent_ms, config.link_timeout_ms);
    } else {
        faults.Latch(writer, Fault::ArmNotAnswering, Since(now_ns),
                     "no arm answering for %.0f ms (link_timeout_ms=%g): what answered sent 0x%02X, %s",
                     silent_ms, config.link_timeout_ms, code, WhatAnswered(code));
    }
}

// A fault of the motion, with the reading that caused it.
void ServoLoop::Impl::LatchMotion(Fault motion, const Exchanged& ex) {
    const Vector3d& p = ex.position;
    const Vector3d& v = ex.velocity;
    const double t = Since(ex.end_ns);
    if (motion == Fault::BadReading) {
        faults.Latch(Faults::kLoop, motion, t,
                     "the arm sent a position or velocity that is not a number ((%g, %g, %g) m, (%g, %g, %g) m/s); "
                     "clear_fault() once it sends numbers",
                     p[0], p[1], p[2], v[0], v[1], v[2]);
    } else if (motion == Fault::VelocityLimit) {
        faults.Latch(Faults::kLoop, motion, t,
                     "velocity limit exceeded: %.3g m/s, above velocity_limit=%g; clear_fault() once the arm moves "
                     "slower",
                     std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]), *config.velocity_limit);
    } else {
        const Workspace& w = *config.workspace;
        faults.Latch(Faults::kLoop, motion, t,
                     "outside the workspace: at (%.4f, %.4f, %.4f) m, the workspace (%g, %g, %g) to (%g, %g, %g); "
                     "clear_fault() once the arm is back inside",
                     p[0], p[1], p[2], w.lower[0], w.lower[1], w.lower[2], w.upper[0], w.upper[1], w.upper[2]);
    }
}

// The energy the hand put into the effect over the last period.
void ServoLoop::Impl::Observe(const Exchanged& ex) { passivity.Observe(ex.position); }

// The velocity the effects and the passivity controller see. A cycle with
// no reply repeats the last reading, which the filter takes as one more.
Vector3d ServoLoop::Impl::FilterVelocity(const Exchanged& ex) { return filter.Step(ex.velocity); }

// The effect's force, with the passivity controller's damping, through the
// clamp and the ramp. The effect runs even while a fault stands, so one
// computed on its own thread is kept fed.
Vector3d ServoLoop::Impl::NextForce(const Exchanged& ex, const Vector3d& velocity, Fault fault) {
    const Handoff<Effect>::View view = effect.Acquire();
    const double t = clock::ToSeconds(ex.end_ns - started_ns.load(std::memory_order_relaxed));
    const EffectInput input{ex.position, velocity, t, clock::ToSeconds(period_ns)};
    if (view.generation != effect_generation) {  // a new effect ramps in again, its energy from 0
        effect_generation = view.generation;
        ramp_start_ns = ex.end_ns;
        passivity.Restart();
        restart_effect = true;
    }
    if (restart_effect && view.object != nullptr) {
        view.object->Restart(input);
        restart_effect = false;
    }
    Vector3d next{0, 0, 0};
    passivity.Command({0, 0, 0}, {0, 0, 0});
    has_proxy = false;
    if (view.object != nullptr) {
        const SplitForce split = view.object->Split(input);
        has_proxy = view.object->Proxy(proxy);
        Vector3d wanted = Add(split.passive, split.active);
        if (!safety::Clamp(wanted, config.force_limit)) {
            const double stale_s = view.object->Staleness();
            if (stale_s > 0) {
                faults.Latch(Faults::kLoop, Fault::EffectStalled, t,
                             "the effect's own thread fell behind: its force was %.1f ms old; it goes on by itself "
                             "once the thread keeps up (a Python effect: effects.Callback(fn, max_age_s=...) "
                             "allows older forces)",
                             stale_s * 1e3);
            } else {
                faults.Latch(Faults::kLoop, Fault::EffectFailed, t,
                             "the effect gave no valid force ((%g, %g, %g) N); fix the effect, then clear_fault()",
                             wanted[0], wanted[1], wanted[2]);
            }
        } else if (fault == Fault::EffectStalled) {
            faults.End(Fault::EffectStalled);  // fresh again: from zero, with the ramp
            ramp_start_ns = ex.end_ns;
        } else if (fault == Fault::None) {
            const Vector3d damping = passivity.Damping(velocity);
            const Vector3d passive = Add(split.passive, damping);
            next = Add(passive, split.active);
            const double clamp = safety::ClampFactor(next, config.force_limit);
            safety::Clamp(next, config.force_limit);
            const double ramp = safety::RampFraction(ex.end_ns - ramp_start_ns, ramp_ns);
            next = safety::Ramp(next, ramp);
            passivity.Command(safety::Ramp(passive, clamp * ramp), safety::Ramp(damping, clamp * ramp));
        }
    }
    effect.Release();
    passivity_cycles.store(passivity.cycles(), std::memory_order_relaxed);
    energy_removed.store(passivity.energy_removed(), std::memory_order_relaxed);
    max_damping_used.store(passivity.max_damping_used(), std::memory_order_relaxed);
    return next;
}

void ServoLoop::Impl::Publish(const Exchanged& ex) {
    ServoState s;
    s.t = clock::ToSeconds(ex.start_ns - started_ns.load(std::memory_order_relaxed));
    s.cycle = cycle;
    s.position = ex.position;
    s.velocity = ex.velocity;
    s.force = ex.sent;
    s.connected = link.connected();
    s.fault = faults.Get();
    s.energy = passivity.energy();
    s.has_proxy = has_proxy;
    s.proxy = proxy;
    state.StoreSingleWriter(s);
}

// While the arm is away: no force, and whether it is there.
void ServoLoop::Impl::PublishGone() {
    ServoState s = state.Load();
    s.force = {0, 0, 0};
    s.connected = link.connected();
    s.fault = faults.Get();
    state.StoreSingleWriter(s);
}

void ServoLoop::Impl::Record(const Exchanged& ex, const Vector3d& velocity, int64_t jitter_ns, bool late) {
    RecordBuffer* buffer = record.Acquire().object;
    const std::size_t index = buffer != nullptr ? buffer->filled.load(std::memory_order_relaxed) : 0;
    if (buffer != nullptr && index < buffer->samples.size()) {
        ServoSample& s = buffer->samples[index];
        s.t = clock::ToSeconds(ex.start_ns - started_ns.load(std::memory_order_relaxed));
        for (int i = 0; i < 3; ++i) {
            s.position[i] = ex.position[i];
            s.velocity[i] = ex.velocity[i];
            s.force[i] = ex.sent[i];
            s.filtered_velocity[i] = velocity[i];
        }
        s.exchange_us = static_cast<double>(ex.end_ns - ex.start_ns) / 1000.0;
        s.jitter_us = static_cast<double>(jitter_ns) / 1000.0;
        s.late = late ? 1 : 0;
        s.fault = static_cast<uint8_t>(faults.Get());
        s.energy = passivity.energy();
        for (int i = 0; i < 3; ++i) s.proxy[i] = has_proxy ? proxy[i] : std::numeric_limits<double>::quiet_NaN();
        buffer->filled.store(index + 1, std::memory_order_release);
    }
    record.Release();
}

void ServoLoop::Impl::Count(const Exchanged& ex, int64_t jitter_ns, bool late) {
    jitter.Add(jitter_ns);
    exchange.Add(ex.end_ns - ex.start_ns);
    if (late) late_cycles.fetch_add(1, std::memory_order_relaxed);
    log_lines.store(LogLinesOfThisThread() - log_lines_before, std::memory_order_relaxed);
    cycles.store(++cycle, std::memory_order_relaxed);
    last_cycle_ns.store(ex.start_ns, std::memory_order_relaxed);
}

// Every way out leaves the arm with zero force, on a line that is still
// there. A stop's abort still stands, so the reply wait ends at once.
void ServoLoop::Impl::SendZero() {
    if (link.Lost()) return;
    Exchange({0, 0, 0}, clock::Now());
}

// Looks at the exchange from outside: a request unanswered for
// link_timeout_ms is reported while the loop's thread still waits for the
// answer. It sleeps until the moment the wait would be that long, and looks
// again then. (An arm that answers, only slowly, is the loop's thread's to
// say, when the answer comes.)
void ServoLoop::Impl::Watch() {
    constexpr int64_t kNapNs = 20 * clock::kNsPerMs;  // a stop is never kept waiting longer
    while (watching.load(std::memory_order_acquire)) {
        const int64_t now = clock::Now();
        const int64_t asked = exchange_started_ns.load(std::memory_order_acquire);
        if (asked != 0 && now - asked > link_timeout_ns) {
            LatchSilence(now, now - asked, Faults::kWatchdog);
            clock::SleepFor(std::min(link_timeout_ns, kNapNs));
            continue;
        }
        // The earliest an unanswered request could have lasted that long.
        const int64_t due = (asked != 0 ? asked : now) + link_timeout_ns + 1;
        clock::SleepUntil(std::min(due, now + kNapNs));
    }
}

// --- the owner's side -------------------------------------------------------------------

ServoLoop::ServoLoop(Devices::Talon& talon, const ServoConfig& config)
    : impl_(std::make_shared<Impl>(talon, config)) {}

ServoLoop::~ServoLoop() {
    if (impl_->thread_id.load() == std::this_thread::get_id()) {
        // Destroyed from an effect: the thread finishes and ends by itself.
        impl_->stop.store(true, std::memory_order_release);
        impl_->thread.detach();
        return;
    }
    Stop();
}

void ServoLoop::Start() {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.lifecycle);
    if (s.running.load(std::memory_order_acquire)) return;
    if (s.thread.joinable()) s.thread.join();  // a run that a stop from its own thread ended
    s.effect.Collect();
    s.lease = std::make_unique<Lease>(s.talon, "ServoLoop", s.link.reconnect_path());
    {
        std::lock_guard<std::mutex> claims(s.claims);
        try {
            s.effect.Hold(std::make_shared<RenderClaim>(s.effect.Get(), &s));
        } catch (...) {
            s.lease.reset();
            throw;
        }
        s.stop.store(false, std::memory_order_release);
        s.watching.store(true, std::memory_order_release);
        s.started_ns.store(clock::Now(), std::memory_order_release);
        s.running.store(true, std::memory_order_release);
    }
    std::promise<int> set_up;
    std::future<int> refused = set_up.get_future();
    s.thread = std::thread([keep = impl_, set_up = std::move(set_up)]() mutable {
        keep->thread_id.store(std::this_thread::get_id());  // before an effect can call Stop
        keep->Run(std::move(set_up));
    });
    s.thread_id.store(s.thread.get_id());
    const int error = refused.get();
    if (error != 0 && s.config.realtime.value_or(false)) {
        s.stop.store(true, std::memory_order_release);
        s.thread.join();
        {
            std::lock_guard<std::mutex> claims(s.claims);
            s.effect.Hold(nullptr);
        }
        throw std::runtime_error(std::string("realtime=True, but SCHED_FIFO cannot be had: ") + std::strerror(error) +
                                 (error == EPERM ? " (it needs CAP_SYS_NICE or an RLIMIT_RTPRIO above 10: see "
                                                   "vantor-doctor)"
                                                 : ""));
    }
}

void ServoLoop::Stop() {
    Impl& s = *impl_;
    s.stop.store(true, std::memory_order_release);
    if (s.thread_id.load() == std::this_thread::get_id()) return;  // the loop ends after this cycle
    std::lock_guard<std::mutex> lock(s.lifecycle);
    if (s.thread.joinable()) s.thread.join();
    s.thread_id.store(std::thread::id());  // a later thread may be given the same id
    {
        std::lock_guard<std::mutex> claims(s.claims);
        s.effect.Hold(nullptr);  // another loop may render it now
    }
    s.effect.Collect();
    s.record.Collect();
}

bool ServoLoop::running() const { return impl_->running.load(std::memory_order_acquire); }

// A running loop claims what it renders, and its claim on the effect it
// replaces goes with that effect, once the loop has let go of it.
void ServoLoop::SetEffect(EffectPtr effect) {
    Impl& s = *impl_;
    {
        Handoff<Effect>::Freed freed;  // dropped after the lock: freeing an effect may wait for its thread
        std::lock_guard<std::mutex> claims(s.claims);
        std::shared_ptr<RenderClaim> claim;
        if (s.running.load(std::memory_order_acquire)) claim = std::make_shared<RenderClaim>(effect, &s);
        freed = s.effect.Replace(std::move(effect), std::move(claim));
    }
    // A loop inside this cycle's force lets go of the replaced effect within
    // microseconds: its claim is then given back now, so another loop may
    // take the effect at once. A loop thread the host has paused keeps it
    // until the next owner call; the loop's own thread never waits for itself.
    if (s.thread_id.load() == std::this_thread::get_id()) return;
    const int64_t until = clock::Now() + 2 * clock::kNsPerMs;
    while (s.effect.Retiring() && clock::Now() < until) {
        std::this_thread::yield();
        s.effect.Collect();
    }
}

EffectPtr ServoLoop::effect() const { return impl_->effect.Get(); }

Fault ServoLoop::fault() const { return impl_->faults.Get(); }

std::string ServoLoop::fault_text() const { return impl_->faults.Text(); }

void ServoLoop::ClearFault() {
    if (running()) {
        impl_->faults.RequestClear();
    } else {
        impl_->faults.Reset();
    }
}

ServoState ServoLoop::state() const { return impl_->state.Load(); }

ServoStats ServoLoop::stats() const {
    const Impl& s = *impl_;
    ServoStats out;
    out.cycles = s.cycles.load(std::memory_order_relaxed);
    const double seconds = clock::ToSeconds(s.last_cycle_ns.load(std::memory_order_relaxed) -
                                            s.started_ns.load(std::memory_order_relaxed));
    out.rate_hz = seconds > 0 && out.cycles > 1 ? static_cast<double>(out.cycles - 1) / seconds : 0.0;
    out.late_cycles = s.late_cycles.load(std::memory_order_relaxed);
    out.jitter_us = s.jitter.Read();
    out.exchange_us = s.exchange.Read();
    out.slow_exchanges = s.slow_exchanges.load(std::memory_order_relaxed);
    out.faults = s.faults.count();
    out.faults_by_kind = s.faults.counts();
    out.last_fault = s.faults.Last();
    out.reconnects = s.link.reconnections();
    out.realtime = s.realtime.load(std::memory_order_relaxed);
    out.pinned = s.pinned.load(std::memory_order_relaxed);
    out.device_log_lines = s.log_lines.load(std::memory_order_relaxed);
    out.passivity.cycles = s.passivity_cycles.load(std::memory_order_relaxed);
    out.passivity.energy_removed_j = s.energy_removed.load(std::memory_order_relaxed);
    out.passivity.max_damping = s.max_damping_used.load(std::memory_order_relaxed);
    return out;
}

void ServoLoop::Record(std::size_t n) { impl_->record.Set(std::make_shared<RecordBuffer>(n)); }

std::vector<ServoSample> ServoLoop::Recording() const {
    const std::shared_ptr<RecordBuffer> buffer = impl_->record.Get();
    if (!buffer) return {};
    const std::size_t filled = buffer->filled.load(std::memory_order_acquire);
    return std::vector<ServoSample>(buffer->samples.begin(), buffer->samples.begin() + filled);
}

const ServoConfig& ServoLoop::config() const { return impl_->config; }

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
