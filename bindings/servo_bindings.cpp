// The servo loop for the vantor package. The loop runs on its own native
// thread; these calls only start, steer and read it.
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Vantor/HardwareAPI/Control/ServoLoop.h"
#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "conventions.h"
#include "native_devices.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using namespace Vantor::HardwareAPI::Control;
using Vantor::HardwareAPI::Devices::Talon;

namespace {

// --- settings: each one once, with how Python gives it ------------------------------

Vector3d three(py::handle value, const char* name) {
    const char* shape = " must be three numbers (x, y, z)";
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value) || py::len(value) != 3)
        throw py::type_error(std::string(name) + shape + ", got " + py::repr(value).cast<std::string>());
    const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
    return {number(items[0], name), number(items[1], name), number(items[2], name)};
}

struct Setting {
    const char* name;
    void (*set)(ServoConfig& config, py::handle value, const char* name);
    py::object (*get)(const ServoConfig& config);
};

template <double ServoConfig::*Field>
Setting Number(const char* name) {
    return {name, [](ServoConfig& c, py::handle v, const char* n) { c.*Field = number(v, n); },
            [](const ServoConfig& c) -> py::object { return py::float_(c.*Field); }};
}

// A number, or None: off.
template <std::optional<double> ServoConfig::*Field>
Setting NumberOrNone(const char* name) {
    return {name, [](ServoConfig& c, py::handle v, const char* n) { c.*Field = number_or_none(v, n); },
            [](const ServoConfig& c) -> py::object { return py::cast(c.*Field); }};
}

const std::vector<Setting>& settings() {
    static const std::vector<Setting> table = {
        Number<&ServoConfig::rate_hz>("rate_hz"),
        Number<&ServoConfig::force_limit>("force_limit"),
        Number<&ServoConfig::ramp_s>("ramp_s"),
        NumberOrNone<&ServoConfig::velocity_limit>("velocity_limit"),
        {"workspace",
         [](ServoConfig& c, py::handle v, const char*) {
             if (v.is_none()) {
                 c.workspace.reset();
                 return;
             }
             if (!py::isinstance<py::sequence>(v) || py::isinstance<py::str>(v) || py::len(v) != 2)
                 throw py::type_error("workspace must be (lower, upper), two corners of three numbers each, got " +
                                      py::repr(v).cast<std::string>());
             const py::sequence corners = py::reinterpret_borrow<py::sequence>(v);
             c.workspace = Workspace{three(corners[0], "workspace's lower corner"),
                                     three(corners[1], "workspace's upper corner")};
         },
         [](const ServoConfig& c) -> py::object {
             if (!c.workspace) return py::none();
             return py::make_tuple(py::cast(c.workspace->lower), py::cast(c.workspace->upper));
         }},
        Number<&ServoConfig::exchange_deadline_ms>("exchange_deadline_ms"),
        Number<&ServoConfig::link_timeout_ms>("link_timeout_ms"),
        Number<&ServoConfig::reply_timeout_s>("reply_timeout_s"),
        {"realtime",
         [](ServoConfig& c, py::handle v, const char* n) {
             c.realtime = v.is_none() ? std::nullopt : std::optional<bool>(flag(v, n));
         },
         [](const ServoConfig& c) -> py::object { return py::cast(c.realtime); }},
        {"cpu",
         [](ServoConfig& c, py::handle v, const char*) {
             if (v.is_none()) {
                 c.cpu = -1;
                 return;
             }
             if (!py::isinstance<py::int_>(v) || py::isinstance<py::bool_>(v))
                 throw py::type_error("cpu must be a CPU number or None, got " + type_name(v));
             int overflow = 0;
             const long long cpu = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
             // Beyond an int, kept out of range on its own side: refused below.
             const long long kept = overflow < 0 ? LLONG_MIN : overflow > 0 ? LLONG_MAX : cpu;
             c.cpu = static_cast<int>(std::clamp<long long>(kept, INT_MIN, INT_MAX));
         },
         [](const ServoConfig& c) -> py::object { return c.cpu < 0 ? py::object(py::none()) : py::int_(c.cpu); }},
        Number<&ServoConfig::spin_us>("spin_us"),
        {"reconnect", [](ServoConfig& c, py::handle v, const char* n) { c.reconnection.enabled = flag(v, n); },
         [](const ServoConfig& c) -> py::object { return py::bool_(c.reconnection.enabled); }},
        {"reconnect_after_s", [](ServoConfig& c, py::handle v, const char* n) { c.reconnection.after_s = number(v, n); },
         [](const ServoConfig& c) -> py::object { return py::float_(c.reconnection.after_s); }},
        {"passivity", [](ServoConfig& c, py::handle v, const char* n) { c.passivity = flag(v, n); },
         [](const ServoConfig& c) -> py::object { return py::bool_(c.passivity); }},
        Number<&ServoConfig::passivity_max_damping>("passivity_max_damping"),
        NumberOrNone<&ServoConfig::velocity_filter_hz>("velocity_filter_hz"),
    };
    return table;
}

