"""The control layer under attack: requests far beyond the limits, numbers
that are not numbers, settings out of range, effects swapped and dropped
from every thread, devices that lie or vanish. Safety is asserted on the
forces the arm peer receives. Scenarios that used to hang or abort the
process run in a child process with a time-out."""
import math
import os
import resource
import sys
import threading
import time

import pytest

import VantorHardwareAPI as api
import vantor
from conftest import ArmPeer, run_child, servo, wait_for
from vantor import effects

LIMIT = 2.0


def magnitude(force):
    return math.sqrt(sum(f * f for f in force))




def within_ramp(peer, since, ramp_s, wanted, slack_s=0.05, settle_s=0.0):
    """Every force received after `since` is at most ramp(t) x min(wanted, limit),
    t counted from `since` with slack for the first exchange. settle_s: a swap
    or a clear takes effect at the next cycle, so the forces already on their
    way are left out."""
    for t, force in zip(peer.times, peer.forces):
        if t < since + settle_s:
            continue
        bound = min(1.0, (t - since + slack_s) / ramp_s) * min(wanted, LIMIT)
        assert magnitude(force) <= bound + 1e-6, f"{magnitude(force):.4f} N at {t - since:.3f} s, bound {bound:.4f} N"


# --- the force --------------------------------------------------------------------------

@pytest.mark.parametrize("times_the_limit", [1, 5, 500])
def test_the_ramp_holds_for_requests_beyond_the_limit(pty_device, peer, times_the_limit):
    wanted = times_the_limit * LIMIT
    with servo(pty_device.path, force_limit=LIMIT, ramp_s=4.0) as loop:
        started = time.monotonic()
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, wanted))
        time.sleep(0.3)
        within_ramp(peer, started, 4.0, wanted)
        # A swap ramps in again from zero.
        swapped = time.monotonic()
        loop.effect = effects.ConstantForce(force=(wanted, 0.0, 0.0))
        time.sleep(0.3)
        within_ramp(peer, swapped, 4.0, wanted, settle_s=0.02)
        # So does a clear.
        cleared = time.monotonic()
        loop.clear_fault()
        time.sleep(0.3)
        within_ramp(peer, cleared, 4.0, wanted, settle_s=0.02)
    assert any(magnitude(f) > 0 for f in peer.forces)


def test_a_new_effect_in_a_freed_effects_place_ramps_in_again(pty_device, peer):
    # A slow loop, so that the effect is dropped and the next one made in its
    # place between two cycles, where the loop sees no change of address.
    with servo(pty_device.path, rate_hz=20, ramp_s=4.0) as loop:
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.9))
        wait_for(lambda: loop.state()["force"][2] > 0.3)
        for _ in range(5):
            swapped = time.monotonic()
            loop.effect = None
            loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.9))
            time.sleep(0.3)
            within_ramp(peer, swapped, 4.0, 1.9, settle_s=0.06)


def test_a_clear_lets_no_force_through_while_outside_the_workspace(pty_device, peer):
    peer.position = (0.0, 0.0, 0.5)  # outside
    with servo(pty_device.path, ramp_s=0.0, workspace=((-0.1, -0.1, 0.0), (0.1, 0.1, 0.2))) as loop:
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
        wait_for(lambda: loop.fault is not None)
        for _ in range(200):
            loop.clear_fault()
            time.sleep(0.002)
        assert loop.fault.startswith("outside the workspace")
    assert all(f == (0.0, 0.0, 0.0) for f in peer.settle())


def test_huge_forces_are_clamped_with_their_direction_and_nothing_infinite_is_sent(pty_device, peer):
    with pytest.raises(ValueError, match="force_limit"):
        servo(pty_device.path, force_limit=math.inf)
    for huge in (1e39, 1e200, sys.float_info.max):
        with servo(pty_device.path, ramp_s=0.0) as loop:
            loop.effect = effects.ConstantForce(force=(huge, huge, 0.0))
            wait_for(lambda: magnitude(loop.state()["force"]) > LIMIT - 1e-3)
            assert loop.fault is None
    forces = peer.settle()
    assert all(math.isfinite(x) for f in forces for x in f)
    pushed = [f for f in forces if magnitude(f) > 0]
    assert pushed and all(magnitude(f) <= LIMIT + 1e-5 and f[0] == pytest.approx(f[1]) for f in pushed)


