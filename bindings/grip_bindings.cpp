// The grip reader for the vantor package: a native thread that reads a
// streaming grip without a busy core.
#include <memory>
#include <string>
#include <utility>

#include "Vantor/HardwareAPI/Control/GripReader.h"
#include "Vantor/HardwareAPI/Devices/Handle.h"
#include "conventions.h"
#include "native_devices.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using namespace Vantor::HardwareAPI::Control;
using Vantor::HardwareAPI::Devices::Handle;

namespace {

constexpr double kStopSliceS = 0.05;  // how long Ctrl-C may wait to end stop()

py::dict status_dict(const GripSample& sample, double age_s) {
    py::dict status = quillon_status_dict(sample.status);
    status["age_s"] = age_s;
    return status;
}

// The exception on_status raised last; touched with the interpreter lock held.
// The reader's settings, typed and checked as the servo loop's are, before
// the port is opened.
struct GripSettings {
    bool wakeup;
    Reconnection reconnection;
};

GripSettings grip_settings(const py::object& wakeup, const py::object& reconnect, const py::object& reconnect_after_s) {
    GripSettings settings{flag(wakeup, "wakeup"), {}};
    settings.reconnection.enabled = flag(reconnect, "reconnect");
    settings.reconnection.after_s = number(reconnect_after_s, "reconnect_after_s");
    check_settings(py::dict("reconnect_after_s"_a = reconnect_after_s), [&] { settings.reconnection.Validate(); });
    return settings;
}

class NativeGrip {
public:
    NativeGrip(const py::object& handle_or_port, const py::object& wakeup, const py::object& on_status,
               const py::object& reconnect, const py::object& reconnect_after_s)
        : NativeGrip(grip_settings(wakeup, reconnect, reconnect_after_s), handle_or_port, on_status) {}

    ~NativeGrip() {
        py::gil_scoped_release release;  // the callback's thread may be waiting for it
        reader_.reset();
    }

    GripReader& reader() { return *reader_; }
    py::object error() const {
        if (!error_->error) return py::none();
        return py::reinterpret_borrow<py::object>(error_->error->get());
    }

private:
    NativeGrip(GripSettings settings, const py::object& handle_or_port, const py::object& on_status)
        : grip_(handle_or_port, "GripReader needs a port path or a VantorHardwareAPI.Handle"),
          error_(std::make_shared<ErrorSlot>()) {
        if (!on_status.is_none() && !PyCallable_Check(on_status.ptr()))
            throw py::type_error("on_status must be a function taking the status dict, or None");
        Reconnection& reconnection = settings.reconnection;
        reconnection.port_path = grip_.path();
        GripReader::OnStatus callback;
        if (!on_status.is_none()) {
            // On the reader's callback thread: an exception is kept for the
            // caller rather than lost there.
            callback = [fn = std::make_shared<PyRef>(on_status), slot = error_](const GripSample& sample,
                                                                              double age_s) {
                if (!PythonThread::Attach()) return;
                // Plain calls and no object alive across the call, as for an
                // effect's function: a call the interpreter ends at exit
                // unwinds through nothing that touches Python.
                PyObject* status = nullptr;
                try {
                    status = status_dict(sample, age_s).release().ptr();
                } catch (py::error_already_set& e) {
                    e.restore();
                }
                PyObject* result = status != nullptr ? PyObject_CallFunctionObjArgs(fn->get().ptr(), status, nullptr)
                                                     : nullptr;
                Py_XDECREF(status);
                if (result == nullptr) keep_raised(*slot);
                Py_XDECREF(result);
                PythonThread::Detach();
            };
        }
        reader_ = std::make_unique<GripReader>(grip_.device(), settings.wakeup, std::move(callback), reconnection);
    }

    DeviceOrPort<Handle> grip_;
    std::shared_ptr<ErrorSlot> error_;
    std::unique_ptr<GripReader> reader_;
};

}  // namespace

void bind_grip(py::module_& m) {
    py::class_<NativeGrip>(m, "GripReader", "The native grip reader; use vantor.GripReader")
        .def(py::init<const py::object&, const py::object&, const py::object&, const py::object&, const py::object&>(),
             "handle_or_port"_a, py::kw_only(),
             "wakeup"_a, "on_status"_a, "reconnect"_a, "reconnect_after_s"_a)
        .def("start", [](NativeGrip& g) { released([&] { g.reader().Start(); }); })
        // In slices, so Ctrl-C ends a wait for a callback that blocks.
        .def("stop",
             [](NativeGrip& g) {
                 while (!released([&] { return g.reader().StopFor(kStopSliceS); })) {
                     if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                 }
             })
        .def_property_readonly("running", [](NativeGrip& g) { return g.reader().running(); })
        .def_property_readonly("error", &NativeGrip::error)
        .def_property_readonly("connected", [](NativeGrip& g) { return g.reader().connected(); })
        .def_property_readonly("fault",
                               [](NativeGrip& g) -> py::object {
                                   const std::string fault = g.reader().fault();
                                   if (fault.empty()) return py::none();
                                   return py::str(fault);
                               })
        .def("latest",
             [](NativeGrip& g) -> py::object {
                 const GripSample sample = g.reader().latest();
                 if (!sample.valid) return py::none();
                 return status_dict(sample, g.reader().now() - sample.t);
             })
        .def("stats", [](NativeGrip& g) {
            const GripStats s = g.reader().stats();
            return py::dict("frames_good"_a = s.frames_good, "frames_bad"_a = s.frames_bad, "rate_hz"_a = s.rate_hz,
                            "cpu_percent"_a = s.cpu_percent, "reconnects"_a = s.reconnects,
                            "device_log_lines"_a = s.device_log_lines, "callbacks_skipped"_a = s.callbacks_skipped,
                            "faults"_a = s.faults);
        });
}

}  // namespace vantor_bindings
