// A setting refused: which one, what it must be, and the value given.
#pragma once

#include <stdexcept>
#include <string>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

// what() is "<setting> <requirement>, got <given>". A binding that converted
// the value from its caller's language quotes it as the caller wrote it,
// from setting() and requirement().
class SettingError : public std::invalid_argument {
public:
    SettingError(const std::string& setting, const std::string& requirement, const std::string& given);

    const std::string& setting() const noexcept { return setting_; }
    const std::string& requirement() const noexcept { return requirement_; }

private:
    std::string setting_;
    std::string requirement_;
};

// The shortest text that reads back as the same double: 0.999999999, not 1.
std::string SettingText(double value);

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
