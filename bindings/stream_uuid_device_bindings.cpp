#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Devices/Device.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"
#include "Vantor/HardwareAPI/UUID.h"
#include "conventions.h"

namespace vantor_bindings {

// A port path as Python gives it: str, bytes or bytearray, or None. Shown as
// str; None and embedded NULs are refused in the binding, where the length
// is still known.
struct PortPath {
    bool is_none = false;
    std::string path;
};

}  // namespace vantor_bindings

namespace pybind11 {
namespace detail {

template <>
struct type_caster<vantor_bindings::PortPath> {
    PYBIND11_TYPE_CASTER(vantor_bindings::PortPath, const_name("str"));

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            value = {true, {}};
            return convert;
        }
        make_caster<std::string> text;
        if (!text.load(src, convert)) return false;
        value = {false, cast_op<std::string&&>(std::move(text))};
        return true;
    }

    static handle cast(const vantor_bindings::PortPath& src, return_value_policy, handle) {
        if (src.is_none) return none().release();
        return make_caster<std::string>::cast(src.path, return_value_policy::copy, {});
    }
};

}  // namespace detail
}  // namespace pybind11

namespace vantor_bindings {

using Vantor::HardwareAPI::UUID;
using Vantor::HardwareAPI::Devices::Device;
using Vantor::HardwareAPI::IO::SerialStream;

namespace {

// The stream keeps a pointer to its path and reads it only while opening;
// a vantor loop built on a device given from Python reads it again when it
// reconnects. So the binding's streams keep their path for their whole life.
struct KeptPath {
    std::string path;
};

class PathKeepingStream : private KeptPath, public SerialStream {
public:
    explicit PathKeepingStream(std::string path) : KeptPath{std::move(path)}, SerialStream(KeptPath::path.c_str(), true) {}
};

}  // namespace

void bind_stream_uuid_device(py::module_& m) {
    py::class_<SerialStream>(m, "SerialStream")
        .def(py::init([](const PortPath& port) {
                 if (port.is_none) throw py::type_error("port must not be None");
                 // The system call would stop at the NUL and open another path.
                 if (port.path.find('\0') != std::string::npos)
                     throw py::value_error("port must not contain a NUL character");
                 return released(
                     [&]() -> std::unique_ptr<SerialStream> { return std::make_unique<PathKeepingStream>(port.path); });
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
