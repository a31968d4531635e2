#include "Vantor/HardwareAPI/Control/GripReader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "../HandleFrames.h"
#include "../Wire.h"
#include "Clock.h"
#include "Lease.h"
#include "Link.h"
#include "Published.h"
#include "Threads.h"
#include "Vantor/HardwareAPI/Log.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

using Devices::HandleWire::kCompactStuffedLength;
// A compact frame on the line: its code and the stuffed bytes.
constexpr int kFrameBytes = 1 + static_cast<int>(kCompactStuffedLength);
constexpr int64_t kByteNs =
    Devices::LineWire::kBitsPerByte * clock::kNsPerS / Devices::LineWire::kBaudRate;
// How often a quiet wait looks whether the reader should stop.
constexpr int kQuietPollMs = 50;
// A frame is on the line for under 2 ms: a search that lasts longer reads
// something that is not a stream of frames, and is ended.
constexpr int64_t kLongestSearchNs = 100 * clock::kNsPerMs;
// No frame for this long is said as a fault, with what came instead.
constexpr int64_t kNoFramesNs = clock::kNsPerS;
// How long Stop gives on_status what is queued for it.
constexpr int64_t kDeliverNs = clock::kNsPerS;

enum class GripFault { None, OtherDevice, NoIdentity, NoFrames, LineHungUp, NotAnswering };

struct FaultNote {
    GripFault kind;
    char text[200];
};

// What a byte that opens no frame says about what is on the port.
const char* WhatAnswered(int code) {
    namespace H = Devices::HandleWire;
    namespace T = Devices::TalonWire;
    switch (code) {
        case T::kDeviceInfo: return "an arm's device information: is this an arm's port?";
        case T::kEndEffectorState: return "an arm's state: is this an arm's port?";
        case H::kHandleInfo: return "the grip's handle information: does it stream frames?";
        default: return "nothing a streaming grip sends";
    }
}

// A grip says who it is in its answer to the wake-up: the handle information.
Link::Identity IdentifyGrip(Devices::Device& device) {
    auto& handle = static_cast<Devices::Handle&>(device);
    handle.SendDeviceWakeup();
    uint16_t id = 0;
    Link::Identity identity;
    if (!Devices::ReadHandleInfoId(handle, id)) return identity;
    identity.bytes[0] = static_cast<uint8_t>(id & 0xFF);
    identity.bytes[1] = static_cast<uint8_t>(id >> 8);
    identity.size = 2;
    return identity;
}

// on_status on a thread of its own, given the samples in order. A slow
// callback never holds the reading up: when more than kQueued samples are
// waiting for it, the oldest are skipped (and counted).
class Callbacks {
public:
    explicit Callbacks(GripReader::OnStatus on_status) : state_(std::make_shared<State>()) {
        state_->on_status = std::move(on_status);
        thread_ = std::thread([state = state_] { Serve(*state); });
    }
    // From on_status itself too: the thread then ends by itself. A call
    // still running is not waited for, since it may block for good: the
    // thread ends when it returns, and lets go of on_status then.
    ~Callbacks() {
        bool calling = false;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->stop = true;
            calling = state_->calling;
        }
        state_->wake.notify_all();
        if (calling && thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) {
            thread_.detach();
            return;
        }
        JoinUnlessSelf(thread_);
    }
    Callbacks(const Callbacks&) = delete;
    Callbacks& operator=(const Callbacks&) = delete;

    // arrived_ns: when the frame reached the port, on the control clock.
    void Offer(const GripSample& sample, int64_t arrived_ns) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            State& s = *state_;
            s.queue[s.offered % kQueued] = {sample, arrived_ns};
            ++s.offered;
            if (s.offered - s.taken > kQueued) {
                s.skipped.fetch_add(s.offered - s.taken - kQueued, std::memory_order_relaxed);
                s.taken = s.offered - kQueued;
            }
        }
        state_->wake.notify_all();
    }
    uint64_t skipped() const { return state_->skipped.load(std::memory_order_relaxed); }

    // Waits until what was offered has been delivered, or until until_ns.
    // From drop_ns on, what is still queued is dropped (and counted as
    // skipped) and a call still running is not waited for. True once either
    // is done; at once from the callback itself.
    bool Drain(int64_t until_ns, int64_t drop_ns) {
        if (std::this_thread::get_id() == thread_.get_id()) return true;
        State& s = *state_;
        std::unique_lock<std::mutex> lock(s.mutex);
        const auto delivered = [&] { return s.offered == s.taken && !s.calling; };
        const int64_t wait_ns = std::min(until_ns, drop_ns) - clock::Now();
        if (wait_ns > 0) s.wake.wait_for(lock, std::chrono::nanoseconds(wait_ns), delivered);
        if (delivered()) return true;
        if (clock::Now() < drop_ns) return false;
        s.skipped.fetch_add(s.offered - s.taken, std::memory_order_relaxed);
        s.taken = s.offered;
        return true;
    }

