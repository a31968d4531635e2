"""A first haptic program, as a new user meets it: a late reply is not a lost
arm, link faults end by themselves, every fault says what to do, and a
device on the wrong port says what it is."""
import os
import signal
import time

import pytest

import vantor
from conftest import wait_for
from vantor import effects



def test_slow_replies_are_counted_and_only_a_slow_link_is_a_fault(pty_device, peer):
    with vantor.ServoLoop(pty_device.path, rate_hz=200, ramp_s=0.0, link_timeout_ms=200.0) as loop:
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.0))
        # A few replies of 8 ms, past the 5 ms deadline: counted, no fault.
        peer.delay = 0.008
        wait_for(lambda: loop.stats()["slow_exchanges"] >= 3)
        peer.delay = 0.0
        assert loop.fault is None and loop.stats()["faults"] == 0
        # Every reply slow for longer than the link timeout: a fault, with
        # the figures and the settings that bound them.
        peer.delay = 0.008
        wait_for(lambda: loop.fault is not None)
        assert loop.fault.startswith("arm too slow: no exchange within exchange_deadline_ms=5 for ")
        assert "link_timeout_ms=200" in loop.fault
        wait_for(lambda: loop.state()["force"] == [0.0, 0.0, 0.0])
        # Fast again: it ends by itself, and the force ramps in again.
        peer.delay = 0.0
        wait_for(lambda: loop.fault is None and loop.state()["force"][2] == pytest.approx(1.0))
        stats = loop.stats()
        assert stats["faults_by_kind"]["arm_too_slow"] == 1 and stats["last_fault"]["kind"] == "arm_too_slow"
    received = peer.settle()
    assert received[-1] == (0.0, 0.0, 0.0)


def test_a_frozen_arm_is_said_within_the_link_timeout_and_taken_back_when_it_thaws(simulator):
    from vantor.simulator import Simulator

    with Simulator("talon") as arm, vantor.ServoLoop(arm.port, ramp_s=0.1) as loop:
        loop.effect = effects.Spring(anchor=(0.0, 0.0, 0.12), stiffness=50.0)
        wait_for(lambda: loop.stats()["cycles"] > 100)
        os.kill(arm.pid, signal.SIGSTOP)
        frozen = time.monotonic()
        try:
            wait_for(lambda: loop.fault is not None, timeout=2)
            said = time.monotonic() - frozen
        finally:
            os.kill(arm.pid, signal.SIGCONT)
        assert loop.fault.startswith("arm not answering for ")
        assert said < 0.5  # the 50 ms timeout and one period, and slack for a loaded machine
        wait_for(lambda: loop.fault is None)


def test_a_killed_arm_is_said_at_once(simulator, tmp_path):
    link = str(tmp_path / "arm")
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link) as loop:
        wait_for(lambda: loop.stats()["cycles"] > 100)
        gone = simulator.simulators.pop()
        gone.process.kill()
        gone.stop()
        killed = time.monotonic()
        wait_for(lambda: loop.fault is not None, timeout=2)
        assert time.monotonic() - killed < 0.5
        assert loop.fault.startswith("the arm's line hung up") and "reconnect=True" in loop.fault


def test_a_loop_on_a_grips_port_says_so(simulator):
    # A long link time-out: on a loaded machine the grip's first frame may
    # come later than the default 50 ms, and the fault says what came by then.
    with vantor.ServoLoop(simulator("handle", "--stream", "100"), link_timeout_ms=500.0,
                          exchange_deadline_ms=1000.0) as loop:
        wait_for(lambda: loop.fault is not None, timeout=5.0)
        assert "0xDA, a grip's status: is this the grip's port?" in loop.fault
        assert loop.state()["force"] == [0.0, 0.0, 0.0]
    with vantor.ServoLoop(simulator("handle")) as loop:  # a grip that sends nothing
        wait_for(lambda: loop.fault is not None, timeout=1.0)
        assert loop.fault.startswith("arm not answering") and "is this its port?" in loop.fault


def test_a_grip_reader_on_an_arms_port_says_so(simulator):
    with vantor.GripReader(simulator("talon")) as reader:
        wait_for(lambda: reader.fault is not None, timeout=1.5)
        assert "0x0B, an arm's device information: is this an arm's port?" in reader.fault
        assert reader.stats()["frames_good"] == 0


def test_a_quiet_grip_is_said_and_the_next_frame_ends_it(pty_device):
    frame = bytes([0xDA, 0, 0, 0, 0xA5, 0x07, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0xC8, 0x00, 0xC0])
    with vantor.GripReader(pty_device.path, wakeup=False) as reader:
        wait_for(lambda: reader.fault is not None, timeout=2)
        assert reader.fault.startswith("no frames for 1.0 s, and nothing else came")
        pty_device.send(frame)
        wait_for(lambda: reader.fault is None)
        assert reader.stats()["frames_good"] == 1


def test_a_slow_loop_is_no_silent_arm(pty_device, peer):
    # At 10 Hz the schedule leaves 100 ms between exchanges, twice the link
    # timeout: that is no silence.
    with vantor.ServoLoop(pty_device.path, rate_hz=10, ramp_s=0.0) as loop:
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
        time.sleep(1.5)
        assert loop.stats()["faults"] == 0 and loop.fault is None
        assert loop.state()["force"][2] == pytest.approx(1.0)
