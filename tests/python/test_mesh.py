"""effects.Mesh through the installed wheel: its checks and settings, the
proxy in state() and in recordings, one running loop at a time, and a stiff
mesh held still by the passivity controller on an arm with dynamics
(DynamicArm), read from what the arm received."""
import math

import numpy as np
import pytest

import vantor
from vantor import effects
from conftest import ArmPeer, DynamicArm, PtyDevice, wait_for

RATE_HZ = 1000.0
SQUARE = np.array([[-0.1, -0.1, 0.0], [0.1, -0.1, 0.0], [0.1, 0.1, 0.0], [-0.1, 0.1, 0.0]])
UP = [[0, 1, 2], [0, 2, 3]]  # the sheet z = 0, touched from above


def floor_mesh(**settings):
    settings.setdefault("stiffness", 1000.0)
    return effects.Mesh(SQUARE, UP, **settings)


def servo(port, **kwargs):
    kwargs.setdefault("ramp_s", 0.0)
    kwargs.setdefault("exchange_deadline_ms", 1000.0)
    return vantor.ServoLoop(port, RATE_HZ, **kwargs)


# --- made and tuned ----------------------------------------------------------------

@pytest.mark.parametrize("vertices, triangles, settings, named", [
    ([[0, 0, 0], [1, 0, 0], [0, float("nan"), 0]], [[0, 1, 2]], {}, "vertices"),
    ([[0, 0], [1, 0], [0, 1]], [[0, 1, 2]], {}, "vertices"),
    (SQUARE, [[0, 1, 4]], {}, "triangles"),
    (SQUARE, [[0, 1]], {}, "triangles"),
    (SQUARE, [[0.0, 1.5, 2.0]], {}, "triangles"),
    (SQUARE, [[0, 1, 1]], {}, "triangles"),
    (SQUARE, UP, {"stiffness": 0.0}, "stiffness"),
    (SQUARE, UP, {"damping": -0.1}, "damping"),
    (SQUARE, UP, {"static_friction": 0.2, "dynamic_friction": 0.3}, "dynamic_friction"),
])
def test_a_bad_mesh_is_refused_naming_what_is_wrong(vertices, triangles, settings, named):
    settings.setdefault("stiffness", 1000.0)
    with pytest.raises(ValueError, match=f"^{named}"):
        effects.Mesh(vertices, triangles, **settings)


def test_sequences_and_arrays_make_the_same_mesh_and_degenerate_triangles_are_counted():
    listed = effects.Mesh(SQUARE.tolist(), UP + [[0, 0, 1], [0, 1, 1]], stiffness=500.0)
    assert (listed.triangle_count, listed.skipped_triangles) == (2, 2)
    array = effects.Mesh(SQUARE.astype(np.float32), np.array(UP, dtype=np.int32), stiffness=500.0)
    assert (array.triangle_count, array.skipped_triangles) == (2, 0)
    assert isinstance(listed + effects.Damper(1.0), effects.Sum)
    assert not listed.active


def test_the_vertices_and_triangles_are_kept_as_given_read_only_and_apart_from_the_callers():
    vertices = SQUARE.copy()
    triangles = np.array(UP + [[0, 0, 1]])  # a degenerate one is kept too
    mesh = effects.Mesh(vertices, triangles, stiffness=500.0)
    vertices[0, 0] = 5.0
    triangles[0, 0] = 3
    assert np.array_equal(mesh.vertices, SQUARE) and mesh.vertices.dtype == np.float64
    assert np.array_equal(mesh.triangles, UP + [[0, 0, 1]]) and mesh.triangles.dtype == np.int64
    for array in (mesh.vertices, mesh.triangles):
        assert not array.flags.writeable
        with pytest.raises(ValueError):
            array[0, 0] = 1
    box = effects.Mesh.box((0, 0, 0), (1, 2, 3), stiffness=500.0)
    assert box.vertices.shape == (8, 3) and box.triangles.shape == (12, 3)
    assert np.array_equal(box.vertices.max(axis=0), [1, 2, 3])
    sphere = effects.Mesh.sphere((0, 0, 1), 0.5, subdivisions=1, stiffness=500.0)
    assert sphere.triangles.shape == (80, 3)
    assert np.allclose(np.linalg.norm(sphere.vertices - [0, 0, 1], axis=1), 0.5)


