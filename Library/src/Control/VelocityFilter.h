// The velocity the effects see: the arm's reading through a second-order
// low-pass (Butterworth, by the bilinear transform, its cut-off prewarped so
// it is exactly -3 dB) at the loop's nominal period. A damping force on the
// raw reading buzzes with the reading's noise. State of the loop's thread
// only: plain arithmetic, no allocation, lock or system call.
#pragma once

#include <cmath>

#include "Vantor/HardwareAPI/Control/Effects.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class VelocityFilter {
public:
    // cutoff_hz: 0 or less for none (the reading passes as it is); else
    // above 0 and below half of 1 / period_s.
    VelocityFilter(double cutoff_hz, double period_s) : on_(cutoff_hz > 0) {
        if (!on_) return;
        const double pi = std::acos(-1.0);
        const double k = std::tan(pi * cutoff_hz * period_s);
        const double norm = 1.0 / (1.0 + std::sqrt(2.0) * k + k * k);
        b0_ = k * k * norm;
        a1_ = 2.0 * (k * k - 1.0) * norm;
        a2_ = (1.0 - std::sqrt(2.0) * k + k * k) * norm;
    }

    // The next reading starts the filter, at rest at that reading: a new
    // schedule gives no jump.
    void Reset() { primed_ = false; }

    // The filtered velocity for this reading. A reading that is not finite
    // passes as it is (the loop faults on it) and the next one starts again.
    Vector3d Step(const Vector3d& v) {
        if (!on_) return v;
        if (!(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]))) {
            primed_ = false;
            return v;
        }
        if (!primed_) {
            for (int i = 0; i < 3; ++i) x1_[i] = x2_[i] = y1_[i] = y2_[i] = v[i];
            primed_ = true;
            return v;
        }
        Vector3d y;
        for (int i = 0; i < 3; ++i) {
            // b1 = 2 b0, b2 = b0
            y[i] = b0_ * (v[i] + 2.0 * x1_[i] + x2_[i]) - a1_ * y1_[i] - a2_ * y2_[i];
            x2_[i] = x1_[i];
            x1_[i] = v[i];
            y2_[i] = y1_[i];
            y1_[i] = y[i];
        }
        return y;
    }

private:
    const bool on_;
    double b0_ = 1, a1_ = 0, a2_ = 0;
    bool primed_ = false;
    Vector3d x1_{}, x2_{}, y1_{}, y2_{};
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
