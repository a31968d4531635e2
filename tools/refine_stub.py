"""Turns a stub that pybind11-stubgen writes into the one that is committed:
VantorHardwareAPI.pyi for the device module, python/vantor/_native.pyi for
the native part of the vantor package.

The generator can only repeat the signature texts of a module, which say
"tuple", "dict" and "object" where the bindings build the result themselves,
and it gives up on the four control exchanges, whose argument names contain
blanks. This script swaps those signatures for precise ones, adds the
TypedDicts of the dict results, writes the generator's fixed-size vectors as
Sequence[float] arguments and list[float] results, and drops the generator's
own imports, so a stub needs nothing beyond the standard library and the
modules of the wheel itself.

Each entry of a SIGNATURES table holds what the generator writes and what the
stub says instead; when the generated text of a member changes, the script
fails, so a changed binding cannot hide behind an old refinement.

Usage: refine_stub.py GENERATED [-o OUTPUT] [--module NAME]
       (default output: standard output; default module: VantorHardwareAPI)
"""
import argparse
import ast
import re
import sys
from typing import NamedTuple

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

# --- vantor._native -----------------------------------------------------------------

# The servo loop's settings, in the order vantor.ServoLoop takes them: how a
# program gives each one, and how ServoConfig gives it back. A setting added
# to the bindings reads back as typing.Any until it is added here.
SETTINGS = {
    "rate_hz": ("float", "float"),
    "force_limit": ("float", "float"),
    "ramp_s": ("float", "float"),
    "velocity_limit": ("float | None", "float | None"),
    "workspace": ("tuple[typing.Sequence[float], typing.Sequence[float]] | None",
                  "tuple[list[float], list[float]] | None"),
    "exchange_deadline_ms": ("float", "float"),
    "link_timeout_ms": ("float", "float"),
    "reply_timeout_s": ("float", "float"),
    "realtime": ("bool | None", "bool | None"),
    "cpu": ("int | None", "int | None"),
    "spin_us": ("float", "float"),
    "reconnect": ("bool", "bool"),
    "reconnect_after_s": ("float", "float"),
    "passivity": ("bool", "bool"),
    "passivity_max_damping": ("float", "float"),
    "velocity_filter_hz": ("float | None", "float | None"),
}


def _settings():
    """ServoConfig: every setting a keyword of its own, and read back typed."""
    keywords = ", ".join(f"{name}: {given} = ..." for name, (given, _) in SETTINGS.items())
    table = {"ServoConfig.__init__": [(
        "def __init__(self, **kwargs) -> None",
        f"def __init__(self, *, {keywords}) -> None",
    )]}
    for name, (_, read) in SETTINGS.items():
        table[f"ServoConfig.{name}"] = [(
            f"@property\ndef {name}(self) -> typing.Any",
            f"@property\ndef {name}(self) -> {read}",
        )]
    return table


