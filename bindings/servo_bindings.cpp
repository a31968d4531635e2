// The servo loop for the vantor package. The loop runs on its own native
// thread; these calls only start, steer and read it.
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "Vantor/HardwareAPI/IO/SerialStream.h"
#include "conventions.h"
#include "native_devices.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using namespace Vantor::HardwareAPI::Control;
using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::IO::SerialStream;

namespace {

// A loop with the arm it drives: one opened here on a port path, or a
// VantorHardwareAPI.Talon given by the caller, kept alive with its stream.
class NativeServo {
public:
    NativeServo(const py::object& talon_or_port, ServoConfig config) {
        if (py::isinstance<py::str>(talon_or_port) || py::isinstance<py::bytes>(talon_or_port)) {
            port_ = talon_or_port.cast<std::string>();
            stream_ = open_port(port_);
            own_talon_ = std::make_unique<Talon>(stream_.get());
            talon_ = own_talon_.get();
        } else {
            try {
                talon_ = talon_or_port.cast<Talon*>();
            } catch (const py::cast_error&) {
                talon_ = nullptr;
            }
            if (talon_ == nullptr) throw py::type_error("ServoLoop needs a port path or a VantorHardwareAPI.Talon");
            talon_object_ = talon_or_port;
        }
        if (config.reconnection.enabled) config.reconnection.port_path = reconnection_path(port_, *talon_);
        loop_ = std::make_unique<ServoLoop>(*talon_, config);
    }

    ~NativeServo() {
        // The loop thread may be waiting for the interpreter lock (a Python
        // effect): let it have it while the loop stops.
        py::gil_scoped_release release;
        loop_.reset();
    }

    ServoLoop& loop() { return *loop_; }

private:
    std::string port_;
    std::unique_ptr<SerialStream> stream_;
    std::unique_ptr<Talon> own_talon_;
    Talon* talon_ = nullptr;
    py::object talon_object_;
    std::unique_ptr<ServoLoop> loop_;
};

py::object fault_text(Fault fault) {
    if (fault == Fault::None) return py::none();
    return py::str(FaultText(fault));
}

py::dict percentiles(const Percentiles& p) { return py::dict("p50"_a = p.p50, "p99"_a = p.p99, "max"_a = p.max); }

ServoConfig make_config(double rate_hz, double force_limit, double ramp_s, const py::object& velocity_limit,
                        const py::object& workspace, double exchange_deadline_ms, double reply_timeout_s,
                        bool realtime, int cpu, bool reconnect, double reconnect_after_s) {
    if (!(rate_hz > 0 && rate_hz <= 20000)) throw py::value_error("rate_hz must be above 0 and at most 20000");
    if (!(force_limit >= 0)) throw py::value_error("force_limit must be 0 or more");
    if (!(ramp_s >= 0)) throw py::value_error("ramp_s must be 0 or more");
    if (!(exchange_deadline_ms > 0)) throw py::value_error("exchange_deadline_ms must be above 0");
    if (!(reply_timeout_s > 0)) throw py::value_error("reply_timeout_s must be above 0");
    ServoConfig c;
    c.rate_hz = rate_hz;
    c.force_limit = force_limit;
    c.ramp_s = ramp_s;
    if (!velocity_limit.is_none()) {
        c.velocity_limit = velocity_limit.cast<double>();
        if (!(c.velocity_limit > 0)) throw py::value_error("velocity_limit must be above 0");
    }
    if (!workspace.is_none()) {
        const auto corners = workspace.cast<std::pair<Vec3, Vec3>>();
        c.has_workspace = true;
        c.workspace_lower = corners.first;
        c.workspace_upper = corners.second;
        for (int i = 0; i < 3; ++i) {
            if (!(c.workspace_lower[i] < c.workspace_upper[i]))
                throw py::value_error("workspace is (lower, upper), each lower coordinate below the upper one");
        }
    }
    c.exchange_deadline_ms = exchange_deadline_ms;
    c.reply_timeout_s = reply_timeout_s;
    c.realtime = realtime;
    c.cpu = cpu;
    c.reconnection = make_reconnection(reconnect, reconnect_after_s);
    return c;
}

}  // namespace

void bind_servo(py::module_& m) {
    py::class_<NativeServo>(m, "ServoLoop", "The native servo loop; use vantor.ServoLoop")
        .def(py::init([](const py::object& talon_or_port, double rate_hz, double force_limit, double ramp_s,
                         const py::object& velocity_limit, const py::object& workspace, double exchange_deadline_ms,
                         double reply_timeout_s, bool realtime, int cpu, bool reconnect, double reconnect_after_s) {
                 return std::make_unique<NativeServo>(
                     talon_or_port,
                     make_config(rate_hz, force_limit, ramp_s, velocity_limit, workspace, exchange_deadline_ms,
                                 reply_timeout_s, realtime, cpu, reconnect, reconnect_after_s));
             }),
             "talon_or_port"_a, "rate_hz"_a, "force_limit"_a, "ramp_s"_a, "velocity_limit"_a, "workspace"_a,
             "exchange_deadline_ms"_a, "reply_timeout_s"_a, "realtime"_a, "cpu"_a, "reconnect"_a,
             "reconnect_after_s"_a)
        .def("start", [](NativeServo& s) { s.loop().Start(); })
        .def("stop", [](NativeServo& s) { released([&] { s.loop().Stop(); }); })
        .def_property_readonly("running", [](NativeServo& s) { return s.loop().running(); })
        .def_property(
            "effect", [](NativeServo& s) { return s.loop().effect(); },
            [](NativeServo& s, EffectPtr effect) { released([&] { s.loop().SetEffect(std::move(effect)); }); })
        .def_property_readonly("fault", [](NativeServo& s) { return fault_text(s.loop().fault()); })
        .def("clear_fault", [](NativeServo& s) { s.loop().ClearFault(); })
        .def("state",
             [](NativeServo& s) {
                 const ServoState st = s.loop().state();
                 return py::dict("t"_a = st.t, "cycle"_a = st.cycle, "position"_a = st.position,
                                 "velocity"_a = st.velocity, "force"_a = st.force, "connected"_a = st.connected,
                                 "fault"_a = fault_text(st.fault));
             })
        .def("stats",
             [](NativeServo& s) {
                 const ServoStats st = s.loop().stats();
                 return py::dict("cycles"_a = st.cycles, "rate_hz"_a = st.rate_hz, "late_cycles"_a = st.late_cycles,
                                 "jitter_us"_a = percentiles(st.jitter_us),
                                 "exchange_us"_a = percentiles(st.exchange_us), "faults"_a = st.faults,
                                 "reconnects"_a = st.reconnects, "realtime"_a = st.realtime,
                                 "device_log_lines"_a = st.device_log_lines);
             })
        .def("record",
             [](NativeServo& s, std::size_t n) { released([&] { s.loop().Record(n); }); }, "n"_a)
        .def("recording_bytes", [](NativeServo& s) {
            const std::vector<ServoSample> samples = released([&] { return s.loop().Recording(); });
            return py::bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(ServoSample));
        });
    m.attr("SAMPLE_SIZE") = sizeof(ServoSample);
}

}  // namespace vantor_bindings
