// A value one thread replaces while others read it: a reader gets the old
// value or the new one, never half of each, without a lock and without
// waiting on the writer. Writers are serialised among themselves.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <type_traits>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

template <typename T>
class Published {
    static_assert(std::is_trivially_copyable<T>::value, "copied as bytes");

public:
    explicit Published(const T& initial = T()) : cycle_copy_(initial) { StoreSingleWriter(initial); }

    void Store(const T& value) {
        std::lock_guard<std::mutex> lock(writers_);
        StoreSingleWriter(value);
    }

    // For a value that only one thread ever writes: no lock.
    void StoreSingleWriter(const T& value) {
        uint64_t words[kWords] = {};
        std::memcpy(words, &value, sizeof(T));
        seq_.fetch_add(1, std::memory_order_acq_rel);  // odd: a write is under way
        for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_relaxed);
        seq_.fetch_add(1, std::memory_order_release);  // even again: complete
    }

    // The latest complete value, for any thread: waits out a write under way
    // (a few stores; a writer that lost its core is given the core back).
    T Load() const {
        T value;
        for (int tries = 0; !TryLoad(value); ++tries) {
            if (tries > 64) std::this_thread::yield();
        }
        return value;
    }

    // Never waits: while a write is under way it gives the value this same
    // caller got last time, which is just as whole. For one thread only (the
    // loop's), since that last value is kept here.
    T LoadForCycle() const {
        TryLoad(cycle_copy_);
        return cycle_copy_;
    }

private:
    static constexpr std::size_t kWords = (sizeof(T) + 7) / 8;

    bool TryLoad(T& out) const {
        const uint32_t before = seq_.load(std::memory_order_acquire);
        if (before & 1u) return false;
        uint64_t words[kWords];
        for (std::size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (seq_.load(std::memory_order_relaxed) != before) return false;
        std::memcpy(&out, words, sizeof(T));
        return true;
    }

    std::atomic<uint32_t> seq_{0};
    std::array<std::atomic<uint64_t>, kWords> words_{};
    mutable T cycle_copy_;
    std::mutex writers_;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