NATIVE_SIGNATURES = {
    **_settings(),
    "ServoLoop.__init__": [(
        "def __init__(self, talon_or_port: typing.Any, config: ServoConfig) -> None",
        "def __init__(self, talon_or_port: str | VantorHardwareAPI.Talon, config: ServoConfig) -> None",
    )],
    "ServoLoop.state": [(
        "def state(self) -> dict",
        "def state(self) -> ServoState",
    )],
    "ServoLoop.stats": [(
        "def stats(self) -> dict",
        "def stats(self) -> ServoStats",
    )],
    "ServoLoop.fault": [(
        "@property\ndef fault(self) -> typing.Any",
        "@property\ndef fault(self) -> str | None",
    )],
    "ServoLoop.fault_kind": [(
        "@property\ndef fault_kind(self) -> typing.Any",
        "@property\ndef fault_kind(self) -> str | None",
    )],
    "Sum.__init__": [(
        "def __init__(self, *args) -> None",
        "def __init__(self, *parts: Effect) -> None",
    )],
    "Mesh.__init__": [(
        "def __init__(self, vertices: typing.Any, triangles: typing.Any, *, stiffness: float, damping: float = 0.0,"
        " static_friction: float = 0.0, dynamic_friction: float = 0.0) -> None",
        "def __init__(self, vertices: object, triangles: object, *, stiffness: float, damping: float = 0.0,"
        " static_friction: float = 0.0, dynamic_friction: float = 0.0) -> None",
    )],
    "Mesh.rotation": [(
        "@property\ndef rotation(self) -> typing.Annotated[list[typing.Annotated[list[float],"
        " pybind11_stubgen.typing_ext.FixedSize(3)]], pybind11_stubgen.typing_ext.FixedSize(3)]",
        "@property\ndef rotation(self) -> list[list[float]]",
    ), (
        "@rotation.setter\ndef rotation(self, arg1: typing.Any) -> None",
        "@rotation.setter\ndef rotation(self, arg1: object) -> None",
    )],
    "Callback.__init__": [(
        "def __init__(self, fn: typing.Callable, *, with_time: bool, max_age_s: typing.Any, active: typing.Any = False)"
        " -> None",
        "def __init__(self, fn: typing.Callable[..., typing.Sequence[float]], *, with_time: bool,"
        " max_age_s: float | None, active: bool = False) -> None",
    )],
    # The exception the function raised, or what was wrong with its result.
    "Callback.error": [(
        "@property\ndef error(self) -> typing.Any",
        "@property\ndef error(self) -> BaseException | str | None",
    )],
    "GripReader.__init__": [(
        "def __init__(self, handle_or_port: typing.Any, *, wakeup: typing.Any, on_status: typing.Any,"
        " reconnect: typing.Any, reconnect_after_s: typing.Any) -> None",
        "def __init__(self, handle_or_port: str | VantorHardwareAPI.Handle, *, wakeup: bool,"
        " on_status: typing.Callable[[GripStatus], object] | None, reconnect: bool, reconnect_after_s: float) -> None",
    )],
    "GripReader.latest": [(
        "def latest(self) -> typing.Any",
        "def latest(self) -> GripStatus | None",
    )],
    "GripReader.stats": [(
        "def stats(self) -> dict",
        "def stats(self) -> GripStats",
    )],
    "GripReader.error": [(
        "@property\ndef error(self) -> typing.Any",
        "@property\ndef error(self) -> BaseException | None",
    )],
    "GripReader.fault": [(
        "@property\ndef fault(self) -> typing.Any",
        "@property\ndef fault(self) -> str | None",
    )],
    "TalonProbe.info": [(
        "@property\ndef info(self) -> dict",
        "@property\ndef info(self) -> VantorHardwareAPI._DeviceInfo",
    )],
    "HandleProbe.info": [(
        "@property\ndef info(self) -> typing.Any",
        "@property\ndef info(self) -> _HandleInfo | None",
    )],
    "HandleProbe.status": [(
        "@property\ndef status(self) -> typing.Any",
        "@property\ndef status(self) -> _HandleProbeStatus | None",
    )],
    "route_device_log": [(
        "def route_device_log(target: typing.Any) -> None",
        "def route_device_log(target: logging.Logger | typing.Literal[False] | None) -> None",
    )],
    # A one-dimensional array of servo samples; numpy's arrays are not typed
    # as buffers for every version this package supports.
    "write_recording_csv": [(
        "def write_recording_csv(path: str, samples: typing_extensions.Buffer) -> None",
        "def write_recording_csv(path: str, samples: object) -> None",
    )],
}

# Member -> (generated annotation, refined annotation) of an attribute line.
NATIVE_ATTRIBUTES = {
    "ServoLoop.effect": ("Effect", "Effect | None"),
    "SAMPLE_LAYOUT": ("list", "list[tuple[str, str, int, int, str]]"),
}

# The key layouts are vantor's own, defined once in the package; the probes'
# are used by vantor-doctor only, so they are stub-only names here.
NATIVE_IMPORTS = [
    "import logging",
    "import VantorHardwareAPI",
    "from vantor.grip import GripStats, GripStatus",
    "from vantor.servo import ServoState, ServoStats",
]

NATIVE_TYPED_DICTS = """\
class _HandleInfo(typing.TypedDict):
    tool_data_remaining: int
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
class _HandleProbeStatus(typing.TypedDict):
    device_id: int
    quaternion: list[float]
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes
"""


class Stub(NamedTuple):
    signatures: dict
    attributes: dict
    imports: list
    typed_dicts: str


STUBS = {
    "VantorHardwareAPI": Stub(SIGNATURES, {}, ["import uuid"], TYPED_DICTS),
    "vantor._native": Stub(NATIVE_SIGNATURES, NATIVE_ATTRIBUTES, NATIVE_IMPORTS, NATIVE_TYPED_DICTS),
}

