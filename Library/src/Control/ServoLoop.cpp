#include "Vantor/HardwareAPI/Control/ServoLoop.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "Reopen.h"
#include "Vantor/HardwareAPI/Log.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

constexpr int64_t kNsPerS = 1000000000;
constexpr int64_t kWatchdogNapNs = 50000000;

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerS + ts.tv_nsec;
}

timespec ToTimespec(int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / kNsPerS);
    ts.tv_nsec = static_cast<long>(ns % kNsPerS);
    return ts;
}

// Sleeps until shortly before the deadline, then spins the last stretch:
// the core is free between cycles and the start is still on time.
void WaitUntil(int64_t deadline_ns, int64_t spin_ns) {
    const int64_t wake = deadline_ns - spin_ns;
    if (NowNs() < wake) {
        const timespec ts = ToTimespec(wake);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (NowNs() < deadline_ns) {
    }
}

double Norm(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

bool Finite(const Vec3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

bool Same(const UUID& a, const UUID& b) { return std::memcmp(a.data, b.data, sizeof a.data) == 0; }

// Faults of the link rather than of the motion: a reconnection ends them.
bool LinkFault(int fault) {
    const Fault f = static_cast<Fault>(fault);
    return f == Fault::ArmNotAnswering || f == Fault::ArmTooSlow || f == Fault::StreamFailed ||
           f == Fault::OtherDevice;
}

}  // namespace

const char* FaultText(Fault fault) {
    switch (fault) {
        case Fault::None: return "";
        case Fault::ArmNotAnswering: return "arm not answering";
        case Fault::ArmTooSlow: return "arm answered after the exchange deadline";
        case Fault::StreamFailed: return "stream failed";
        case Fault::VelocityLimit: return "velocity limit exceeded";
        case Fault::OutsideWorkspace: return "outside the workspace";
        case Fault::EffectFailed: return "the effect gave no valid force";
        case Fault::OtherDevice: return "another arm is on the port: not adopted";
    }
    return "unknown fault";
}

// --- histograms ---------------------------------------------------------------

void ServoLoop::Histogram::Add(int64_t ns) {
    if (ns < 0) ns = 0;
    std::size_t bin;
    if (ns < 1000000) {
        bin = static_cast<std::size_t>(ns / 500);
    } else {
        bin = kFine + static_cast<std::size_t>((ns - 1000000) / 100000);
        if (bin > kFine + kCoarse) bin = kFine + kCoarse;
    }
    bins[bin].fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = max_ns.load(std::memory_order_relaxed);
    while (static_cast<uint64_t>(ns) > seen &&
           !max_ns.compare_exchange_weak(seen, static_cast<uint64_t>(ns), std::memory_order_relaxed)) {
    }
}

Percentiles ServoLoop::Histogram::Read() const {
    uint64_t total = 0;
    for (const auto& b : bins) total += b.load(std::memory_order_relaxed);
    Percentiles result;
    result.max = static_cast<double>(max_ns.load(std::memory_order_relaxed)) / 1000.0;
    if (total == 0) return result;
    // The upper edge of the bin holding the rank, never above the maximum.
    auto at = [&](double fraction) {
        const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(fraction * total)));
        uint64_t seen = 0;
        for (std::size_t i = 0; i < bins.size(); ++i) {
            seen += bins[i].load(std::memory_order_relaxed);
            if (seen >= rank) {
                const double upper_ns = i < kFine ? (i + 1) * 500.0 : 1e6 + (i - kFine + 1) * 1e5;
                return std::min(upper_ns / 1000.0, result.max);
            }
        }
        return result.max;
    };
    result.p50 = at(0.50);
    result.p99 = at(0.99);
    return result;
}

// --- the loop -------------------------------------------------------------------

ServoLoop::ServoLoop(Devices::Talon& talon, const ServoConfig& config)
    : talon_(talon), config_(config), first_stream_(talon.stream) {}

ServoLoop::~ServoLoop() {
    Stop();
    if (reopened_) talon_.stream = first_stream_;
}

void ServoLoop::Start() {
    if (running()) return;
    stop_.store(false, std::memory_order_release);
    saved_timeout_ = talon_.timeout;
    talon_.timeout = static_cast<float>(config_.reply_timeout_s);
    started_ns_.store(NowNs(), std::memory_order_release);
    running_.store(true, std::memory_order_release);
    thread_ = std::thread([this] { Run(); });
    watchdog_ = std::thread([this] { Watch(); });
}

void ServoLoop::Stop() {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_release);
    thread_.join();
    watchdog_.join();
    talon_.timeout = saved_timeout_;
    running_.store(false, std::memory_order_release);
}