ServoConfig make_config(const py::kwargs& given) {
    ServoConfig config;
    for (const auto& item : given) {
        const std::string name = py::str(item.first);
        const auto& table = settings();
        const auto it = std::find_if(table.begin(), table.end(), [&](const Setting& s) { return name == s.name; });
        if (it == table.end()) throw py::type_error("the servo loop has no setting " + name);
        it->set(config, item.second, it->name);
    }
    check_settings(given, [&] { config.Validate(); });  // ValueError, naming the setting and its range
    return config;
}

// --- the loop ---------------------------------------------------------------------------

class NativeServo {
public:
    NativeServo(const py::object& talon_or_port, ServoConfig config)
        : arm_(talon_or_port, "ServoLoop needs a port path or a VantorHardwareAPI.Talon") {
        if (config.reconnection.port_path.empty()) config.reconnection.port_path = arm_.path();
        loop_ = std::make_unique<ServoLoop>(arm_.device(), config);
    }
    // The loop's thread runs no Python, but freeing an effect may wait for
    // one that does (a Python effect's own thread).
    ~NativeServo() {
        py::gil_scoped_release release;
        loop_.reset();
    }

    ServoLoop& loop() { return *loop_; }

private:
    DeviceOrPort<Talon> arm_;
    std::unique_ptr<ServoLoop> loop_;
};

// The fault in force in words, or None.
py::object fault_text(const ServoLoop& loop, Fault kind) {
    if (kind == Fault::None) return py::none();
    const std::string text = loop.fault_text();
    return py::str(text.empty() ? FaultText(kind) : text);
}

py::dict faults_by_kind(const ServoStats& st) {
    py::dict out;
    for (std::size_t i = 1; i < kFaultKinds; ++i) out[FaultName(static_cast<Fault>(i))] = st.faults_by_kind[i];
    return out;
}

py::object last_fault(const FaultReport& report) {
    if (report.kind == Fault::None) return py::none();
    return py::dict("kind"_a = FaultName(report.kind), "t"_a = report.t, "text"_a = report.text);
}

py::dict percentiles(const Percentiles& p) { return py::dict("p50"_a = p.p50, "p99"_a = p.p99, "max"_a = p.max); }

}  // namespace