def test_a_refused_setting_leaves_the_one_in_force():
    mesh = floor_mesh(damping=1.0, static_friction=0.5, dynamic_friction=0.4)
    with pytest.raises(ValueError, match="^stiffness"):
        mesh.stiffness = -1.0
    with pytest.raises(ValueError, match="^dynamic_friction"):
        mesh.dynamic_friction = 0.6
    with pytest.raises(ValueError, match=r"^dynamic_friction must be between 0 and static_friction \(0.3\)"):
        mesh.static_friction = 0.3  # below the dynamic coefficient
    assert (mesh.stiffness, mesh.damping, mesh.static_friction, mesh.dynamic_friction) == (1000.0, 1.0, 0.5, 0.4)
    mesh.translation = (0.0, 0.02, 0.1)
    with pytest.raises(ValueError, match="^translation"):
        mesh.translation = (0.0, math.inf, 0.0)
    quarter = [[1.0, 0.0, 0.0], [0.0, 0.0, -1.0], [0.0, 1.0, 0.0]]
    mesh.rotation = np.array(quarter)
    for bad in ([[1, 0, 0], [0, 1, 0], [0, 0, -1]], [[2, 0, 0], [0, 1, 0], [0, 0, 1]], [[1, 0, 0], [0, 1, 0]]):
        with pytest.raises(ValueError, match="^rotation"):
            mesh.rotation = bad
    assert list(mesh.translation) == [0.0, 0.02, 0.1]
    assert [list(row) for row in mesh.rotation] == quarter


# --- in a loop ---------------------------------------------------------------------

def test_state_and_the_recording_carry_the_proxy_only_for_an_effect_with_one(pty_device):
    arm = DynamicArm(pty_device, period=1.0 / RATE_HZ, push=(0.0, 0.0, -1.0), position=(0.0, 0.0, 0.003))
    try:
        loop = servo(pty_device.path)
        loop.effect = floor_mesh() + effects.Damper(0.0)
        loop.record(1500)
        with loop:
            wait_for(lambda: len(loop.recording()) >= 1500, timeout=120.0)
            recording, state = loop.recording(), loop.state()
            resting = arm.position[2]
            loop.effect = effects.Damper(1.0)
            loop.record(100)
            wait_for(lambda: len(loop.recording()) >= 100, timeout=60.0)
            assert loop.state()["proxy"] is None
            assert np.isnan(loop.recording()["proxy"]).all()
    finally:
        arm.stopped = True
    # Resting on the sheet, 1 mm in: the proxy on the surface, above the arm.
    assert resting == pytest.approx(-0.001, abs=2e-4)
    assert state["proxy"][2] == pytest.approx(0.0, abs=1e-6)
    assert recording["proxy"][-1][2] == pytest.approx(0.0, abs=1e-6)
    assert recording["position"][-1][2] < -0.0005
    assert not np.isnan(recording["proxy"]).any()
    assert arm.forces[-1] == (0.0, 0.0, 0.0)


def test_a_mesh_rendered_by_one_loop_is_refused_by_another():
    pty_a, pty_b = PtyDevice(), PtyDevice()
    arm_a, arm_b = ArmPeer(pty_a), ArmPeer(pty_b)
    try:
        mesh = floor_mesh()
        with servo(pty_a.path) as a, servo(pty_b.path) as b:
            a.effect = mesh
            with pytest.raises(RuntimeError, match="^a Mesh is rendered by another ServoLoop; make another"):
                b.effect = mesh + effects.Damper(1.0)
            a.effect = None
            wait_for(lambda: a.state()["cycle"] > 0)
            b.effect = mesh  # free again once the first let go of it
    finally:
        arm_a.stopped = arm_b.stopped = True
        pty_a.close()
        pty_b.close()


@pytest.mark.parametrize("passivity", [False, True])
def test_a_stiff_mesh_is_held_still_by_the_passivity_controller(pty_device, passivity):
    arm = DynamicArm(pty_device, period=1.0 / RATE_HZ, push=(0.0, 0.0, -1.0), position=(0.0, 0.0, 0.003))
    try:
        loop = servo(pty_device.path, passivity=passivity)
        loop.effect = floor_mesh(stiffness=20_000.0)
        loop.record(1500)
        with loop:
            wait_for(lambda: len(loop.recording()) >= 1500, timeout=120.0)
            stats = loop.stats()
        arm.settle()
    finally:
        arm.stopped = True
    if passivity:
        assert arm.peak_to_peak(0.5) <= 0.0002
        assert abs(arm.position[2]) < 0.001
        assert stats["passivity"]["cycles"] > 0
    else:
        assert arm.peak_to_peak(0.5) > 0.0004
    assert all(math.sqrt(sum(x * x for x in f)) <= 2.0 + 1e-5 for f in arm.forces)
    assert arm.forces[-1] == (0.0, 0.0, 0.0)
