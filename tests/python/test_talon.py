"""The Talon class driven through the module, with a pseudo-terminal playing the arm.

Replies are written to the master side before the call that reads them: the
library finds them waiting, so exchanges need no second thread.
"""
import gc
import struct
import threading
import time
import uuid
import warnings

import numpy
import pytest

import VantorHardwareAPI as api
from conftest import DeviceOnPty

ID_HEX = "00112233445566778899aabbccddeeff"
ID_BYTES = bytes.fromhex(ID_HEX)


def floats(*values):
    return struct.pack(f"<{len(values)}f", *values)


def request(code, *values):
    return bytes([code]) + floats(*values)


ZERO_REQUEST = (0.0, 0.0, 0.0)

# Replies with values that single precision holds exactly, so results compare with ==.
INFO_REPLY = bytes([11]) + struct.pack("<HBBB", 0xFEDC, 4, 250, 7) + ID_BYTES
EE_REPLY = bytes([43]) + floats(0.5, -1.25, 2.0, 0.25, -0.5, 8.0)
EE_STATE = ([0.5, -1.25, 2.0], [0.25, -0.5, 8.0])
JOINT_REPLY = bytes([27]) + floats(10.0, -20.5, 30.25, 1.5, -2.5, 3.5)
JOINT_STATE = ([10.0, -20.5, 30.25], [1.5, -2.5, 3.5])
CURRENTS_REPLY = bytes([171]) + floats(1.5, -2.25, 0.125)
CURRENTS = [1.5, -2.25, 0.125]


class Arm(DeviceOnPty):
    def __init__(self, pty):
        super().__init__(pty)
        self.stream = api.SerialStream(pty.path)
        self.talon = api.Talon(self.stream)


@pytest.fixture
def arm(pty_device):
    return Arm(pty_device)


@pytest.fixture
def second_pty(pty_device):
    other = type(pty_device)()
    yield other
    other.close()


def calibrate(arm, reference, measured):
    arm.reply(bytes([27]) + floats(*measured, 0.0, 0.0, 0.0))
    assert arm.talon.adjust_angles(list(reference)) is None
    assert arm.written(13) == request(26, *ZERO_REQUEST)


def host_position(arm, angles):
    arm.reply(bytes([27]) + floats(*angles, 9.0, 9.0, 9.0))
    result = arm.talon.get_end_effector_position(False)
    assert arm.written(13) == request(26, *ZERO_REQUEST)
    return result