private:
    static constexpr uint64_t kQueued = 4;
    struct Queued {
        GripSample sample;
        int64_t arrived_ns = 0;
    };
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        Queued queue[kQueued];
        uint64_t offered = 0;
        uint64_t taken = 0;
        bool calling = false;
        bool stop = false;
        std::atomic<uint64_t> skipped{0};
        GripReader::OnStatus on_status;
    };

    static void Serve(State& s) {
        std::unique_lock<std::mutex> lock(s.mutex);
        for (;;) {
            s.wake.wait(lock, [&] { return s.stop || s.offered != s.taken; });
            if (s.stop) return;
            const Queued next = s.queue[s.taken % kQueued];
            ++s.taken;
            s.calling = true;
            lock.unlock();
            s.on_status(next.sample, clock::ToSeconds(clock::Now() - next.arrived_ns));
            lock.lock();
            s.calling = false;
            s.wake.notify_all();  // a Drain may wait for this call
        }
    }

    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace

struct GripReader::Impl {
    Impl(Devices::Handle& grip, bool wake, OnStatus on_status, const Reconnection& reconnection)
        : handle(grip), wakeup(wake), link(grip, reconnection, &IdentifyGrip) {
        if (reconnection.enabled && !wakeup)
            throw std::invalid_argument("reconnect needs wakeup: the grip's whole device id comes from its answer");
        if (on_status) callbacks = std::make_unique<Callbacks>(std::move(on_status));
    }

