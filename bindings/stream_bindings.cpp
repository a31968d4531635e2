#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"
#include "Vantor/HardwareAPI/UUID.h"
#include "conventions.h"

namespace vantor_bindings {

using Vantor::HardwareAPI::UUID;
using Vantor::HardwareAPI::Devices::Device;
using Vantor::HardwareAPI::IO::SerialStream;

void bind_stream(py::module_& m) {
    py::class_<SerialStream>(m, "SerialStream")
        .def(py::init([](const char* port) {
                 not_none(port, "port");
                 // The stream reads the path only while opening, inside the
                 // constructor, so a temporary copy is enough.
                 const std::string path(port);
                 return released([&] { return std::make_unique<SerialStream>(path.c_str(), true); });
             }),
             "Initialize the serial stream");

    py::class_<UUID>(m, "UUID")
        .def(py::init<>())
        .def("bytes", [](const UUID& id) {
            const auto bytes = id.bytes();
            return std::vector<uint8_t>(bytes.begin(), bytes.end());
        });

    py::class_<Device>(m, "Device");
}

}  // namespace vantor_bindings
