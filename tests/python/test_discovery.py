import os
import struct
import subprocess
import sys
import uuid

import pytest

import VantorHardwareAPI as api


# Detection holds the interpreter lock throughout, so the device is played
# by another process.
RESPONDER = r"""
import os, select, sys
master, reply = int(sys.argv[1]), bytes.fromhex(sys.argv[2])
wakeups = 0
while True:
    if select.select([sys.stdin], [], [], 0)[0]:
        break
    if not select.select([master], [], [], 0.01)[0]:
        continue
    try:
        data = os.read(master, 64)
    except OSError:  # no client connected
        select.select([], [], [], 0.001)
        continue
    for byte in data:
        if byte == 0x0A:
            wakeups += 1
            os.write(master, reply)
print(wakeups)
"""


class WakeupResponder:
    """Answers every wake-up byte on the pseudo-terminal with a fixed reply."""

    def __init__(self, device, reply: bytes):
        self._process = subprocess.Popen(
            [sys.executable, "-c", RESPONDER, str(device.master), reply.hex()],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, pass_fds=[device.master], text=True)
        self.wakeups = None

    def stop(self):
        out, _ = self._process.communicate("stop\n", timeout=10)
        self.wakeups = int(out)


@pytest.fixture
def dev_link(pty_device):
    """A link under the real /dev named like a USB-serial port."""
    link = f"/dev/vantor-test-ttyUSB{os.getpid()}"
    try:
        os.symlink(pty_device.path, link)
    except OSError as error:
        pytest.skip(f"cannot create a link under /dev: {error}")
    yield link
    os.unlink(link)


def test_detection_over_real_dev_lists_the_canonical_path(pty_device, dev_link):
    responder = WakeupResponder(pty_device, bytes([0xD0, 9, 2, 1, 2, 3, 4]))
    try:
        wired = api.detect_wired_handles()
        wireless = api.detect_wireless_handles()
        talons = api.detect_talons()
    finally:
        responder.stop()
    assert pty_device.path in wired
    assert all(isinstance(p, str) for p in wired)
    assert pty_device.path not in wireless
    assert pty_device.path not in talons
    assert responder.wakeups == 1


def test_signatures():
    for name, doc in [
        ("detect_talons", "detect available talon devices"),
        ("detect_handles", "detect available handles"),
        ("detect_wired_handles", "detect available wired handles"),
        ("detect_wireless_handles", "detect available wireless handles"),
    ]:
        assert getattr(api, name).__doc__ == f"{name}() -> List[str]\n\n{doc}\n"


# vantor's tools run detection's own probes through vantor._native.

def test_native_probes_give_what_answered(simulator, pty_device):
    from vantor import _native

    arm = simulator("talon", "--id", "00112233445566778899aabbccddeeff")
    talon = _native.probe_talon_port(arm)
    assert talon.outcome == _native.ProbeOutcome.Answered
    assert talon.info["device_model_number"] == 4
    assert talon.info["device_id_ext"] == uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")

    grip = _native.probe_handle_port(simulator("handle", "--id", "513"))
    assert grip.outcome == _native.ProbeOutcome.Answered and grip.status is None
    assert (grip.info["device_id"], grip.info["device_model_number"]) == (513, 2)

    # A status message, with two bytes of user data, answers too.
    status = bytes([0xDA, 7, 0, 1, 9]) + struct.pack("<4f", 0.5, 0, 0, 0.5) + bytes([2, 0xAB, 0xCD])
    responder = WakeupResponder(pty_device, status)
    try:
        by_status = _native.probe_handle_port(pty_device.path)
    finally:
        responder.stop()
    assert by_status.info is None
    assert by_status.status == {"device_id": 7, "quaternion": [0.5, 0.0, 0.0, 0.5], "error_flag": 1,
                                "hall_effect_sensor_level": 9, "user_data": b"\xab\xcd"}


def test_native_probe_refuses_a_path_cut_short_by_a_nul(pty_device):
    from vantor import _native

    with pytest.raises(ValueError):
        _native.probe_handle_port(pty_device.path + "\0ignored")
    assert pty_device.read_all() == b""