void ServoLoop::SetEffect(EffectPtr effect) {
    std::lock_guard<std::mutex> lock(owner_mutex_);
    Effect* old = effect_owner_.get();
    effect_.store(effect.get(), std::memory_order_seq_cst);
    // The loop holds an effect only while it computes a force.
    while (effect_in_use_.load(std::memory_order_seq_cst) == old && old != nullptr) std::this_thread::yield();
    effect_owner_ = std::move(effect);
}

EffectPtr ServoLoop::effect() const {
    std::lock_guard<std::mutex> lock(owner_mutex_);
    return effect_owner_;
}

void ServoLoop::ClearFault() {
    if (running()) {
        clear_requested_.store(true, std::memory_order_release);
    } else {
        fault_.store(0, std::memory_order_release);
    }
}

void ServoLoop::Record(std::size_t n) {
    auto buffer = std::make_unique<RecordBuffer>(n);
    std::lock_guard<std::mutex> lock(owner_mutex_);
    RecordBuffer* old = record_owner_.get();
    record_.store(buffer.get(), std::memory_order_seq_cst);
    while (record_in_use_.load(std::memory_order_seq_cst) == old && old != nullptr) std::this_thread::yield();
    record_owner_ = std::move(buffer);
}

std::vector<ServoSample> ServoLoop::Recording() const {
    std::lock_guard<std::mutex> lock(owner_mutex_);
    if (!record_owner_) return {};
    const std::size_t filled = record_owner_->filled.load(std::memory_order_acquire);
    return std::vector<ServoSample>(record_owner_->samples.begin(), record_owner_->samples.begin() + filled);
}

ServoStats ServoLoop::stats() const {
    ServoStats s;
    s.cycles = cycles_.load(std::memory_order_relaxed);
    const double seconds =
        static_cast<double>(last_cycle_ns_.load(std::memory_order_relaxed) - started_ns_.load(std::memory_order_relaxed)) /
        kNsPerS;
    s.rate_hz = seconds > 0 && s.cycles > 1 ? static_cast<double>(s.cycles - 1) / seconds : 0.0;
    s.late_cycles = late_cycles_.load(std::memory_order_relaxed);
    s.jitter_us = jitter_.Read();
    s.exchange_us = exchange_.Read();
    s.faults = faults_.load(std::memory_order_relaxed);
    s.realtime = realtime_.load(std::memory_order_relaxed);
    s.pinned = pinned_.load(std::memory_order_relaxed);
    s.device_log_lines = log_lines_.load(std::memory_order_relaxed);
    s.reconnects = reconnects_.load(std::memory_order_acquire);
    return s;
}

void ServoLoop::Latch(Fault fault) {
    int none = 0;
    if (fault_.compare_exchange_strong(none, static_cast<int>(fault), std::memory_order_acq_rel))
        faults_.fetch_add(1, std::memory_order_relaxed);
}

Vec3 ServoLoop::Limit(Vec3 force, double scale) const {
    for (double& f : force) f *= scale;
    const double magnitude = Norm(force);
    if (magnitude > config_.force_limit && magnitude > 0) {
        const double k = config_.force_limit / magnitude;
        for (double& f : force) f *= k;
    }
    return force;
}

bool ServoLoop::Exchange(const Vec3& force, Vec3& position, Vec3& velocity) {
    const float request[3] = {static_cast<float>(force[0]), static_cast<float>(force[1]),
                              static_cast<float>(force[2])};
    float p[3] = {0, 0, 0};
    float v[3] = {0, 0, 0};
    talon_.SendForce(request);
    const bool ok = talon_.ReceiveState(p, v);
    for (int i = 0; i < 3; ++i) {
        position[i] = p[i];
        velocity[i] = v[i];
    }
    return ok;
}

// The loop thread's way out of a reply wait (asked every 20 ms of one): a
// stop, or, when the loop reconnects, a stream that has failed or a line
// that has hung up, on which no reply can come.
bool ServoLoop::EndWait(void* loop) {
    const auto* self = static_cast<const ServoLoop*>(loop);
    if (self->stop_.load(std::memory_order_acquire)) return true;
    if (!self->config_.reconnection.enabled) return false;
    return self->talon_.stream->rdstate() != std::ios_base::goodbit || reopen::HungUp(*self->talon_.stream);
}

bool ServoLoop::ReadIdentity(UUID& id) {
    id = talon_.device_wakeup().device_id_ext;
    static const UUID none;
    return !Same(id, none);  // all zero: no answer
}

