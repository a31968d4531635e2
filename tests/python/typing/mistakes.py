"""Typical mistakes: mypy --strict reports an error on each line that ends in
an "E:" comment (the error code, then part of the message), and nowhere else.
Only type-checked, never run."""
import VantorHardwareAPI as api


def talon_mistakes(talon: api.Talon) -> None:
    talon.end_effector_force("0.0, 0.0, 1.0")  # E: arg-type "str"; expected "Sequence[float]"
    talon.end_effector_force(force_request_vector=[0.0, 0.0, 1.0])  # E: call-arg Unexpected keyword argument
    talon.get_end_effector_position(onboard="yes")  # E: arg-type expected "bool"
    position: float = talon.end_effector_force()[0]  # E: assignment "list[float]"
    talon.device_wakeup_dict()["device_id_ext"].bytes()  # E: operator "bytes" not callable
    talon.device_wakeup_dict()["device_idext"]  # E: typeddict-item "device_idext"
    api.Talon()  # E: call-arg Too few arguments for "Talon"


def handle_mistakes(grip: api.Handle) -> None:
    grip.SendHandleState(user_data="A")  # E: arg-type expected "int | None"
    grip.OnReceiveHandleErrorResponse(1)  # E: call-arg Missing positional argument "error_code"
    level = grip.GetQuillonStatus()["batery_level"]  # E: typeddict-item "batery_level"


class Grip(api.Handle):
    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: float, error_flag: int, hall_effect_sensor_level: int, user_data_length: int, user_data: list[int]) -> None:  # E: override supertype defines the argument type as "list[float]"
        pass