# The generator's own imports: nothing it names stays in a refined stub.
GENERATOR_IMPORTS = ["import pybind11_stubgen.typing_ext", "import typing_extensions"]

# Left in the output, any of these means a member the table does not cover yet.
IMPRECISE = [r"pybind11_stubgen", r"typing_extensions", r"\*args", r"typing\.Any", r"-> (tuple|dict|object):",
             r": \w+ = None\b", r"typing\.Callable(?!\[)", r"(?m)^ *\w+: (list|dict|tuple)\b(?!\[)"]

DEF = re.compile(r"^( *)def (\w+)\(")
CLASS = re.compile(r"^class (\w+)\b")
ATTRIBUTE = re.compile(r"^( *)(\w+): (.+?)( = .*|  # .*)?$")
# What the generator writes for a fixed-size list, such as a 3-vector.
COMPARISON = re.compile(r"^(def __(?:eq|ne)__\(self, other: )typing\.Any\)")
FIXED_SIZE = re.compile(r"typing\.Annotated\[list\[(\w+)\], pybind11_stubgen\.typing_ext\.FixedSize\(\d+\)\]")


class RefineError(Exception):
    pass


def _header(lines, stub):
    """Drops the generator's imports, adds the stub's own beside typing and
    its TypedDicts after __all__."""
    if "import typing" not in lines:
        raise RefineError("the generated stub no longer imports typing")
    out = []
    for line in lines:
        if line in GENERATOR_IMPORTS:
            continue
        out.append(line)
        if line == "import typing":
            out.extend(stub.imports)
        elif line.startswith("__all__"):
            out.extend(stub.typed_dicts.splitlines())
    return out


def _generic(signature):
    """What holds for every member the table does not name: a fixed-size
    list is taken as any sequence and given as a list, and an enum compares
    with any object."""
    head, arrow, result = signature.rpartition(" -> ")
    if not arrow:
        return signature
    head = COMPARISON.sub(r"\1object)", head)
    return FIXED_SIZE.sub(r"typing.Sequence[\1]", head) + arrow + FIXED_SIZE.sub(r"list[\1]", result)


def refine(text, module="VantorHardwareAPI"):
    stub = STUBS[module]
    lines = _header(text.splitlines(), stub)
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
            out.append(_attribute(line, cls, stub, seen))
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
        pairs = stub.signatures.get(key)
        if pairs is None:
            out.extend(indent + part for part in _generic(generated).split("\n"))
            out[-1] += ":"
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
    for key, pairs in stub.signatures.items():
        if seen.get(key, 0) != len(pairs):
            raise RefineError(f"{key}: the generated stub has {seen.get(key, 0)} of its {len(pairs)} signatures")
    for key in stub.attributes:
        if key not in seen:
            raise RefineError(f"{key}: the generated stub no longer has this attribute")
    result = "\n".join(out) + "\n"
    for pattern in IMPRECISE:
        found = re.search(pattern, result)
        if found:
            line = result[:found.start()].count("\n") + 1
            raise RefineError(f"line {line}: {pattern!r} left in the refined stub; add the member to the table")
    ast.parse(result)
    return result


def _attribute(line, cls, stub, seen):
    """An attribute line, with its annotation refined when the table has it."""
    match = ATTRIBUTE.match(line)
    if not match:
        return line
    indent, name, annotation, rest = match.groups()
    key = f"{cls}.{name}" if indent else name
    if key not in stub.attributes:
        return line
    seen[key] = 1
    expected, refined = stub.attributes[key]
    if annotation != expected:
        raise RefineError(f"{key}: the generated annotation changed; update tools/refine_stub.py\n"
                          f"  table:     {expected!r}\n  generated: {annotation!r}")
    return f"{indent}{name}: {refined}{rest or ''}"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Refines a generated stub of VantorHardwareAPI or vantor._native.")
    parser.add_argument("generated")
    parser.add_argument("-o", "--output")
    parser.add_argument("--module", choices=sorted(STUBS), default="VantorHardwareAPI")
    args = parser.parse_args(argv)
    with open(args.generated, encoding="utf-8") as f:
        text = f.read()
    try:
        result = refine(text, args.module)
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
