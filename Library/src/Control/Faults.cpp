#include "Faults.h"

#include <cstdarg>
#include <cstdio>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

namespace {

// 2: of the motion, 1: passing, 0: none.
int Rank(Fault fault) {
    if (fault == Fault::None) return 0;
    return Faults::OfTheMotion(fault) ? 2 : 1;
}

}  // namespace

bool Faults::OfTheMotion(Fault fault) {
    switch (fault) {
        case Fault::VelocityLimit:
        case Fault::OutsideWorkspace:
        case Fault::EffectFailed:
        case Fault::BadReading: return true;
        default: return false;
    }
}

void Faults::Latch(Writer writer, Fault fault, double t, const char* format, ...) {
    va_list values;
    va_start(values, format);
    Set(writer, fault, Rank(fault), t, format, values);
    va_end(values);
}

void Faults::Say(Writer writer, Fault fault, double t, const char* format, ...) {
    va_list values;
    va_start(values, format);
    Set(writer, fault, 2, t, format, values);
    va_end(values);
}

// Replaces a standing fault whose rank is below `over`; the note is written
// before the fault is set, so whoever sees the fault finds its words.
bool Faults::Set(Writer writer, Fault fault, int over, double t, const char* format, va_list values) {
    int current = fault_.load(std::memory_order_acquire);
    if (current == static_cast<int>(fault) || Rank(static_cast<Fault>(current)) >= over) return false;
    Note note{};
    note.kind = fault;
    note.order = count_.load(std::memory_order_relaxed) + 1;
    note.t = t;
    std::vsnprintf(note.text, sizeof note.text, format, values);
    notes_[writer].StoreSingleWriter(note);
    while (current != static_cast<int>(fault) && Rank(static_cast<Fault>(current)) < over) {
        if (fault_.compare_exchange_weak(current, static_cast<int>(fault), std::memory_order_acq_rel)) {
            count_.fetch_add(1, std::memory_order_relaxed);
            by_kind_[static_cast<std::size_t>(fault)].fetch_add(1, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

bool Faults::End(Fault fault) {
    int expected = static_cast<int>(fault);
    return fault_.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

void Faults::EndPassing() {
    int current = fault_.load(std::memory_order_acquire);
    if (Rank(static_cast<Fault>(current)) == 1) fault_.compare_exchange_strong(current, 0, std::memory_order_acq_rel);
}

std::array<uint64_t, kFaultKinds> Faults::counts() const {
    std::array<uint64_t, kFaultKinds> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = by_kind_[i].load(std::memory_order_relaxed);
    return out;
}

FaultReport Faults::Last() const {
    const Note a = notes_[0].Load();
    const Note b = notes_[1].Load();
    const Note& last = a.order >= b.order ? a : b;
    if (last.order == 0) return {};
    return {last.kind, last.t, last.text};
}

std::string Faults::Text() const {
    const Fault current = Get();
    if (current == Fault::None) return "";
    const Note a = notes_[0].Load();
    const Note b = notes_[1].Load();
    const Note* found = nullptr;
    for (const Note* note : {&a, &b}) {
        if (note->kind == current && (found == nullptr || note->order > found->order)) found = note;
    }
    return found != nullptr ? found->text : FaultText(current);
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