@pytest.mark.parametrize("reading", ["position", "velocity"])
def test_a_reading_that_is_not_a_number_latches_a_fault(pty_device, peer, reading):
    setattr(peer, reading, (0.0, math.nan, 0.0))
    with servo(pty_device.path, ramp_s=0.0, velocity_limit=0.2,
               workspace=((-1.0, -1.0, -1.0), (1.0, 1.0, 1.0))) as loop:
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
        wait_for(lambda: loop.stats()["cycles"] > 50)
        assert loop.fault.startswith("the arm sent a position or velocity that is not a number")
    assert all(f == (0.0, 0.0, 0.0) for f in peer.settle())


# --- settings ---------------------------------------------------------------------------

@pytest.mark.parametrize("setting, value", [
    ("rate_hz", 1e-300), ("rate_hz", 0.5), ("rate_hz", 20001), ("rate_hz", math.nan), ("ramp_s", 1e10),
    ("ramp_s", math.inf), ("force_limit", math.inf), ("force_limit", -1.0), ("exchange_deadline_ms", math.inf),
    ("reply_timeout_s", math.inf), ("reconnect_after_s", math.inf), ("reconnect_after_s", 0.0),
    ("velocity_limit", math.nan), ("velocity_limit", 0.0), ("workspace", ((0, 0, 0), (math.inf, 1, 1))),
    ("cpu", 5000),
])
def test_settings_out_of_range_are_refused_by_name(pty_device, setting, value):
    with pytest.raises(ValueError, match=setting) as refused:
        vantor.ServoLoop(pty_device.path, **{setting: value})
    assert "between" in str(refused.value) or "above" in str(refused.value) or "below" in str(refused.value)


def test_settings_of_the_wrong_type_are_refused(pty_device):
    for setting, value in (("realtime", "no"), ("reconnect", 1), ("rate_hz", "fast"), ("workspace", (1, 2))):
        with pytest.raises(TypeError, match=setting):
            vantor.ServoLoop(pty_device.path, **{setting: value})
    for value in (math.inf, 0.0, -1.0):
        with pytest.raises(ValueError, match="reconnect_after_s"):
            vantor.GripReader(pty_device.path, reconnect_after_s=value)
    with pytest.raises(TypeError, match="on_status"):
        vantor.GripReader(pty_device.path, on_status=5)


@pytest.mark.parametrize("make", [
    lambda: effects.Plane(point=(0, 0, math.nan), normal=(0, 0, 1), stiffness=100.0),
    lambda: effects.Plane(point=(0, 0, 0), normal=(0, 0, 0), stiffness=100.0),
    lambda: effects.Plane(point=(0, 0, 0), normal=(0, 0, 1), stiffness=-100.0),
    lambda: effects.Sphere(center=(0, 0, 0), radius=-1.0, stiffness=100.0, inside=True),
    lambda: effects.Sphere(center=(0, 0, 0), radius=math.nan, stiffness=100.0),
    lambda: effects.Box(lower=(0.1, 0.1, 0.1), upper=(-0.1, -0.1, -0.1), stiffness=100.0),
    lambda: effects.Box(lower=(0, 0, 0), upper=(1, 1, math.inf), stiffness=100.0),
    lambda: effects.Spring(anchor=(0, 0, 0), stiffness=100.0, damping=-1.0),
    lambda: effects.Spring(anchor=(0, 0, 0), stiffness=math.nan),
    lambda: effects.Damper(damping=-2.0),
    lambda: effects.ConstantForce(force=(0, math.nan, 0)),
])
def test_effects_refuse_bad_parameters(make):
    with pytest.raises(ValueError):
        make()


def test_a_refused_parameter_leaves_the_running_effect_as_it_was(pty_device, peer):
    wall = effects.Plane(point=(0, 0, 0.09), normal=(0, 0, -1), stiffness=100.0)  # the arm is 1 cm in
    with servo(pty_device.path, ramp_s=0.0) as loop:
        loop.effect = wall
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(-1.0, abs=1e-4))
        for name, value in (("normal", (0, 0, 0)), ("stiffness", -5.0), ("point", (math.nan, 0, 0))):
            with pytest.raises(ValueError, match=name):
                setattr(wall, name, value)
        assert wall.normal == [0.0, 0.0, -1.0] and wall.stiffness == 100.0 and wall.point == [0.0, 0.0, 0.09]
        time.sleep(0.05)
        assert loop.state()["force"][2] == pytest.approx(-1.0, abs=1e-4) and loop.fault is None


