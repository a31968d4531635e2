"""A Python effect's life beside its loops: it is dropped without waiting
for its function, it outlives its loop to a clean exit, it is rendered by
one running loop at a time, and what its function returns is a force only
when it is three real numbers. Safety is asserted on the forces the arm
peers receive."""
import gc
import sys
import threading

import pytest

import vantor
from conftest import ArmPeer, PtyDevice, run_child, servo, wait_for
from vantor import effects

RUNS = 20




# --- dropping a Callback never waits for its function ---------------------------------

def test_swapping_away_from_a_blocked_callback_returns_and_the_arm_gets_the_new_effect(pty_device, peer):
    entered, release, swapped = threading.Event(), threading.Event(), threading.Event()

    def blocked(position, velocity):
        entered.set()
        release.wait()
        return (0.0, 0.0, 0.0)

    with servo(pty_device.path, ramp_s=0.0) as loop:
        loop.effect = effects.Callback(blocked)  # the loop holds the only reference
        assert entered.wait(10)

        def swap():
            loop.effect = effects.ConstantForce(force=(0.0, 0.0, 0.5))
            gc.collect()
            swapped.set()

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            # Bounds a failure only: the swap itself never waits.
            assert swapped.wait(10), "setting loop.effect waited for the blocked function"
            wait_for(lambda: loop.state()["force"][2] == pytest.approx(0.5))
        finally:
            release.set()
            swapper.join()
    assert any(f[2] == pytest.approx(0.5) for f in peer.settle())


def test_dropping_a_callback_whose_function_blocks_returns_at_once(pty_device, peer):
    entered, release = threading.Event(), threading.Event()

    def blocked(position, velocity):
        entered.set()
        release.wait()
        return (0.0, 0.0, 0.0)

    done = threading.Event()
    with servo(pty_device.path) as loop:
        callback = effects.Callback(blocked)
        loop.effect = callback
        assert entered.wait(10)
        loop.effect = None

        def drop():
            nonlocal callback
            del callback
            gc.collect()
            done.set()

        dropper = threading.Thread(target=drop)
        dropper.start()
        try:
            assert done.wait(10), "dropping the Callback waited for its function"
        finally:
            release.set()
            dropper.join()


# --- a clean exit, whatever outlives its loop ----------------------------------------

KEPT_AFTER_LOOP = """
    import sys, time, vantor
    from vantor import effects
    def fn(p, v):
        time.sleep(0.05)
        return [0.0, 0.0, 0.0]
    def main():
        cb = effects.Callback(fn)
        with vantor.ServoLoop(sys.argv[1], exchange_deadline_ms=1000.0) as loop:
            loop.effect = cb
            end = time.monotonic() + 5
            while loop.stats()["faults_by_kind"]["effect_stalled"] == 0 and time.monotonic() < end:
                time.sleep(0.01)
        return cb
    kept = main()
    print("computed", kept.computed > 0, flush=True)
"""

# The function is inside a call when the interpreter shuts down.
RUNNING_AT_EXIT = """
    import sys, time, vantor
    from vantor import effects
    inside = []
    def fn(p, v):
        inside.append(1)
        time.sleep(0.02)
        return [0.0, 0.0, 0.0]
    loop = vantor.ServoLoop(sys.argv[1], exchange_deadline_ms=1000.0).start()
    loop.effect = kept = effects.Callback(fn)
    end = time.monotonic() + 5
    while len(inside) < 3 and time.monotonic() < end:
        time.sleep(0.005)
    print("computed", kept.computed > 0, flush=True)
"""

# A function blocked for good when the interpreter shuts down, its Callback
# dropped by then.
BLOCKED_AT_EXIT = """
    import sys, threading, time, vantor
    from vantor import effects
    entered, never = threading.Event(), threading.Event()
    def fn(p, v):
        entered.set()
        never.wait()
    loop = vantor.ServoLoop(sys.argv[1], exchange_deadline_ms=1000.0).start()
    loop.effect = effects.Callback(fn)
    entered.wait(5)
    loop.effect = None
    loop.stop()
    print("computed", entered.is_set(), flush=True)
"""


@pytest.mark.parametrize("script", [KEPT_AFTER_LOOP, RUNNING_AT_EXIT, BLOCKED_AT_EXIT],
                         ids=["kept-after-its-loop", "running-at-exit", "blocked-at-exit"])
def test_a_callback_that_outlives_its_loop_exits_cleanly(simulator, script):
    port = simulator("talon")
    for run in range(RUNS):
        child = run_child(script, port)
        assert (child.returncode, child.stdout.strip()) == (0, "computed True"), (run, child.stderr)
        assert "Fatal" not in child.stderr, (run, child.stderr)


# --- one running loop at a time renders a Callback -----------------------------------

def test_a_callback_rendered_by_one_loop_is_refused_by_another_each_arm_pushed_by_its_own_position():
    pty_a, pty_b = PtyDevice(), PtyDevice()
    arm_a = ArmPeer(pty_a, position=(0.0, 0.0, 0.1))
    arm_b = ArmPeer(pty_b, position=(0.0, 0.0, -0.1))
    try:
        def pull(position, velocity):
            return [-10.0 * x for x in position]

        shared = effects.Callback(pull)
        spring = effects.Spring(anchor=(0.0, 0.0, 0.0), stiffness=5.0)
        with servo(pty_a.path, ramp_s=0.0) as a, servo(pty_b.path, ramp_s=0.0) as b:
            a.effect = shared + spring
            with pytest.raises(RuntimeError, match=r"^Callback\(.*pull\) is rendered by another ServoLoop; make another"):
                b.effect = shared
            with pytest.raises(RuntimeError, match="rendered by another ServoLoop"):
                b.effect = spring + shared
            assert b.effect is None
            b.effect = effects.Callback(pull) + spring  # its own, and the stateless spring shared
            wait_for(lambda: len(arm_a.forces) > 100 and len(arm_b.forces) > 100)
        b.stop()
        for port in (pty_a.path, pty_b.path):  # a stopped loop renders nothing: another may
            with servo(port) as c:
                c.effect = shared
    finally:
        forces_a, forces_b = arm_a.settle(), arm_b.settle()
        pty_a.close()
        pty_b.close()
    # Each arm is pulled towards the origin from its own side, never pushed away.
    assert all(f[2] <= 0.0 for f in forces_a) and any(f[2] < -1.0 for f in forces_a)
    assert all(f[2] >= 0.0 for f in forces_b) and any(f[2] > 1.0 for f in forces_b)


