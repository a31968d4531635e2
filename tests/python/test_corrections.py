"""Faults found in use, end to end: a program that exits while a device thread
is busy, Ctrl-C during a device wait, a Receive inside a callback, a file given
as a port, and a grip reader that starts after the grip began streaming."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import VantorHardwareAPI as api
from conftest import DeviceOnPty, run_child
from test_handle import INFO, STATUS, QUATERNION


def without_checker_note(stderr):
    """Under UBSan the unwinding that ends the thread is caught by reference
    to let it pass; it carries no exception object, which the checker notes
    as a null reference. That note is the checker's, not a fault."""
    return "".join(line for line in stderr.splitlines(keepends=True)
                   if "reference binding to null pointer of type 'struct __forced_unwind'" not in line)


BUSY_AT_EXIT = """
    import sys, threading, time
    import VantorHardwareAPI as api
    kind, port = sys.argv[1], sys.argv[2]
    stream = api.SerialStream(port)
    if kind == "handle":
        device = api.Handle(stream)
        call = device.GetQuillonStatus
    else:
        device = api.Talon(stream)
        call = lambda: device.end_effector_force([0.0, 0.0, 0.0])
    def loop():
        while True:
            call()
    threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.2)
"""


@pytest.mark.parametrize("kind, args", [("handle", ["--stream", "1000"]), ("talon", [])])
def test_exit_while_a_daemon_thread_is_in_a_device_call(simulator, kind, args):
    port = simulator(kind, *args)
    for _ in range(6):
        child = run_child(BUSY_AT_EXIT, kind, port)
        assert (child.returncode, without_checker_note(child.stderr)) == (0, "")


INTERRUPTED = """
    import os, sys, threading, time
    import VantorHardwareAPI as api
    master, slave = os.openpty()          # a device that never answers
    port = os.ttyname(slave)
    os.close(slave)
    talon = api.Talon(api.SerialStream(port))
    handle = api.Handle(api.SerialStream(port))

    # A wait on another thread is not ended by Ctrl-C on the main thread.
    other_master, other_slave = os.openpty()
    other_port = os.ttyname(other_slave)
    os.close(other_slave)
    other = api.Handle(api.SerialStream(other_port))
    got = []
    thread = threading.Thread(target=lambda: got.append(other.Receive()))
    thread.start()

    calls = [("Receive", handle.Receive),
             ("GetQuillonStatus", handle.GetQuillonStatus),
             ("end_effector_force", lambda: talon.end_effector_force([1.0, 2.0, 3.0])),
             ("get_device_id", talon.get_device_id),
             ("device_wakeup", talon.device_wakeup)]
    for name, call in calls:
        print("waiting", name, flush=True)
        try:
            call()
            print("returned", name, flush=True)
        except KeyboardInterrupt:
            print("interrupted", name, flush=True)
    print("other alive", thread.is_alive(), flush=True)
    os.write(other_master, bytes.fromhex("DF 05 00 03"))
    thread.join(5)
    print("other got", got, flush=True)
"""


def test_ctrl_c_ends_a_device_wait_on_the_main_thread():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(INTERRUPTED)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for name in ["Receive", "GetQuillonStatus", "end_effector_force", "get_device_id", "device_wakeup"]:
            assert child.stdout.readline().split() == ["waiting", name]
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline().split()
            took = time.monotonic() - sent
            assert line == ["interrupted", name]
            assert took < 1.0, (name, took)  # a 5 s wait, or 10 to 18 s for the arm's
        assert child.stdout.readline().split() == ["other", "alive", "True"]
        assert child.stdout.readline().strip() == "other got [3]"
        assert child.wait(timeout=10) == 0
    finally:
        child.kill()
        child.wait()


class Nesting(api.Handle):
    """Reads the next reply from inside the status callback, once."""

    def __init__(self, stream):
        super().__init__(stream)
        self.calls = []

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, *rest):
        self.calls.append(("status", device_id, quaternion))
        if len(self.calls) == 1:
            self.RequestStatus()
            self.calls.append(("nested", self.Receive()))

    def OnReceiveHandleInfo(self, *info):
        self.calls.append(("info", info))


@pytest.mark.parametrize("nested, expected", [
    (STATUS, [("status", 0xABCD, QUATERNION), ("status", 0xABCD, QUATERNION), ("nested", 24)]),
    (INFO, [("status", 0xABCD, QUATERNION), ("info", (9, 258, 2, 3, 4)), ("nested", 6)]),
])
def test_receive_inside_a_callback_reaches_the_overrides(pty_device, nested, expected):
    handle = Nesting(api.SerialStream(pty_device.path))
    DeviceOnPty(pty_device).reply(STATUS + nested)
    assert handle.Receive() == 24
    assert handle.calls == expected
    assert pty_device.read(1) == bytes([0xDA])


def test_a_file_or_a_pipe_given_as_a_port_is_not_written(tmp_path):
    notes = tmp_path / "notes.txt"
    notes.write_bytes(b"my notes")
    fifo = tmp_path / "loop"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        for path in (notes, fifo):
            handle = api.Handle(api.SerialStream(str(path)))
            handle.SendDeviceWakeup()
            handle.SendHandleState(258, 1, 170)
        assert notes.read_bytes() == b"my notes"
        assert os.read(reader, 16) == b""  # no writer left, nothing written
    finally:
        os.close(reader)


def test_a_new_grip_reader_starts_at_the_next_frame(simulator):
    port = simulator("handle", "--stream", "100")
    first = api.Handle(api.SerialStream(port))
    assert first.GetQuillonStatus()["error_flag"] == 0
    del first
    time.sleep(0.5)  # the grip goes on streaming with nobody reading

    reader = api.Handle(api.SerialStream(port))
    start = time.monotonic()
    statuses = [reader.GetQuillonStatus() for _ in range(20)]
    took = time.monotonic() - start
    assert all(s["error_flag"] == 0 for s in statuses)
    # Twenty frames at 100 Hz, all sent after the reader opened: no backlog.
    assert took > 0.15