    enum class Read { Quiet, Good, Bad, Gone };
    void Run();
    Read WaitForFrame(int poll_ms);
    void Deliver(GripSample sample);
    static bool EndWait(void* self);
    static void Report(void* self, Link::Outcome outcome);
    void Say(GripFault kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void ClearFault() { fault.StoreSingleWriter(FaultNote{GripFault::None, ""}); }
    void SayHungUp();
    void LookForFrames(int64_t now_ns, int64_t last_frame_ns);

    Devices::Handle& handle;
    const bool wakeup;
    Link link;
    std::unique_ptr<Callbacks> callbacks;
    std::mutex lifecycle;  // Start and Stop among themselves
    std::thread thread;
    std::unique_ptr<Lease> lease;
    std::atomic<bool> running{false};
    std::atomic<bool> stop{false};
    Published<FaultNote> fault{FaultNote{GripFault::None, ""}};
    std::atomic<int64_t> search_started_ns{0};  // 0: no frame search under way
    std::atomic<uint64_t> faults{0};
    std::atomic<int64_t> drop_ns{0};  // when a stop drops what on_status has not had; 0: not stopping
    // The reader's thread only.
    bool learning = false;
    int skipped = -1;  // the first byte that opened no frame, since the last frame

    Published<GripSample> latest;
    std::atomic<int64_t> started_ns{0};
    std::atomic<uint64_t> good{0};
    std::atomic<uint64_t> bad{0};
    std::atomic<int64_t> cpu_ns{0};
    std::atomic<int64_t> last_ns{0};
    std::atomic<uint64_t> log_lines{0};
};

void GripReader::Impl::Run() {
    Devices::WaitAbortScope abort(&EndWait, this);  // stop and a gone line end any frame wait
    const unsigned long long log_lines_before = LogLinesOfThisThread();
    learning = link.reconnects();
    if (learning) {
        if (link.Learn(stop, &Report, this) != Link::Outcome::Adopted) stop.store(true);
        learning = false;
    } else {
        link.set_connected(handle.stream->rdstate() == std::ios_base::goodbit);
        if (wakeup) handle.SendDeviceWakeup();
    }
    int64_t last_frame_ns = clock::Now();
    while (!stop.load(std::memory_order_acquire)) {
        const Read read = WaitForFrame(kQuietPollMs);
        const int64_t now = clock::Now();
        if (read == Read::Good) last_frame_ns = now;
        if (read == Read::Gone) {
            link.set_connected(false);
            SayHungUp();
        }
        const bool gone = link.reconnects() && (read == Read::Gone || now - last_frame_ns >= link.after_ns());
        if (!gone) LookForFrames(now, last_frame_ns);
        if (gone) {
            if (read != Read::Gone)
                Say(GripFault::NotAnswering, "no frames for %.1f s (reconnect_after_s=%g): the reader waits for the "
                    "same grip and reads it again once it answers (reconnect)",
                    clock::ToSeconds(now - last_frame_ns), clock::ToSeconds(link.after_ns()));
            if (link.Reattach(stop, &Report, this) != Link::Outcome::Adopted) break;
            last_frame_ns = clock::Now();
        } else if (read == Read::Gone) {
            clock::Pause(kQuietPollMs * clock::kNsPerMs, stop);  // nothing to read from
        }
        last_ns.store(clock::Now(), std::memory_order_relaxed);
        cpu_ns.store(clock::ThreadCpu(), std::memory_order_relaxed);
        log_lines.store(LogLinesOfThisThread() - log_lines_before, std::memory_order_relaxed);
    }
    lease.reset();  // the grip is given back
    running.store(false, std::memory_order_release);
}

// Sleeps in the kernel until a frame's first bytes are there, then for the
// bytes still on the line, then reads it, and any others that queued up.
GripReader::Impl::Read GripReader::Impl::WaitForFrame(int poll_ms) {
    IO::SerialStream& stream = *handle.stream;
    if (stream.rdstate() != std::ios_base::goodbit) return Read::Gone;
    switch (stream.WaitReadable(poll_ms)) {
        case IO::SerialStream::LineWait::TimedOut: return Read::Quiet;
        case IO::SerialStream::LineWait::HungUp: return Read::Gone;
        case IO::SerialStream::LineWait::Readable:
        case IO::SerialStream::LineWait::NoLine: break;
    }
    const int waiting = stream.Available();
    if (waiting < kFrameBytes) clock::SleepFor((kFrameBytes - waiting) * kByteNs);
    Read read = Read::Quiet;
    do {
        GripSample sample;
        search_started_ns.store(clock::Now(), std::memory_order_release);
        const Devices::FrameRead frame = Devices::ReadCompactFrame(handle, sample.status, &skipped);
        search_started_ns.store(0, std::memory_order_release);
        if (Devices::WaitAbortScope* scope = Devices::WaitAbortScope::Current()) scope->Rearm();
        switch (frame) {
            case Devices::FrameRead::Frame:
                Deliver(sample);
                read = Read::Good;
                break;
            case Devices::FrameRead::BadFrame:
                bad.fetch_add(1, std::memory_order_relaxed);
                if (read != Read::Good) read = Read::Bad;
                break;
            case Devices::FrameRead::NoFrame: return link.Lost() ? Read::Gone : read;
        }
    } while (stream.Available() >= kFrameBytes && !stop.load(std::memory_order_acquire));
    return read;
}

// Stored before it is counted: whoever sees the count sees the frame.
void GripReader::Impl::Deliver(GripSample sample) {
    // The bytes that came after the frame put a lower bound on its age.
    const int64_t arrived_ns = clock::Now() - handle.stream->Available() * kByteNs;
    sample.t = clock::ToSeconds(arrived_ns - started_ns.load(std::memory_order_relaxed));
    sample.valid = true;
    latest.StoreSingleWriter(sample);
    good.fetch_add(1, std::memory_order_release);
    if (callbacks) callbacks->Offer(sample, arrived_ns);
}

// The reader's way out of a wait: a stop, a gone line, a passed identify
// deadline, or a frame search that reads no frames.
bool GripReader::Impl::EndWait(void* self) {
    auto& reader = *static_cast<Impl*>(self);
    const int64_t search = reader.search_started_ns.load(std::memory_order_acquire);
    return reader.link.EndWait(reader.stop) || (search != 0 && clock::Now() - search > kLongestSearchNs);
}

void GripReader::Impl::Report(void* self, Link::Outcome outcome) {
    auto& reader = *static_cast<Impl*>(self);
    if (outcome == Link::Outcome::Adopted) reader.ClearFault();  // the same grip again, or the first one
    if (outcome == Link::Outcome::Other) reader.Say(GripFault::OtherDevice, "another grip is on the port: not adopted");
    if (outcome == Link::Outcome::Taken) {
        const char* other = reader.link.TakenBy();
        reader.Say(GripFault::OtherDevice, "the port is driven by a %s of this program: not adopted; the reader waits "
                   "for its own grip (reconnect) once that one stops", other != nullptr ? other : "loop or reader");
    }
    if (outcome == Link::Outcome::Silent && reader.learning)
        reader.Say(GripFault::NoIdentity,
                   "the grip has not said who it is (its device id, in answer to the wake-up): not read, since "
                   "reconnect needs it; is a grip on this port?");
}

void GripReader::Impl::Say(GripFault kind, const char* format, ...) {
    FaultNote note{kind, ""};
    va_list values;
    va_start(values, format);
    std::vsnprintf(note.text, sizeof note.text, format, values);
    va_end(values);
    if (fault.Load().kind != kind) faults.fetch_add(1, std::memory_order_relaxed);
    fault.StoreSingleWriter(note);
}

// Once per hang-up: the line stays gone until the grip is back.
void GripReader::Impl::SayHungUp() {
    if (fault.Load().kind == GripFault::LineHungUp) return;
    if (link.reconnects()) {
        Say(GripFault::LineHungUp, "the grip's line hung up: unplugged or switched off; the reader waits for the same "
            "grip and reads it again once it is back (reconnect)");
    } else {
        Say(GripFault::LineHungUp, "the grip's line hung up: unplugged or switched off; plug it in and start the "
            "reader again, or let reconnect=True wait for it");
    }
}

// No frame for a second is said, with what came instead; the next frame ends it.
void GripReader::Impl::LookForFrames(int64_t now_ns, int64_t last_frame_ns) {
    const GripFault current = fault.Load().kind;
    if (now_ns - last_frame_ns < kNoFramesNs) {
        if (current == GripFault::NoFrames) ClearFault();
        if (now_ns == last_frame_ns) skipped = -1;
        return;
    }
    if (current != GripFault::None || learning) return;
    if (skipped < 0) {
        Say(GripFault::NoFrames, "no frames for %.1f s, and nothing else came: is the grip on and streaming (wakeup "
            "wakes it)?", clock::ToSeconds(now_ns - last_frame_ns));
    } else {
        Say(GripFault::NoFrames, "no frames for %.1f s: what came began with 0x%02X, %s",
            clock::ToSeconds(now_ns - last_frame_ns), skipped, WhatAnswered(skipped));
    }
}

// --- the owner's side -------------------------------------------------------------------

GripReader::GripReader(Devices::Handle& handle, bool wakeup, OnStatus on_status, Reconnection reconnection)
    : impl_(std::make_shared<Impl>(handle, wakeup, std::move(on_status), reconnection)) {}

GripReader::~GripReader() { Stop(); }

void GripReader::Start() {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.lifecycle);
    if (s.running.load(std::memory_order_acquire)) return;
    if (s.thread.joinable()) s.thread.join();
    s.lease = std::make_unique<Lease>(s.handle, "GripReader", s.link.reconnect_path());
    s.drop_ns.store(0, std::memory_order_release);
    s.stop.store(false, std::memory_order_release);
    s.started_ns.store(clock::Now(), std::memory_order_release);
    s.running.store(true, std::memory_order_release);
    s.thread = std::thread([keep = impl_] { keep->Run(); });
}