bool ServoLoop::Reconnect(const ServoState& last) {
    connected_.store(false, std::memory_order_release);
    ServoState gone = last;
    gone.force = {0, 0, 0};
    gone.connected = false;
    const int64_t after_ns = static_cast<int64_t>(config_.reconnection.after_s * kNsPerS);
    while (!stop_.load(std::memory_order_acquire)) {
        gone.fault = fault();
        state_.StoreSingleWriter(gone);
        if (!reopen::Reattach(talon_, reopened_, config_.reconnection.port_path, stop_)) return false;
        UUID id;
        if (!ReadIdentity(id)) {
            if (!reopen::Pause(after_ns / 4, stop_)) return false;  // opened, but not answering yet
            continue;
        }
        if (identity_known_ && !Same(id, identity_)) {
            // Said in place of a link fault; a motion fault stays until cleared.
            int current = fault_.load(std::memory_order_acquire);
            if (current != static_cast<int>(Fault::OtherDevice) && (current == 0 || LinkFault(current)) &&
                fault_.compare_exchange_strong(current, static_cast<int>(Fault::OtherDevice),
                                               std::memory_order_acq_rel))
                faults_.fetch_add(1, std::memory_order_relaxed);
            if (!reopen::Pause(after_ns, stop_)) return false;
            continue;
        }
        identity_ = id;
        identity_known_ = true;
        int current = fault_.load(std::memory_order_acquire);
        if (LinkFault(current)) fault_.compare_exchange_strong(current, 0, std::memory_order_acq_rel);
        // Connected, and said so, before it is counted: whoever sees the count sees the arm back.
        connected_.store(true, std::memory_order_release);
        gone.connected = true;
        gone.fault = fault();
        state_.StoreSingleWriter(gone);
        reconnects_.fetch_add(1, std::memory_order_release);
        return true;
    }
    return false;
}