DEEP_SUMS = """
    import sys, time, vantor
    from vantor import effects
    deep = effects.ConstantForce(force=(0.0, 0.0, 0.5))
    for _ in range(int(sys.argv[2])):
        deep = effects.Sum(deep)
    with vantor.ServoLoop(sys.argv[1], ramp_s=0.0, exchange_deadline_ms=1000.0) as loop:
        loop.effect = deep
        while loop.state()["force"][2] < 0.5:
            time.sleep(0.001)
        loop.effect = None
    del deep
    print(len(effects.Sum(effects.Sum(effects.Damper(damping=1.0))).parts), flush=True)
"""


@pytest.mark.parametrize("depth", [100_000, 300_000])
def test_sums_however_deep_never_crash_the_loop(pty_device, peer, depth):
    # Built one level at a time, a sum stays flat: no cycle recurses, no
    # deletion recurses.
    child = run_child(DEEP_SUMS, pty_device.path, str(depth), timeout=60)
    assert (child.returncode, child.stdout.strip()) == (0, "1"), child.stderr
    forces = peer.settle()
    assert any(f[2] == pytest.approx(0.5) for f in forces) and forces[-1] == (0.0, 0.0, 0.0)


def test_sums_stay_flat_and_bounded():
    wide = effects.ConstantForce(force=(0.0, 0.0, 0.0))
    for _ in range(1000):
        wide = wide + effects.ConstantForce(force=(0.0, 0.0, 0.001))
    assert len(wide.parts) == 1001
    with pytest.raises(ValueError, match="at most"):
        effects.Sum(*[effects.Damper(damping=1.0)] * 2000)
    with pytest.raises(TypeError, match="Sum takes effects"):
        effects.Sum(5)


# --- threads and lifetimes ----------------------------------------------------------------

SWAP_AND_READ = """
    import sys, threading, time, vantor
    from vantor import effects
    loop = vantor.ServoLoop(sys.argv[1], exchange_deadline_ms=1000.0)
    loop.start()
    done = threading.Event()
    def read():
        while not done.is_set():
            loop.fault, loop.effect, loop.state()
    readers = [threading.Thread(target=read) for _ in range(2)]
    for r in readers:
        r.start()
    native = effects.ConstantForce(force=(0.0, 0.0, 0.1))
    for i in range(1500):
        loop.effect = effects.Callback(lambda p, v: (0.0, 0.0, 0.1)) if i % 2 else native
    done.set()
    for r in readers:
        r.join()
    loop.stop()
    print("done", flush=True)
"""


def test_reading_the_effect_while_another_thread_swaps_it_never_deadlocks(pty_device, peer):
    child = run_child(SWAP_AND_READ, pty_device.path, timeout=60)
    assert (child.returncode, child.stdout.strip()) == (0, "done"), child.stderr


def test_the_python_effect_can_swap_the_loops_effect(pty_device, peer):
    with servo(pty_device.path, ramp_s=0.0) as loop:
        def swap(position, velocity):
            loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.5))
            return (0.0, 0.0, 0.0)

        loop.effect = effects.Callback(swap)
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.5))
    assert any(f[2] == pytest.approx(1.5) for f in peer.settle())


# The child's last step: wait until its callback dropped the last reference.
AWAIT_DROP = """
    end = time.monotonic() + 5
    while holder and time.monotonic() < end:
        time.sleep(0.01)
    time.sleep(0.3)
    print("dropped" if not holder else "still held", flush=True)
"""

DROP_IN_CALLBACK = """
    import gc, sys, time, vantor
    from vantor import effects
    holder = []
    def fn(position, velocity):
        if len(holder) and holder[0].stats()["cycles"] > 20:
            holder.clear()           # the last reference to the running loop
            gc.collect()
        return (0.0, 0.0, 1.0)
    loop = vantor.ServoLoop(sys.argv[1], ramp_s=0.0, exchange_deadline_ms=1000.0)
    loop.effect = effects.Callback(fn)
    loop.start()
    holder.append(loop)
    del loop
""" + AWAIT_DROP

