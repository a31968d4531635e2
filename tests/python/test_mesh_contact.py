"""Touching meshes on an arm with dynamics (DynamicArm: a mass, damping and a
hand's push, one loop period per request), judged on the forces the arm
received: a thin plate is not pushed through where a penalty shape is, an
edge and a concave corner hold without flips, friction holds then slides at
its coefficient, and a mesh moved into the arm pushes it."""
import math

import numpy as np
import pytest

import vantor
from vantor import effects
from conftest import DynamicArm, wait_for

RATE_HZ = 1000.0
STIFFNESS = 1500.0
ARM_DAMPING = 10.0  # N s/m: the hand's, so it settles in well under a second


def run(pty_device, effect, push, start, cycles=1500, then=None):
    """Renders effect on a DynamicArm pushed by push from start; then(arm) is
    called once cycles forces have gone, and as many again follow. The arm."""
    arm = DynamicArm(pty_device, period=1.0 / RATE_HZ, damping=ARM_DAMPING, push=push, position=start)
    try:
        loop = vantor.ServoLoop(pty_device.path, RATE_HZ, ramp_s=0.0, exchange_deadline_ms=1000.0, force_limit=5.0)
        loop.effect = effect
        with loop:
            wait_for(lambda: len(arm.forces) >= cycles, timeout=120.0)
            if then is not None:
                then(arm)
                wait_for(lambda: len(arm.forces) >= 2 * cycles, timeout=120.0)
    finally:
        arm.stopped = True
    assert arm.forces[-1] == (0.0, 0.0, 0.0)
    return arm


def resting(arm, count=300):
    """The forces received over the last count cycles before the loop's final zero."""
    return np.array(arm.forces[-count - 3:-3])


def no_flips(forces, floor=1e-3):
    """No component changes sign from one cycle to the next where it is felt."""
    signs = np.sign(np.where(np.abs(forces) > floor, forces, 0.0))
    return not ((signs[1:] * signs[:-1]) < 0).any()


def penalty_plate(lower_z, upper_z, stiffness):
    """A plate rendered the penalty way: out along the nearest face, from its middle."""
    middle = (lower_z + upper_z) / 2

    def force(position, velocity):
        z = position[2]
        if not lower_z < z < upper_z:
            return (0.0, 0.0, 0.0)
        return (0.0, 0.0, stiffness * (upper_z - z) if z >= middle else -stiffness * (z - lower_z))
    return effects.Callback(force)


def test_a_thin_plate_holds_the_touched_side_where_a_penalty_plate_is_pushed_through(pty_device):
    plate = effects.Mesh.box((-0.05, -0.05, -0.001), (0.05, 0.05, 0.0), stiffness=STIFFNESS)
    arm = run(pty_device, plate, (0.0, 0.0, -3.0), (0.0, 0.0, 0.003))
    forces = np.array(arm.forces)
    assert (forces[:, 2] >= 0.0).all()  # never down, out of the far side
    assert arm.position[2] == pytest.approx(-0.002, abs=5e-5)  # the touched face, less 3 N / 1500 N/m
    assert resting(arm)[:, 2] == pytest.approx(3.0, abs=0.02)

    penalty = run(pty_device, penalty_plate(-0.001, 0.0, STIFFNESS), (0.0, 0.0, -3.0), (0.0, 0.0, 0.003))
    assert min(f[2] for f in penalty.forces) < 0.0  # past the middle it pushed down, through
    assert penalty.position[2] < -0.01  # gone through and on


def test_a_cube_edge_holds_without_flips(pty_device):
    # Along the diagonal onto the edge x = z = 0.02, friction keeping it there:
    # a frictionless convex edge is a ridge, and the arm rightly slides off it
    # onto a face (the push is never exactly along the diagonal).
    cube = effects.Mesh.box((-0.02, -0.02, -0.02), (0.02, 0.02, 0.02), stiffness=STIFFNESS,
                            static_friction=1.5, dynamic_friction=1.0)
    push = (-math.sqrt(2.0), 0.0, -math.sqrt(2.0))
    arm = run(pty_device, cube, push, (0.025, 0.0, 0.025))
    forces = resting(arm)
    assert no_flips(forces)
    assert np.abs(np.diff(forces, axis=0)).max() < 0.01
    assert forces[-1] == pytest.approx([-push[0], 0.0, -push[2]], abs=0.02)
    assert (np.array(arm.forces)[:, [0, 2]].sum(axis=1) >= -1e-6).all()  # never into the cube
    assert abs(arm.position[0] - 0.02) < 0.003 and abs(arm.position[2] - 0.02) < 0.003


