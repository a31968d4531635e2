"""vantor.GripReader against the simulated grip streaming at 100 Hz."""
import time

import pytest

import VantorHardwareAPI as api
import vantor
from conftest import wait_for

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
                          "callbacks_skipped"}
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
