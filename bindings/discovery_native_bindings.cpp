// Discovery's own listing and probes for the vantor package's tools, so that
// what they report is what detection sees.
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "Vantor/HardwareAPI/Discovery.h"
#include "conventions.h"

namespace vantor_bindings {

using namespace pybind11::literals;
namespace api = Vantor::HardwareAPI;

namespace {

// A NUL would cut the path short and probe another port.
const char* port_path(const std::string& port) {
    if (port.find('\0') != std::string::npos) throw py::value_error("port must not contain a NUL character");
    return port.c_str();
}

py::dict talon_info_dict(const api::Devices::TalonInfo& info) {
    return py::dict("device_id"_a = info.device_id, "device_model_number"_a = info.device_model_number,
                    "hardware_version"_a = info.hardware_version, "firmware_version"_a = info.firmware_version,
                    "device_id_ext"_a = py::module_::import("uuid").attr("UUID")("hex"_a = info.device_id_ext.hex()));
}

py::object handle_info_dict(const api::HandleProbe& probe) {
    if (probe.outcome != api::ProbeOutcome::Answered || probe.status_message) return py::none();
    const api::Devices::HandleInfoResponse& info = probe.info;
    return py::dict("tool_data_remaining"_a = info.tool_data_remaining, "device_id"_a = info.device_id,
                    "device_model_number"_a = info.device_model_number, "hardware_version"_a = info.hardware_version,
                    "firmware_version"_a = info.firmware_version);
}

py::object handle_status_dict(const api::HandleProbe& probe) {
    if (probe.outcome != api::ProbeOutcome::Answered || !probe.status_message) return py::none();
    const api::Devices::HandleStatusResponse& status = probe.status;
    py::list quaternion(4);
    for (std::size_t i = 0; i < 4; ++i) quaternion[i] = py::float_(status.quaternion[i]);
    return py::dict("device_id"_a = status.device_id, "quaternion"_a = quaternion, "error_flag"_a = status.error_flag,
                    "hall_effect_sensor_level"_a = status.hall_effect_sensor_level,
                    "user_data"_a = py::bytes(reinterpret_cast<const char*>(status.user_data), status.user_data_length));
}

}  // namespace

void bind_discovery_native(py::module_& m) {
    py::enum_<api::PortKind>(m, "PortKind", "Which text of its name made an entry a candidate port")
        .value("ACM", api::PortKind::ACM)
        .value("USB", api::PortKind::USB)
        .value("RFCOMM", api::PortKind::RFCOMM);

    py::class_<api::PortEntry>(m, "PortEntry", "A candidate entry of a folder")
        .def_readonly("path", &api::PortEntry::path, "The entry itself: the folder joined with its name")
        .def_readonly("kind", &api::PortEntry::kind)
        .def_readonly("canonical", &api::PortEntry::canonical, "The device node it resolves to; None when none")
        .def("__repr__", [](const api::PortEntry& e) {
            return py::str("PortEntry(path={!r}, kind={}, canonical={!r})")
                .format(e.path, py::cast(e.kind).attr("name"), py::cast(e.canonical));
        });

    // A listing waits on no device, so it keeps the interpreter lock.
    m.def(
        "list_port_entries", [](const std::string& dir) { return api::list_port_entries(dir); }, "dir"_a = "/dev",
        "The entries detection lists in dir, in its order, links that lead nowhere among them");

    py::enum_<api::ProbeOutcome>(m, "ProbeOutcome", "How a probe of one port ended")
        .value("Answered", api::ProbeOutcome::Answered)
        .value("NoAnswer", api::ProbeOutcome::NoAnswer)
        .value("InUse", api::ProbeOutcome::InUse)
        .value("NotOpened", api::ProbeOutcome::NotOpened);

    py::class_<api::TalonProbe>(m, "TalonProbe", "What a Talon probe heard")
        .def_readonly("outcome", &api::TalonProbe::outcome)
        .def_property_readonly(
            "info", [](const api::TalonProbe& p) { return talon_info_dict(p.info); },
            "The device information that came back, whichever model sent it; all zero unless it arrived whole");

    py::class_<api::HandleProbe>(m, "HandleProbe", "What a Handle probe heard")
        .def_readonly("outcome", &api::HandleProbe::outcome)
        .def_property_readonly("info", &handle_info_dict, "The handle's info reply, or None")
        .def_property_readonly("status", &handle_status_dict, "The status message it sent instead, or None");

    // A probe waits seconds for a silent port: other threads run meanwhile.
    const auto probe = [](auto probe_port) {
        return [probe_port](const std::string& port) {
            const char* path = port_path(port);
            return released([&] { return probe_port(path); });
        };
    };
    m.def("probe_talon_port", probe(&api::probe_talon_port), "port"_a,
          "Wakes up port as detect_talons does and says what answered");
    m.def("probe_handle_port", probe(&api::probe_handle_port), "port"_a,
          "Wakes up port as detect_handles does and says what answered");
}

}  // namespace vantor_bindings