DROP_READER_IN_CALLBACK = """
    import gc, sys, time, vantor
    holder = []
    def on_status(status):
        if holder:
            holder.clear()           # the last reference to the running reader
            gc.collect()
    reader = vantor.GripReader(sys.argv[1], on_status=on_status)
    reader.start()
    holder.append(reader)
    del reader
""" + AWAIT_DROP


def test_dropping_a_loop_inside_its_own_effect_stops_it_with_zero_force(pty_device, peer):
    child = run_child(DROP_IN_CALLBACK, pty_device.path)
    assert (child.returncode, child.stdout.strip()) == (0, "dropped"), child.stderr
    forces = peer.settle()
    assert any(f[2] > 0.99 for f in forces) and forces[-1] == (0.0, 0.0, 0.0)


def test_dropping_a_reader_inside_its_own_callback(simulator):
    child = run_child(DROP_READER_IN_CALLBACK, simulator("handle", "--stream", "100"))
    assert (child.returncode, child.stdout.strip(), child.stderr) == (0, "dropped", "")


def test_stops_at_once_from_two_threads_both_return(pty_device, peer):
    for _ in range(20):
        loop = servo(pty_device.path).start()
        wait_for(lambda: loop.stats()["cycles"] > 0)
        stoppers = [threading.Thread(target=loop.stop) for _ in range(3)]
        for s in stoppers:
            s.start()
        for s in stoppers:
            s.join(timeout=5)
        assert not any(s.is_alive() for s in stoppers)
        assert not loop.running


def test_stop_ends_the_wait_between_cycles_at_once(pty_device, peer):
    loop = servo(pty_device.path, rate_hz=1.0, ramp_s=0.0)
    loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
    loop.start()
    wait_for(lambda: loop.stats()["cycles"] >= 2)  # the second cycle sends the force
    asked = time.monotonic()
    loop.stop()
    took = time.monotonic() - asked
    assert took < 0.3  # not the rest of a 1 s period
    assert peer.settle()[-1] == (0.0, 0.0, 0.0)


def test_a_refused_effect_changes_nothing(pty_device, peer):
    with servo(pty_device.path) as loop:
        push = effects.ConstantForce(force=(0.0, 0.0, 0.5))
        loop.effect = push
        for wrong in (5, "wall", lambda p, v: (0, 0, 0)):
            with pytest.raises(TypeError, match="effects"):
                loop.effect = wrong
            assert loop.effect is push


# --- devices that come and go -------------------------------------------------------------

def test_an_arm_that_never_says_who_it_is_gets_no_force_with_reconnect(pty_device):
    peer = ArmPeer(pty_device, wakeups=False)  # answers forces, never the wake-up
    try:
        with servo(pty_device.path, ramp_s=0.0, reconnect=True, reconnect_after_s=0.2) as loop:
            loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
            wait_for(lambda: loop.fault is not None)
            assert "has not said who it is" in loop.fault
            time.sleep(0.3)
            assert loop.stats()["cycles"] == 0
        assert all(f == (0.0, 0.0, 0.0) for f in peer.settle())
        # Once it answers, it is driven.
        peer = ArmPeer(pty_device)
        with servo(pty_device.path, ramp_s=0.0, reconnect=True, reconnect_after_s=0.2) as loop:
            loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
            wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.0))
            assert loop.fault is None
    finally:
        peer.stopped = True


def test_a_loop_and_reader_built_from_device_objects_reconnect(simulator, tmp_path):
    # The stream's path string is a temporary of the binding: the loop must
    # keep a copy of its own (the address sanitizer sees the old reading).
    arm_link, grip_link = str(tmp_path / "arm"), str(tmp_path / "grip")
    simulator("talon", "--link", arm_link)
    simulator("handle", "--stream", "100", "--link", grip_link)
    talon = api.Talon(api.SerialStream(str(tmp_path / "arm")))
    handle = api.Handle(api.SerialStream(str(tmp_path / "grip")))
    with servo(talon, rate_hz=200, reconnect=True, reconnect_after_s=0.3) as loop, \
            vantor.GripReader(handle, reconnect=True, reconnect_after_s=0.3) as reader:
        wait_for(lambda: loop.stats()["cycles"] > 0 and reader.stats()["frames_good"] > 0)
        for gone in list(simulator.simulators):
            gone.process.kill()
            gone.stop()
        for link in (arm_link, grip_link):
            os.unlink(link)
        simulator("talon", "--link", arm_link)
        simulator("handle", "--stream", "100", "--link", grip_link)
        wait_for(lambda: loop.stats()["reconnects"] == 1 and reader.stats()["reconnects"] == 1)


