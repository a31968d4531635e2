"""The Handle class driven through the module, with a pseudo-terminal playing the grip."""
import gc
import struct
import threading
import time
import warnings

import pytest

import VantorHardwareAPI as api
from conftest import DeviceOnPty

PURE_VIRTUAL = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
RECEIVE_WARNING = "Receive with one argument is deprecated"


def info_reply(tool_data_remaining, device_id, model, hardware, firmware):
    return bytes([0xD0, tool_data_remaining]) + struct.pack("<HBBB", device_id, model, hardware, firmware)


def status_message(device_id, quaternion, error_flag, hall, user_data):
    return (bytes([0xDA]) + struct.pack("<HBB4fB", device_id, error_flag, hall, *quaternion, len(user_data))
            + bytes(user_data))


def error_reply(device_id, error_code):
    return bytes([0xDF]) + struct.pack("<HB", device_id, error_code)


INFO = info_reply(9, 258, 2, 3, 4)
assert INFO == bytes.fromhex("D0 09 02 01 02 03 04")
ERROR = error_reply(5, 3)
assert ERROR == bytes.fromhex("DF 05 00 03")
QUATERNION = [0.5, -0.25, 0.125, -1.0]
STATUS = status_message(0xABCD, QUATERNION, 1, 17, [0, 170, 255])


class Recorder(api.Handle):
    """Records every callback with the thread it ran on."""

    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []
        self.threads = []

    def _record(self, kind, args):
        self.calls.append((kind, args))
        self.threads.append(threading.get_ident())

    def OnReceiveHandleInfo(self, *args):
        self._record("info", args)

    def OnReceiveHandleStatusMessage(self, *args):
        self._record("status", args)

    def OnReceiveHandleErrorResponse(self, *args):
        self._record("error", args)


class InfoOnly(api.Handle):
    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleInfo(self, *args):
        self.calls.append(args)


class Grip(DeviceOnPty):
    def __init__(self, pty, kind=api.Handle):
        super().__init__(pty)
        self.stream = api.SerialStream(pty.path)
        self.handle = kind(self.stream)


@pytest.fixture
def grip(pty_device):
    return Grip(pty_device)


@pytest.fixture
def recorder(pty_device):
    return Grip(pty_device, Recorder)


@pytest.fixture
def second_pty(pty_device):
    other = type(pty_device)()
    yield other
    other.close()


# --- class shape ---------------------------------------------------------

def test_class_members_in_registration_order():
    assert api.Handle.__doc__ == "The quillon handle class"
    assert not issubclass(api.Handle, api.Device)
    names = [n for n in api.Handle.__dict__ if n == "__init__" or not n.startswith("_")]
    assert names == ["__init__", "SendDeviceWakeup", "SendHandleState", "RequestStatus", "OnReceiveHandleInfo",
                     "OnReceiveHandleStatusMessage", "OnReceiveHandleErrorResponse", "Receive", "GetQuillonStatus"]


SELF = "self: VantorHardwareAPI.Handle"


@pytest.mark.parametrize("name, doc", [
    ("__init__", f"__init__({SELF}, arg0: VantorHardwareAPI.SerialStream) -> None\n"),
    ("SendDeviceWakeup", f"SendDeviceWakeup({SELF}) -> None\n"),
    ("SendHandleState", f"SendHandleState({SELF}, device_id: int = 0, data_length: int = 0, "
                        "user_data: int = None) -> None\n\nsend handle state\n"),
    ("RequestStatus", f"RequestStatus({SELF}) -> None\n\nrequest handle status\n"),
    ("OnReceiveHandleInfo", f"OnReceiveHandleInfo({SELF}, tool_data_remaining: int, device_id: int, "
                            "device_model_number: int, hardware_version: int, firmware_version: int) -> None\n\n"
                            "OnReceiveHandleInfo\n"),
    ("OnReceiveHandleStatusMessage", f"OnReceiveHandleStatusMessage({SELF}, device_id: int, quaternion: float, "
                                     "error_flag: int, hall_effect_sensor_level: int, user_data_length: int, "
                                     "user_data: int) -> None\n\nOnReceiveHandleStatusMessage\n"),
    ("OnReceiveHandleErrorResponse", f"OnReceiveHandleErrorResponse({SELF}, device_id: int, error_code: int) "
                                     "-> None\n\nOnReceiveHandleErrorResponse\n"),
    ("Receive", "Receive(*args, **kwargs)\nOverloaded function.\n\n"
                f"1. Receive({SELF}) -> int\n\nReceive data from the handle\n\n"
                f"2. Receive({SELF}, obsolete: int) -> int\n\n[DEPRECATED] Receive current and return current\n"),
    ("GetQuillonStatus", f"GetQuillonStatus({SELF}) -> dict\n\nGet the most recent Quillon informations\n"),
])
def test_signatures_and_docstrings(name, doc):
    assert getattr(api.Handle, name).__doc__ == doc


