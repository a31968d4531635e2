"""vantor.GripReader against the simulated grip streaming at 100 Hz."""
import gc
import threading
import time

import pytest

import VantorHardwareAPI as api
import vantor
from conftest import run_child, wait_for

KEYS = ["device_id", "quaternion", "error_flag", "hall_effect_sensor_level", "buttons", "battery_level", "age_s"]


def test_reads_a_streaming_grip_and_calls_back(simulator):
    seen = []
    with vantor.GripReader(simulator("handle", "--stream", "100"), on_status=seen.append) as reader:
        wait_for(lambda: reader.stats()["frames_good"] >= 30)
        latest = reader.latest()
        stats = reader.stats()
    assert list(latest) == KEYS
    assert latest["error_flag"] == 0 and 0 <= latest["age_s"] < 1.0
    assert 3.0 <= latest["battery_level"] <= 4.275
    assert sum(q * q for q in latest["quaternion"]) == pytest.approx(1.0, abs=0.02)
    assert set(stats) == {"frames_good", "frames_bad", "rate_hz", "cpu_percent", "reconnects", "device_log_lines",
                          "callbacks_skipped", "faults"}
    assert stats["frames_bad"] == 0 and stats["rate_hz"] > 0
    assert len(seen) >= 30 and list(seen[0]) == KEYS


def test_uses_a_given_handle_and_reports_before_the_first_frame(simulator, pty_device):
    handle = api.Handle(api.SerialStream(pty_device.path))  # a grip that sends nothing
    with vantor.GripReader(handle, wakeup=False) as reader:
        time.sleep(0.1)
        assert reader.latest() is None
        assert reader.stats()["frames_good"] == 0
    assert pty_device.read_all() == b""  # not even a wake-up

    def fail(status):
        raise ValueError("in the callback")

    with vantor.GripReader(simulator("handle", "--stream", "100"), on_status=fail) as reader:
        wait_for(lambda: reader.error is not None)
        assert isinstance(reader.error, ValueError)
        wait_for(lambda: reader.stats()["frames_good"] >= 3)  # it goes on reading

    with pytest.raises(FileNotFoundError):
        vantor.GripReader("/nonexistent/ttyUSB9")
    with pytest.raises(TypeError):
        vantor.GripReader(api.Talon(api.SerialStream(pty_device.path)))


FRAME = bytes([0xDA, 0, 0, 0, 0xA5, 0x07, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0xC8, 0x00, 0xC0])


def test_stop_drops_what_a_blocked_callback_has_not_had(pty_device):
    entered, release = threading.Event(), threading.Event()
    calls = []

    def on_status(status):
        calls.append(status)
        entered.set()
        release.wait(10)

    guard = threading.Timer(10, release.set)  # should stop wait for the callback: a failure, not a hang
    with vantor.GripReader(pty_device.path, wakeup=False, on_status=on_status) as reader:
        pty_device.send(FRAME)
        assert entered.wait(5)
        pty_device.send(FRAME * 4)  # queued behind the call that blocks
        wait_for(lambda: reader.stats()["frames_good"] == 5)
        guard.start()
        reader.stop()
        still_blocked = not release.is_set()
        release.set()
        guard.cancel()
        assert still_blocked, "stop() waited for on_status"
        assert reader.stats()["callbacks_skipped"] == 4 and len(calls) == 1


def test_dropping_a_reader_never_waits_for_a_blocked_callback(pty_device):
    entered, release = threading.Event(), threading.Event()

    def on_status(status):
        entered.set()
        release.wait(10)

    guard = threading.Timer(10, release.set)  # a drop that waits: a failure, not a hang
    reader = vantor.GripReader(pty_device.path, wakeup=False, on_status=on_status).start()
    pty_device.send(FRAME)
    assert entered.wait(5)
    guard.start()
    reader.stop()
    del reader
    gc.collect()
    still_blocked = not release.is_set()
    release.set()
    guard.cancel()
    assert still_blocked, "dropping the reader waited for on_status"


# A reader whose on_status is blocked for good when the interpreter shuts
# down, kept or dropped by then.
BLOCKED_GRIP_AT_EXIT = """
    import os, sys, threading, tty, vantor
    master, slave = os.openpty()
    tty.setraw(master)
    path = os.ttyname(slave)
    os.close(slave)
    entered, never = threading.Event(), threading.Event()
    def on_status(status):
        entered.set()
        never.wait()
    reader = vantor.GripReader(path, wakeup=False, on_status=on_status).start()
    os.write(master, bytes.fromhex(sys.argv[1]))
    print("entered", entered.wait(5), flush=True)
    if sys.argv[2] == "dropped":
        reader.stop()
        del reader
"""


@pytest.mark.parametrize("kept", ["kept", "dropped"])
def test_a_reader_whose_callback_is_blocked_at_exit_exits_cleanly(kept):
    for run in range(10):  # each exit waits a second for the blocked call
        child = run_child(BLOCKED_GRIP_AT_EXIT, FRAME.hex(), kept)
        assert (child.returncode, child.stdout.strip()) == (0, "entered True"), (run, child.stderr)
        assert "Fatal" not in child.stderr, (run, child.stderr)


def test_ctrl_c_ends_the_wait_for_a_blocked_callback():
    result = run_child("""
        import os, signal, sys, threading, time, tty
        import vantor

        frame = bytes.fromhex(sys.argv[1])
        master, slave = os.openpty()
        tty.setraw(master)
        path = os.ttyname(slave)
        os.close(slave)
        entered, stopping, finished = threading.Event(), threading.Event(), threading.Event()

        def on_status(status):
            if entered.is_set():
                return
            entered.set()
            stopping.wait(10)
            os.kill(os.getpid(), signal.SIGINT)  # Ctrl-C while stop() waits for this call
            time.sleep(10)
            finished.set()

        reader = vantor.GripReader(path, wakeup=False, on_status=on_status).start()
        os.write(master, frame)
        entered.wait(5)
        os.write(master, frame * 4)
        while reader.stats()["frames_good"] < 5:
            time.sleep(0.01)
        stopping.set()
        try:
            reader.stop()
            print("returned")
        except KeyboardInterrupt:
            # Ended by Ctrl-C: not by the call returning, nor by the second after which the rest is dropped.
            print("interrupted", finished.is_set(), reader.stats()["callbacks_skipped"])
        os._exit(0)
        """, FRAME.hex())
    assert result.stdout.split() == ["interrupted", "False", "0"], result.stdout + result.stderr
