#include <pybind11/stl.h>

#include <memory>
#include <utility>
#include <vector>

#include "Vantor/HardwareAPI/Devices/Talon.h"
#include "conventions.h"

namespace vantor_bindings {

using namespace pybind11::literals;
using Vantor::HardwareAPI::UUID;
using Vantor::HardwareAPI::Devices::Talon;
using Vantor::HardwareAPI::Devices::TalonInfo;
using Vantor::HardwareAPI::Devices::TalonState;
using Vantor::HardwareAPI::IO::SerialStream;

namespace {

using Floats = std::vector<float>;

py::object python_uuid(const UUID& id) {
    return py::module_::import("uuid").attr("UUID")("hex"_a = id.hex());
}

py::tuple state_tuple(const TalonState& state) { return py::make_tuple(state.position, state.velocity); }

// Runs one control exchange on the first three values of the request.
template <TalonState (Talon::*Exchange)(const float*)>
py::tuple exchange(Talon& talon, const Floats& request, const char* name) {
    const float* values = three_values(request, name);
    return state_tuple(released(talon, [&] { return (talon.*Exchange)(values); }));
}

// Sends one request of three values, warning first when deprecated.
template <void (Talon::*Send)(const float*)>
void send(Talon& talon, const Floats& request, const char* name, const char* warning) {
    const float* values = three_values(request, name);
    if (warning) warn_deprecated(warning);
    released(talon, [&] { (talon.*Send)(values); });
}

// Receives a state reply into copies of the caller's two lists: on success
// their first three entries are overwritten, the rest come back as they were.
template <bool (Talon::*Receive)(float*, float*)>
py::tuple receive_pair(Talon& talon, Floats first, Floats second, const char* first_name,
                       const char* second_name, const char* warning) {
    three_values(first, first_name);
    three_values(second, second_name);
    warn_deprecated(warning);
    released(talon, [&] { (talon.*Receive)(first.data(), second.data()); });
    return py::make_tuple(first, second);
}

constexpr const char* kReceiveDeviceInfoDoc =
    "\n"
    "            Receive device info and return a tuple with the following fields: \n"
    "\n"
    "            device_id (uint16_t)\n"
    "            \n"
    "            device_model_num (uint8_t)\n"
    "            \n"
    "            hardware_version (uint8_t)\n"
    "            \n"
    "            firmware_version (uint8_t)\n"
    "            \n"
    "            device_id_ext (UUID)\n"
    "            ";

}  // namespace

void bind_talon(py::module_& m) {
    const Floats zeros{0.0f, 0.0f, 0.0f};

    py::class_<Talon>(m, "Talon", "Talon Device Class")
        .def(py::init([](SerialStream* stream) { return std::make_unique<Talon>(not_none(stream, "stream")); }),
             keeps_stream_alive())
        .def(
            "device_wakeup",
            [](Talon& talon) {
                const TalonInfo info = released(talon, [&] { return talon.device_wakeup(); });
                const auto ext = info.device_id_ext.bytes();
                return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                                      info.firmware_version, std::vector<uint8_t>(ext.begin(), ext.end()));
            },
            "Wakeup the device and return the device info as a tuple.")
        .def(
            "device_wakeup_dict",
            [](Talon& talon) {
                const TalonInfo info = released(talon, [&] { return talon.device_wakeup_dict(); });
                return py::dict("device_id"_a = info.device_id, "device_model_number"_a = info.device_model_number,
                                "hardware_version"_a = info.hardware_version,
                                "firmware_version"_a = info.firmware_version,
                                "device_id_ext"_a = python_uuid(info.device_id_ext));
            },
            "Wakeup the device and return the device info as a dict.")
        // The one-shot queries hold the interpreter lock throughout.
        .def(
            "get_firmware_version",
            [](Talon& talon) { return python_uuid(interruptible(talon, [&] { return talon.get_firmware_version(); })); },
            "Receive the firmware version of the device.")
        .def(
            "get_device_id",
            [](Talon& talon) { return python_uuid(interruptible(talon, [&] { return talon.get_device_id(); })); },
            "Receive the UUID of the device.")
        .def(
            "get_motor_currents", [](Talon& talon) { return interruptible(talon, [&] { return talon.get_motor_currents(); }); },
            "Receive the motor currents of the device.")
        .def(
            "get_device_orientation",
            [](Talon& talon) { return interruptible(talon, [&] { return talon.get_device_orientation(); }); },
            "Receive the orientation of the base of the device.")
        .def(
            "get_power_status", [](Talon& talon) { return interruptible(talon, [&] { return talon.get_power_status(); }); },
            "Receive the power status of the device.")
        .def(
            "get_temperature", [](Talon& talon) { return interruptible(talon, [&] { return talon.get_temperature(); }); },
            "Receive the temperature of the device.")
        .def(
            "end_effector_force",
            [](Talon& talon, const Floats& force) {
                return exchange<&Talon::end_effector_force>(talon, force, "force request vector");
            },
            py::arg("force request vector") = zeros, "Send forces to the device and receive device states")
        .def(
            "get_end_effector_position",
            [](Talon& talon, bool onboard) {
                return state_tuple(released(talon, [&] { return talon.get_end_effector_position(onboard); }));
            },
            py::arg("onboard") = true, "Get the end-effector position and velocity")
        .def(
            "adjust_angles",
            [](Talon& talon, const Floats& angles) {
                const float* values = three_values(angles, "angles");
                released(talon, [&] { talon.adjust_angles(values); });
            },
            py::arg("angles") = zeros, "Adjust the angles of the device")
        .def(
            "joint_torques",
            [](Talon& talon, const Floats& torque) {
                return exchange<&Talon::joint_torques>(talon, torque, "joint torque request vector");
            },
            py::arg("joint torque request vector") = zeros,
            "Send joint torques to the device and receive the joint states")
        .def(
            "end_effector_position",
            [](Talon& talon, const Floats& position) {
                return exchange<&Talon::end_effector_position>(talon, position, "position request vector");
            },
            py::arg("position request vector") = zeros, "Send end-effector position and receive device states")
        .def(
            "joint_angles",
            [](Talon& talon, const Floats& angles) {
                return exchange<&Talon::joint_angles>(talon, angles, "joint angle request vector");
            },
            py::arg("joint angle request vector") = zeros,
            "Send joint angles to the device and receive the joint states")
        // Older one-way calls.
        .def(
            "SendDeviceWakeup",
            [](Talon& talon) {
                warn_deprecated("SendDeviceWakeup is deprecated, use device_wakeup instead");
                released(talon, [&] { talon.SendDeviceWakeup(); });
            },
            "[DEPRECATED] Send a device wakeup command")
        .def(
            "ReceiveDeviceInfo",
            [](Talon& talon) {
                const TalonInfo info = released(talon, [&] { return talon.ReceiveDeviceInfo(); });
                return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                                      info.firmware_version, info.device_id_ext);
            },
            kReceiveDeviceInfoDoc)
        .def(
            "SendForce",
            [](Talon& talon, const Floats& force) {
                send<&Talon::SendForce>(talon, force, "force", "SendForce is deprecated, use end_effector_force instead");
            },
            py::arg("force") = zeros, "[Deprecated] Send force to the device")
        .def(
            "SendForce",
            [](Talon& talon, float x, float y, float z) {
                warn_deprecated("SendForce is deprecated, use end_effector_force instead");
                released(talon, [&] { talon.SendForce(x, y, z); });
            },
            py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
            "[Deprecated] Send force to the device")
        .def(
            "ReceiveState",
            [](Talon& talon, Floats position, Floats velocity) {
                return receive_pair<&Talon::ReceiveState>(talon, std::move(position), std::move(velocity),
                                                          "position", "velocity",
                                                          "ReceiveState is deprecated, use end_effector instead");
            },
            py::arg("position") = zeros, py::arg("velocity") = zeros,
            "[Deprecated] receive state and return position and velocity")
        .def(
            "ReceiveJointState",
            [](Talon& talon, Floats joint_position, Floats joint_velocity) {
                return receive_pair<&Talon::ReceiveJointState>(
                    talon, std::move(joint_position), std::move(joint_velocity), "joint_position", "joint_velocity",
                    "ReceiveJointState is deprecated, use joint_torques instead");
            },
            py::arg("joint_position") = zeros, py::arg("joint_velocity") = zeros,
            "[Deprecated] receive joint state and return position and velocity in the joint reference frame")
        .def(
            "SendJointTorques",
            [](Talon& talon, const Floats& torque) {
                send<&Talon::SendJointTorques>(talon, torque, "joint_torque",
                                               "SendJointTorques is deprecated, use joint_torques instead");
            },
            py::arg("joint_torque") = zeros, "[Deprecated] send joint torque")
        .def(
            "SendAngle",
            [](Talon& talon, const Floats& angle) { send<&Talon::SendAngle>(talon, angle, "angle", nullptr); },
            py::arg("angle") = zeros, "Send angles to the device")
        .def(
            "RequestCurrent", [](Talon& talon) { released(talon, [&] { talon.RequestCurrent(); }); }, "request current")
        .def(
            "ReceiveCurrent",
            [](Talon& talon, Floats current) {
                three_values(current, "current");
                released(talon, [&] { talon.ReceiveCurrent(current.data()); });
                return current;
            },
            py::arg("current") = zeros, "receive current and return current")
        .def(
            "SendPosition",
            [](Talon& talon, const Floats& position) {
                send<&Talon::SendPosition>(talon, position, "position",
                                           "SendPosition is deprecated, use end_effector_position instead");
            },
            py::arg("position") = zeros, "[Deprecated] Send Position to the device");
}

}  // namespace vantor_bindings
