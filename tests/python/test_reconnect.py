"""Devices that come back: an arm or a grip unplugged (its simulator killed)
and plugged in again (started again on the same link)."""
import os
import time

import numpy as np
import pytest

import vantor
from vantor.effects import ConstantForce
from conftest import wait_for

OTHER_ARM = "00112233-4455-6677-8899-aabbccddeeff"


# Generous deadlines: a loaded machine must not fault the loop for slowness.
# The reply time-out stays at its 1 s default: the library counts it in whole
# seconds, so a shorter one can end a wait that crosses a second at once.
RECONNECTING = dict(rate_hz=200, reconnect=True, exchange_deadline_ms=1000.0)


def unplug(simulator, link):
    """Kills the last simulator started (its pipes are closed too). The link
    goes with it, as a by-id link does: a stale one could lead to a terminal
    that another process has been given since."""
    gone = simulator.simulators.pop()
    gone.process.kill()
    gone.stop()
    if os.path.islink(link):
        os.unlink(link)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def link(tmp_path):
    return str(tmp_path / "arm")


def test_an_arm_that_comes_back_is_driven_again_with_the_ramp(simulator, link):
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link, **RECONNECTING, reconnect_after_s=0.5,
                          ramp_s=0.5, force_limit=1.0) as loop:
        loop.effect = ConstantForce([0.0, 0.0, 1.0])
        loop.record(2000)
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.0))
        unplug(simulator, link)
        wait_for(lambda: not loop.state()["connected"])
        simulator("talon", "--link", link)
        back = time.monotonic()
        wait_for(lambda: loop.stats()["reconnects"] == 1, timeout=5.0)
        assert time.monotonic() - back < 2.0
        assert loop.state()["connected"] and loop.fault is None
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.0))
        run = loop.recording()
    # No cycle ran while the arm was gone; after the gap the force starts
    # from zero and ramps back up to the full force.
    gap = int(np.argmax(np.diff(run["t"]))) + 1
    assert run["t"][gap] - run["t"][gap - 1] > 0.015  # three periods
    after = run["force"][gap:, 2]
    assert after[0] == 0.0
    assert 0.0 < after[2] < 0.2
    assert np.all(np.diff(after[:50]) >= 0) and after[-1] == pytest.approx(1.0)


def test_another_arm_on_the_port_is_not_adopted(simulator, link):
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link, **RECONNECTING, reconnect_after_s=0.3) as loop:
        loop.effect = ConstantForce([0.0, 0.0, 1.0])
        wait_for(lambda: loop.state()["cycle"] > 5)
        unplug(simulator, link)
        simulator("talon", "--link", link, "--id", OTHER_ARM)
        wait_for(lambda: (loop.fault or "").startswith("another arm is on the port: not adopted"))
        assert not loop.state()["connected"] and loop.stats()["reconnects"] == 0
        assert loop.state()["force"] == [0.0, 0.0, 0.0]
        # The right arm back on the path: taken again, and the fault ends with it.
        unplug(simulator, link)
        simulator("talon", "--link", link)
        wait_for(lambda: loop.stats()["reconnects"] == 1)
        wait_for(lambda: loop.fault is None and loop.state()["connected"])


def test_twenty_unplugs_leave_no_descriptor_behind(simulator, link):
    before = open_descriptors()
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link, **RECONNECTING, reconnect_after_s=0.3) as loop:
        wait_for(lambda: loop.stats()["cycles"] > 0)  # the arm has said who it is
        for n in range(1, 21):
            unplug(simulator, link)
            simulator("talon", "--link", link)
            wait_for(lambda: loop.stats()["reconnects"] == n)
        assert loop.state()["connected"]
    del loop  # its port closes with it
    unplug(simulator, link)
    assert open_descriptors() == before


def test_without_reconnect_a_gone_arm_stays_gone(simulator, link):
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link, 200, exchange_deadline_ms=1000.0, reply_timeout_s=1.0) as loop:
        wait_for(lambda: loop.state()["cycle"] > 5)
        unplug(simulator, link)
        wait_for(lambda: not loop.state()["connected"])
        simulator("talon", "--link", link)
        time.sleep(0.5)
        assert not loop.state()["connected"] and loop.stats()["reconnects"] == 0
        assert loop.fault is not None


def test_a_grip_that_comes_back_is_read_again(simulator, link):
    simulator("handle", "--stream", "100", "--link", link)
    with vantor.GripReader(link, reconnect=True, reconnect_after_s=0.5) as reader:
        wait_for(lambda: reader.stats()["frames_good"] > 10)
        unplug(simulator, link)
        wait_for(lambda: not reader.connected)
        simulator("handle", "--stream", "100", "--link", link)
        wait_for(lambda: reader.stats()["reconnects"] == 1)
        frames = reader.stats()["frames_good"]
        wait_for(lambda: reader.stats()["frames_good"] > frames + 10)
        assert reader.connected and reader.fault is None
        assert reader.latest()["age_s"] < 0.5


