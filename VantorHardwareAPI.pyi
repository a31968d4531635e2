"""
Python Implementation of the Vantor Hardware API
"""
from __future__ import annotations
import typing
import uuid
__all__: list[str] = ['Device', 'Handle', 'SerialStream', 'Talon', 'UUID', 'detect_handles', 'detect_talons', 'detect_wired_handles', 'detect_wireless_handles', 'get_cpp_version', 'print_cpp_version']
class _DeviceInfo(typing.TypedDict):
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
    device_id_ext: uuid.UUID
class _QuillonStatus(typing.TypedDict):
    device_id: int
    quaternion: list[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float
class Device:
    pass
class Handle:
    """
    The quillon handle class
    """
    def GetQuillonStatus(self) -> _QuillonStatus:
        """
        Get the most recent Quillon informations
        """
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        """
        OnReceiveHandleErrorResponse
        """
    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int, device_model_number: int, hardware_version: int, firmware_version: int) -> None:
        """
        OnReceiveHandleInfo
        """
    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: list[float], error_flag: int, hall_effect_sensor_level: int, user_data_length: int, user_data: list[int]) -> None:
        """
        OnReceiveHandleStatusMessage
        """
    @typing.overload
    def Receive(self) -> int:
        """
        Receive data from the handle
        """
    @typing.overload
    def Receive(self, obsolete: int) -> int:
        """
        [DEPRECATED] Receive current and return current
        """
    def RequestStatus(self) -> None:
        """
        request handle status
        """
    def SendDeviceWakeup(self) -> None:
        ...
    def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: int | None = None) -> None:
        """
        send handle state
        """
    def __init__(self, stream: SerialStream, /) -> None:
        ...
class SerialStream:
    def __init__(self, port: str | bytes | bytearray, /) -> None:
        """
        Initialize the serial stream
        """
class Talon:
    """
    Talon Device Class
    """
    def end_effector_force(self, force_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send forces to the device and receive device states
        """
    def end_effector_position(self, position_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send end-effector position and receive device states
        """
    def joint_angles(self, joint_angle_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send joint angles to the device and receive the joint states
        """
    def joint_torques(self, joint_torque_request_vector: typing.Sequence[float] = [0.0, 0.0, 0.0], /) -> tuple[list[float], list[float]]:
        """
        Send joint torques to the device and receive the joint states
        """
    def ReceiveCurrent(self, current: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> list[float]:
        """
        receive current and return current
        """
    def ReceiveDeviceInfo(self) -> tuple[int, int, int, int, UUID]:
        """
                    Receive device info and return a tuple with the following fields: 
        
                    device_id (uint16_t)
                    
                    device_model_num (uint8_t)
                    
                    hardware_version (uint8_t)
                    
                    firmware_version (uint8_t)
                    
                    device_id_ext (UUID)
        """
    def ReceiveJointState(self, joint_position: typing.Sequence[float] = [0.0, 0.0, 0.0], joint_velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> tuple[list[float], list[float]]:
        """
        [Deprecated] receive joint state and return position and velocity in the joint reference frame
        """
    def ReceiveState(self, position: typing.Sequence[float] = [0.0, 0.0, 0.0], velocity: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> tuple[list[float], list[float]]:
        """
        [Deprecated] receive state and return position and velocity
        """
    def RequestCurrent(self) -> None:
        """
        request current
        """
    def SendAngle(self, angle: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        Send angles to the device
        """
    def SendDeviceWakeup(self) -> None:
        """
        [DEPRECATED] Send a device wakeup command
        """
    @typing.overload
    def SendForce(self, force: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        [Deprecated] Send force to the device
        """
    @typing.overload
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None:
        """
        [Deprecated] Send force to the device
        """
    def SendJointTorques(self, joint_torque: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        [Deprecated] send joint torque
        """
    def SendPosition(self, position: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        [Deprecated] Send Position to the device
        """
    def __init__(self, stream: SerialStream, /) -> None:
        ...
    def adjust_angles(self, angles: typing.Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """
        Adjust the angles of the device
        """
    def device_wakeup(self) -> tuple[int, int, int, int, list[int]]:
        """
        Wakeup the device and return the device info as a tuple.
        """
    def device_wakeup_dict(self) -> _DeviceInfo:
        """
        Wakeup the device and return the device info as a dict.
        """
    def get_device_id(self) -> uuid.UUID:
        """
        Receive the UUID of the device.
        """
    def get_device_orientation(self) -> list[float]:
        """
        Receive the orientation of the base of the device.
        """
    def get_end_effector_position(self, onboard: bool = True) -> tuple[list[float], list[float]]:
        """
        Get the end-effector position and velocity
        """
    def get_firmware_version(self) -> uuid.UUID:
        """
        Receive the firmware version of the device.
        """
    def get_motor_currents(self) -> list[float]:
        """
        Receive the motor currents of the device.
        """
    def get_power_status(self) -> bool:
        """
        Receive the power status of the device.
        """
    def get_temperature(self) -> float:
        """
        Receive the temperature of the device.
        """
class UUID:
    def __init__(self) -> None:
        ...
    def bytes(self) -> list[int]:
        ...
def detect_handles() -> list[str]:
    """
    detect available handles
    """
def detect_talons() -> list[str]:
    """
    detect available talon devices
    """
def detect_wired_handles() -> list[str]:
    """
    detect available wired handles
    """
def detect_wireless_handles() -> list[str]:
    """
    detect available wireless handles
    """
def get_cpp_version() -> str:
    """
    Get the version of the CPP library
    """
def print_cpp_version() -> None:
    """
    Print the version of the CPP library
    """
__version__: str = 'dev'
