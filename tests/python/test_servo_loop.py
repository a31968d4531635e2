"""vantor.ServoLoop end to end: a pseudo-terminal peer plays the arm and keeps
every force it receives; the simulator plays it where a moving arm matters."""
import gc
import math
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import VantorHardwareAPI as api
import vantor
from vantor import _native, effects
from conftest import ArmPeer, servo, wait_for
from test_talon import Arm, calibrate, second_pty  # noqa: F401 (a fixture)




def magnitude(f):
    return math.sqrt(sum(x * x for x in f))


def test_clamp_ramp_and_zero_on_leaving_the_block(pty_device, peer):
    with servo(pty_device.path, rate_hz=1000, force_limit=2.0, ramp_s=0.1) as loop:
        loop.effect = effects.ConstantForce(force=(0.0, 3.0, 4.0))
        wait_for(lambda: magnitude(loop.state()["force"]) > 2.0 - 1e-5 and loop.stats()["cycles"] > 100)
        state, stats = loop.state(), loop.stats()
    forces = peer.settle()
    assert forces[0] == (0.0, 0.0, 0.0)
    assert forces[-1] == (0.0, 0.0, 0.0)
    strengths = [magnitude(f) for f in forces[1:-1]]
    assert max(strengths) == pytest.approx(2.0, abs=1e-5)  # clamped, not 5 N
    assert all(s <= 2.0 + 1e-5 for s in strengths)
    assert strengths[0] == 0.0  # the ramp starts at zero
    assert all(b >= a - 1e-6 for a, b in zip(strengths, strengths[1:]))
    assert all(abs(f[1] / magnitude(f) - 0.6) < 1e-5 for f in forces[1:-1] if magnitude(f) > 0)
    assert set(state) == {"t", "cycle", "position", "velocity", "force", "connected", "fault", "energy", "proxy"}
    assert state["position"] == pytest.approx([0.0, 0.0, 0.1]) and state["fault"] is None
    assert set(stats) == {"cycles", "rate_hz", "late_cycles", "jitter_us", "exchange_us", "slow_exchanges", "faults",
                          "faults_by_kind", "last_fault", "reconnects", "realtime", "device_log_lines", "passivity"}
    assert stats["last_fault"] is None and not any(stats["faults_by_kind"].values())
    assert set(stats["jitter_us"]) == {"p50", "p99", "max"}
    assert stats["cycles"] > 100 and stats["faults"] == 0


def test_zero_force_is_the_last_thing_written_on_every_way_out(pty_device, peer):
    push = effects.ConstantForce(force=(0.0, 0.0, 1.0))

    def run(leave):
        loop = servo(pty_device.path, ramp_s=0.0)
        loop.effect = push
        loop.start()
        wait_for(lambda: any(f[2] > 0.99 for f in peer.forces))
        leave(loop)
        wait_for(lambda: peer.forces[-1] == (0.0, 0.0, 0.0))
        assert peer.forces[-1] == (0.0, 0.0, 0.0)
        assert any(f[2] > 0.99 for f in peer.forces)
        peer.forces.clear()

    run(lambda loop: loop.stop())

    # Garbage collection of a running loop: nothing else holds it.
    loop = servo(pty_device.path, ramp_s=0.0)
    loop.effect = push
    loop.start()
    wait_for(lambda: any(f[2] > 0.99 for f in peer.forces))
    del loop
    gc.collect()
    wait_for(lambda: peer.forces[-1] == (0.0, 0.0, 0.0))
    assert peer.forces[-1] == (0.0, 0.0, 0.0) and any(f[2] > 0.99 for f in peer.forces)
    peer.forces.clear()
    with pytest.raises(ZeroDivisionError):
        with servo(pty_device.path, ramp_s=0.0) as loop:
            loop.effect = push
            wait_for(lambda: any(f[2] > 0.99 for f in peer.forces))
            1 / 0
    wait_for(lambda: peer.forces[-1] == (0.0, 0.0, 0.0))
    assert peer.forces[-1] == (0.0, 0.0, 0.0) and any(f[2] > 0.99 for f in peer.forces)


EXIT_WHILE_RUNNING = """
    import os, signal, sys, time, vantor
    from vantor import effects
    loop = vantor.ServoLoop(sys.argv[1], ramp_s=0.0, exchange_deadline_ms=1000.0)
    loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
    loop.start()
    while loop.state()["force"][2] < 0.99:   # pushing
        time.sleep(0.001)
    if sys.argv[2] == "interrupt":
        print("running", flush=True)
        while True:
            time.sleep(1)
    # and the interpreter exits with the loop running
"""


@pytest.mark.parametrize("how", ["exit", "interrupt"])
def test_interpreter_exit_and_ctrl_c_send_zero_force(pty_device, peer, how):
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(EXIT_WHILE_RUNNING), pty_device.path, how],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if how == "interrupt":
        assert child.stdout.readline().strip() == "running"
        time.sleep(0.1)
        child.send_signal(signal.SIGINT)
    child.wait(timeout=10)
    forces = peer.settle()
    assert any(f[2] > 0.99 for f in forces)
    assert forces[-1] == (0.0, 0.0, 0.0)
    if how == "exit":
        assert (child.returncode, child.stderr.read()) == (0, "")


