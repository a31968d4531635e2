// Hands an object to a loop's thread and takes it back: an effect, a
// recording, later a mesh or a coupling. Owners (any thread, the loop's own
// included) never wait for the loop; the loop's side never waits at all.
//
// The loop marks the object it is using for the length of a cycle; an
// object that has been replaced is freed by the next owner call that finds
// it unmarked, outside any lock, so freeing it may itself take other locks
// (an effect that holds a Python function takes the interpreter's).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

template <typename T>
class Handoff {
    struct Entry;

public:
    // Entries let go of; freeing them frees their objects and holds.
    using Freed = std::vector<std::unique_ptr<Entry>>;

    Handoff() = default;
    ~Handoff() { Collect(); }
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;

    // --- owners -------------------------------------------------------------------
    std::shared_ptr<T> Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return current_ ? current_->object : nullptr;
    }

    // Takes effect at the loop's next Acquire; returns at once.
    void Set(std::shared_ptr<T> object) { Freed freed = Replace(std::move(object), nullptr); }

    // As Set, with hold kept beside object until the loop has let go of it.
    // What it frees is the caller's to drop, outside the caller's own locks.
    [[nodiscard]] Freed Replace(std::shared_ptr<T> object, std::shared_ptr<void> hold) {
        auto entry = std::make_unique<Entry>(Entry{std::move(object), std::move(hold), 0});
        Freed freed;
        std::lock_guard<std::mutex> lock(mutex_);
        entry->generation = ++generation_;
        published_.store(entry.get(), std::memory_order_seq_cst);
        if (current_) retired_.push_back(std::move(current_));
        current_ = std::move(entry);
        TakeUnused(freed);
        return freed;
    }

    // A new hold for the current object; the old one is given back.
    void Hold(std::shared_ptr<void> hold) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_) current_->hold.swap(hold);
    }

    // Frees what the loop no longer uses; a stopped loop uses nothing.
    void Collect() {
        Freed freed;
        std::lock_guard<std::mutex> lock(mutex_);
        TakeUnused(freed);
    }

    // Whether a replaced object is still the loop's, this cycle.
    bool Retiring() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return !retired_.empty();
    }

    // --- the loop's thread --------------------------------------------------------
    struct View {
        T* object;
        uint64_t generation;  // changes with every Set, never repeats
    };

    // The object for this cycle, valid until Release. A Set that lands while
    // it is being marked gives this cycle nothing rather than wait.
    View Acquire() {
        Entry* entry = published_.load(std::memory_order_seq_cst);
        in_use_.store(entry, std::memory_order_seq_cst);
        if (published_.load(std::memory_order_seq_cst) != entry || entry == nullptr) {
            in_use_.store(nullptr, std::memory_order_seq_cst);
            return {nullptr, entry == nullptr ? 0 : UINT64_MAX};
        }
        return {entry->object.get(), entry->generation};
    }

    void Release() { in_use_.store(nullptr, std::memory_order_seq_cst); }

private:
    struct Entry {
        std::shared_ptr<T> object;
        std::shared_ptr<void> hold;
        uint64_t generation;
    };

    // Moves out every retired entry the loop is not using; the caller frees
    // them once the lock is released (declared before the lock guard).
    void TakeUnused(Freed& freed) {
        const Entry* used = in_use_.load(std::memory_order_seq_cst);
        for (auto it = retired_.begin(); it != retired_.end();) {
            if (it->get() == used) {
                ++it;
            } else {
                freed.push_back(std::move(*it));
                it = retired_.erase(it);
            }
        }
    }

    mutable std::mutex mutex_;  // owners among themselves; never held while waiting
    std::unique_ptr<Entry> current_;
    std::vector<std::unique_ptr<Entry>> retired_;
    uint64_t generation_ = 0;
    std::atomic<Entry*> published_{nullptr};
    std::atomic<Entry*> in_use_{nullptr};
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