# --- construction and ownership -------------------------------------------

@pytest.mark.parametrize("kind", [api.Handle, Recorder])
@pytest.mark.parametrize("bad", [None, "/dev/null", 0])
def test_constructor_rejects_anything_but_a_stream(kind, bad):
    with pytest.raises(TypeError):
        kind(bad)


@pytest.mark.parametrize("kind", [api.Handle, Recorder])
def test_device_keeps_its_stream_alive(pty_device, kind):
    stream = api.SerialStream(pty_device.path)
    handle = kind(stream)
    del stream
    gc.collect()
    assert pty_device.read_all(wait=0.05) == b""
    handle.SendDeviceWakeup()
    assert pty_device.read(1) == b"\x0a"
    pty_device.send(ERROR)
    assert handle.Receive() == 3


# --- sends ----------------------------------------------------------------

@pytest.mark.parametrize("call, sent", [
    pytest.param(lambda h: h.SendDeviceWakeup(), "0A", id="SendDeviceWakeup"),
    pytest.param(lambda h: h.RequestStatus(), "DA", id="RequestStatus"),
    pytest.param(lambda h: h.SendHandleState(), "DB 00 00 00", id="defaults"),
    pytest.param(lambda h: h.SendHandleState(7, 0, None), "DB 07 00 00", id="no-data"),
    pytest.param(lambda h: h.SendHandleState(7), "DB 07 00 00", id="device-id-only"),
    pytest.param(lambda h: h.SendHandleState(7, 0, 99), "DB 07 00 00", id="data-given-length-0"),
    pytest.param(lambda h: h.SendHandleState(258, 1, 170), "DB 02 01 01 AA", id="one-byte"),
    pytest.param(lambda h: h.SendHandleState(device_id=65535, data_length=1, user_data=255), "DB FF FF 01 FF",
                 id="keywords-maximum"),
    pytest.param(lambda h: h.SendHandleState(user_data=0, data_length=1), "DB 00 00 01 00", id="zero-byte"),
])
def test_send_bytes(grip, call, sent):
    expected = bytes.fromhex(sent)
    assert call(grip.handle) is None
    assert grip.written(len(expected)) == expected


@pytest.mark.parametrize("args, error", [
    pytest.param((0, 2, 1), ValueError, id="length-2"),
    pytest.param((0, 255, 1), ValueError, id="length-255"),
    pytest.param((0, 1, None), ValueError, id="length-1-no-data"),
    pytest.param((0, 1), ValueError, id="length-1-default-data"),
    pytest.param((65536,), TypeError, id="device-id-65536"),
    pytest.param((-1,), TypeError, id="device-id-negative"),
    pytest.param((1.0,), TypeError, id="device-id-float"),
    pytest.param(("1",), TypeError, id="device-id-str"),
    pytest.param((0, 256), TypeError, id="length-256"),
    pytest.param((0, 1, 256), TypeError, id="data-256"),
    pytest.param((0, 1, -1), TypeError, id="data-negative"),
    pytest.param((0, 1, 1.5), TypeError, id="data-float"),
    pytest.param((0, 1, [1]), TypeError, id="data-list"),
])
def test_send_handle_state_rejects_before_writing(grip, args, error):
    with pytest.raises(error):
        grip.handle.SendHandleState(*args)
    assert grip.written() == b""


# --- Receive and the callbacks --------------------------------------------

@pytest.mark.parametrize("message, count, calls", [
    pytest.param(INFO, 6, [("info", (9, 258, 2, 3, 4))], id="handle-info"),
    pytest.param(ERROR, 3, [("error", (5, 3))], id="error-response"),
    pytest.param(STATUS, 24, [("status", (0xABCD, QUATERNION, 1, 17, 3, [0, 170, 255]))], id="status-3-bytes"),
    pytest.param(status_message(1, [0.0] * 4, 0, 0, []), 21, [("status", (1, [0.0] * 4, 0, 0, 0, []))],
                 id="status-no-data"),
    pytest.param(status_message(65535, QUATERNION, 255, 31, list(range(255))), 276,
                 [("status", (65535, QUATERNION, 255, 31, 255, list(range(255))))], id="status-255-bytes"),
])
def test_each_reply_reaches_its_override(recorder, message, count, calls):
    recorder.reply(message)
    assert recorder.handle.Receive() == count
    assert recorder.handle.calls == calls
    for _, args in recorder.handle.calls:
        assert all(type(a) is int for a in args if not isinstance(a, list))
    if calls[0][0] == "status":
        quaternion, user_data = recorder.handle.calls[0][1][1], recorder.handle.calls[0][1][5]
        assert type(quaternion) is list and len(quaternion) == 4
        assert all(type(q) is float for q in quaternion)
        assert type(user_data) is list and all(type(b) is int for b in user_data)
    assert recorder.handle.threads == [threading.get_ident()] * len(calls)
    assert recorder.written() == b""


