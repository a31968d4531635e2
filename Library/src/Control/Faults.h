// The servo loop's faults: the one in force, what it says (with the figures
// that caused it and what to change or call), and how many of each kind
// there were. Latched from the loop's thread and from its watchdog, read by
// anyone; no lock, no allocation.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "Published.h"
#include "Vantor/HardwareAPI/Control/ServoLoop.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class Faults {
public:
    // Each writer has a note of its own, so neither waits for the other.
    enum Writer { kLoop = 0, kWatchdog = 1 };

    Fault Get() const { return static_cast<Fault>(fault_.load(std::memory_order_acquire)); }
    uint64_t count() const { return count_.load(std::memory_order_relaxed); }
    std::array<uint64_t, kFaultKinds> counts() const;
    // The fault in force, in words; "" for none.
    std::string Text() const;
    // The last fault latched: its kind, time (s since the loop started) and words.
    FaultReport Last() const;

    // Sets fault when none stands, or when it is a fault of the motion and
    // the one standing is not; text is printf's format and its values.
    void Latch(Writer writer, Fault fault, double t, const char* format, ...) __attribute__((format(printf, 5, 6)));
    // In place of any passing fault: what the link found out (another arm, no
    // identity, a hang-up) says more than the failed exchanges before it.
    void Say(Writer writer, Fault fault, double t, const char* format, ...) __attribute__((format(printf, 5, 6)));
    // Ends fault if it is the one in force; true when it was.
    bool End(Fault fault);
    // Ends whatever is in force unless it is a fault of the motion.
    void EndPassing();
    void RequestClear() { clear_requested_.store(true, std::memory_order_release); }
    bool TakeClear() { return clear_requested_.exchange(false, std::memory_order_acq_rel); }
    void Reset() { fault_.store(0, std::memory_order_release); }

    // A fault of the motion, the reading or the effect: the effector may be
    // somewhere unsafe, so it stays until cleared.
    static bool OfTheMotion(Fault fault);

private:
    struct Note {
        Fault kind;
        uint64_t order;  // which note is the newer
        double t;
        char text[240];
    };
    bool Set(Writer writer, Fault fault, int over, double t, const char* format, va_list values);

    std::atomic<int> fault_{0};
    std::atomic<bool> clear_requested_{false};
    std::atomic<uint64_t> count_{0};
    std::array<std::atomic<uint64_t>, kFaultKinds> by_kind_{};
    Published<Note> notes_[2];
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
