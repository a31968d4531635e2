"""Every member of the module, used the way a program uses it: mypy --strict
reports nothing. Only type-checked, never run."""
import uuid

from typing_extensions import assert_type

import VantorHardwareAPI as api

State = tuple[list[float], list[float]]


def module_functions() -> None:
    assert_type(api.get_cpp_version(), str)
    api.print_cpp_version()
    assert_type(api.detect_talons(), list[str])
    assert_type(api.detect_handles(), list[str])
    assert_type(api.detect_wired_handles(), list[str])
    assert_type(api.detect_wireless_handles(), list[str])
    assert_type(api.__version__, str)
    assert_type(api.UUID().bytes(), list[int])
    api.SerialStream(b"/dev/ttyACM0")
    api.SerialStream(bytearray(b"/dev/ttyACM0"))


def is_device(device: api.Device) -> bool:
    return isinstance(device, api.Device)


def talon_members(talon: api.Talon) -> None:
    device_id, model, hardware, firmware, ext = talon.device_wakeup()
    assert_type(device_id, int)
    assert_type(ext, list[int])
    info = talon.device_wakeup_dict()
    assert_type(info["device_id"], int)
    assert_type(info["device_model_number"], int)
    assert_type(info["hardware_version"], int)
    assert_type(info["firmware_version"], int)
    assert_type(info["device_id_ext"].hex, str)
    assert_type(talon.get_firmware_version(), uuid.UUID)
    assert_type(talon.get_device_id(), uuid.UUID)
    assert_type(talon.get_motor_currents(), list[float])
    assert_type(talon.get_device_orientation(), list[float])
    assert_type(talon.get_power_status(), bool)
    assert_type(talon.get_temperature(), float)

    position, velocity = talon.end_effector_force([0.0, 0.0, 1.0])
    assert_type(position, list[float])
    assert_type(velocity, list[float])
    assert_type(talon.end_effector_force(), State)
    assert_type(talon.end_effector_force((0, 0, 1)), State)
    assert_type(talon.end_effector_position([0.0, 0.1, 0.0]), State)
    assert_type(talon.joint_torques([0.0, 0.0, 0.0]), State)
    assert_type(talon.joint_angles([0.0, 0.0, 0.0]), State)
    assert_type(talon.get_end_effector_position(), State)
    assert_type(talon.get_end_effector_position(onboard=False), State)
    talon.adjust_angles(angles=[0.0, 0.0, 0.0])

    talon.SendDeviceWakeup()
    device_id, model, hardware, firmware, legacy_ext = talon.ReceiveDeviceInfo()
    assert_type(legacy_ext, api.UUID)
    talon.SendForce()
    talon.SendForce([0.0, 0.0, 1.0])
    talon.SendForce(1.0)
    talon.SendForce(1, 2, 3)
    talon.SendForce(ForceZ=1.0)
    assert_type(talon.ReceiveState([0.0] * 4, velocity=[0.0] * 3), State)
    assert_type(talon.ReceiveJointState(), State)
    talon.SendJointTorques(joint_torque=[0.0, 0.0, 0.0])
    talon.SendAngle([0.0, 0.0, 0.0])
    talon.RequestCurrent()
    assert_type(talon.ReceiveCurrent(), list[float])
    talon.SendPosition(position=(0.0, 0.0, 0.0))


class Grip(api.Handle):
    def __init__(self, stream: api.SerialStream) -> None:
        super().__init__(stream)
        self.orientations: list[list[float]] = []
        self.data: list[int] = []

    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, device_model_number: int,
                            hardware_version: int, firmware_version: int) -> None:
        pass

    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: list[float], error_flag: int,
                                     hall_effect_sensor_level: int, user_data_length: int,
                                     user_data: list[int]) -> None:
        self.orientations.append(quaternion)
        self.data.extend(user_data[:user_data_length])

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        pass


def handle_members() -> None:
    grip = Grip(api.SerialStream("/dev/ttyUSB0"))
    grip.SendDeviceWakeup()
    grip.SendHandleState()
    grip.SendHandleState(258, 1, 170)
    grip.SendHandleState(device_id=1, data_length=0, user_data=None)
    grip.RequestStatus()
    assert_type(grip.Receive(), int)
    assert_type(grip.Receive(0), int)
    grip.OnReceiveHandleInfo(0, 1, 2, 3, 4)
    grip.OnReceiveHandleErrorResponse(device_id=1, error_code=2)
    status = api.Handle(api.SerialStream("/dev/ttyUSB1")).GetQuillonStatus()
    assert_type(status["device_id"], int)
    assert_type(status["quaternion"], list[float])
    assert_type(status["error_flag"], int)
    assert_type(status["hall_effect_sensor_level"], int)
    assert_type(status["buttons"], int)
    assert_type(status["battery_level"], float)
    talon = api.Talon(api.SerialStream("/dev/ttyACM0"))
    talon_members(talon)
