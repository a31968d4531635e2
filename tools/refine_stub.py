"""Turns the stub that pybind11-stubgen writes into the one that is committed.

The generator can only repeat the signature texts of the module, which say
"tuple", "dict" and "object" where the bindings build the result themselves,
and it gives up on the four control exchanges, whose argument names contain
blanks. This script swaps those signatures for precise ones, adds the
TypedDicts of the dict results and drops the generator's own import, so the
stub needs nothing beyond the standard library.

Each entry of SIGNATURES holds what the generator writes and what the stub
says instead; when the generated text of a member changes, the script fails,
so a changed binding cannot hide behind an old refinement.

Usage: refine_stub.py GENERATED [-o OUTPUT]   (default output: standard output)
"""
import argparse
import ast
import re
import sys

VECTOR = "typing.Sequence[float] = [0.0, 0.0, 0.0]"
STATE = "tuple[list[float], list[float]]"

# Member -> one (generated, refined) pair per overload, in order. A signature
# is its decorators and its def line, without the closing colon.
SIGNATURES = {
    "SerialStream.__init__": [(
        "def __init__(self, arg0: str) -> None",
        "def __init__(self, port: str | bytes | bytearray, /) -> None",
    )],
    "Talon.__init__": [(
        "def __init__(self, arg0: SerialStream) -> None",
        "def __init__(self, stream: SerialStream, /) -> None",
    )],
    "Talon.device_wakeup": [(
        "def device_wakeup(self) -> tuple",
        "def device_wakeup(self) -> tuple[int, int, int, int, list[int]]",
    )],
    "Talon.device_wakeup_dict": [(
        "def device_wakeup_dict(self) -> dict",
        "def device_wakeup_dict(self) -> _DeviceInfo",
    )],
    "Talon.get_firmware_version": [(
        "def get_firmware_version(self) -> typing.Any",
        "def get_firmware_version(self) -> uuid.UUID",
    )],
    "Talon.get_device_id": [(
        "def get_device_id(self) -> typing.Any",
        "def get_device_id(self) -> uuid.UUID",
    )],
    "Talon.get_motor_currents": [(
        "def get_motor_currents(self) -> typing.Annotated[list[float], pybind11_stubgen.typing_ext.FixedSize(3)]",
        "def get_motor_currents(self) -> list[float]",
    )],
    "Talon.get_device_orientation": [(
        "def get_device_orientation(self) -> typing.Annotated[list[float], pybind11_stubgen.typing_ext.FixedSize(4)]",
        "def get_device_orientation(self) -> list[float]",
    )],
    # The runtime names of the exchanges' arguments contain blanks, so they
    # are passed by position only.
    "Talon.end_effector_force": [(
        "@staticmethod\ndef end_effector_force(*args, **kwargs) -> tuple",
        f"def end_effector_force(self, force_request_vector: {VECTOR}, /) -> {STATE}",
    )],
    "Talon.get_end_effector_position": [(
        "def get_end_effector_position(self, onboard: bool = True) -> tuple",
        f"def get_end_effector_position(self, onboard: bool = True) -> {STATE}",
    )],
    "Talon.adjust_angles": [(
        "def adjust_angles(self, angles: list[float] = [0.0, 0.0, 0.0]) -> None",
        f"def adjust_angles(self, angles: {VECTOR}) -> None",
    )],
    "Talon.joint_torques": [(
        "@staticmethod\ndef joint_torques(*args, **kwargs) -> tuple",
        f"def joint_torques(self, joint_torque_request_vector: {VECTOR}, /) -> {STATE}",
    )],
    "Talon.end_effector_position": [(
        "@staticmethod\ndef end_effector_position(*args, **kwargs) -> tuple",
        f"def end_effector_position(self, position_request_vector: {VECTOR}, /) -> {STATE}",
    )],
    "Talon.joint_angles": [(
        "@staticmethod\ndef joint_angles(*args, **kwargs) -> tuple",
        f"def joint_angles(self, joint_angle_request_vector: {VECTOR}, /) -> {STATE}",
    )],
    "Talon.ReceiveDeviceInfo": [(
        "def ReceiveDeviceInfo(self) -> tuple",
        "def ReceiveDeviceInfo(self) -> tuple[int, int, int, int, UUID]",
    )],
    "Talon.SendForce": [(
        "@typing.overload\ndef SendForce(self, force: list[float] = [0.0, 0.0, 0.0]) -> None",
        f"@typing.overload\ndef SendForce(self, force: {VECTOR}) -> None",
    ), (
        "@typing.overload\ndef SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None",
        "@typing.overload\ndef SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None",
    )],
    # The lists come back with the length they were given.
    "Talon.ReceiveState": [(
        "def ReceiveState(self, position: list[float] = [0.0, 0.0, 0.0], velocity: list[float] = [0.0, 0.0, 0.0])"
        " -> tuple",
        f"def ReceiveState(self, position: {VECTOR}, velocity: {VECTOR}) -> {STATE}",
    )],
    "Talon.ReceiveJointState": [(
        "def ReceiveJointState(self, joint_position: list[float] = [0.0, 0.0, 0.0],"
        " joint_velocity: list[float] = [0.0, 0.0, 0.0]) -> tuple",
        f"def ReceiveJointState(self, joint_position: {VECTOR}, joint_velocity: {VECTOR}) -> {STATE}",
    )],
    "Talon.SendJointTorques": [(
        "def SendJointTorques(self, joint_torque: list[float] = [0.0, 0.0, 0.0]) -> None",
        f"def SendJointTorques(self, joint_torque: {VECTOR}) -> None",
    )],
    "Talon.SendAngle": [(
        "def SendAngle(self, angle: list[float] = [0.0, 0.0, 0.0]) -> None",
        f"def SendAngle(self, angle: {VECTOR}) -> None",
    )],
    "Talon.ReceiveCurrent": [(
        "def ReceiveCurrent(self, current: list[float] = [0.0, 0.0, 0.0]) -> list[float]",
        f"def ReceiveCurrent(self, current: {VECTOR}) -> list[float]",
    )],
    "Talon.SendPosition": [(
        "def SendPosition(self, position: list[float] = [0.0, 0.0, 0.0]) -> None",
        f"def SendPosition(self, position: {VECTOR}) -> None",
    )],
    "Handle.__init__": [(
        "def __init__(self, arg0: SerialStream) -> None",
        "def __init__(self, stream: SerialStream, /) -> None",
    )],
    "Handle.SendHandleState": [(
        "def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: int = None) -> None",
        "def SendHandleState(self, device_id: int = 0, data_length: int = 0, user_data: int | None = None) -> None",
    )],
    # What an override receives when Receive calls it: the library passes
    # four floats and user_data_length bytes, as lists.
    "Handle.OnReceiveHandleStatusMessage": [(
        "def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: float, error_flag: int,"
        " hall_effect_sensor_level: int, user_data_length: int, user_data: int) -> None",
        "def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: list[float], error_flag: int,"
        " hall_effect_sensor_level: int, user_data_length: int, user_data: list[int]) -> None",
    )],
    "Handle.GetQuillonStatus": [(
        "def GetQuillonStatus(self) -> dict",
        "def GetQuillonStatus(self) -> _QuillonStatus",
    )],
}

