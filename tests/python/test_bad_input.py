"""Every argument of every member of SerialStream, UUID, Talon and Handle, given
bad values: each must raise TypeError or ValueError before any warning and
write nothing to the port. Huge lists are accepted and only three values used.
"""
import decimal
import fractions
import pathlib
import struct
import warnings

import numpy
import pytest

import VantorHardwareAPI as api


class HandleSubclass(api.Handle):
    pass


# Argument kinds: a good value, then the bad ones with the exception each must
# raise. The pybind11 conversions reject with TypeError; the binding's own
# checks (list length, data_length against the one byte given) with ValueError.
GOOD = {
    "vector": [0.0, 0.0, 0.0],
    "bool": True,
    "float": 0.0,
    "u8": 0,
    "u16": 0,
    "byte-or-None": None,
}

# Integer arguments take ints and numbers that convert to one (a numpy.float32
# or a Decimal, truncated), as the binding library converts them; a float never.
BAD = {
    "vector": [
        ("str", "abc", TypeError),
        ("bytes", b"abc", TypeError),
        ("number", 1.0, TypeError),
        ("None", None, TypeError),
        ("dict", {0: 1.0, 1: 2.0, 2: 3.0}, TypeError),
        ("set", {1.0, 2.0, 3.0}, TypeError),
        ("generator", (x for x in (1.0, 2.0, 3.0)), TypeError),
        ("str-item", [1.0, "x", 3.0], TypeError),
        ("None-item", [1.0, None, 3.0], TypeError),
        ("list-item", [[1.0], 2.0, 3.0], TypeError),
        ("complex-item", [1j, 0.0, 0.0], TypeError),
        ("huge-int-item", [10 ** 400, 0.0, 0.0], TypeError),
        ("numpy-2d", numpy.zeros((3, 3)), TypeError),
        ("empty", [], ValueError),
        ("one", [1.0], ValueError),
        ("two", [1.0, 2.0], ValueError),
        ("short-tuple", (1.0, 2.0), ValueError),
        ("short-numpy", numpy.zeros(2), ValueError),
    ],
    "bool": [
        ("str", "yes", TypeError),
        ("empty-str", "", TypeError),
        ("bytes", b"1", TypeError),
        ("list", [True], TypeError),
        ("dict", {}, TypeError),
        ("numpy-array", numpy.array([1, 2]), TypeError),
    ],
    "float": [
        ("str", "1", TypeError),
        ("bytes", b"1", TypeError),
        ("None", None, TypeError),
        ("list", [1.0], TypeError),
        ("complex", 1j, TypeError),
        ("huge-int", 10 ** 400, TypeError),
    ],
    "u8": [
        ("256", 256, TypeError),
        ("negative", -1, TypeError),
        ("huge", 10 ** 30, TypeError),
        ("huge-negative", -10 ** 30, TypeError),
        ("float", 1.0, TypeError),
        ("numpy-float64", numpy.float64(1.0), TypeError),
        ("numpy-int-300", numpy.int64(300), TypeError),
        ("str", "1", TypeError),
        ("None", None, TypeError),
        ("list", [1], TypeError),
    ],
    "u16": [
        ("65536", 65536, TypeError),
        ("negative", -1, TypeError),
        ("huge", 10 ** 30, TypeError),
        ("float", 1.5, TypeError),
        ("numpy-int-70000", numpy.int64(70000), TypeError),
        ("str", "1", TypeError),
        ("None", None, TypeError),
    ],
    "byte-or-None": [
        ("256", 256, TypeError),
        ("negative", -1, TypeError),
        ("float", 1.5, TypeError),
        ("str", "\x01", TypeError),
        ("bytes", b"\x01", TypeError),
        ("list", [1], TypeError),
    ],
    "port": [
        ("None", None, TypeError),
        ("int", 3, TypeError),
        ("float", 1.5, TypeError),
        ("list", ["/dev/null"], TypeError),
        ("path-object", pathlib.Path("/dev/null"), TypeError),
        ("unencodable", "/dev/tty\udcff", TypeError),
        ("embedded-nul", "{pty}\0junk", ValueError),
    ],
    "stream": [
        ("None", None, TypeError),
        ("path", "/dev/null", TypeError),
        ("int", 0, TypeError),
        ("uuid", api.UUID(), TypeError),
        ("talon", "{talon}", TypeError),
    ],
}

