#include "Vantor/HardwareAPI/Control/SettingError.h"

#include <charconv>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

SettingError::SettingError(const std::string& setting, const std::string& requirement, const std::string& given)
    : std::invalid_argument(setting + " " + requirement + ", got " + given), setting_(setting), requirement_(requirement) {}

std::string SettingText(double value) {
    char text[32];
    // The shortest form that reads back, in no locale's notation.
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end.ptr);
}

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