def test_a_concave_corner_holds_without_flips(pty_device):
    # An L: the floor z = 0 for x > 0 and the wall x = 0 for z > 0, both open sheets.
    vertices = [[0, -0.05, 0], [0.05, -0.05, 0], [0.05, 0.05, 0], [0, 0.05, 0],
                [0, -0.05, 0.05], [0, 0.05, 0.05]]
    floor, wall = [[0, 1, 2], [0, 2, 3]], [[0, 3, 5], [0, 5, 4]]
    corner = effects.Mesh(vertices, floor + wall, stiffness=STIFFNESS)
    push = (-1.0, 0.0, -2.0)  # into both
    arm = run(pty_device, corner, push, (0.004, 0.0, 0.006))
    forces = resting(arm)
    assert no_flips(forces)
    assert np.abs(np.diff(forces, axis=0)).max() < 0.01
    assert forces[-1] == pytest.approx([1.0, 0.0, 2.0], abs=0.02)
    assert arm.position[0] == pytest.approx(-1.0 / STIFFNESS, abs=5e-5)
    assert arm.position[2] == pytest.approx(-2.0 / STIFFNESS, abs=5e-5)


@pytest.mark.parametrize("sideways, slides", [(0.5, False), (1.0, True)])
def test_friction_holds_within_the_cone_and_slides_at_the_dynamic_coefficient(pty_device, sideways, slides):
    floor = effects.Mesh.box((-0.5, -0.5, -0.01), (0.5, 0.5, 0.0), stiffness=STIFFNESS,
                             static_friction=0.4, dynamic_friction=0.3)
    settled = {}

    def lean(arm):
        settled["x"] = arm.position[0]
        arm.push = (sideways, 0.0, -2.0)

    arm = run(pty_device, floor, (0.0, 0.0, -2.0), (0.0, 0.0, 0.002), then=lean)
    forces = resting(arm)
    moved = arm.position[0] - settled["x"]
    assert forces[:, 2] == pytest.approx(2.0, abs=0.02)
    if slides:
        assert moved > 0.005
        # Sliding: held between the two coefficients' forces, never beyond the static one.
        assert (-forces[:, 0] <= 0.4 * forces[:, 2] + 0.01).all()
        assert (-forces[:, 0] >= 0.3 * forces[:, 2] * 0.9).all()
    else:
        assert abs(moved) < sideways / STIFFNESS + 1e-4  # the spring's stretch, no slide
        assert np.ptp(np.array(arm.positions[-303:-3])[:, 0]) < 1e-6
        assert forces[-1][0] == pytest.approx(-sideways, abs=0.02)


def test_a_mesh_moved_into_the_arm_pushes_it(pty_device):
    block = effects.Mesh.box((-0.05, -0.05, -0.02), (0.05, 0.05, -0.005), stiffness=STIFFNESS)

    def raise_it(arm):
        for step in range(1, 21):  # 10 mm up, in 0.5 mm steps
            block.translation = (0.0, 0.0, 0.0005 * step)
            count = len(arm.forces)
            wait_for(lambda: len(arm.forces) >= count + 10, timeout=60.0)

    arm = run(pty_device, block, (0.0, 0.0, -0.5), (0.0, 0.0, 0.0), then=raise_it)
    assert arm.position[2] == pytest.approx(0.005 - 0.5 / STIFFNESS, abs=5e-5)
    assert max(f[2] for f in arm.forces) > 0.5  # it pushed harder than the hand while it came


def test_sliding_averages_the_dynamic_coefficient(pty_device):
    floor = effects.Mesh.box((-0.5, -0.5, -0.01), (0.5, 0.5, 0.0), stiffness=STIFFNESS,
                             static_friction=0.4, dynamic_friction=0.3)
    arm = run(pty_device, floor, (0.0, 0.0, -2.0), (0.0, 0.0, 0.002),
              then=lambda arm: setattr(arm, "push", (1.0, 0.0, -2.0)))
    forces = resting(arm)
    assert -forces[:, 0].mean() == pytest.approx(0.3 * forces[:, 2].mean(), rel=0.1)
