// The energy the hand has put into the passive part of an effect, observed
// from the arm's positions, and the damping that takes back energy the
// sampled loop made. State of the loop's thread only: plain arithmetic, no
// allocation, lock or system call.
//
// A force the loop sends is held by the arm from that exchange to the next,
// and the arm's reply gives where it was when the force began: so the
// motion between two replies is paired with the force sent at the first of
// them. Position based, the figure needs no velocity estimate to be right.
#pragma once

#include <cstdint>

#include "Vantor/HardwareAPI/Control/Effects.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class Passivity {
public:
    // control: whether the damping is added; max_damping in N s/m; period in s.
    Passivity(bool control, double max_damping, double period_s);

    // Energy from 0, for a new effect: the force held now is the old one's,
    // so it is not counted.
    void Restart();
    // As Restart, and the next position starts the count: a new schedule.
    void Forget();

    // The arm's position at the exchange that just sent the last Command:
    // adds the work the hand did against the passive force held since the
    // exchange before. A position that is not finite is skipped, and the
    // count starts again at the next one.
    void Observe(const Vector3d& position);
    // The damping force to add to the passive part this cycle: -a v, with a
    // the damping that gives the deficit back within a period, at most
    // max_damping; zero while the energy is 0 or more, when off, or at rest.
    Vector3d Damping(const Vector3d& velocity);
    // The passive part of the force the next exchange sends, as the arm will
    // hold it (after the clamp and the ramp), and the damping within it.
    void Command(const Vector3d& passive, const Vector3d& damping);

    double energy() const { return energy_; }  // J
    uint64_t cycles() const { return cycles_; }  // cycles the damping was added in
    double energy_removed() const { return removed_; }  // J, taken out by the damping
    double max_damping_used() const { return max_used_; }  // N s/m

private:
    const bool control_;
    const double max_damping_;
    const double period_s_;
    double energy_ = 0;
    Vector3d last_{0, 0, 0};  // the last position observed
    bool primed_ = false;     // whether last_ is one
    Vector3d held_{0, 0, 0};  // passive force held since last_
    Vector3d held_damping_{0, 0, 0};
    Vector3d next_{0, 0, 0};  // passive force of the next exchange
    Vector3d next_damping_{0, 0, 0};
    uint64_t cycles_ = 0;
    double removed_ = 0;
    double max_used_ = 0;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