@pytest.mark.parametrize("code", [0x0B, 0x00, 0xDB, 0x2B])
def test_unknown_code_returns_minus_one_and_the_next_byte_starts_the_next_message(recorder, code):
    recorder.reply(bytes([code]) + INFO)
    assert recorder.handle.Receive() == -1
    assert recorder.handle.calls == []
    assert recorder.handle.Receive() == 6
    assert recorder.handle.calls == [("info", (9, 258, 2, 3, 4))]


def test_subclass_without_status_override(pty_device):
    grip = Grip(pty_device, InfoOnly)
    grip.reply(STATUS + INFO + ERROR + INFO)
    with pytest.raises(RuntimeError) as raised:
        grip.handle.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    # The status message was read completely before the callback failed.
    assert grip.handle.Receive() == 6
    assert grip.handle.calls == [(9, 258, 2, 3, 4)]
    assert grip.handle.Receive() == 3
    assert grip.handle.Receive() == 6
    assert grip.handle.calls == [(9, 258, 2, 3, 4)] * 2


@pytest.mark.parametrize("message, callback", [
    (INFO, "OnReceiveHandleInfo"),
    (STATUS, "OnReceiveHandleStatusMessage"),
    (ERROR, "OnReceiveHandleErrorResponse"),
])
def test_exception_in_override_leaves_receive(pty_device, message, callback):
    class Failing(Recorder):
        pass

    def fail(self, *args):
        raise KeyError(callback)

    setattr(Failing, callback, fail)
    grip = Grip(pty_device, Failing)
    grip.reply(message + INFO if callback != "OnReceiveHandleInfo" else message + ERROR)
    with pytest.raises(KeyError, match=callback):
        grip.handle.Receive()
    assert grip.handle.Receive() in (3, 6)
    assert len(grip.handle.calls) == 1


def test_plain_handle_calls_nothing_in_python(grip, monkeypatch):
    seen = []
    for name in ("OnReceiveHandleInfo", "OnReceiveHandleStatusMessage", "OnReceiveHandleErrorResponse"):
        monkeypatch.setattr(api.Handle, name, lambda self, *args, _name=name: seen.append(_name))
    grip.reply(STATUS + INFO + ERROR)
    assert [grip.handle.Receive() for _ in range(3)] == [24, 6, 3]
    assert seen == []


def test_base_method_from_the_override_finds_no_override(pty_device):
    class Chaining(api.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.calls = []

        def OnReceiveHandleInfo(self, *args):
            self.calls.append(("info", args))
            super().OnReceiveHandleInfo(*args)

        def OnReceiveHandleErrorResponse(self, device_id, error_code):
            self.calls.append(("error", (device_id, error_code)))
            api.Handle.OnReceiveHandleErrorResponse(self, device_id, error_code)

        def OnReceiveHandleStatusMessage(self, *args):
            self.calls.append(("status", args))

    grip = Grip(pty_device, Chaining)
    grip.reply(INFO + ERROR)
    assert grip.handle.Receive() == 6
    assert grip.handle.Receive() == 3
    assert grip.handle.calls == [("info", (9, 258, 2, 3, 4)), ("error", (5, 3))]


def test_callback_methods_called_from_python(pty_device):
    plain = Grip(pty_device).handle
    assert plain.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert plain.OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 255, 7) is None
    assert plain.OnReceiveHandleErrorResponse(1, 2) is None
    with pytest.raises(TypeError):
        plain.OnReceiveHandleInfo(256, 2, 3, 4, 5)

    info_only = InfoOnly(api.SerialStream(pty_device.path))
    with pytest.raises(RuntimeError) as raised:
        info_only.OnReceiveHandleStatusMessage(1, 0.5, 0, 0, 3, 7)
    assert str(raised.value) == PURE_VIRTUAL
    assert info_only.OnReceiveHandleErrorResponse(1, 2) is None
    # The bound base method dispatches to the Python override.
    api.Handle.OnReceiveHandleInfo(info_only, 1, 2, 3, 4, 5)
    assert info_only.calls == [(1, 2, 3, 4, 5)]
    assert pty_device.read_all(wait=0.05) == b""


