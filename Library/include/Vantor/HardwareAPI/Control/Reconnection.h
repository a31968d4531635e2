// What a servo loop or grip reader does when its device goes away.
#pragma once

#include <string>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct Reconnection {
    bool enabled = false;
    // The device counts as gone once its line has hung up, or once it has
    // not answered for this long (s, 0.05 to 3600).
    double after_s = 1.0;
    // Opened again, looked up afresh each try, so a link that now leads to
    // another terminal (a device plugged in again) is followed. Empty: the
    // path the device's stream was opened on, copied when the loop or
    // reader is built.
    std::string port_path;

    // Throws SettingError (a std::invalid_argument) for an after_s out of its range.
    void Validate() const;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
