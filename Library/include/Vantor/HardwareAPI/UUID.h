// The 16-byte extended identifier a device reports about itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace Vantor {
namespace HardwareAPI {

struct UUID {
    // Wire order: data[0] is the first identifier byte received.
    uint8_t data[16] = {};

    std::array<uint8_t, 16> bytes() const;
    // 32 lower-case hexadecimal digits, two per byte, no separators.
    std::string hex() const;
};

static_assert(sizeof(UUID) == 16, "an identifier is copied straight from a payload");
static_assert(alignof(UUID) == 1, "an identifier can start at any payload offset");

}  // namespace HardwareAPI
}  // namespace Vantor
