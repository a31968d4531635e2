#include "Vantor/HardwareAPI/Control/AsyncEffect.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "Clock.h"
#include "Published.h"
#include "Threads.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

// Inputs this far apart start a new run (a loop started, or the effect set
// again): the thread is then given time for its first answer.
constexpr int64_t kNewRunNs = 100 * clock::kNsPerMs;
constexpr int64_t kFirstAnswerNs = 100 * clock::kNsPerMs;
// 4 ms gave a stall every few seconds with builds running beside the loop
// on two cores; 8 ms none.
constexpr int64_t kDefaultPeriods = 8;
constexpr int64_t kShortestDefaultAgeNs = 8 * clock::kNsPerMs;
// While no input comes, the thread looks again this often.
constexpr int64_t kIdleNapNs = 10 * clock::kNsPerMs;

struct Input {
    EffectInput input;
    int64_t offered_ns;
    uint64_t seq;  // 0: none yet
};

struct Output {
    Vector3d force;
    int64_t answered_ns;  // when the input it answers was offered
    uint64_t seq;
};

}  // namespace

struct AsyncEffect::Impl {
    Impl(Compute fn, std::optional<double> age_s) : compute(std::move(fn)), max_age_s(age_s) {}

    void Serve();

    const Compute compute;
    const std::optional<double> max_age_s;
    Published<Input> input{Input{EffectInput{}, 0, 0}};
    Published<Output> output{Output{{0, 0, 0}, 0, 0}};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> computed{0};
    std::thread thread;

    // The loop's thread only.
    uint64_t offered = 0;
    int64_t last_offer_ns = 0;
    int64_t run_start_ns = 0;
    std::atomic<double> staleness{0.0};
    std::atomic<double> delay_s{0.0};
};

void AsyncEffect::Impl::Serve() {
    uint64_t done = 0;
    int64_t last_new_ns = 0;
    while (!stop.load(std::memory_order_acquire)) {
        const Input in = input.LoadForCycle();
        const int64_t now = clock::Now();
        const int64_t period_ns = std::max<int64_t>(clock::FromSeconds(in.input.period), clock::kNsPerUs);
        if (in.seq == done) {
            // Nothing new: look again soon while inputs come, seldom when none have for a while.
            clock::SleepFor(now - last_new_ns < kNewRunNs ? std::clamp<int64_t>(period_ns / 8, 20 * clock::kNsPerUs,
                                                                                clock::kNsPerMs)
                                                          : kIdleNapNs);
            continue;
        }
        last_new_ns = now;
        const Vector3d force = compute(in.input);
        output.StoreSingleWriter({force, in.offered_ns, in.seq});
        done = in.seq;
        computed.fetch_add(1, std::memory_order_relaxed);
        // The next input is due a period after this one.
        const int64_t due = in.offered_ns + period_ns;
        if (clock::Now() < due) clock::SleepUntil(due);
    }
}

namespace {

// The shortest text that reads back as value: the figure the caller gave.
std::string Exactly(double value) {
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

}  // namespace

AsyncEffect::AsyncEffect(Compute compute, std::optional<double> max_age_s) {
    if (!compute) throw std::invalid_argument("an AsyncEffect needs a function to compute its force");
    if (max_age_s && !(std::isfinite(*max_age_s) && *max_age_s >= 0.0005 && *max_age_s <= 1.0))
        throw std::invalid_argument("max_age_s must be between 0.0005 and 1 s, or none for 8 periods of the loop; got " +
                                    Exactly(*max_age_s));
    impl_ = std::make_shared<Impl>(std::move(compute), max_age_s);
    impl_->thread = std::thread([keep = impl_] { keep->Serve(); });
}

AsyncEffect::~AsyncEffect() { Stop(); }

void AsyncEffect::Stop() {
    impl_->stop.store(true, std::memory_order_release);
    JoinUnlessSelf(impl_->thread);
}

void AsyncEffect::StopWithoutWaiting() {
    impl_->stop.store(true, std::memory_order_release);
    if (impl_->thread.joinable()) impl_->thread.detach();  // it keeps its own share of the state
}

Vector3d AsyncEffect::Force(const EffectInput& in) {
    Impl& s = *impl_;
    const int64_t now = clock::Now();
    if (now - s.last_offer_ns > kNewRunNs) s.run_start_ns = now;
    s.last_offer_ns = now;
    s.input.StoreSingleWriter({in, now, ++s.offered});

    const Output out = s.output.LoadForCycle();
    const int64_t max_age_ns = s.max_age_s ? clock::FromSeconds(*s.max_age_s)
                                               : std::max(kDefaultPeriods * clock::FromSeconds(in.period), kShortestDefaultAgeNs);
    const bool this_run = out.seq != 0 && out.answered_ns >= s.run_start_ns;
    if (this_run && now - out.answered_ns <= max_age_ns) {
        s.staleness.store(0.0, std::memory_order_relaxed);
        const double age = clock::ToSeconds(now - out.answered_ns);
        s.delay_s.store(s.delay_s.load(std::memory_order_relaxed) * 0.999 + age * 0.001, std::memory_order_relaxed);
        return out.force;
    }
    if (!this_run && now - s.run_start_ns <= kFirstAnswerNs) {
        s.staleness.store(0.0, std::memory_order_relaxed);
        return {0, 0, 0};  // the first answer of a run is still on its way
    }
    s.staleness.store(clock::ToSeconds(now - (this_run ? out.answered_ns : s.run_start_ns)), std::memory_order_relaxed);
    const double none = std::numeric_limits<double>::quiet_NaN();
    return {none, none, none};
}

double AsyncEffect::Staleness() const { return impl_->staleness.load(std::memory_order_relaxed); }

std::optional<double> AsyncEffect::max_age_s() const { return impl_->max_age_s; }

uint64_t AsyncEffect::computed() const { return impl_->computed.load(std::memory_order_relaxed); }

double AsyncEffect::delay_s() const { return impl_->delay_s.load(std::memory_order_relaxed); }

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
