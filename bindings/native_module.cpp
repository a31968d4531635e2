// vantor._native: what the vantor package runs natively. The arm itself is
// driven through the same library as VantorHardwareAPI, one copy shared.
#include <pybind11/stl.h>

#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"
#include "conventions.h"

namespace py = pybind11;
using namespace vantor_bindings;

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native part of the vantor package: servo loop and haptic effects";
    detail::main_thread_ident() =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    bind_effects(m);
    bind_servo(m);
    // The process-wide calibration the loop's arm uses: the same one that
    // VantorHardwareAPI.Talon.adjust_angles sets, since the library is shared.
    m.def("joint_offsets", &Vantor::HardwareAPI::Devices::joint_offsets,
          "The joint-angle offsets (radians) the library holds for this process");
}
