"""End to end: the module against vantor-sim, the project's simulated devices."""
import os
import subprocess
import time
import uuid

import pytest

import VantorHardwareAPI as api
import vantor
from vantor import effects
from vantor.simulator import find_simulator


def drive(talon, force, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        position, velocity = talon.end_effector_force(force)
    return position, velocity


def test_force_loop_moves_the_arm_the_way_the_force_says(simulator):
    stream = api.SerialStream(simulator("talon"))
    talon = api.Talon(stream)
    assert talon.device_wakeup()[1] == 4
    start, _ = talon.end_effector_force([0.0, 0.0, 0.0])

    pushed, velocity = drive(talon, [0.0, 1.0, 0.0], 0.3)
    assert pushed[1] > start[1] + 0.005
    assert velocity[1] > 0
    pulled, velocity = drive(talon, [0.0, -1.0, 0.0], 0.6)
    assert pulled[1] < pushed[1] - 0.005
    assert velocity[1] < 0

    # Let the arm come to rest, so the two readings, one exchange apart, see
    # the same pose.
    end = time.monotonic() + 3.0
    while time.monotonic() < end:
        _, velocity = talon.end_effector_force([0.0, 0.0, 0.0])
        if max(abs(v) for v in velocity) < 1e-3:
            break
    # The arm's own reading and the host's computation from the joint angles agree.
    onboard, _ = talon.get_end_effector_position(True)
    host, host_velocity = talon.get_end_effector_position(False)
    assert host_velocity == [0.0, 0.0, 0.0]
    assert all(abs(a - b) < 1e-3 for a, b in zip(onboard, host))


def test_simulated_grip_streams_status_and_answers_wakeup(simulator):
    received = []

    class Grip(api.Handle):
        def OnReceiveHandleInfo(self, *info):
            received.append(("info", info))

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall, length, data):
            received.append(("status", device_id))

    stream = api.SerialStream(simulator("handle"))
    grip = Grip(stream)
    grip.SendDeviceWakeup()
    assert grip.Receive() == 6
    assert received[0][0] == "info"

    streaming = api.Handle(api.SerialStream(simulator("handle", "--stream", "200")))
    statuses = [streaming.GetQuillonStatus() for _ in range(20)]
    good = [s for s in statuses if s["error_flag"] == 0]
    assert len(good) >= 19  # the first frame may have begun before the port opened
    for status in good:
        assert 3.0 <= status["battery_level"] <= 4.275
        assert 0 <= status["buttons"] <= 7
        assert sum(q * q for q in status["quaternion"]) == pytest.approx(1.0, abs=0.02)


def test_an_arm_plugged_in_again_on_its_link_is_the_new_arm(simulator, tmp_path):
    link = str(tmp_path / "arm")
    first_id = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")
    assert simulator("talon", "--link", link, "--id", str(first_id))
    first = api.Talon(api.SerialStream(link))
    info = first.device_wakeup_dict()
    assert info["device_id_ext"] == first_id
    assert first.get_device_id() == first_id

    # Unplugged: killed, so it leaves its link behind.
    simulator.simulators[-1].process.kill()
    simulator.simulators[-1].process.wait(timeout=5)
    assert os.path.islink(link)

    second_id = uuid.UUID("0f0e0d0c-0b0a-0908-0706-050403020100")
    path = simulator("talon", "--link", link, "--id", second_id.hex)
    assert os.readlink(link) == path
    second = api.Talon(api.SerialStream(link))
    assert second.device_wakeup()[4] == list(second_id.bytes)
    assert second.device_wakeup_dict()["device_id_ext"] == second_id


def test_the_simulated_hand_leans_the_arm_on_a_wall_the_loop_renders(simulator):
    """What make demo does: the wall is the only effect, the hand is the simulator's."""
    talon = api.Talon(api.SerialStream(simulator("talon", "--hand", "push:0,0.5,0")))
    start, _ = talon.end_effector_force([0.0, 0.0, 0.0])
    wall = effects.Plane(point=(0.0, start[1] + 0.02, 0.0), normal=(0.0, -1.0, 0.0), stiffness=500.0, damping=2.0)
    # A generous deadline: a busy machine must not stop the wall and let the hand through.
    with vantor.ServoLoop(talon, rate_hz=1000, force_limit=5.0, exchange_deadline_ms=200.0) as loop:
        loop.effect = wall
        still = 0
        end = time.monotonic() + 30
        while still < 5 and time.monotonic() < end:
            time.sleep(0.05)
            state = loop.state()
            assert state["fault"] is None
            at_rest = max(abs(v) for v in state["velocity"]) < 1e-4
            still = still + 1 if at_rest and wall.penetration(state["position"]) > 0 else 0
        assert still == 5
        # Where the wall's 500 N/m holds the hand's 0.5 N.
        assert wall.penetration(loop.state()["position"]) == pytest.approx(0.5 / 500.0, abs=1e-4)


@pytest.mark.parametrize("args, says", [
    (("talon", "--delay", "9223372036854"), "--delay: a whole number of milliseconds, 0 to 60000"),
    (("talon", "--short", "5000"), "--short: a whole number of bytes, 0 to 1000"),
    (("talon", "--close-after", "0"), "--close-after: a whole number, 1 to 1000000000"),
    (("handle", "--stream", "10", "--frames", "99999999999999999999"), "--frames: a whole number, 1 to 1000000000"),
    (("handle", "--stream", "1e6"), "--stream: a number of frames a second, above 0 and at most 10000"),
    (("handle", "--id", "70000"), "--id: a whole number, 0 to 65535"),
])
def test_a_number_out_of_its_range_is_refused_with_the_range(args, says):
    if find_simulator() is None:
        pytest.skip("vantor-sim is not installed")
    # Input closed at once: a simulator that took the value would serve, then end.
    result = subprocess.run([find_simulator(), *args], input="", capture_output=True, text=True, timeout=20)
    assert result.returncode == 2, result.stdout
    assert result.stdout == ""
    assert says in result.stderr.splitlines()[0], result.stderr