@pytest.fixture
def zero_offsets(arm):
    # The joint-angle offsets are process-wide: start and end from zero.
    calibrate(arm, (0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    yield
    calibrate(arm, (0.0, 0.0, 0.0), (0.0, 0.0, 0.0))


# --- class shape ---------------------------------------------------------

MEMBERS = [
    "__init__", "device_wakeup", "device_wakeup_dict", "get_firmware_version", "get_device_id",
    "get_motor_currents", "get_device_orientation", "get_power_status", "get_temperature",
    "end_effector_force", "get_end_effector_position", "adjust_angles", "joint_torques",
    "end_effector_position", "joint_angles", "SendDeviceWakeup", "ReceiveDeviceInfo", "SendForce",
    "ReceiveState", "ReceiveJointState", "SendJointTorques", "SendAngle", "RequestCurrent",
    "ReceiveCurrent", "SendPosition",
]


def test_class_members_in_registration_order():
    assert api.Talon.__doc__ == "Talon Device Class"
    assert not issubclass(api.Talon, api.Device)
    names = [n for n in api.Talon.__dict__ if n == "__init__" or not n.startswith("_")]
    assert names == MEMBERS


@pytest.mark.parametrize("name, doc", [
    ("__init__", "__init__(self: VantorHardwareAPI.Talon, arg0: VantorHardwareAPI.SerialStream) -> None\n"),
    ("device_wakeup", "device_wakeup(self: VantorHardwareAPI.Talon) -> tuple\n\n"
                      "Wakeup the device and return the device info as a tuple.\n"),
    ("get_device_id", "get_device_id(self: VantorHardwareAPI.Talon) -> object\n\nReceive the UUID of the device.\n"),
    ("get_motor_currents", "get_motor_currents(self: VantorHardwareAPI.Talon) -> "
                           "Annotated[List[float], FixedSize(3)]\n\nReceive the motor currents of the device.\n"),
    ("get_device_orientation", "get_device_orientation(self: VantorHardwareAPI.Talon) -> "
                               "Annotated[List[float], FixedSize(4)]\n\n"
                               "Receive the orientation of the base of the device.\n"),
    ("get_power_status", "get_power_status(self: VantorHardwareAPI.Talon) -> bool\n\n"
                         "Receive the power status of the device.\n"),
    ("end_effector_force", "end_effector_force(self: VantorHardwareAPI.Talon, force request vector: "
                           "List[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
                           "Send forces to the device and receive device states\n"),
    ("joint_torques", "joint_torques(self: VantorHardwareAPI.Talon, joint torque request vector: "
                      "List[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
                      "Send joint torques to the device and receive the joint states\n"),
    ("get_end_effector_position", "get_end_effector_position(self: VantorHardwareAPI.Talon, "
                                  "onboard: bool = True) -> tuple\n\nGet the end-effector position and velocity\n"),
    ("SendDeviceWakeup", "SendDeviceWakeup(self: VantorHardwareAPI.Talon) -> None\n\n"
                         "[DEPRECATED] Send a device wakeup command\n"),
    ("ReceiveState", "ReceiveState(self: VantorHardwareAPI.Talon, position: List[float] = [0.0, 0.0, 0.0], "
                     "velocity: List[float] = [0.0, 0.0, 0.0]) -> tuple\n\n"
                     "[Deprecated] receive state and return position and velocity\n"),
    ("ReceiveCurrent", "ReceiveCurrent(self: VantorHardwareAPI.Talon, current: List[float] = [0.0, 0.0, 0.0]) "
                       "-> List[float]\n\nreceive current and return current\n"),
    ("SendForce", "SendForce(*args, **kwargs)\nOverloaded function.\n\n"
                  "1. SendForce(self: VantorHardwareAPI.Talon, force: List[float] = [0.0, 0.0, 0.0]) -> None\n\n"
                  "[Deprecated] Send force to the device\n\n"
                  "2. SendForce(self: VantorHardwareAPI.Talon, ForceX: float = 0, ForceY: float = 0, "
                  "ForceZ: float = 0) -> None\n\n[Deprecated] Send force to the device\n"),
])
def test_signatures_and_docstrings(name, doc):
    assert getattr(api.Talon, name).__doc__ == doc


def test_receive_device_info_docstring():
    pad = " " * 12
    text = "\n".join([
        "", pad + "Receive device info and return a tuple with the following fields: ", "",
        pad + "device_id (uint16_t)", pad, pad + "device_model_num (uint8_t)", pad,
        pad + "hardware_version (uint8_t)", pad, pad + "firmware_version (uint8_t)", pad,
        pad + "device_id_ext (UUID)", pad,
    ])
    assert len(text.split("\n")) == 13
    assert api.Talon.ReceiveDeviceInfo.__doc__ == (
        "ReceiveDeviceInfo(self: VantorHardwareAPI.Talon) -> tuple\n\n" + text + "\n")


# --- construction and ownership -------------------------------------------

@pytest.mark.parametrize("bad", [None, "/dev/null", 3])
def test_constructor_rejects_anything_but_a_stream(bad):
    with pytest.raises(TypeError):
        api.Talon(bad)


def test_construction_sends_nothing_and_the_device_keeps_its_stream_alive(pty_device):
    stream = api.SerialStream(pty_device.path)
    first = api.Talon(stream)
    talon = api.Talon(stream)
    del stream, first
    gc.collect()
    assert pty_device.read_all(wait=0.05) == b""
    pty_device.send(CURRENTS_REPLY)
    assert talon.get_motor_currents() == CURRENTS
    assert pty_device.read(1) == bytes([171])


# --- requests and replies -------------------------------------------------

EXCHANGES = [
    pytest.param(lambda t: t.device_wakeup(), INFO_REPLY, b"\x0a",
                 (0xFEDC, 4, 250, 7, list(ID_BYTES)), id="device_wakeup"),
    pytest.param(lambda t: t.device_wakeup_dict(), INFO_REPLY, b"\x0a",
                 {"device_id": 0xFEDC, "device_model_number": 4, "hardware_version": 250,
                  "firmware_version": 7, "device_id_ext": uuid.UUID(hex=ID_HEX)}, id="device_wakeup_dict"),
    pytest.param(lambda t: t.get_device_id(), bytes([13, 209, 16]) + ID_BYTES, bytes([13, 209]),
                 uuid.UUID(hex=ID_HEX), id="get_device_id"),
    pytest.param(lambda t: t.get_firmware_version(), bytes([13, 210, 16]) + ID_BYTES[::-1], bytes([13, 210]),
                 uuid.UUID(hex=ID_BYTES[::-1].hex()), id="get_firmware_version"),
    pytest.param(lambda t: t.get_device_id(), bytes([13, 209, 15]) + ID_BYTES, bytes([13, 209]),
                 uuid.UUID(int=0), id="get_device_id-length-15"),
    pytest.param(lambda t: t.get_motor_currents(), CURRENTS_REPLY, bytes([171]), CURRENTS,
                 id="get_motor_currents"),
    pytest.param(lambda t: t.get_device_orientation(), bytes([12]) + floats(0.5, -0.5, 0.25, -1.0), bytes([12]),
                 [0.5, -0.5, 0.25, -1.0], id="get_device_orientation"),
    pytest.param(lambda t: t.get_power_status(), bytes([172, 2]), bytes([172]), True, id="get_power_status"),
    pytest.param(lambda t: t.get_temperature(), bytes([170]) + floats(36.5), bytes([170]), 36.5,
                 id="get_temperature"),
    pytest.param(lambda t: t.end_effector_force([1.0, -2.0, 0.5]), EE_REPLY, request(42, 1.0, -2.0, 0.5),
                 EE_STATE, id="end_effector_force"),
    pytest.param(lambda t: t.end_effector_position([0.1, 0.2, -0.3]), EE_REPLY, request(44, 0.1, 0.2, -0.3),
                 EE_STATE, id="end_effector_position"),
    pytest.param(lambda t: t.joint_torques([3.0, -4.0, 5.0]), JOINT_REPLY, request(26, 3.0, -4.0, 5.0),
                 JOINT_STATE, id="joint_torques"),
    pytest.param(lambda t: t.joint_angles([45.0, -90.0, -135.0]), JOINT_REPLY, request(28, 45.0, -90.0, -135.0),
                 JOINT_STATE, id="joint_angles"),
    pytest.param(lambda t: t.get_end_effector_position(), EE_REPLY, request(42, *ZERO_REQUEST), EE_STATE,
                 id="get_end_effector_position-default"),
    pytest.param(lambda t: t.get_end_effector_position(True), EE_REPLY, request(42, *ZERO_REQUEST), EE_STATE,
                 id="get_end_effector_position-onboard"),
    pytest.param(lambda t: t.end_effector_force(), EE_REPLY, request(42, *ZERO_REQUEST), EE_STATE,
                 id="end_effector_force-default"),
    pytest.param(lambda t: t.joint_angles(**{"joint angle request vector": [1.0, 2.0, 3.0]}), JOINT_REPLY,
                 request(28, 1.0, 2.0, 3.0), JOINT_STATE, id="joint_angles-unpacked-name"),
    pytest.param(lambda t: t.end_effector_force([1.0, 2.0, 3.0, 4.0]), EE_REPLY, request(42, 1.0, 2.0, 3.0),
                 EE_STATE, id="end_effector_force-four-values"),
    pytest.param(lambda t: t.end_effector_position((1.5, 2.5, 3.5)), EE_REPLY, request(44, 1.5, 2.5, 3.5),
                 EE_STATE, id="tuple-of-floats"),
    pytest.param(lambda t: t.joint_torques([1, 2, 3]), JOINT_REPLY, request(26, 1.0, 2.0, 3.0), JOINT_STATE,
                 id="list-of-ints"),
    pytest.param(lambda t: t.joint_torques(numpy.array([1.0, 2.0, 3.0])), JOINT_REPLY,
                 request(26, 1.0, 2.0, 3.0), JOINT_STATE, id="numpy-array"),
]


@pytest.mark.parametrize("call, reply, sent, expected", EXCHANGES)
def test_exchange_bytes_and_decoded_reply(arm, call, reply, sent, expected):
    arm.reply(reply)
    result = call(arm.talon)
    assert arm.written(len(sent)) == sent
    assert type(result) is type(expected)
    assert result == expected
    if isinstance(result, dict):
        assert list(result) == list(expected)
    if isinstance(result, tuple):
        for got, want in zip(result, expected):
            assert type(got) is type(want)
            if isinstance(want, list):
                assert all(type(item) is type(w) for item, w in zip(got, want))


@pytest.mark.parametrize("byte, expected", [(0, False), (1, True), (2, True), (255, True)])
def test_power_status_is_a_bool(arm, byte, expected):
    arm.reply(bytes([172, byte]))
    assert arm.talon.get_power_status() is expected


def test_receive_device_info_gives_four_ints_and_a_module_uuid(arm):
    arm.reply(INFO_REPLY)
    info = arm.talon.ReceiveDeviceInfo()
    assert arm.written() == b""
    assert type(info) is tuple and len(info) == 5
    assert info[:4] == (0xFEDC, 4, 250, 7)
    assert all(type(v) is int for v in info[:4])
    assert isinstance(info[4], api.UUID)
    assert info[4].bytes() == list(ID_BYTES)


SENDS = [
    pytest.param(lambda t: t.SendDeviceWakeup(), b"\x0a", id="SendDeviceWakeup"),
    pytest.param(lambda t: t.SendForce([1.0, 2.0, 3.0]), request(42, 1.0, 2.0, 3.0), id="SendForce-list"),
    pytest.param(lambda t: t.SendForce(1, 2, 3), request(42, 1.0, 2.0, 3.0), id="SendForce-ints"),
    pytest.param(lambda t: t.SendForce(1.0), request(42, 1.0, 0.0, 0.0), id="SendForce-one-number"),
    pytest.param(lambda t: t.SendForce(1), request(42, 1.0, 0.0, 0.0), id="SendForce-one-int"),
    pytest.param(lambda t: t.SendForce(), request(42, *ZERO_REQUEST), id="SendForce-no-argument"),
    pytest.param(lambda t: t.SendForce(1.0, 2.0), request(42, 1.0, 2.0, 0.0), id="SendForce-two-numbers"),
    pytest.param(lambda t: t.SendForce((1.0, 2.0, 3.0)), request(42, 1.0, 2.0, 3.0), id="SendForce-tuple"),
    pytest.param(lambda t: t.SendForce(ForceZ=2.5), request(42, 0.0, 0.0, 2.5), id="SendForce-keyword"),
    pytest.param(lambda t: t.SendForce(force=(4.0, 5.0, 6.0, 7.0)), request(42, 4.0, 5.0, 6.0),
                 id="SendForce-long-tuple"),
    pytest.param(lambda t: t.SendJointTorques([0.5, 0.25, -8.0]), request(26, 0.5, 0.25, -8.0),
                 id="SendJointTorques"),
    pytest.param(lambda t: t.SendAngle([10.0, -20.0, 30.0]), request(28, 10.0, -20.0, 30.0), id="SendAngle"),
    pytest.param(lambda t: t.SendPosition([0.01, 0.02, 0.03]), request(44, 0.01, 0.02, 0.03), id="SendPosition"),
    pytest.param(lambda t: t.RequestCurrent(), bytes([171]), id="RequestCurrent"),
]


@pytest.mark.parametrize("call, sent", SENDS)
def test_one_way_send_bytes(arm, call, sent):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert call(arm.talon) is None
    assert arm.written(len(sent)) == sent


PAIRS = [
    pytest.param(lambda t: t.device_wakeup(), lambda t: t.SendDeviceWakeup(),
                 lambda t: t.ReceiveDeviceInfo(), INFO_REPLY, id="device_wakeup"),
    pytest.param(lambda t: t.end_effector_force([1.0, 2.0, 3.0]), lambda t: t.SendForce([1.0, 2.0, 3.0]),
                 lambda t: t.ReceiveState(), EE_REPLY, id="end_effector_force"),
    pytest.param(lambda t: t.end_effector_position([-1.0, 0.5, 2.0]), lambda t: t.SendPosition([-1.0, 0.5, 2.0]),
                 lambda t: t.ReceiveState(), EE_REPLY, id="end_effector_position"),
    pytest.param(lambda t: t.joint_torques([0.5, 0.5, -0.5]), lambda t: t.SendJointTorques([0.5, 0.5, -0.5]),
                 lambda t: t.ReceiveJointState(), JOINT_REPLY, id="joint_torques"),
    pytest.param(lambda t: t.joint_angles([5.0, -60.0, -120.0]), lambda t: t.SendAngle([5.0, -60.0, -120.0]),
                 lambda t: t.ReceiveJointState(), JOINT_REPLY, id="joint_angles"),
    pytest.param(lambda t: t.get_motor_currents(), lambda t: t.RequestCurrent(),
                 lambda t: t.ReceiveCurrent([0.0, 0.0, 0.0]), CURRENTS_REPLY, id="get_motor_currents"),
]


def comparable(result):
    if isinstance(result, tuple) and isinstance(result[-1], api.UUID):
        return result[:-1] + (result[-1].bytes(),)
    return result


@pytest.mark.parametrize("paired, send, receive, reply", PAIRS)
def test_legacy_calls_match_the_paired_call(arm, paired, send, receive, reply):
    arm.reply(reply)
    expected = comparable(paired(arm.talon))
    paired_bytes = arm.written(1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        send(arm.talon)
        assert arm.written(len(paired_bytes)) == paired_bytes
        arm.reply(reply)
        assert comparable(receive(arm.talon)) == expected
    assert arm.written() == b""


def test_receive_state_keeps_the_extra_entries_and_the_callers_lists(arm):
    position, velocity = [1.0, 2.0, 3.0, 4.0, 5.0], [6.0, 7.0, 8.0, 9.0, 10.0]
    arm.reply(EE_REPLY)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        got = arm.talon.ReceiveState(position, velocity)
    assert got == ([0.5, -1.25, 2.0, 4.0, 5.0], [0.25, -0.5, 8.0, 9.0, 10.0])
    assert position == [1.0, 2.0, 3.0, 4.0, 5.0] and velocity == [6.0, 7.0, 8.0, 9.0, 10.0]


def test_receive_current_returns_a_copy(arm):
    current = [7.0, 7.0, 7.0, 7.0]
    arm.reply(CURRENTS_REPLY)
    got = arm.talon.ReceiveCurrent(current)
    assert got == CURRENTS + [7.0]
    assert current == [7.0, 7.0, 7.0, 7.0]


def test_request_list_is_not_changed(arm):
    force = [1.0, 2.0, 3.0, 4.0]
    arm.reply(EE_REPLY)
    position, velocity = arm.talon.end_effector_force(force)
    assert force == [1.0, 2.0, 3.0, 4.0]
    assert len(position) == len(velocity) == 3
    assert arm.written(13) == request(42, 1.0, 2.0, 3.0)


def test_mismatched_replies_give_defaults_and_stay_in_the_stream(arm, second_pty):
    # Each mismatch costs one drain time-out; the two run side by side.
    other = Arm(second_pty)
    # An end-effector state whose 24 payload bytes read as five short replies.
    leftover = (CURRENTS_REPLY + bytes([170]) + floats(36.5) + bytes([172, 1, 172, 0, 172, 2]))
    assert len(leftover) == 24
    arm.reply(bytes([43]) + leftover)
    other.reply(bytes([170]) + floats(36.5))
    results = {}
    current = [1.0, 2.0, 3.0, 4.0]
    worker = threading.Thread(target=lambda: results.update(current=other.talon.ReceiveCurrent(current)))
    worker.start()
    try:
        assert arm.talon.joint_angles([1.0, 2.0, 3.0]) == ([0.0, 0.0, 0.0], [0.0, 0.0, 0.0])
    finally:
        worker.join(30)
    assert arm.written(13) == request(28, 1.0, 2.0, 3.0)
    assert results["current"] == [1.0, 2.0, 3.0, 4.0] and current == [1.0, 2.0, 3.0, 4.0]
    assert other.written() == b""
    # Only the header code was consumed: the payload is read as the next replies.
    assert arm.talon.get_motor_currents() == CURRENTS
    assert arm.talon.get_temperature() == 36.5
    assert [arm.talon.get_power_status() for _ in range(3)] == [True, False, True]
    assert arm.written(5) == bytes([171, 170, 172, 172, 172])


# --- argument checks ------------------------------------------------------

SHORT_LISTS = [
    pytest.param(lambda t: t.end_effector_force([1.0, 2.0]), id="end_effector_force"),
    pytest.param(lambda t: t.end_effector_position([]), id="end_effector_position"),
    pytest.param(lambda t: t.joint_torques((1.0,)), id="joint_torques"),
    pytest.param(lambda t: t.joint_angles([1.0, 2.0]), id="joint_angles"),
    pytest.param(lambda t: t.adjust_angles([1.0, 2.0]), id="adjust_angles"),
    pytest.param(lambda t: t.SendForce([1.0, 2.0]), id="SendForce"),
    pytest.param(lambda t: t.SendJointTorques([1.0]), id="SendJointTorques"),
    pytest.param(lambda t: t.SendAngle([]), id="SendAngle"),
    pytest.param(lambda t: t.SendPosition([1.0, 2.0]), id="SendPosition"),
    pytest.param(lambda t: t.ReceiveState([1.0, 2.0], [0.0, 0.0, 0.0]), id="ReceiveState-position"),
    pytest.param(lambda t: t.ReceiveState([0.0, 0.0, 0.0], [1.0]), id="ReceiveState-velocity"),
    pytest.param(lambda t: t.ReceiveJointState([], [0.0, 0.0, 0.0]), id="ReceiveJointState-position"),
    pytest.param(lambda t: t.ReceiveJointState([0.0, 0.0, 0.0], [1.0, 2.0]), id="ReceiveJointState-velocity"),
    pytest.param(lambda t: t.ReceiveCurrent([1.0, 2.0]), id="ReceiveCurrent"),
]


@pytest.mark.parametrize("call", SHORT_LISTS)
def test_short_list_raises_before_any_warning_or_io(arm, call):
    arm.reply(CURRENTS_REPLY)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError):
            call(arm.talon)
    assert caught == []
    assert arm.written() == b""
    # The waiting reply was not touched.
    assert arm.talon.ReceiveCurrent([0.0, 0.0, 0.0]) == CURRENTS


BAD_ARGUMENTS = [
    pytest.param(lambda t: t.end_effector_force("abc"), id="str-for-list"),
    pytest.param(lambda t: t.end_effector_force([1.0, "x", 3.0]), id="list-with-str"),
    pytest.param(lambda t: t.joint_angles(1.0), id="number-for-list"),
    pytest.param(lambda t: t.end_effector_position(None), id="None-for-list"),
    pytest.param(lambda t: t.end_effector_force([1.0, 2.0, 3.0], [1.0, 2.0, 3.0]), id="too-many-arguments"),
    pytest.param(lambda t: t.SendForce("abc"), id="SendForce-str"),
    pytest.param(lambda t: t.SendForce(1.0, 2.0, 3.0, 4.0), id="SendForce-four-numbers"),
    pytest.param(lambda t: t.SendPosition(b"abc"), id="SendPosition-bytes"),
    pytest.param(lambda t: t.ReceiveState([0.0, 0.0, 0.0], "xyz"), id="ReceiveState-str"),
    pytest.param(lambda t: t.get_end_effector_position("yes"), id="onboard-str"),
    pytest.param(lambda t: t.get_end_effector_position([True]), id="onboard-list"),
]


@pytest.mark.parametrize("call", BAD_ARGUMENTS)
def test_unconvertible_arguments_raise_type_error_before_any_warning_or_io(arm, call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            call(arm.talon)
    assert caught == []
    assert arm.written() == b""


@pytest.mark.parametrize("onboard, code", [
    (numpy.bool_(False), 26), (0, 26), (None, 26), (False, 26),
    (numpy.bool_(True), 42), (1, 42), (2.5, 42), (True, 42),
])
def test_onboard_conversions(arm, onboard, code):
    arm.reply(JOINT_REPLY if code == 26 else EE_REPLY)
    position, velocity = arm.talon.get_end_effector_position(onboard=onboard)
    assert arm.written(13) == request(code, *ZERO_REQUEST)
    if code == 42:
        assert (position, velocity) == EE_STATE
    else:
        assert velocity == [0.0, 0.0, 0.0]


# --- deprecation warnings -------------------------------------------------

DEPRECATED = [
    pytest.param(lambda t: t.SendDeviceWakeup(), None, b"\x0a",
                 "SendDeviceWakeup is deprecated, use device_wakeup instead", id="SendDeviceWakeup"),
    pytest.param(lambda t: t.SendForce([1.0, 2.0, 3.0]), None, request(42, 1.0, 2.0, 3.0),
                 "SendForce is deprecated, use end_effector_force instead", id="SendForce-list"),
    pytest.param(lambda t: t.SendForce(1, 2, 3), None, request(42, 1.0, 2.0, 3.0),
                 "SendForce is deprecated, use end_effector_force instead", id="SendForce-numbers"),
    pytest.param(lambda t: t.SendForce(), None, request(42, *ZERO_REQUEST),
                 "SendForce is deprecated, use end_effector_force instead", id="SendForce-no-argument"),
    pytest.param(lambda t: t.ReceiveState(), EE_REPLY, b"",
                 "ReceiveState is deprecated, use end_effector instead", id="ReceiveState"),
    pytest.param(lambda t: t.ReceiveJointState(), JOINT_REPLY, b"",
                 "ReceiveJointState is deprecated, use joint_torques instead", id="ReceiveJointState"),
    pytest.param(lambda t: t.SendJointTorques([1.0, 2.0, 3.0]), None, request(26, 1.0, 2.0, 3.0),
                 "SendJointTorques is deprecated, use joint_torques instead", id="SendJointTorques"),
    pytest.param(lambda t: t.SendPosition([1.0, 2.0, 3.0]), None, request(44, 1.0, 2.0, 3.0),
                 "SendPosition is deprecated, use end_effector_position instead", id="SendPosition"),
]


@pytest.mark.parametrize("call, reply, sent, message", DEPRECATED)
def test_deprecation_warning_names_the_calling_line(arm, call, reply, sent, message):
    for _ in range(2):
        if reply:
            arm.reply(reply)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            call(arm.talon)
        assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, message)]
        assert caught[0].filename == __file__
        assert caught[0].lineno == call.__code__.co_firstlineno
        assert arm.written(len(sent)) == sent


@pytest.mark.parametrize("call, reply, sent, message", DEPRECATED)
def test_warning_turned_into_error_stops_before_any_io(arm, call, reply, sent, message):
    if reply:
        arm.reply(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=message):
            call(arm.talon)
    assert arm.written() == b""
    # A waiting reply is still there for the next call.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        result = call(arm.talon)
    assert arm.written(len(sent)) == sent
    if reply == EE_REPLY:
        assert result == EE_STATE
    elif reply == JOINT_REPLY:
        assert result == JOINT_STATE


@pytest.mark.parametrize("call, reply", [
    pytest.param(lambda t: t.SendAngle([1.0, 2.0, 3.0]), None, id="SendAngle"),
    pytest.param(lambda t: t.RequestCurrent(), None, id="RequestCurrent"),
    pytest.param(lambda t: t.ReceiveCurrent(), CURRENTS_REPLY, id="ReceiveCurrent"),
    pytest.param(lambda t: t.ReceiveDeviceInfo(), INFO_REPLY, id="ReceiveDeviceInfo"),
    pytest.param(lambda t: t.end_effector_force([1.0, 2.0, 3.0]), EE_REPLY, id="end_effector_force"),
    pytest.param(lambda t: t.device_wakeup(), INFO_REPLY, id="device_wakeup"),
])
def test_members_that_do_not_warn(arm, call, reply):
    if reply:
        arm.reply(reply)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call(arm.talon)
    assert caught == []


# --- host-side geometry ---------------------------------------------------

def digits(text):
    """A value given to some decimal places, with half a unit of the last place."""
    places = len(text.split(".")[1])
    return pytest.approx(float(text), abs=0.5 * 10.0 ** -places + 1e-9)


@pytest.mark.parametrize("angles, expected", [
    ((0.0, 0.0, 0.0), ("0.0000021", "0.0245", "-0.11855")),
    ((0.0, -90.0, -90.0), ("-0.3050", "0.0245", "0.18644")),
    ((0.0, -60.0, -120.0), ("-0.27066", "0.0245", "0.18644")),
    ((30.0, -45.0, -135.0), ("-0.21230", "-0.09428", "0.18644")),
])
def test_host_side_position(arm, zero_offsets, angles, expected):
    position, velocity = host_position(arm, angles)
    assert position == [digits(e) for e in expected]
    assert velocity == [0.0, 0.0, 0.0]


def test_calibration_round_trip(arm, zero_offsets):
    reference = host_position(arm, (10.0, 20.0, 30.0))[0]
    at_rest = host_position(arm, (0.0, 0.0, 0.0))[0]

    calibrate(arm, (10.0, 20.0, 30.0), (0.0, 0.0, 0.0))
    assert host_position(arm, (0.0, 0.0, 0.0))[0] == pytest.approx(reference, abs=1e-6)
    # The offsets are process-wide and survive a new Talon.
    assert api.Talon(arm.stream) is not None
    assert arm.written() == b""
    assert host_position(arm, (0.0, 0.0, 0.0))[0] == pytest.approx(reference, abs=1e-6)

    # A reference equal to the measured angles sets every offset back to zero.
    calibrate(arm, (5.0, -60.0, -120.0), (5.0, -60.0, -120.0))
    assert host_position(arm, (0.0, 0.0, 0.0))[0] == at_rest


def test_calibration_list_is_not_changed(arm, zero_offsets):
    angles = [0.0, 0.0, 0.0, 99.0]
    calibrate(arm, angles, (0.0, 0.0, 0.0))
    assert angles == [0.0, 0.0, 0.0, 99.0]


# --- interpreter lock -----------------------------------------------------

def test_exchange_releases_the_interpreter_lock(arm):
    results = []
    worker = threading.Thread(target=lambda: results.append(arm.talon.end_effector_force([1.0, 2.0, 3.0])))
    worker.start()
    try:
        # Python runs here only if the waiting call gave the lock up.
        assert arm.pty.read(13, wait=4.0) == request(42, 1.0, 2.0, 3.0)
        counted = 0
        end = time.monotonic() + 0.2
        while time.monotonic() < end:
            counted += 1
        assert counted > 0
        assert worker.is_alive() and results == []
        arm.reply(EE_REPLY)
    finally:
        worker.join(30)
    assert results == [EE_STATE]
