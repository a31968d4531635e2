#include "Vantor/HardwareAPI/UUID.h"

namespace Vantor {
namespace HardwareAPI {

std::array<uint8_t, 16> UUID::bytes() const {
    std::array<uint8_t, 16> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = data[i];
    return out;
}

std::string UUID::hex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (std::size_t i = 0; i < 16; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace HardwareAPI
}  // namespace Vantor