# Every member with the kinds of its arguments. Overloads get one entry each.
MEMBERS = [
    ("SerialStream", ["port"]),
    ("UUID", []),
    ("UUID.bytes", []),
    ("Talon", ["stream"]),
    ("Handle", ["stream"]),
    ("HandleSubclass", ["stream"]),
    ("Talon.device_wakeup", []),
    ("Talon.device_wakeup_dict", []),
    ("Talon.get_firmware_version", []),
    ("Talon.get_device_id", []),
    ("Talon.get_motor_currents", []),
    ("Talon.get_device_orientation", []),
    ("Talon.get_power_status", []),
    ("Talon.get_temperature", []),
    ("Talon.end_effector_force", ["vector"]),
    ("Talon.get_end_effector_position", ["bool"]),
    ("Talon.adjust_angles", ["vector"]),
    ("Talon.joint_torques", ["vector"]),
    ("Talon.end_effector_position", ["vector"]),
    ("Talon.joint_angles", ["vector"]),
    ("Talon.SendDeviceWakeup", []),
    ("Talon.ReceiveDeviceInfo", []),
    ("Talon.SendForce", ["vector"]),
    ("Talon.SendForce", ["float", "float", "float"]),
    ("Talon.ReceiveState", ["vector", "vector"]),
    ("Talon.ReceiveJointState", ["vector", "vector"]),
    ("Talon.SendJointTorques", ["vector"]),
    ("Talon.SendAngle", ["vector"]),
    ("Talon.RequestCurrent", []),
    ("Talon.ReceiveCurrent", ["vector"]),
    ("Talon.SendPosition", ["vector"]),
    ("Handle.SendDeviceWakeup", []),
    ("Handle.SendHandleState", ["u16", "u8", "byte-or-None"]),
    ("Handle.RequestStatus", []),
    ("Handle.OnReceiveHandleInfo", ["u8", "u16", "u8", "u8", "u8"]),
    ("Handle.OnReceiveHandleStatusMessage", ["u16", "float", "u8", "u8", "u8", "u8"]),
    ("Handle.OnReceiveHandleErrorResponse", ["u16", "u8"]),
    ("Handle.Receive", []),
    ("Handle.Receive", ["u8"]),
    ("Handle.GetQuillonStatus", []),
]

# Values another overload of the same member takes as they are.
OTHER_OVERLOAD = {
    ("Talon.SendForce", "number"),  # the three-number form with ForceY, ForceZ 0
}
# Members that accept one more argument through another overload.
TAKES_ONE_MORE = {"Handle.Receive"}


def cases():
    for member, kinds in MEMBERS:
        signature = f"{member}({','.join(kinds)})"
        for index, kind in enumerate(kinds):
            for bad in BAD[kind]:
                marks = ()
                if hasattr(bad, "marks"):  # a pytest.param carrying an xfail
                    marks, bad = bad.marks, bad.values
                name, value, error = bad
                if (member, name) in OTHER_OVERLOAD:
                    continue
                yield pytest.param(member, kinds, index, value, error, None, marks=marks,
                                   id=f"{signature}-arg{index}-{name}")
        if member not in TAKES_ONE_MORE:
            yield pytest.param(member, kinds, len(kinds), object(), TypeError, None,
                               id=f"{signature}-extra-argument")
        yield pytest.param(member, kinds, None, None, TypeError, {"bogus": 1}, id=f"{signature}-unknown-keyword")
    # Values out of range only together with another argument.
    yield pytest.param("Handle.SendHandleState", None, None, (0, 2, 1), ValueError, None,
                       id="Handle.SendHandleState-data_length-2")
    yield pytest.param("Handle.SendHandleState", None, None, (0, 255, 1), ValueError, None,
                       id="Handle.SendHandleState-data_length-255")
    yield pytest.param("Handle.SendHandleState", None, None, (0, 1, None), ValueError, None,
                       id="Handle.SendHandleState-data_length-1-without-data")


class Target:
    """The stream, Talon and Handle on one pseudo-terminal."""

    def __init__(self, pty):
        self.pty = pty
        self.stream = api.SerialStream(pty.path)
        self.talon = api.Talon(self.stream)
        self.handle = api.Handle(self.stream)

    def member(self, name):
        owner, _, attribute = name.partition(".")
        objects = {"SerialStream": api.SerialStream, "UUID": api.UUID, "Talon": api.Talon, "Handle": api.Handle,
                   "HandleSubclass": HandleSubclass}
        if not attribute:
            return objects[owner]
        instance = {"UUID": api.UUID(), "Talon": self.talon, "Handle": self.handle}[owner]
        return getattr(instance, attribute)

    def good(self, kind):
        return {"port": self.pty.path, "stream": self.stream}.get(kind, GOOD.get(kind))

    def resolve(self, value):
        if isinstance(value, str) and value == "{talon}":
            return self.talon
        if isinstance(value, str) and "{pty}" in value:
            return value.replace("{pty}", self.pty.path)
        return value