def test_a_loop_that_starts_with_a_callback_another_renders_is_refused(pty_device, peer):
    other = PtyDevice()
    other_peer = ArmPeer(other)
    try:
        shared = effects.Callback(lambda p, v: (0.0, 0.0, 0.0))
        second = servo(other.path)
        second.effect = shared  # not running: nothing renders it yet
        with servo(pty_device.path) as first:
            first.effect = shared
            with pytest.raises(RuntimeError, match="is rendered by another ServoLoop; make another"):
                second.start()
            assert not second.running
        second.start()
        second.stop()
    finally:
        other_peer.stopped = True
        other.close()


# --- what the function returns ---------------------------------------------------------

@pytest.mark.parametrize("result, shown", [(b"abc", "b'abc'"), ((True, False, True), "(True, False, True)"),
                                           ("abc", "'abc'"), ((1.0, 2.0), "(1.0, 2.0)"), ((1.0, 2.0, 3j), "3j")])
def test_a_result_that_is_not_three_real_numbers_is_no_force(pty_device, peer, result, shown):
    with servo(pty_device.path, ramp_s=0.0) as loop:
        loop.effect = effects.Callback(lambda p, v: result)
        wait_for(lambda: loop.stats()["faults_by_kind"]["effect_failed"] > 0)
        assert shown in loop.fault and "returned" in loop.fault and "raised" not in loop.fault
    assert all(f == (0.0, 0.0, 0.0) for f in peer.settle())


def test_real_numbers_of_any_kind_are_a_force(pty_device, peer):
    np = pytest.importorskip("numpy")
    with servo(pty_device.path, ramp_s=0.0) as loop:
        loop.effect = effects.Callback(lambda p, v: (np.float32(0.25), 1, np.int64(0)))
        wait_for(lambda: loop.state()["force"][0] == pytest.approx(0.25))
        assert loop.fault is None
    assert any(f == (0.25, 1.0, 0.0) for f in peer.settle())


@pytest.mark.parametrize("age, error", [(0, ValueError), (0.0001, ValueError), (2, ValueError), (10**400, ValueError),
                                        (float("nan"), ValueError), (True, TypeError), ("0.01", TypeError)],
                         ids=["0", "1e-4", "2", "10**400", "nan", "True", "str"])
def test_max_age_s_is_checked_as_documented(age, error):
    with pytest.raises(error, match="max_age_s") as raised:
        effects.Callback(lambda p, v: (0.0, 0.0, 0.0), max_age_s=age)
    if error is ValueError and isinstance(age, int) and age < 10:
        assert f"got {age}" in str(raised.value)


def test_max_age_s_none_is_the_default_and_a_value_in_range_is_kept():
    assert effects.Callback(lambda p, v: (0.0, 0.0, 0.0)).max_age_s is None
    assert effects.Callback(lambda p, v: (0.0, 0.0, 0.0), max_age_s=None).max_age_s is None
    assert effects.Callback(lambda p, v: (0.0, 0.0, 0.0), max_age_s=0.0005).max_age_s == 0.0005
    assert effects.Callback(lambda p, v: (0.0, 0.0, 0.0), max_age_s=1).max_age_s == 1.0


# --- the interpreter's turns while a Callback is rendered --------------------------------

def test_turns_are_short_while_a_running_loop_renders_a_callback_and_given_back_after():
    pty = PtyDevice()
    arm = ArmPeer(pty)
    before = sys.getswitchinterval()
    try:
        sys.setswitchinterval(0.005)
        loop = servo(pty.path)
        loop.effect = effects.Callback(lambda p, v: [0.0, 0.0, 0.0])
        assert sys.getswitchinterval() == 0.005  # not running yet
        with loop:
            assert sys.getswitchinterval() == pytest.approx(0.001)
            loop.effect = effects.Spring(anchor=(0.0, 0.0, 0.1), stiffness=1.0)
            assert sys.getswitchinterval() == pytest.approx(0.005)
            loop.effect = effects.Spring(anchor=(0.0, 0.0, 0.1), stiffness=1.0) + effects.Callback(
                lambda p, v: [0.0, 0.0, 0.0])
            assert sys.getswitchinterval() == pytest.approx(0.001)
        assert sys.getswitchinterval() == pytest.approx(0.005)
        # A program's own choice, shorter or set meanwhile, is kept.
        sys.setswitchinterval(0.0002)
        with servo(pty.path) as loop:
            loop.effect = effects.Callback(lambda p, v: [0.0, 0.0, 0.0])
            assert sys.getswitchinterval() == pytest.approx(0.0002)
        sys.setswitchinterval(0.005)
        with servo(pty.path) as loop:
            loop.effect = effects.Callback(lambda p, v: [0.0, 0.0, 0.0])
            sys.setswitchinterval(0.003)
        assert sys.getswitchinterval() == pytest.approx(0.003)
    finally:
        sys.setswitchinterval(before)
        arm.settle()
        pty.close()