void bind_servo(py::module_& m) {
    py::class_<ServoConfig> config(m, "ServoConfig", "The servo loop's settings, by keyword, checked when made");
    config.def(py::init(&make_config));
    for (const Setting& s : settings()) {
        const auto get = s.get;
        config.def_property_readonly(s.name, [get](const ServoConfig& c) { return get(c); });
    }

    py::class_<NativeServo>(m, "ServoLoop", "The native servo loop; use vantor.ServoLoop")
        .def(py::init<const py::object&, ServoConfig>(), "talon_or_port"_a, "config"_a)
        .def("start", [](NativeServo& s) { released([&] { s.loop().Start(); }); })
        .def("stop", [](NativeServo& s) { released([&] { s.loop().Stop(); }); })
        .def_property_readonly("running", [](NativeServo& s) { return s.loop().running(); })
        .def_property(
            "effect", [](NativeServo& s) { return released([&] { return s.loop().effect(); }); },
            [](NativeServo& s, EffectPtr effect) { released([&] { s.loop().SetEffect(std::move(effect)); }); })
        .def_property_readonly("fault", [](NativeServo& s) { return fault_text(s.loop(), s.loop().fault()); })
        .def_property_readonly("fault_kind",
                               [](NativeServo& s) -> py::object {
                                   const Fault kind = s.loop().fault();
                                   return kind == Fault::None ? py::object(py::none()) : py::str(FaultName(kind));
                               })
        .def("clear_fault", [](NativeServo& s) { s.loop().ClearFault(); })
        .def("state",
             [](NativeServo& s) {
                 const ServoState st = s.loop().state();
                 return py::dict("t"_a = st.t, "cycle"_a = st.cycle, "position"_a = st.position,
                                 "velocity"_a = st.velocity, "force"_a = st.force, "connected"_a = st.connected,
                                 "fault"_a = fault_text(s.loop(), st.fault), "energy"_a = st.energy,
                                 "proxy"_a = st.has_proxy ? py::cast(st.proxy) : py::none());
             })
        .def("stats",
             [](NativeServo& s) {
                 const ServoStats st = s.loop().stats();
                 return py::dict("cycles"_a = st.cycles, "rate_hz"_a = st.rate_hz, "late_cycles"_a = st.late_cycles,
                                 "jitter_us"_a = percentiles(st.jitter_us),
                                 "exchange_us"_a = percentiles(st.exchange_us),
                                 "slow_exchanges"_a = st.slow_exchanges, "faults"_a = st.faults,
                                 "faults_by_kind"_a = faults_by_kind(st), "last_fault"_a = last_fault(st.last_fault),
                                 "reconnects"_a = st.reconnects, "realtime"_a = st.realtime,
                                 "device_log_lines"_a = st.device_log_lines,
                                 "passivity"_a = py::dict("cycles"_a = st.passivity.cycles,
                                                          "energy_removed_j"_a = st.passivity.energy_removed_j,
                                                          "max_damping"_a = st.passivity.max_damping));
             })
        .def("record", [](NativeServo& s, std::size_t n) { released([&] { s.loop().Record(n); }); }, "n"_a)
        .def("recording_bytes", [](NativeServo& s) {
            const std::vector<ServoSample> samples = released([&] { return s.loop().Recording(); });
            return py::bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(ServoSample));
        });

    // The record layout, for numpy: defined once, here, by the native sample.
    py::list layout;
    for (const SampleField& f : ServoSampleLayout()) layout.append(py::make_tuple(f.name, f.format, f.offset, f.count, f.columns));
    m.attr("SAMPLE_LAYOUT") = layout;
    m.attr("SAMPLE_SIZE") = sizeof(ServoSample);
    m.def(
        "write_recording_csv",
        [](const std::string& path, const py::buffer& samples) {
            const py::buffer_info info = samples.request();
            const auto bytes = static_cast<std::size_t>(info.size * info.itemsize);
            if (info.itemsize != static_cast<py::ssize_t>(sizeof(ServoSample)) || info.ndim != 1 ||
                info.strides[0] != info.itemsize)
                throw py::value_error("a recording is a one-dimensional array of servo samples, as recording() gives");
            const auto* data = static_cast<const ServoSample*>(info.ptr);
            if (!released([&] { return WriteRecordingCsv(path, data, bytes / sizeof(ServoSample)); })) {
                PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
                throw py::error_already_set();
            }
        },
        "path"_a, "samples"_a, "Writes a recording as .csv, the columns in the order of SAMPLE_LAYOUT");
}

}  // namespace vantor_bindings
