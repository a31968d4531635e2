"""The energy the loop observes and the passivity controller, against an arm
with dynamics on a pseudo-terminal (DynamicArm): a mass, viscous damping and
a steady hand push, moved one loop period per force received, so each run is
the same on any machine. Stillness and forces are read from the arm itself."""
import gc
import math

import pytest

import vantor
from vantor import effects
from conftest import DynamicArm, wait_for

RATE_HZ = 1000.0
PUSH = (0.0, 0.0, -1.0)  # the hand pushes the arm onto the floor with 1 N
STILL_M = 0.0002  # peak to peak over the last 0.5 s of a wall the arm rests on


@pytest.fixture
def arm(pty_device):
    """The arm 3 mm above a floor through the origin, pushed down onto it."""
    arm = DynamicArm(pty_device, period=1.0 / RATE_HZ, push=PUSH, position=(0.0, 0.0, 0.003))
    yield arm
    arm.stopped = True


def floor(stiffness):
    return effects.Plane(point=(0.0, 0.0, 0.0), normal=(0.0, 0.0, 1.0), stiffness=stiffness)


def servo(port, **kwargs):
    # No ramp, which counts wall-clock time: the arm's run is then the same
    # however the machine keeps pace, and a generous deadline for that pace.
    kwargs.setdefault("ramp_s", 0.0)
    kwargs.setdefault("exchange_deadline_ms", 1000.0)
    return vantor.ServoLoop(port, RATE_HZ, **kwargs)


def render(arm, effect, seconds=1.5, **settings):
    """Renders effect for `seconds` of the arm's time; gives the loop's
    recording and figures, taken before it stopped."""
    cycles = round(seconds * RATE_HZ)
    loop = servo(arm.pty.path, **settings)
    loop.effect = effect  # from the first cycle: the arm's run is the same each time
    loop.record(cycles)
    with loop:
        wait_for(lambda: len(loop.recording()) >= cycles, timeout=120.0)
        recording, state, stats = loop.recording(), loop.state(), loop.stats()
    arm.settle()
    return recording, state, stats


def test_a_stiff_wall_rattles_without_the_controller(arm):
    recording, _, stats = render(arm, floor(20_000.0))
    assert arm.peak_to_peak(0.5) > 2 * STILL_M
    assert recording["energy"].min() < 0.0  # the sampled wall made energy
    assert stats["passivity"] == {"cycles": 0, "energy_removed_j": 0.0, "max_damping": 0.0}
    assert arm.forces[-1] == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("stiffness", [20_000.0, 100_000.0])
def test_the_controller_keeps_a_stiff_wall_still(arm, stiffness):
    _, state, stats = render(arm, floor(stiffness), passivity=True)
    assert arm.peak_to_peak(0.5) <= STILL_M
    assert abs(arm.position[2]) < 0.001  # resting on the wall, not beside it
    acted = stats["passivity"]
    assert acted["cycles"] > 0 and acted["energy_removed_j"] > 0.0
    assert 0.0 < acted["max_damping"] <= 50.0
    assert isinstance(state["energy"], float)
    assert all(math.sqrt(sum(x * x for x in f)) <= 2.0 + 1e-5 for f in arm.forces)  # still within force_limit
    assert arm.forces[-1] == (0.0, 0.0, 0.0)


def test_the_plain_wall_boundary_is_that_of_the_sampled_wall_within_a_factor_of_2(pty_device):
    # A sampled wall on an arm of damping b is passive below 2 b / T: 4,000
    # N/m here. Still at half of it, rattling at twice. Near the bound the
    # landing dies away slowly: 3 s.
    for stiffness, still in ((2_000.0, True), (8_000.0, False)):
        arm = DynamicArm(pty_device, period=1.0 / RATE_HZ, push=PUSH, position=(0.0, 0.0, 0.003))
        render(arm, floor(stiffness), seconds=3.0)
        assert (arm.peak_to_peak(0.5) <= STILL_M) == still, (stiffness, arm.peak_to_peak(0.5))