def test_a_silent_arm_is_a_fault_within_the_link_timeout_that_ends_when_it_answers(pty_device, peer):
    with servo(pty_device.path, rate_hz=500, link_timeout_ms=50.0, ramp_s=0.0) as loop:
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, 1.0))
        wait_for(lambda: loop.stats()["cycles"] > 20)
        assert loop.fault is None
        peer.silent = True
        silent_at = time.monotonic()
        while loop.fault is None and time.monotonic() - silent_at < 2:
            time.sleep(0.0002)
        noticed = time.monotonic() - silent_at
        assert loop.fault.startswith("arm not answering for ") and "link_timeout_ms=50" in loop.fault
        # The 50 ms bound plus one 2 ms period, and slack for a busy machine.
        assert noticed < 0.3
        stuck = loop.state()["cycle"]
        peer.silent = False
        # The unanswered exchange waits out its 1 s reply time-out; the next
        # one on time ends the fault, and the force ramps in again by itself.
        wait_for(lambda: loop.state()["cycle"] > stuck + 5 and loop.fault is None)
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.0))
        stats = loop.stats()
        assert stats["faults"] == 1 and stats["faults_by_kind"]["arm_not_answering"] == 1
        assert stats["last_fault"]["kind"] == "arm_not_answering"
        assert stats["last_fault"]["text"].startswith("arm not answering for ")


def test_limits_and_bad_arguments(pty_device, peer):
    peer.velocity = (0.0, 2.0, 0.0)
    with servo(pty_device.path, velocity_limit=1.0) as loop:
        loop.effect = effects.ConstantForce(force=(1.0, 0.0, 0.0))
        wait_for(lambda: loop.fault is not None)
        assert loop.fault.startswith("velocity limit exceeded: 2 m/s, above velocity_limit=1;")
        assert "clear_fault()" in loop.fault
    peer.velocity = (0.0, 0.0, 0.0)
    with servo(pty_device.path, workspace=((-0.1, -0.1, 0.2), (0.1, 0.1, 0.3))) as loop:
        wait_for(lambda: loop.fault is not None)
        assert loop.fault.startswith("outside the workspace: at (0.0000, 0.0000, 0.1000) m")
    assert all(f == (0.0, 0.0, 0.0) for f in peer.settle())

    for kwargs in [{"rate_hz": 0}, {"force_limit": -1}, {"workspace": ((0, 0, 0), (0, 1, 1))},
                   {"velocity_limit": 0}]:
        with pytest.raises(ValueError):
            servo(pty_device.path, **kwargs)
    with pytest.raises(FileNotFoundError):
        servo("/nonexistent/ttyACM9")
    with pytest.raises(TypeError):
        servo(42)


def test_python_callback_effect_and_its_failure(pty_device, peer):
    seen = []

    def spring(position, velocity):
        seen.append(position)
        return [0.0, 0.0, 10.0 * (0.2 - position[2])]

    with servo(pty_device.path, ramp_s=0.0) as loop:
        loop.effect = effects.Callback(spring)
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.0))
        assert seen[-1] == pytest.approx([0.0, 0.0, 0.1])
        loop.effect = effects.Callback(lambda p, v: 1 / 0)
        wait_for(lambda: loop.fault is not None)
        assert loop.fault.startswith("the effect gave no valid force")
        assert loop.fault.endswith("the Python effect raised ZeroDivisionError('division by zero')")
        with pytest.raises(AttributeError, match="effects.Callback"):
            loop.on_cycle = spring


def test_effects_parameters_change_while_running_and_the_recording(pty_device, peer, tmp_path):
    spring = effects.Spring(anchor=(0.0, 0.0, 0.1), stiffness=100.0)
    assert spring.anchor == [0.0, 0.0, 0.1] and spring.damping == 0.0
    with servo(pty_device.path, ramp_s=0.0) as loop:
        loop.effect = spring + effects.Damper(damping=1.0)
        loop.record(50)
        wait_for(lambda: len(loop.recording()) == 50)
        spring.anchor = (0.0, 0.0, 0.11)  # moved: 1 N at full strength at once
        wait_for(lambda: loop.state()["force"][2] == pytest.approx(1.0, abs=1e-5))
        recording = loop.recording()
    assert len(recording) == 50
    assert recording.dtype.names[:5] == ("t", "position", "velocity", "force", "exchange_us")
    assert np.all(np.diff(recording["t"]) > 0)
    assert recording["position"][10] == pytest.approx([0.0, 0.0, 0.1])
    for name in ["run.npz", "run.csv"]:
        vantor.save_recording(tmp_path / name, recording)
    assert len(np.load(tmp_path / "run.npz")["recording"]) == 50
    assert (tmp_path / "run.csv").read_text().splitlines()[0].startswith("t,x,y,z,")
    with pytest.raises(ValueError):
        vantor.save_recording(tmp_path / "run.txt", recording)


def test_the_loop_uses_a_given_talon_and_shares_its_calibration(pty_device, second_pty):
    arm = Arm(second_pty)
    try:
        calibrate(arm, (0.0, 0.0, 0.0), (10.0, 20.0, 30.0))
        assert _native.joint_offsets() == pytest.approx([math.radians(10), -math.radians(20), -math.radians(30)])
    finally:
        calibrate(arm, (0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    assert _native.joint_offsets() == [0.0, 0.0, 0.0]

    peer = ArmPeer(pty_device)
    talon = api.Talon(api.SerialStream(pty_device.path))
    try:
        with servo(talon) as loop:
            wait_for(lambda: loop.stats()["cycles"] > 10)
        wait_for(lambda: peer.forces[-1] == (0.0, 0.0, 0.0))
        assert peer.forces[-1] == (0.0, 0.0, 0.0)
        # Back to the caller, with its own reply time-out again.
        position, _ = talon.end_effector_force([0.0, 0.0, 0.0])
        assert position == pytest.approx([0.0, 0.0, 0.1])
    finally:
        peer.stopped = True
