// An effect computed on a thread of its own, for computations too slow or
// too irregular for the loop's thread: a Python function, a physics engine.
// The loop hands it each cycle's input and uses the latest force it has
// computed while that force is fresh; a force that has grown too old gives
// zero force and a stall fault, which ends once fresh forces come again.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Vantor/HardwareAPI/Control/Effects.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class AsyncEffect : public Effect {
public:
    // Runs on the effect's own thread, once per new input, at the rate it can
    // hold. A force that is not finite says it failed (a latched fault).
    using Compute = std::function<Vector3d(const EffectInput& input)>;

    // max_age_s: how old the input a force answered may be when the loop
    // uses it (s, 0.0005 to 1); none: 8 periods of the loop, at least 8 ms.
    // Throws std::invalid_argument for a bad setting.
    explicit AsyncEffect(Compute compute, std::optional<double> max_age_s = std::nullopt);
    // Stops the thread and waits for it.
    ~AsyncEffect() override;
    AsyncEffect(const AsyncEffect&) = delete;
    AsyncEffect& operator=(const AsyncEffect&) = delete;

    // Ends the thread for good; the effect then gives no force. On that
    // thread itself (compute dropped the last reference to the effect) the
    // thread is left to end by itself. For a subclass whose compute needs a
    // lock that its destructor's caller may hold: release it, then Stop.
    void Stop();

    Vector3d Force(const EffectInput& input) override;
    double Staleness() const override;
    // Its input has one writer: one running loop renders it at a time.
    bool KeepsLoopState() const override { return true; }
    std::string Name() const override { return "an AsyncEffect"; }
    std::optional<double> max_age_s() const;
    // Forces computed so far.
    uint64_t computed() const;
    // How old, on average, the forces the loop used were: the delay this
    // effect adds, in s (averaged over about the last thousand).
    double delay_s() const;

protected:
    // For a subclass whose compute may block for long: the thread is told to
    // end, and does once compute returns; nothing waits for it. Whatever
    // compute uses must then be kept alive by compute itself.
    void StopWithoutWaiting();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