void GripReader::Stop() {
    while (!StopFor(1.0)) {
    }
}

// Once it is done every frame read has been delivered, or dropped a second
// after the first slice; no callback runs then but the one calling it and,
// after a drop, one still running. The wait for the callback comes after the
// lifecycle lock is let go: the callback may itself call Stop.
bool GripReader::StopFor(double wait_s) {
    Impl& s = *impl_;
    s.stop.store(true, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(s.lifecycle);
        if (s.thread.joinable()) s.thread.join();
    }
    const int64_t now = clock::Now();
    int64_t drop = 0;
    s.drop_ns.compare_exchange_strong(drop, now + kDeliverNs, std::memory_order_acq_rel);
    if (!s.callbacks) return true;
    return s.callbacks->Drain(now + clock::FromSeconds(wait_s), s.drop_ns.load(std::memory_order_acquire));
}

bool GripReader::running() const { return impl_->running.load(std::memory_order_acquire); }

GripSample GripReader::latest() const { return impl_->latest.Load(); }

double GripReader::now() const {
    return clock::ToSeconds(clock::Now() - impl_->started_ns.load(std::memory_order_acquire));
}

bool GripReader::connected() const { return impl_->link.connected(); }

std::string GripReader::fault() const { return impl_->fault.Load().text; }

GripStats GripReader::stats() const {
    const Impl& s = *impl_;
    GripStats out;
    out.frames_good = s.good.load(std::memory_order_relaxed);
    out.frames_bad = s.bad.load(std::memory_order_relaxed);
    const double seconds = clock::ToSeconds(s.last_ns.load(std::memory_order_relaxed) -
                                            s.started_ns.load(std::memory_order_relaxed));
    if (seconds > 0) {
        out.rate_hz = static_cast<double>(out.frames_good) / seconds;
        out.cpu_percent = clock::ToSeconds(s.cpu_ns.load(std::memory_order_relaxed)) / seconds * 100.0;
    }
    out.reconnects = s.link.reconnections();
    out.faults = s.faults.load(std::memory_order_relaxed);
    out.device_log_lines = s.log_lines.load(std::memory_order_relaxed);
    out.callbacks_skipped = s.callbacks ? s.callbacks->skipped() : 0;
    return out;
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