MARKER_ARGS = (0xBEEF, 1, 0x5A)
MARKER = bytes.fromhex("DB EF BE 01 5A")


@pytest.fixture
def target(pty_device):
    return Target(pty_device)


@pytest.mark.parametrize("member, kinds, index, value, error, keywords", list(cases()))
def test_bad_argument_raises_before_any_warning_and_writes_nothing(target, member, kinds, index, value, error,
                                                                   keywords):
    if kinds is None:
        args = list(value)
    else:
        args = [target.good(kind) for kind in kinds]
        if index is not None:
            args[index:index + 1] = [target.resolve(value)]
    call = target.member(member)
    # Should a bad value get through, Receive finds a reply of no known code
    # and returns at once instead of waiting out the time-out.
    target.pty.send(b"\x0b")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(error):
            call(*args, **(keywords or {}))
    assert [str(w.message) for w in caught] == []
    # The terminal keeps the order of writes: if the marker comes first,
    # the bad call wrote nothing.
    target.handle.SendHandleState(*MARKER_ARGS)
    assert target.pty.read(len(MARKER), wait=2.0) == MARKER


# --- huge lists: accepted, three values used ----------------------------------

HUGE = [1.5, -2.0, 3.25] + [7.0] * (10 ** 6 - 3)
HUGE_REQUEST = struct.pack("<3f", 1.5, -2.0, 3.25)
EE = (0.5, -1.0, 2.0, 0.25, 0.0, -3.0)
JOINTS = (10.0, -20.5, 30.25, 1.5, -2.5, 3.5)
CURRENTS = (1.5, -2.25, 0.125)


def state_reply(code, values):
    return bytes([code]) + struct.pack(f"<{len(values)}f", *values)


@pytest.mark.parametrize("name, reply, written, state", [
    ("end_effector_force", state_reply(43, EE), bytes([42]) + HUGE_REQUEST, EE),
    ("end_effector_position", state_reply(43, EE), bytes([44]) + HUGE_REQUEST, EE),
    ("joint_torques", state_reply(27, JOINTS), bytes([26]) + HUGE_REQUEST, JOINTS),
    ("joint_angles", state_reply(27, JOINTS), bytes([28]) + HUGE_REQUEST, JOINTS),
    ("adjust_angles", state_reply(27, JOINTS), bytes([26]) + bytes(12), None),
    ("SendForce", b"", bytes([42]) + HUGE_REQUEST, None),
    ("SendPosition", b"", bytes([44]) + HUGE_REQUEST, None),
    ("SendJointTorques", b"", bytes([26]) + HUGE_REQUEST, None),
    ("SendAngle", b"", bytes([28]) + HUGE_REQUEST, None),
])
def test_huge_request_list_sends_its_first_three_values(target, name, reply, written, state):
    target.pty.send(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        result = getattr(target.talon, name)(HUGE)
    assert target.pty.read(len(written), wait=2.0) + target.pty.read_all(wait=0.05) == written
    if state is not None:
        assert result == (list(state[:3]), list(state[3:]))
    assert HUGE[:6] == [1.5, -2.0, 3.25, 7.0, 7.0, 7.0] and len(HUGE) == 10 ** 6
    if name == "adjust_angles":
        # The offsets are process-wide: a reference equal to the measured
        # angles sets them back to zero.
        target.pty.send(reply)
        target.talon.adjust_angles(list(JOINTS[:3]))
        assert target.pty.read(13, wait=2.0) == bytes([26]) + bytes(12)


@pytest.mark.parametrize("name, reply, values", [
    ("ReceiveState", state_reply(43, EE), EE),
    ("ReceiveJointState", state_reply(27, JOINTS), JOINTS),
    ("ReceiveCurrent", state_reply(171, CURRENTS), CURRENTS),
])
def test_huge_output_list_gets_three_values_and_keeps_the_rest(target, name, reply, values):
    target.pty.send(reply)
    arguments = [HUGE] * (2 if len(values) == 6 else 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        result = getattr(target.talon, name)(*arguments)
    results = result if isinstance(result, tuple) else (result,)
    for k, out in enumerate(results):
        assert len(out) == 10 ** 6
        assert out[:3] == list(values[3 * k:3 * k + 3])
        assert out[3:] == HUGE[3:]
    assert HUGE[:3] == [1.5, -2.0, 3.25]
    assert target.pty.read_all() == b""