def test_an_unplugged_arm_without_reconnect_is_seen_at_once_and_burns_no_core(simulator, tmp_path):
    link = str(tmp_path / "arm")
    simulator("talon", "--link", link)
    with servo(link, rate_hz=500) as loop:
        wait_for(lambda: loop.stats()["cycles"] > 20)
        gone = simulator.simulators.pop()
        gone.process.kill()
        gone.stop()
        unplugged = time.monotonic()
        wait_for(lambda: not loop.state()["connected"], timeout=2)
        assert time.monotonic() - unplugged < 0.5
        assert loop.fault.startswith("the arm's line hung up: unplugged or switched off")
        cpu = resource.getrusage(resource.RUSAGE_SELF)
        time.sleep(1.0)
        after = resource.getrusage(resource.RUSAGE_SELF)
        assert (after.ru_utime + after.ru_stime) - (cpu.ru_utime + cpu.ru_stime) < 0.3


# --- the grip reader ------------------------------------------------------------------------

def test_a_slow_callback_never_holds_the_reading_up(simulator):
    ages = []

    def slow(status):
        ages.append(status["age_s"])
        time.sleep(0.1)

    with vantor.GripReader(simulator("handle", "--stream", "100"), on_status=slow) as reader:
        time.sleep(1.5)
        latest, stats, running = reader.latest(), reader.stats(), list(ages)
    assert latest["age_s"] < 0.05  # the reading kept up with the grip
    assert stats["frames_good"] > 100 and stats["callbacks_skipped"] > 50
    # While it ran, the callback got recent frames, and was told how old they were.
    assert 0.01 < max(running[1:]) < 0.1


def test_a_frame_the_grip_flagged_is_delivered_with_its_flag(pty_device):
    frame = bytes([0xDA, 0x00, 0x00, 0x01, 0xA5, 0x07, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0xC8, 0x00, 0xC0])
    with vantor.GripReader(pty_device.path, wakeup=False) as reader:
        for _ in range(20):
            pty_device.send(frame)
            time.sleep(0.01)
        wait_for(lambda: reader.stats()["frames_good"] == 20)
        assert reader.latest()["error_flag"] == 1 and reader.stats()["frames_bad"] == 0


def test_a_grip_with_the_same_low_byte_is_not_adopted(simulator, tmp_path):
    link = str(tmp_path / "grip")
    simulator("handle", "--stream", "100", "--id", "263", "--link", link)
    with vantor.GripReader(link, reconnect=True, reconnect_after_s=0.3) as reader:
        wait_for(lambda: reader.stats()["frames_good"] > 0)
        gone = simulator.simulators.pop()
        gone.process.kill()
        gone.stop()
        os.unlink(link)
        simulator("handle", "--stream", "100", "--id", "7", "--link", link)  # 263 & 0xFF == 7
        wait_for(lambda: reader.fault == "another grip is on the port: not adopted")
        assert reader.stats()["reconnects"] == 0


# --- decided: one user per device ------------------------------------------------------------

def test_a_second_loop_on_the_same_port_is_refused(pty_device, peer, tmp_path):
    other_name = tmp_path / "same-arm"
    os.symlink(pty_device.path, other_name)
    with servo(pty_device.path):
        with pytest.raises(RuntimeError, match="already driven by a ServoLoop"):
            servo(str(other_name)).start()
        with pytest.raises(RuntimeError, match="already driven by a ServoLoop"):
            vantor.GripReader(str(other_name)).start()


def test_a_lent_talon_refuses_its_own_calls_until_given_back(pty_device, peer):
    talon = api.Talon(api.SerialStream(pty_device.path))
    with servo(talon, force_limit=LIMIT) as loop:
        wait_for(lambda: loop.stats()["cycles"] > 0)
        with pytest.raises(RuntimeError, match="driven by a ServoLoop; stop it first"):
            talon.end_effector_force([0.0, 0.0, 5.0])
        with pytest.raises(RuntimeError, match="stop it first"):
            talon.get_device_id()
    position, _ = talon.end_effector_force([0.0, 0.0, 0.0])
    assert position == pytest.approx([0.0, 0.0, 0.1])
    assert all(magnitude(f) <= LIMIT for f in peer.settle())
