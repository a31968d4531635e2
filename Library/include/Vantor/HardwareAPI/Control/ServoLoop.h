// A haptic servo loop: one thread that exchanges a force with a Talon at a
// fixed rate, computes the next force from the current effect, and keeps it
// within safety limits. Safe by default: forces are clamped and ramped in,
// faults command zero force, and every way out sends zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Vantor/HardwareAPI/Control/Effects.h"
#include "Vantor/HardwareAPI/Control/Reconnection.h"
#include "Vantor/HardwareAPI/Control/SettingError.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct Workspace {
    Vector3d lower;  // m, below upper on every axis
    Vector3d upper;
};

// The loop's settings. Each has a range; Validate, which the loop's
// constructor calls, throws SettingError (a std::invalid_argument) naming the
// setting, its range and the value for a value outside it, or one that is
// not finite.
struct ServoConfig {
    double rate_hz = 1000.0;       // Hz, 1 to 20000
    double force_limit = 2.0;      // N, 0 to 100: the commanded force's magnitude
    double ramp_s = 0.5;           // s, 0 to 60: force scaled in from 0 over this time
    std::optional<double> velocity_limit;  // m/s, above 0 and at most 100; none: no limit
    std::optional<Workspace> workspace;    // m, each coordinate within 100 of the origin
    // ms, 0.05 to 1000: an exchange that takes longer is slow. Slow exchanges
    // are counted; they are no fault by themselves.
    double exchange_deadline_ms = 5.0;
    // ms, 1 to 10000: no exchange within the deadline for this long, the arm
    // silent or every exchange slow, is a link fault: zero force until an
    // exchange is on time again.
    double link_timeout_ms = 50.0;
    double reply_timeout_s = 1.0;  // s, 1 to 60: the arm's reply time-out while the loop runs
    // SCHED_FIFO for the loop's thread. None: when this process may have it
    // and at least two cores are online; true: insist (Start throws saying
    // why it cannot); false: never. It never spins while a reply is awaited,
    // and not at all before a deadline when it runs at real-time priority.
    std::optional<bool> realtime;
    int cpu = -1;                  // pin the loop's thread to this CPU, 0 to 1023; -1: no
    double spin_us = 100.0;        // µs, 0 to 1000: the last stretch before a deadline is spun
    // On: each cycle in which the energy the hand has put into the effect
    // (ServoState::energy) is below zero, a damping force takes that deficit
    // back within one period, at most passivity_max_damping; the clamp and
    // the ramp apply after it. For still scenes: walls, meshes, springs to a
    // fixed anchor.
    bool passivity = false;
    double passivity_max_damping = 50.0;  // N s/m, 0 to 10000
    // Hz, above 0 and below half of rate_hz: the velocity the effects and
    // the passivity controller see is the arm's through a second-order
    // low-pass with this cut-off (damping on a noisy velocity buzzes); it
    // starts at the arm's reading at each start and reconnection. None: the
    // arm's reading as it is. ServoState::velocity is always the arm's.
    std::optional<double> velocity_filter_hz;
    // Off by default. On: a gone arm is waited for, checked to be the same
    // arm (its device_id_ext) and driven again, with the ramp.
    Reconnection reconnection;

    void Validate() const;
};

enum class Fault : int {
    None = 0,
    ArmNotAnswering,   // no answer for link_timeout_ms
    ArmTooSlow,        // every exchange slow for link_timeout_ms
    LineHungUp,        // the arm's line hung up or its stream failed: unplugged
    VelocityLimit,
    OutsideWorkspace,
    EffectFailed,      // the effect gave a force that is not a finite number
    OtherDevice,       // reconnecting, another arm answered on the port
    BadReading,        // the arm sent a position or velocity that is not finite
    NoIdentity,        // reconnect is on, and the arm has not said who it is
    EffectStalled,     // an effect computed on its own thread fell behind
};

constexpr std::size_t kFaultKinds = 11;

// What a fault means, in general; "" for None. ServoLoop::fault_text() says
// it with the figures that caused it and what to change or call.
const char* FaultText(Fault fault);
// A short name: "arm_not_answering", "velocity_limit", ...; "none".
const char* FaultName(Fault fault);

struct FaultReport {
    Fault kind = Fault::None;
    double t = 0;  // s since the loop started
    std::string text;
};

