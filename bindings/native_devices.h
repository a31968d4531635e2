// The device a loop or reader of vantor._native runs on: one opened here on
// a port path, or a VantorHardwareAPI device object given by the caller,
// kept alive with its stream for as long as the loop or reader is.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "Vantor/HardwareAPI/IO/SerialStream.h"

namespace vantor_bindings {

namespace py = pybind11;

template <typename Device>
class DeviceOrPort {
public:
    // needs: what to say when device_or_port is neither, e.g.
    // "ServoLoop needs a port path or a VantorHardwareAPI.Talon".
    DeviceOrPort(const py::object& device_or_port, const char* needs) {
        if (py::isinstance<py::str>(device_or_port) || py::isinstance<py::bytes>(device_or_port)) {
            path_ = device_or_port.cast<std::string>();
            if (path_.find('\0') != std::string::npos) throw py::value_error("port must not contain a NUL character");
            stream_ = std::make_unique<Vantor::HardwareAPI::IO::SerialStream>(path_.c_str(), true);
            if (!stream_->IsOpen()) {
                // errno still says why the port did not open.
                PyErr_SetFromErrnoWithFilename(PyExc_OSError, path_.c_str());
                throw py::error_already_set();
            }
            owned_ = std::make_unique<Device>(stream_.get());
            device_ = owned_.get();
            return;
        }
        try {
            device_ = device_or_port.cast<Device*>();
        } catch (const py::cast_error&) {
            device_ = nullptr;
        }
        if (device_ == nullptr) throw py::type_error(needs);
        object_ = device_or_port;
    }

    Device& device() { return *device_; }
    // The path opened here; empty for a device given by the caller, whose
    // stream knows its own.
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::unique_ptr<Vantor::HardwareAPI::IO::SerialStream> stream_;
    std::unique_ptr<Device> owned_;
    Device* device_ = nullptr;
    py::object object_;
};

}  // namespace vantor_bindings
