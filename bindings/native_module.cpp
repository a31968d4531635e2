// vantor._native: what the vantor package runs natively. The arm itself is
// driven through the same library as VantorHardwareAPI, one copy shared.
#include <pybind11/stl.h>

#include <string>

#include "Vantor/HardwareAPI/Devices/TalonGeometry.h"
#include "Vantor/HardwareAPI/Log.h"
#include "conventions.h"

namespace py = pybind11;
using namespace vantor_bindings;

namespace {

// The logger the library's lines go to; a handle with its own reference, so
// nothing is released after the interpreter has gone.
py::handle g_logger;

// Runs on whichever thread logged, so it takes the interpreter lock. The
// library calls it outside its own locks, so waiting for the lock is safe.
void ToLogger(const char* line, void*) {
    py::gil_scoped_acquire gil;
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();  // logging ends the line itself
    try {
        g_logger.attr("warning")("%s", text);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("vantor: routing a device log line");
    }
}

void Silently(const char*, void*) {}

// target: a logger, None to silence, or False for standard error again.
void RouteDeviceLog(const py::object& target) {
    const bool to_logger = !target.is_none() && !(py::isinstance<py::bool_>(target) && !target.cast<bool>());
    if (to_logger && !py::hasattr(target, "warning"))
        throw py::type_error("route_device_log needs a logging.Logger (or None)");
    const py::handle previous = g_logger;
    {
        // Waits for lines in delivery, which may need this lock.
        py::gil_scoped_release release;
        Vantor::HardwareAPI::SetLogSink(nullptr, nullptr);
    }
    if (to_logger) {
        g_logger = target.inc_ref();
        Vantor::HardwareAPI::SetLogSink(&ToLogger, nullptr);
    } else {
        g_logger = py::handle();
        if (target.is_none()) Vantor::HardwareAPI::SetLogSink(&Silently, nullptr);
    }
    previous.dec_ref();
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native part of the vantor package: servo loop, haptic effects, grip reader";
    detail::main_thread_ident() =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    // Before the interpreter shuts down, our threads stop entering it.
    py::module_::import("atexit").attr("register")(py::cpp_function([] { PythonGate::Close(); }));
    bind_effects(m);
    bind_servo(m);
    bind_grip(m);
    bind_discovery_native(m);
    // The process-wide calibration the loop's arm uses: the same one that
    // VantorHardwareAPI.Talon.adjust_angles sets, since the library is shared.
    m.def("route_device_log", &RouteDeviceLog, py::arg("target"),
          "Sends the library's [err] lines to a logger (WARNING), None silences them, False restores standard error");
    m.def("joint_offsets", &Vantor::HardwareAPI::Devices::joint_offsets,
          "The joint-angle offsets (radians) the library holds for this process");
}