def test_an_active_push_moves_the_arm_the_same_with_and_without_the_controller(pty_device):
    paths = []
    for passivity in (False, True):
        arm = DynamicArm(pty_device, period=1.0 / RATE_HZ)
        recording, _, stats = render(arm, effects.ConstantForce(force=(0.5, 0.0, 0.0)), seconds=0.5,
                                     passivity=passivity)
        assert stats["passivity"]["cycles"] == 0
        assert (recording["energy"] == 0.0).all()
        paths.append([p[0] for p in arm.positions[:500]])
    speed = (paths[0][-1] - paths[0][-2]) * RATE_HZ
    assert speed > 0.2  # 0.5 N on 2 N s/m: on its way to 0.25 m/s
    assert paths[1] == paths[0]


def test_a_callback_is_passive_unless_made_active(pty_device):
    def push(position, velocity):
        return (0.5, 0.0, 0.0)

    assert not effects.Callback(push).active and effects.Callback(push, active=True).active
    assert effects.ConstantForce(force=(1.0, 0.0, 0.0)).active and not floor(1.0).active
    speeds = {}
    for active in (True, False):
        arm = DynamicArm(pty_device, period=1.0 / RATE_HZ)
        render(arm, effects.Callback(push, active=active), seconds=0.5, passivity=True)
        speeds[active] = arm.velocity[0]
    # A passive effect that pushes is giving out energy it never took: the
    # controller brakes it. An active one is left alone.
    assert speeds[True] > 0.2
    assert speeds[False] < 0.5 * speeds[True]


def test_the_energy_restarts_at_zero_when_the_effect_is_swapped(arm):
    with servo(arm.pty.path) as loop:
        loop.effect = floor(20_000.0)
        wait_for(lambda: loop.state()["energy"] < -1e-4, timeout=60.0)
        loop.effect = effects.Damper(damping=0.0)  # no force: its energy stays where it starts
        cycle = loop.state()["cycle"]
        wait_for(lambda: loop.state()["cycle"] > cycle + 5)
        assert loop.state()["energy"] == 0.0
    arm.settle()


def test_every_way_out_ends_with_zero_force_with_the_controller_on(arm):
    wall = floor(100_000.0)

    def pressing():
        return any(f[2] > 0.5 for f in arm.forces)

    loop = servo(arm.pty.path, passivity=True)
    loop.effect = wall
    loop.start()
    wait_for(pressing, timeout=60.0)
    loop.stop()
    wait_for(lambda: arm.forces[-1] == (0.0, 0.0, 0.0))
    arm.forces.clear()

    loop = servo(arm.pty.path, passivity=True)
    loop.effect = wall
    loop.start()
    wait_for(pressing, timeout=60.0)
    del loop
    gc.collect()
    wait_for(lambda: arm.forces[-1] == (0.0, 0.0, 0.0))
    arm.forces.clear()

    with pytest.raises(ZeroDivisionError):
        with servo(arm.pty.path, passivity=True) as loop:
            loop.effect = wall
            wait_for(pressing, timeout=60.0)
            1 / 0
    forces = arm.settle()
    assert forces[-1] == (0.0, 0.0, 0.0) and any(f[2] > 0.5 for f in forces)


@pytest.mark.parametrize("settings, error", [
    ({"passivity": 1}, TypeError),
    ({"passivity": "yes"}, TypeError),
    ({"passivity": None}, TypeError),
    ({"passivity_max_damping": "50"}, TypeError),
    ({"passivity_max_damping": True}, TypeError),
    ({"passivity_max_damping": -1.0}, ValueError),
    ({"passivity_max_damping": 10_000.5}, ValueError),
    ({"passivity_max_damping": math.nan}, ValueError),
    ({"passivity_max_damping": math.inf}, ValueError),
])
def test_bad_settings_are_refused(pty_device, settings, error):
    with pytest.raises(error, match="passivity"):
        vantor.ServoLoop(pty_device.path, **settings)


def test_settings_at_their_bounds_are_taken(pty_device):
    for damping in (0.0, 10_000.0):
        vantor.ServoLoop(pty_device.path, passivity=True, passivity_max_damping=damping)


def test_a_callbacks_active_flag_must_be_a_bool():
    with pytest.raises(TypeError, match="active"):
        effects.Callback(lambda p, v: (0.0, 0.0, 0.0), active=1)