// One consistent sample of the loop: all fields from the same cycle.
struct ServoState {
    double t = 0;  // s since start
    uint64_t cycle = 0;
    Vector3d position{0, 0, 0};
    Vector3d velocity{0, 0, 0};  // as the arm sent it, unfiltered
    Vector3d force{0, 0, 0};  // commanded at that cycle's exchange
    bool connected = false;
    Fault fault = Fault::None;
    // J: the work the hand has done on the passive part of the effect since
    // it was set (or the loop started or reconnected). A still scene keeps
    // it at 0 or above; below zero is energy the sampled loop made.
    double energy = 0;
    // Where the effect's proxy was after the cycle (a Mesh's, m), when it
    // has one.
    bool has_proxy = false;
    Vector3d proxy{0, 0, 0};
};

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;  // µs
};

// What the passivity controller has done over the run.
struct PassivityStats {
    uint64_t cycles = 0;          // the cycles it added damping in
    double energy_removed_j = 0;  // J, taken out by its damping
    double max_damping = 0;       // N s/m, the largest it used
};

struct ServoStats {
    uint64_t cycles = 0;
    double rate_hz = 0;  // achieved, over the run so far
    uint64_t late_cycles = 0;
    Percentiles jitter_us;    // cycle start after its deadline
    Percentiles exchange_us;  // one force exchange, request to decoded reply
    uint64_t slow_exchanges = 0;  // answered after exchange_deadline_ms
    uint64_t faults = 0;
    std::array<uint64_t, kFaultKinds> faults_by_kind{};  // indexed by Fault
    FaultReport last_fault;
    uint64_t reconnects = 0;
    bool realtime = false;  // whether SCHED_FIFO took effect
    bool pinned = false;    // whether the CPU pinning took effect
    uint64_t device_log_lines = 0;
    PassivityStats passivity;
};

// One recorded cycle.
struct ServoSample {
    double t;
    double position[3];
    double velocity[3];
    double force[3];
    double exchange_us;
    double jitter_us;
    uint8_t late;
    uint8_t fault;
    uint8_t padding[6];
    double energy;  // J, as ServoState::energy
    // m/s, the velocity the effects saw: through velocity_filter_hz, or the
    // arm's (velocity) without it.
    double filtered_velocity[3];
    double proxy[3];  // m, as ServoState::proxy; NaN when the effect has none
};

// ServoSample field by field, for programs that read recordings as bytes
// or as .csv: format is the field's element type as numpy writes it ("<f8",
// "u1"); columns, its .csv columns ("x,y,z").
struct SampleField {
    const char* name;
    const char* format;
    std::size_t offset;
    std::size_t count;  // elements: 3 for a vector, else 1
    const char* columns;
};
const std::vector<SampleField>& ServoSampleLayout();

// Writes samples as the .csv that vantor.load_recording and vantor plot
// read: a line of the columns, then a line per cycle. False, with errno set,
// when the file cannot be written.
bool WriteRecordingCsv(const std::string& path, const ServoSample* samples, std::size_t count);
inline bool WriteRecordingCsv(const std::string& path, const std::vector<ServoSample>& samples) {
    return WriteRecordingCsv(path, samples.data(), samples.size());
}

class ServoLoop {
public:
    // The loop drives talon, which must outlive it. While the loop runs the
    // arm is lent to it: nothing else may call talon. A loop that reconnects
    // gives talon streams of its own; talon has its first stream back
    // (closed) when the loop is destroyed. Throws std::invalid_argument for
    // a bad setting.
    ServoLoop(Devices::Talon& talon, const ServoConfig& config);
    // Stops. On the loop's own thread (from an effect) the thread is left to
    // finish its cycle, send zero force and end by itself.
    ~ServoLoop();
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    // Throws std::runtime_error when a loop or reader of this process
    // already drives the same port, or when realtime is insisted on and
    // cannot be had.
    void Start();
    // Ends the loop's wait at once, sends zero force and joins the thread.
    // From any thread, several at once included; on the loop's own thread
    // it returns at once and the loop ends after the cycle.
    void Stop();
    bool running() const;

    // Takes effect at the next cycle boundary, whole, and restarts the ramp.
    // From any thread, the loop's own included; never waits. Null: none.
    void SetEffect(EffectPtr effect);
    EffectPtr effect() const;

    Fault fault() const;
    // The fault in force, with its figures and what to change or call; "".
    std::string fault_text() const;
    // Resumes force at the next cycle that is itself free of faults, with
    // the ramp.
    void ClearFault();

    ServoState state() const;
    ServoStats stats() const;

    // The next n cycles are recorded into a buffer allocated here; returns at
    // once. Recording() gives those recorded so far.
    void Record(std::size_t n);
    std::vector<ServoSample> Recording() const;

    const ServoConfig& config() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
