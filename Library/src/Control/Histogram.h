// Latencies counted into fixed bins by one thread and read as percentiles by
// any: no allocation, no lock.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "Vantor/HardwareAPI/Control/ServoLoop.h"

namespace Vantor {
namespace HardwareAPI {
namespace Control {

class Histogram {
public:
    void Add(int64_t ns) {
        if (ns < 0) ns = 0;
        std::size_t bin;
        if (ns < 1000000) {
            bin = static_cast<std::size_t>(ns / 500);
        } else {
            bin = kFine + static_cast<std::size_t>((ns - 1000000) / 100000);
            if (bin > kFine + kCoarse) bin = kFine + kCoarse;
        }
        bins_[bin].fetch_add(1, std::memory_order_relaxed);
        if (static_cast<uint64_t>(ns) > max_ns_.load(std::memory_order_relaxed))
            max_ns_.store(static_cast<uint64_t>(ns), std::memory_order_relaxed);  // one writer
    }

    Percentiles Read() const {
        uint64_t total = 0;
        for (const auto& b : bins_) total += b.load(std::memory_order_relaxed);
        Percentiles result;
        result.max = static_cast<double>(max_ns_.load(std::memory_order_relaxed)) / 1000.0;
        if (total == 0) return result;
        // The upper edge of the bin holding the rank, never above the maximum.
        auto at = [&](double fraction) {
            const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(fraction * total)));
            uint64_t seen = 0;
            for (std::size_t i = 0; i < bins_.size(); ++i) {
                seen += bins_[i].load(std::memory_order_relaxed);
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

private:
    static constexpr std::size_t kFine = 2000;    // 0.5 µs bins up to 1 ms
    static constexpr std::size_t kCoarse = 1000;  // 100 µs bins up to 101 ms
    std::array<std::atomic<uint32_t>, kFine + kCoarse + 1> bins_{};
    std::atomic<uint64_t> max_ns_{0};
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