@pytest.mark.parametrize("call", [
    pytest.param(lambda h: h.Receive(1), id="positional"),
    pytest.param(lambda h: h.Receive(obsolete=255), id="keyword"),
])
def test_receive_with_one_argument_warns_then_receives(recorder, call):
    recorder.reply(ERROR)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        count = call(recorder.handle)
    assert count == 3
    assert recorder.handle.calls == [("error", (5, 3))]
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, RECEIVE_WARNING)]
    assert (caught[0].filename, caught[0].lineno) == (__file__, call.__code__.co_firstlineno)


@pytest.mark.parametrize("obsolete", [256, -1, 1.0, "1"])
def test_receive_argument_is_checked_before_the_warning(recorder, obsolete):
    recorder.reply(ERROR)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            recorder.handle.Receive(obsolete)
    assert caught == []
    assert recorder.handle.calls == []
    assert recorder.handle.Receive() == 3


def test_receive_warning_turned_into_error_stops_before_reading(recorder):
    recorder.reply(ERROR)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match=RECEIVE_WARNING):
            recorder.handle.Receive(0)
    assert recorder.handle.calls == []
    assert recorder.handle.Receive() == 3
    assert recorder.handle.calls == [("error", (5, 3))]


def test_receive_releases_the_interpreter_lock(recorder):
    results = []
    worker = threading.Thread(target=lambda: results.append(recorder.handle.Receive()))
    worker.start()
    try:
        # Python keeps running here while the worker waits in Receive.
        end = time.monotonic() + 0.3
        while time.monotonic() < end:
            pass
        assert worker.is_alive() and results == []
        recorder.reply(ERROR)
    finally:
        worker.join(30)
    assert results == [3]
    assert recorder.handle.calls == [("error", (5, 3))]
    assert recorder.handle.threads == [worker.ident]


def test_silent_device_gives_minus_one_and_the_no_frame_status(recorder, second_pty):
    # Both waits run out side by side.
    other = Grip(second_pty)
    results = {}
    worker = threading.Thread(target=lambda: results.update(status=other.handle.GetQuillonStatus()))
    worker.start()
    try:
        assert recorder.handle.Receive() == -1
    finally:
        worker.join(30)
    assert recorder.handle.calls == []
    assert results["status"] == {"device_id": 0, "quaternion": [0.0] * 4, "error_flag": 2,
                                 "hall_effect_sensor_level": 0, "buttons": 0, "battery_level": 0.0}


# --- compact status frame -------------------------------------------------

def float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


KEYS = ["device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons", "battery_level"]
BAD_FRAME = {"device_id": 0, "quaternion": [0.0] * 4, "error_flag": 1, "hall_effect_sensor_level": 0,
             "buttons": 0, "battery_level": 0.0}
SAMPLE = {"device_id": 7, "quaternion": [0.5, 0.0, 0.0, 0.0], "error_flag": 0, "hall_effect_sensor_level": 5,
          "buttons": 5, "battery_level": 4.0}


@pytest.mark.parametrize("frame, expected", [
    pytest.param("DA 00 00 00 A5 07 00 00 00 00 40 00 00 00 00 00 00 C8 00 C0", SAMPLE, id="sample"),
    pytest.param("0B 2B DA 00 00 00 A5 07 00 00 00 00 40 00 00 00 00 00 00 C8 00 C0", SAMPLE,
                 id="other-codes-skipped"),
    pytest.param("DA 00 00 03 FF FF 00 00 00 00 80 FF 7F 01 80 FF FF FF 00 C0",
                 {"device_id": 255, "quaternion": [-1.0, 32767 / 32768, -32767 / 32768, -1 / 32768],
                  "error_flag": 3, "hall_effect_sensor_level": 31, "buttons": 7,
                  "battery_level": float32(3.0 + 255 * 0.005)}, id="extremes"),
    pytest.param("DA 00 00 00 A5 07 00 00 00 00 40 00 00 00 00 00 00 C8 DB DC", SAMPLE, id="pair-at-17"),
    pytest.param("DA 00 00 00 A5 DB DC 00 00 00 00 40 00 00 00 00 00 00 C8 00", BAD_FRAME, id="pair-before-17"),
    pytest.param("DA 00 00 00 A5 07 C0 00 00 00 40 00 00 00 00 00 00 C8 00 C0", BAD_FRAME, id="end-inside"),
])
def test_quillon_status(grip, frame, expected):
    grip.reply(bytes.fromhex(frame))
    status = grip.handle.GetQuillonStatus()
    assert type(status) is dict
    assert list(status) == KEYS
    assert status == expected
    assert type(status["quaternion"]) is list and all(type(q) is float for q in status["quaternion"])
    assert type(status["battery_level"]) is float
    assert all(type(status[k]) is int for k in ("device_id", "error_flag", "hall_effect_sensor_level", "buttons"))
    assert grip.written() == b""