# The dict results, keys in the order the bindings build them. Stub-only
# names: they do not exist at run time.
TYPED_DICTS = '''\
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
'''

# Left in the output, any of these means a member the table does not cover yet.
IMPRECISE = [r"pybind11_stubgen", r"\*args", r"typing\.Any", r"-> (tuple|dict|object):", r": \w+ = None\b"]

DEF = re.compile(r"^( *)def (\w+)\(")
CLASS = re.compile(r"^class (\w+)\b")


class RefineError(Exception):
    pass


def _header(lines):
    """Drops the generator's import and adds uuid beside typing."""
    if "import typing" not in lines:
        raise RefineError("the generated stub no longer imports typing")
    out = []
    for line in lines:
        if line == "import pybind11_stubgen.typing_ext":
            continue
        out.append(line)
        if line == "import typing":
            out.append("import uuid")
        elif line.startswith("__all__"):
            out.extend(TYPED_DICTS.splitlines())
    return out


def refine(text):
    lines = _header(text.splitlines())
    out = []
    seen = {}
    cls = None
    decorators = []
    in_doc = False
    for line in lines:
        # Docstrings pass through untouched: the generator puts each quote on a line of its own.
        quote = line.strip() == '"""'
        if quote:
            in_doc = not in_doc
        if in_doc or quote:
            out.extend(decorators)
            decorators = []
            out.append(line)
            continue
        if line and not line.startswith((" ", "@")):
            match = CLASS.match(line)
            cls = match.group(1) if match else None
        if line.lstrip().startswith("@"):
            decorators.append(line)
            continue
        match = DEF.match(line)
        if not match:
            out.extend(decorators)
            decorators = []
            out.append(line)
            continue
        indent, name = match.groups()
        key = f"{cls}.{name}" if indent else name
        index = seen.get(key, 0)
        seen[key] = index + 1
        block, decorators = decorators + [line], []
        generated = "\n".join(part.strip() for part in block)
        if not generated.endswith(":"):
            raise RefineError(f"{key}: unexpected def line {line!r}")
        generated = generated[:-1]
        pairs = SIGNATURES.get(key)
        if pairs is None:
            out.extend(block)
            continue
        if index >= len(pairs):
            raise RefineError(f"{key}: more overloads than the table knows")
        expected, refined = pairs[index]
        if generated != expected:
            raise RefineError(
                f"{key}: the generated signature changed; update tools/refine_stub.py\n"
                f"  table:     {expected!r}\n  generated: {generated!r}")
        out.extend(indent + part for part in refined.split("\n"))
        out[-1] += ":"
    for key, pairs in SIGNATURES.items():
        if seen.get(key, 0) != len(pairs):
            raise RefineError(f"{key}: the generated stub has {seen.get(key, 0)} of its {len(pairs)} signatures")
    result = "\n".join(out) + "\n"
    for pattern in IMPRECISE:
        found = re.search(pattern, result)
        if found:
            line = result[:found.start()].count("\n") + 1
            raise RefineError(f"line {line}: {pattern!r} left in the refined stub; add the member to the table")
    ast.parse(result)
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description="Refines the generated stub of VantorHardwareAPI.")
    parser.add_argument("generated")
    parser.add_argument("-o", "--output")
    args = parser.parse_args(argv)
    with open(args.generated, encoding="utf-8") as f:
        text = f.read()
    try:
        result = refine(text)
    except RefineError as error:
        sys.exit(f"refine_stub: {error}")
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(result)
    else:
        sys.stdout.write(result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