void ServoLoop::Watch() {
    // Looks at the exchange from outside: a stuck one is reported while it
    // still waits, at its deadline. Between exchanges it looks in now and
    // then (at most every millisecond); during one it sleeps until the
    // exchange's deadline, so it wakes far less often than the loop.
    const int64_t deadline_ns = static_cast<int64_t>(config_.exchange_deadline_ms * 1e6);
    const int64_t idle_ns = std::max<int64_t>(std::min<int64_t>(deadline_ns / 2, 1000000), 100000);
    while (!stop_.load(std::memory_order_acquire)) {
        const int64_t started = exchange_started_ns_.load(std::memory_order_acquire);
        const int64_t now = NowNs();
        if (started != 0 && now - started > deadline_ns) {
            Latch(Fault::ArmNotAnswering);
            const timespec ts = ToTimespec(idle_ns);
            nanosleep(&ts, nullptr);
            continue;
        }
        // Never asleep for long, so a Stop is not kept waiting for a far deadline.
        const int64_t wake = started != 0 ? std::min(started + deadline_ns + 1, now + kWatchdogNapNs) : now + idle_ns;
        const timespec ts = ToTimespec(wake);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
}

void ServoLoop::Run() {
    if (config_.realtime) {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
        realtime_.store(pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0, std::memory_order_relaxed);
    }
    if (config_.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(config_.cpu, &set);
        pinned_.store(pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0, std::memory_order_relaxed);
    }
    // Stop ends any reply wait of this thread within a few tens of ms.
    Devices::WaitAbortScope abort(&EndWait, this);

    const int64_t period_ns = static_cast<int64_t>(std::llround(kNsPerS / config_.rate_hz));
    const int64_t spin_ns = static_cast<int64_t>(config_.spin_us * 1000.0);
    const int64_t exchange_deadline_ns = static_cast<int64_t>(config_.exchange_deadline_ms * 1e6);
    const int64_t ramp_ns = static_cast<int64_t>(config_.ramp_s * kNsPerS);
    const int64_t start_ns = started_ns_.load(std::memory_order_acquire);
    const unsigned long long log_lines_before = LogLinesOfThisThread();

    const bool reconnects = config_.reconnection.enabled;
    const int64_t reconnect_after_ns = static_cast<int64_t>(config_.reconnection.after_s * kNsPerS);
    // The arm to find again after an unplug.
    if (reconnects) identity_known_ = ReadIdentity(identity_);
    connected_.store(talon_.stream->rdstate() == std::ios_base::goodbit, std::memory_order_release);

    Vec3 command{0, 0, 0};
    Vec3 position{0, 0, 0};
    Vec3 velocity{0, 0, 0};
    Effect* last_effect = nullptr;
    int64_t ramp_start_ns = NowNs();
    int64_t deadline = ramp_start_ns;
    int64_t last_answer_ns = ramp_start_ns;
    uint64_t cycle = 0;
    ServoState state;

    while (!stop_.load(std::memory_order_acquire)) {
        const int64_t cycle_start = NowNs();
        const int64_t jitter = cycle_start - deadline;

        // The exchange, watched from outside while it waits.
        exchange_started_ns_.store(cycle_start, std::memory_order_release);
        const bool answered = Exchange(command, position, velocity);
        const int64_t exchange_end = NowNs();
        exchange_started_ns_.store(0, std::memory_order_release);
        const int64_t exchange_ns = exchange_end - cycle_start;
        if (stop_.load(std::memory_order_acquire)) break;

        const bool stream_good = talon_.stream->rdstate() == std::ios_base::goodbit;
        if (answered && stream_good) last_answer_ns = exchange_end;
        if (reconnects && (!stream_good || exchange_end - last_answer_ns >= reconnect_after_ns)) {
            if (!Reconnect(state)) break;
            // The same arm again: from zero force, with the ramp, on a new schedule.
            command = {0, 0, 0};
            ramp_start_ns = deadline = last_answer_ns = NowNs();
            continue;
        }
        if (!stream_good) {
            connected_.store(false, std::memory_order_release);
            Latch(Fault::StreamFailed);
        } else if (!answered) {
            Latch(Fault::ArmNotAnswering);
        } else if (exchange_ns > exchange_deadline_ns) {
            Latch(Fault::ArmTooSlow);
        }
        if (config_.velocity_limit > 0 && Norm(velocity) > config_.velocity_limit) Latch(Fault::VelocityLimit);
        if (config_.has_workspace) {
            for (int i = 0; i < 3; ++i) {
                if (position[i] < config_.workspace_lower[i] || position[i] > config_.workspace_upper[i])
                    Latch(Fault::OutsideWorkspace);
            }
        }
        if (clear_requested_.exchange(false, std::memory_order_acq_rel)) {
            fault_.store(0, std::memory_order_release);
            ramp_start_ns = exchange_end;
        }
        const Fault fault = static_cast<Fault>(fault_.load(std::memory_order_acquire));

        // The next force, from the effect this cycle sees whole.
        Effect* effect = effect_.load(std::memory_order_seq_cst);
        effect_in_use_.store(effect, std::memory_order_seq_cst);
        if (effect_.load(std::memory_order_seq_cst) != effect) effect = nullptr;  // swapped meanwhile: next cycle
        Vec3 next{0, 0, 0};
        if (effect != last_effect) ramp_start_ns = exchange_end;
        last_effect = effect;
        if (effect != nullptr && fault == Fault::None) {
            const double ramp =
                ramp_ns > 0 ? std::min(1.0, static_cast<double>(exchange_end - ramp_start_ns) / ramp_ns) : 1.0;
            const Vec3 wanted = effect->Force(position, velocity);
            if (Finite(wanted)) {
                next = Limit(wanted, std::max(0.0, ramp));
            } else {
                Latch(Fault::EffectFailed);
            }
        }
        effect_in_use_.store(nullptr, std::memory_order_seq_cst);

        // What this cycle did, published whole.
        state.t = static_cast<double>(cycle_start - start_ns) / kNsPerS;
        state.cycle = cycle;
        state.position = position;
        state.velocity = velocity;
        state.force = command;
        state.connected = connected_.load(std::memory_order_relaxed);
        state.fault = fault;
        state_.StoreSingleWriter(state);
        jitter_.Add(jitter);
        exchange_.Add(exchange_ns);

        // The schedule: a late cycle restarts it from now, with no catch-up.
        deadline += period_ns;
        const int64_t work_end = NowNs();
        const bool late = work_end > deadline;
        if (late) {
            late_cycles_.fetch_add(1, std::memory_order_relaxed);
            deadline = work_end;
        }

        RecordBuffer* record = record_.load(std::memory_order_seq_cst);
        record_in_use_.store(record, std::memory_order_seq_cst);
        if (record != nullptr && record_.load(std::memory_order_seq_cst) == record) {
            const std::size_t index = record->filled.load(std::memory_order_relaxed);
            if (index < record->samples.size()) {
                ServoSample& s = record->samples[index];
                s.t = state.t;
                for (int i = 0; i < 3; ++i) {
                    s.position[i] = position[i];
                    s.velocity[i] = velocity[i];
                    s.force[i] = command[i];
                }
                s.exchange_us = exchange_ns / 1000.0;
                s.jitter_us = jitter / 1000.0;
                s.late = late ? 1 : 0;
                s.fault = static_cast<uint8_t>(fault);
                record->filled.store(index + 1, std::memory_order_release);
            }
        }
        record_in_use_.store(nullptr, std::memory_order_seq_cst);

        log_lines_.store(LogLinesOfThisThread() - log_lines_before, std::memory_order_relaxed);
        cycles_.store(++cycle, std::memory_order_relaxed);
        last_cycle_ns_.store(cycle_start, std::memory_order_relaxed);
        command = next;
        WaitUntil(deadline, spin_ns);
    }

    // Every way out leaves the arm with zero force. Stop's abort is still
    // asked for, so the reply wait ends within a few tens of ms.
    Vec3 ignored_position, ignored_velocity;
    Exchange({0, 0, 0}, ignored_position, ignored_velocity);
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
