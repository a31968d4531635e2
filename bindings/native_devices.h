// What the servo loop and the grip reader of vantor._native share: the
// device they run on, opened here on a port path or given by the caller,
// and how they find it again after an unplug.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Control/Reconnection.h"
#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace vantor_bindings {

namespace py = pybind11;

// The port at path, open, or OSError with the reason.
inline std::unique_ptr<Vantor::HardwareAPI::IO::SerialStream> open_port(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw py::value_error("port must not contain a NUL character");
    auto stream = std::make_unique<Vantor::HardwareAPI::IO::SerialStream>(path.c_str(), true);
    if (!stream->buffer || stream->buffer->fd < 0) {
        // errno still says why the port did not open.
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    return stream;
}

inline Vantor::HardwareAPI::Control::Reconnection make_reconnection(bool reconnect, double after_s) {
    if (!(after_s > 0)) throw py::value_error("reconnect_after_s must be above 0");
    Vantor::HardwareAPI::Control::Reconnection r;
    r.enabled = reconnect;
    r.after_s = after_s;
    return r;
}

// The path to open again: the one given, else the one the device's stream was opened on.
inline std::string reconnection_path(const std::string& given, const Vantor::HardwareAPI::Devices::Device& device) {
    if (!given.empty()) return given;
    const char* path = device.stream != nullptr ? device.stream->port_path : nullptr;
    if (path == nullptr || *path == '\0') throw py::value_error("reconnect=True needs the device's port path");
    return path;
}

}  // namespace vantor_bindings