def test_another_grip_is_not_adopted_and_no_descriptor_is_left(simulator, link):
    before = open_descriptors()
    simulator("handle", "--stream", "100", "--link", link)
    with vantor.GripReader(link, reconnect=True, reconnect_after_s=0.3) as reader:
        wait_for(lambda: reader.stats()["frames_good"] > 0)
        for n in range(1, 6):
            unplug(simulator, link)
            simulator("handle", "--stream", "100", "--link", link)
            wait_for(lambda: reader.stats()["reconnects"] == n)
        unplug(simulator, link)
        simulator("handle", "--stream", "100", "--link", link, "--id", "300")
        wait_for(lambda: reader.fault == "another grip is on the port: not adopted")
        assert not reader.connected and reader.stats()["reconnects"] == 5
        unplug(simulator, link)
    del reader
    assert open_descriptors() == before


def test_reconnection_needs_a_positive_wait(simulator):
    port = simulator("talon")
    with pytest.raises(ValueError, match="reconnect_after_s"):
        vantor.ServoLoop(port, reconnect=True, reconnect_after_s=0)
    with pytest.raises(ValueError, match="reconnect_after_s"):
        vantor.GripReader(port, reconnect=True, reconnect_after_s=-1.0)


def test_a_gone_arm_is_a_link_fault_until_the_same_arm_is_back(simulator, link):
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link, **RECONNECTING, reconnect_after_s=0.3) as loop:
        wait_for(lambda: loop.state()["cycle"] > 5)
        unplug(simulator, link)
        wait_for(lambda: (loop.fault or "").startswith("the arm's line hung up"))
        stats = loop.stats()
        assert not loop.state()["connected"]
        assert stats["faults"] >= 1 and stats["faults_by_kind"]["line_hung_up"] == 1
        assert stats["last_fault"]["kind"] == "line_hung_up"
        simulator("talon", "--link", link)
        wait_for(lambda: loop.stats()["reconnects"] == 1)
        assert loop.fault is None  # ended before the reconnection is counted
        assert loop.stats()["faults_by_kind"]["line_hung_up"] == 1


def test_a_gone_grip_is_a_fault_until_the_same_grip_is_back(simulator, link):
    simulator("handle", "--stream", "100", "--link", link)
    with vantor.GripReader(link, reconnect=True, reconnect_after_s=0.5) as reader:
        wait_for(lambda: reader.stats()["frames_good"] > 10)
        assert reader.stats()["faults"] == 0
        unplug(simulator, link)
        wait_for(lambda: reader.fault is not None)
        assert reader.fault.startswith("the grip's line hung up") and reader.stats()["faults"] == 1
        simulator("handle", "--stream", "100", "--link", link)
        wait_for(lambda: reader.stats()["reconnects"] == 1)
        assert reader.fault is None and reader.stats()["faults"] == 1


def test_a_second_loop_is_refused_while_the_first_waits_for_its_arm(simulator, link):
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link, **RECONNECTING, reconnect_after_s=0.3) as loop:
        wait_for(lambda: loop.state()["cycle"] > 5)
        unplug(simulator, link)
        wait_for(lambda: not loop.state()["connected"])
        # The arm back on the path, and a second loop started there at once:
        # the port is still the first loop's, opened again or not.
        simulator("talon", "--link", link)
        with pytest.raises(RuntimeError, match="already driven by a ServoLoop"):
            vantor.ServoLoop(link, 200).start()
        with pytest.raises(RuntimeError, match="already driven by a ServoLoop"):
            vantor.GripReader(link).start()
        wait_for(lambda: loop.stats()["reconnects"] == 1)


def test_a_port_a_second_loop_took_meanwhile_is_not_adopted(simulator, link):
    simulator("talon", "--link", link)
    with vantor.ServoLoop(link, **RECONNECTING, reconnect_after_s=0.3) as loop:
        wait_for(lambda: loop.state()["cycle"] > 5)
        unplug(simulator, link)
        wait_for(lambda: not loop.state()["connected"])
        # The arm back under another name, driven by a second loop before
        # the first one's path leads to it.
        port = simulator("talon")
        with vantor.ServoLoop(port, 200) as second:
            os.symlink(port, link)
            wait_for(lambda: (loop.fault or "").startswith("the port is driven by a ServoLoop of this program"))
            assert loop.stats()["reconnects"] == 0 and not loop.state()["connected"]
            assert second.running
        wait_for(lambda: loop.stats()["reconnects"] == 1)  # given back: taken again
        assert loop.fault is None
