// What a servo loop or grip reader does when its device goes away.
#pragma once

#include <string>

namespace Vantor {
namespace HardwareAPI {
namespace Control {

struct Reconnection {
    bool enabled = false;
    // The device counts as gone once its stream has failed, or once it has
    // not answered for this long.
    double after_s = 1.0;
    // Opened again, looked up afresh each try, so a link that now leads to
    // another terminal (a device plugged in again) is followed.
    std::string port_path;
};

}  // namespace Control
}  // namespace HardwareAPI
}  // namespace Vantor
