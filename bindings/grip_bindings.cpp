// The grip reader for the vantor package: a native thread that reads a
// streaming grip without a busy core.
#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Control/GripReader.h"
#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"
#include "conventions.h"
#include "native_devices.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using namespace Vantor::HardwareAPI::Control;
using Vantor::HardwareAPI::Devices::Handle;
using Vantor::HardwareAPI::IO::SerialStream;

namespace {

// A reader with the grip it reads: one opened here on a port path, or a
// VantorHardwareAPI.Handle given by the caller, kept alive with its stream.
class NativeGrip {
public:
    NativeGrip(const py::object& handle_or_port, bool wakeup, py::object on_status, bool reconnect,
               double reconnect_after_s)
        : on_status_(std::move(on_status)) {
        Reconnection reconnection = make_reconnection(reconnect, reconnect_after_s);
        if (py::isinstance<py::str>(handle_or_port) || py::isinstance<py::bytes>(handle_or_port)) {
            port_ = handle_or_port.cast<std::string>();
            stream_ = open_port(port_);
            own_handle_ = std::make_unique<Handle>(stream_.get());
            handle_ = own_handle_.get();
        } else {
            try {
                handle_ = handle_or_port.cast<Handle*>();
            } catch (const py::cast_error&) {
                handle_ = nullptr;
            }
            if (handle_ == nullptr) throw py::type_error("GripReader needs a port path or a VantorHardwareAPI.Handle");
            handle_object_ = handle_or_port;
        }
        if (reconnection.enabled) reconnection.port_path = reconnection_path(port_, *handle_);
        reader_ = std::make_unique<GripReader>(*handle_, wakeup, on_status_.is_none() ? nullptr : &CallPython, this,
                                               std::move(reconnection));
    }

    ~NativeGrip() {
        py::gil_scoped_release release;  // the reader may be waiting for it (on_status)
        reader_.reset();
    }

    GripReader& reader() { return *reader_; }
    py::object error() const { return error_ ? error_ : py::none(); }

private:
    // on_status(latest) on the reader's thread, with the lock taken; an
    // exception is kept for the caller rather than lost on that thread.
    static void CallPython(const GripSample& sample, void* context) {
        auto* self = static_cast<NativeGrip*>(context);
        py::gil_scoped_acquire gil;
        try {
            py::dict status = quillon_status_dict(sample.status);
            status["age_s"] = 0.0;
            self->on_status_(status);
        } catch (py::error_already_set& e) {
            self->error_ = e.value();
        }
    }

    std::string port_;
    std::unique_ptr<SerialStream> stream_;
    std::unique_ptr<Handle> own_handle_;
    Handle* handle_ = nullptr;
    py::object handle_object_;
    py::object on_status_;
    py::object error_;
    std::unique_ptr<GripReader> reader_;
};

}  // namespace

void bind_grip(py::module_& m) {
    py::class_<NativeGrip>(m, "GripReader", "The native grip reader; use vantor.GripReader")
        .def(py::init<const py::object&, bool, py::object, bool, double>(), "handle_or_port"_a, "wakeup"_a,
             "on_status"_a, "reconnect"_a, "reconnect_after_s"_a)
        .def("start", [](NativeGrip& g) { g.reader().Start(); })
        .def("stop", [](NativeGrip& g) { released([&] { g.reader().Stop(); }); })
        .def_property_readonly("running", [](NativeGrip& g) { return g.reader().running(); })
        .def_property_readonly("error", &NativeGrip::error)
        .def_property_readonly("connected", [](NativeGrip& g) { return g.reader().connected(); })
        .def_property_readonly("fault",
                               [](NativeGrip& g) -> py::object {
                                   const char* fault = g.reader().fault();
                                   if (*fault == '\0') return py::none();
                                   return py::str(fault);
                               })
        .def("latest",
             [](NativeGrip& g) -> py::object {
                 const GripSample sample = g.reader().latest();
                 if (!sample.valid) return py::none();
                 py::dict status = quillon_status_dict(sample.status);
                 status["age_s"] = g.reader().now() - sample.t;
                 return std::move(status);
             })
        .def("stats", [](NativeGrip& g) {
            const GripStats s = g.reader().stats();
            return py::dict("frames_good"_a = s.frames_good, "frames_bad"_a = s.frames_bad, "rate_hz"_a = s.rate_hz,
                            "cpu_percent"_a = s.cpu_percent, "reconnects"_a = s.reconnects,
                            "device_log_lines"_a = s.device_log_lines);
        });
}

}  // namespace vantor_bindings
