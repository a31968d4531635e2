#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "Vantor/HardwareAPI/Discovery.h"
#include "conventions.h"

namespace vantor_bindings {

namespace api = Vantor::HardwareAPI;

// Detection holds the interpreter lock throughout and always lists /dev.
void bind_discovery(py::module_& m) {
    m.def(
        "detect_talons", []() -> std::vector<std::string> { return api::detect_talons(); },
        "detect available talon devices");
    m.def(
        "detect_handles", []() -> std::vector<std::string> { return api::detect_handles(); },
        "detect available handles");
    m.def(
        "detect_wired_handles", []() -> std::vector<std::string> { return api::detect_wired_handles(); },
        "detect available wired handles");
    m.def(
        "detect_wireless_handles", []() -> std::vector<std::string> { return api::detect_wireless_handles(); },
        "detect available wireless handles");
}

}  // namespace vantor_bindings
