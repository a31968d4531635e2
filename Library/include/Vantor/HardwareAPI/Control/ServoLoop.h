// A haptic servo loop: one thread that exchanges a force with a Talon at a
// fixed rate, computes the next force from the current effect, and keeps it
// within safety limits. Safe by default: forces are clamped and ramped in,
// faults command zero force until cleared, and every way out sends zero.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Vantor/HardwareAPI/Control/Effects.h"
#include "Vantor/HardwareAPI/Control/Reconnection.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct ServoConfig {
    double rate_hz = 1000.0;
    double force_limit = 2.0;           // N, the commanded force's magnitude
    double ramp_s = 0.5;                // force scaled from 0 to 1 over this time
    double velocity_limit = 0.0;        // m/s; 0: none
    bool has_workspace = false;         // outside the box: zero force, fault
    Vec3 workspace_lower{0, 0, 0};
    Vec3 workspace_upper{0, 0, 0};
    double exchange_deadline_ms = 5.0;  // a longer or failed exchange: fault
    double reply_timeout_s = 1.0;       // the arm's reply time-out while the loop runs
    bool realtime = false;              // ask for SCHED_FIFO (used only if permitted)
    int cpu = -1;                       // pin the loop thread to this CPU; -1: no
    double spin_us = 100.0;             // the last stretch before a deadline is spun
    // Off by default. On: a gone arm is waited for, checked to be the same
    // arm (its device_id_ext) and driven again, with the ramp.
    Reconnection reconnection;
};

enum class Fault : int {
    None = 0,
    ArmNotAnswering,   // a failed exchange, or one still waiting past its deadline
    ArmTooSlow,        // an exchange that answered after its deadline
    StreamFailed,      // the stream's error state is set: the arm is gone
    VelocityLimit,
    OutsideWorkspace,
    EffectFailed,      // the effect gave a force that is not a finite number
    OtherDevice,       // reconnecting, another arm answered on the port
};

// "arm not answering", "stream failed", ...; "" for None.
const char* FaultText(Fault fault);

// One consistent sample of the loop: all fields from the same cycle.
struct ServoState {
    double t = 0;  // s since start
    uint64_t cycle = 0;
    Vec3 position{0, 0, 0};
    Vec3 velocity{0, 0, 0};
    Vec3 force{0, 0, 0};  // commanded at that cycle's exchange
    bool connected = false;
    Fault fault = Fault::None;
};

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;  // µs
};

struct ServoStats {
    uint64_t cycles = 0;
    double rate_hz = 0;  // achieved, over the run so far
    uint64_t late_cycles = 0;
    Percentiles jitter_us;    // cycle start after its deadline
    Percentiles exchange_us;  // one force exchange, request to decoded reply
    uint64_t faults = 0;
    uint64_t reconnects = 0;
    bool realtime = false;  // whether SCHED_FIFO took effect
    bool pinned = false;    // whether the CPU pinning took effect
    uint64_t device_log_lines = 0;
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
};
static_assert(sizeof(ServoSample) == 104, "recorded as a packed numpy record");

class ServoLoop {
public:
    // The loop drives talon, which must outlive it and must not be used by
    // anyone else while the loop runs. A loop that reconnects gives talon
    // streams of its own; talon has its first stream back (closed) when
    // the loop is destroyed.
    ServoLoop(Devices::Talon& talon, const ServoConfig& config);
    ~ServoLoop();  // stops
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    void Start();
    // Ends the loop's wait at once, sends zero force and joins the thread.
    void Stop();
    bool running() const { return running_.load(std::memory_order_acquire); }

    // Takes effect at the next cycle boundary, whole, and restarts the ramp.
    // Returns once the loop no longer uses the previous effect. Null: none.
    void SetEffect(EffectPtr effect);
    EffectPtr effect() const;

    Fault fault() const { return static_cast<Fault>(fault_.load(std::memory_order_acquire)); }
    // Resumes force at the next cycle, with the ramp.
    void ClearFault();

    ServoState state() const { return state_.Load(); }
    ServoStats stats() const;

    // The next n cycles are recorded into a buffer allocated here; returns at
    // once. Recording() gives those recorded so far.
    void Record(std::size_t n);
    std::vector<ServoSample> Recording() const;

    const ServoConfig& config() const { return config_; }

private:
    struct RecordBuffer {
        explicit RecordBuffer(std::size_t n) : samples(n) {}
        std::vector<ServoSample> samples;
        std::atomic<std::size_t> filled{0};
    };
    struct Histogram {
        static constexpr std::size_t kFine = 2000;   // 0.5 µs bins up to 1 ms
        static constexpr std::size_t kCoarse = 1000; // 100 µs bins up to 101 ms
        std::array<std::atomic<uint32_t>, kFine + kCoarse + 1> bins{};
        std::atomic<uint64_t> max_ns{0};
        void Add(int64_t ns);
        Percentiles Read() const;
    };

    void Run();
    void Watch();
    static bool EndWait(void* loop);
    bool ReadIdentity(UUID& id);
    bool Reconnect(const ServoState& last);
    bool Exchange(const Vec3& force, Vec3& position, Vec3& velocity);
    void Latch(Fault fault);
    Vec3 Limit(Vec3 force, double scale) const;

    Devices::Talon& talon_;
    const ServoConfig config_;
    float saved_timeout_ = 5.0f;

    // Reconnection: the stream the arm came with, the one opened since,
    // and the arm's identifier, read when the loop starts.
    IO::SerialStream* const first_stream_;
    std::unique_ptr<IO::SerialStream> reopened_;
    UUID identity_;
    bool identity_known_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> reconnects_{0};

    std::thread thread_;
    std::thread watchdog_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};

    // Effects and recordings pass to the loop by pointer; the loop announces
    // the one it is using, so the owner frees an old one only once it is not.
    mutable std::mutex owner_mutex_;
    EffectPtr effect_owner_;
    std::atomic<Effect*> effect_{nullptr};
    std::atomic<Effect*> effect_in_use_{nullptr};
    std::unique_ptr<RecordBuffer> record_owner_;
    std::atomic<RecordBuffer*> record_{nullptr};
    std::atomic<RecordBuffer*> record_in_use_{nullptr};

    std::atomic<int> fault_{0};
    std::atomic<bool> clear_requested_{false};
    std::atomic<int64_t> exchange_started_ns_{0};  // 0: not in an exchange

    Published<ServoState> state_{ServoState{}};
    Histogram jitter_;
    Histogram exchange_;
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> late_cycles_{0};
    std::atomic<uint64_t> faults_{0};
    std::atomic<uint64_t> log_lines_{0};
    std::atomic<int64_t> started_ns_{0};
    std::atomic<int64_t> last_cycle_ns_{0};
    std::atomic<bool> realtime_{false};
    std::atomic<bool> pinned_{false};
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
