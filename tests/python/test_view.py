"""vantor.view: a simulated run logged to an .rrd file and read back with
Rerun's own reader, vantor view on a saved recording, and the viewer's
settings, errors and way out."""
import collections
import math
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import vantor
from vantor import effects
from conftest import ArmPeer, run_child, servo, wait_for

rr = pytest.importorskip("rerun", reason="vantor.view needs the view extra (rerun-sdk)")
from rerun.chunk import RrdReader  # noqa: E402

from vantor.view import Viewer, view_recording  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs" / "live-view.md"

# What every sample logs, as docs/live-view.md names it.
ARM = ["world/arm", "world/velocity", "world/force", "world/trail"]
FIGURES = ["figures/rate_hz", "figures/late_cycles", "figures/exchange_us/p50", "figures/exchange_us/p99",
           "figures/faults", "figures/energy_j", "figures/force_n"]
SCENE = ["world/scene/plane_0", "world/scene/sphere_1", "world/scene/mesh_2"]


def rerun_command():
    command = os.path.join(os.path.dirname(sys.executable), "rerun")
    assert os.access(command, os.X_OK), "rerun is not installed beside this interpreter"
    return command


def read_back(path):
    """{entity: {column: rows}} of an .rrd file, checked by `rerun rrd verify` first."""
    verify = subprocess.run([rerun_command(), "rrd", "verify", str(path)], capture_output=True, text=True,
                            timeout=60)
    assert verify.returncode == 0, verify.stderr
    rows = collections.defaultdict(collections.Counter)
    for chunk in RrdReader(path).stream().collect().stream():
        for column in chunk.to_record_batch().schema.names:
            if ":" in column:  # the data, not the indexes
                rows[str(chunk.entity_path).lstrip("/")][column] += chunk.num_rows
    return rows


def series_rows(rows, path):
    return rows[path]["Scalars:scalars"]


class FakeLoop:
    """Enough of a loop for the settings' checks."""

    def state(self):
        raise AssertionError("not started")

    def stats(self):
        raise AssertionError("not started")


def scene_at(position):
    x, y, z = position
    mesh = effects.Mesh.box((x + 0.04, y - 0.01, z - 0.01), (x + 0.06, y + 0.01, z + 0.01), stiffness=400.0)
    return effects.Plane(point=(x, y, z - 0.02), normal=(0, 0, 1), stiffness=400.0) + \
        effects.Sphere((x - 0.05, y, z), 0.01, stiffness=300.0) + mesh, mesh


@pytest.fixture
def live(simulator, tmp_path):
    """A second of a simulated loop rendering a plane, a sphere and a mesh,
    logged at 50 Hz to an .rrd file; the mesh moves once half way."""
    path = tmp_path / "run.rrd"
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        scene, mesh = scene_at(loop.state()["position"])
        loop.effect = scene
        viewer = Viewer(loop, rate_hz=50.0, save=path)
        began = time.monotonic()
        with viewer:
            wait_for(lambda: viewer.samples >= 5)
            mesh.translation = (0.0, 0.0, 0.005)
            time.sleep(1.0)
        took = time.monotonic() - began
    return path, viewer.samples, took


def test_a_live_run_reads_back_with_every_entity_and_a_sample_each_period(live):
    path, samples, took = live
    rows = read_back(path)
    for entity in ARM + FIGURES + SCENE:
        assert entity in rows, f"{entity} is not in the recording: {sorted(rows)}"
        documented = re.sub(r"_\d+$", "_N", entity)  # the docs say plane_N for the part's place
        assert f"`{documented}`" in DOCS.read_text(), f"docs/live-view.md does not name {documented}"
    # Never more than rate_hz a second; at least a fifth of them on a busy machine,
    # where the viewer's thread, 10 nicer than the loop's, waits for a core.
    assert 50.0 * took / 5 <= samples <= 50.0 * took + 1
    for entity in FIGURES:
        assert series_rows(rows, entity) == samples, entity
    assert rows["world/arm"]["Points3D:positions"] == samples
    assert rows["world/force"]["Arrows3D:vectors"] == samples
    # The mesh has a proxy: state()["proxy"] is finite from the first cycle.
    assert rows["world/proxy"]["Points3D:positions"] == samples


def test_the_scene_is_logged_once_and_a_moved_mesh_only_by_its_pose(live):
    rows = read_back(live[0])
    assert rows["world/scene/plane_0"]["Boxes3D:half_sizes"] == 1
    assert rows["world/scene/sphere_1"]["Ellipsoids3D:half_sizes"] == 1
    assert rows["world/scene/mesh_2"]["Mesh3D:vertex_positions"] == 1
    assert rows["world/scene/mesh_2"]["Transform3D:translation"] == 2  # where it began, where it moved


def test_the_timeline_is_the_loops_time_in_seconds(live):
    path, samples, took = live
    times = []
    for chunk in RrdReader(path).stream().collect().stream():
        if str(chunk.entity_path) == "/figures/force_n":
            times += chunk.to_record_batch().column("time").cast("int64").to_pylist()  # ns
    seconds = sorted(t / 1e9 for t in times)
    assert len(seconds) == samples
    assert 0.0 <= seconds[0] and seconds[-1] <= took + 0.5
    assert all(b > a for a, b in zip(seconds, seconds[1:])), "two samples of one cycle"


def test_a_swapped_effect_clears_the_old_shapes(simulator, tmp_path):
    path = tmp_path / "swap.rrd"
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        scene, _ = scene_at(loop.state()["position"])
        loop.effect = scene
        with Viewer(loop, rate_hz=100.0, save=path) as viewer:
            wait_for(lambda: viewer.samples >= 3)
            loop.effect = effects.Spring(anchor=loop.state()["position"], stiffness=50.0)
            now = viewer.samples
            wait_for(lambda: viewer.samples >= now + 3)
    rows = read_back(path)
    assert rows["world/scene"]["Clear:is_recursive"] == 1
    assert rows["world/scene/spring_0"]["Points3D:positions"] == 1


class FakeModel:
    """What the viewer reads of a mujoco.MjModel: a floor on the world body
    and a box and a capsule on the body "box"."""

    ngeom = 3
    geom_type = np.array([0, 6, 3])
    geom_size = np.array([[0.0, 0.0, 0.01], [0.02, 0.02, 0.02], [0.005, 0.01, 0.0]])
    geom_bodyid = np.array([0, 1, 1])
    geom_pos = np.zeros((3, 3))
    geom_quat = np.array([[1.0, 0, 0, 0]] * 3)
    body_pos = np.array([[0.0, 0, 0], [0.1, 0, 0.02]])
    body_quat = np.array([[1.0, 0, 0, 0]] * 2)

    class _Body:
        def __init__(self, name):
            self.name = name

    def body(self, i):
        return self._Body(["world", "box"][i])


class FakeCoupling:
    def __init__(self, fail_after=None):
        self.model = FakeModel()
        self.calls = 0
        self.fail_after = fail_after

    def snapshot(self):
        self.calls += 1
        if self.fail_after is not None and self.calls > self.fail_after:
            raise RuntimeError("the physics went away")
        return {"time": 0.001 * self.calls, "tool": [0.1, 0, 0.05], "arm": [0.1, 0, 0.051], "force": [0, 0, 1.0],
                "bodies": {"box": {"position": [0.1 + 0.001 * self.calls, 0, 0.02], "quaternion": [1, 0, 0, 0]}}}

    def stats(self):
        return {"rate_hz": 1000.0, "step_us": {"p50": 40.0, "p99": 90.0}, "lagging": False}


def test_a_couplings_bodies_and_figures_are_logged(simulator, tmp_path):
    path = tmp_path / "physics.rrd"
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        with Viewer(loop, coupling=FakeCoupling(), rate_hz=100.0, save=path) as viewer:
            wait_for(lambda: viewer.samples >= 5)
    rows = read_back(path)
    samples = viewer.samples
    for entity in ("physics/tool", "physics/arm"):
        assert rows[entity]["Points3D:positions"] == samples
    assert rows["physics/force"]["Arrows3D:vectors"] == samples
    assert rows["physics/bodies/box"]["Transform3D:translation"] == samples + 1  # its model pose, then each sample
    assert rows["physics/bodies/box/geom_1"]["Boxes3D:half_sizes"] == 1
    assert rows["physics/bodies/box/geom_2"]["Capsules3D:lengths"] == 1
    assert rows["physics/bodies/world/geom_0"]["Boxes3D:half_sizes"] == 1
    assert series_rows(rows, "figures/physics/rate_hz") == samples
    assert series_rows(rows, "figures/physics/step_us/p99") == samples
    assert "figures/physics/lagging" not in rows  # a flag is not a figure
    for entity in ("physics/tool", "physics/bodies/NAME", "figures/physics/KEY"):
        assert f"`{entity}`" in DOCS.read_text(), entity


def test_an_error_on_the_viewers_thread_stops_it_surfaces_at_exit_and_leaves_the_loop_running(simulator, tmp_path):
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        viewer = Viewer(loop, coupling=FakeCoupling(fail_after=3), rate_hz=100.0, save=tmp_path / "x.rrd")
        with pytest.raises(RuntimeError, match="the physics went away"):
            with viewer:
                wait_for(lambda: not viewer.running)
                cycles = loop.stats()["cycles"]
                wait_for(lambda: loop.stats()["cycles"] > cycles + 10)
        assert loop.fault is None
        assert viewer.samples == 3
        # The block's own exception wins over the viewer's.
        viewer = Viewer(loop, coupling=FakeCoupling(fail_after=0), rate_hz=100.0, save=tmp_path / "y.rrd")
        with pytest.raises(KeyError):
            with viewer:
                wait_for(lambda: not viewer.running)
                raise KeyError("mine")
        assert isinstance(viewer.error, RuntimeError)


def test_an_error_of_the_first_sample_is_raised_at_stop_not_at_start(tmp_path):
    class BrokenLoop(FakeLoop):
        def stats(self):
            raise RuntimeError("no figures")

    viewer = Viewer(BrokenLoop(), save=tmp_path / "x.rrd")
    ready = viewer._ready

    class AfterTheFirstSample:
        """start() looks at how opening went only once the first sample has failed."""

        def set(self):
            ready.set()

        def wait(self):
            ready.wait()
            wait_for(lambda: not viewer.running)

    viewer._ready = AfterTheFirstSample()
    viewer.start()
    with pytest.raises(RuntimeError, match="no figures"):
        viewer.stop()


def test_a_target_that_cannot_be_opened_raises_at_start(tmp_path):
    viewer = Viewer(FakeLoop(), save=tmp_path / "no" / "such" / "folder.rrd")
    with pytest.raises(RuntimeError, match="folder.rrd"):
        viewer.start()
    assert not viewer.running


def test_the_viewers_thread_and_rerun_s_run_nicer_than_the_program(simulator, tmp_path):
    ours = os.getpriority(os.PRIO_PROCESS, 0)
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        with Viewer(loop, save=tmp_path / "x.rrd") as viewer:
            wait_for(lambda: viewer.samples >= 2)
            nice = {}
            for task in os.listdir("/proc/self/task"):
                with open(f"/proc/self/task/{task}/stat") as f:
                    nice[int(task)] = int(f.read().rsplit(")", 1)[1].split()[16])  # the 19th field
            viewers = viewer._thread.native_id
    assert nice[viewers] == ours + 10
    assert nice[threading.get_native_id()] == ours
    assert sum(1 for n in nice.values() if n == ours + 10) > 1, f"no Rerun thread runs nicer: {nice}"


@pytest.mark.parametrize("viewer_outside", [False, True])
def test_the_loop_ends_with_zero_force_with_a_viewer_attached(pty_device, tmp_path, viewer_outside):
    peer = ArmPeer(pty_device)
    loop = servo(pty_device.path, 500.0, ramp_s=0.0)
    loop.effect = effects.ConstantForce((0.0, 0.0, 1.0))
    viewer = Viewer(loop, rate_hz=200.0, save=tmp_path / "run.rrd")
    if viewer_outside:
        with viewer, loop:
            wait_for(lambda: viewer.samples >= 5)
    else:
        with loop, viewer:
            wait_for(lambda: viewer.samples >= 5)
    forces = peer.settle()
    assert any(f[2] > 0.5 for f in forces), "the effect was never rendered"
    assert forces[-1] == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("rate", [0.0, 0.5, 1000.5, math.nan, math.inf, -60.0])
def test_a_rate_out_of_range_is_refused(rate, tmp_path):
    with pytest.raises(ValueError, match="rate_hz"):
        Viewer(FakeLoop(), rate_hz=rate, save=tmp_path / "x.rrd")
    with pytest.raises(ValueError, match="rate_hz"):
        view_recording(np.zeros(3, dtype=[("t", float)]), tmp_path / "x.rrd", rate_hz=rate)


@pytest.mark.parametrize("settings, error, named", [
    (dict(rate_hz=True), TypeError, "rate_hz"),
    (dict(rate_hz="60"), TypeError, "rate_hz"),
    (dict(save=None), ValueError, "somewhere"),
    (dict(save="run.txt"), ValueError, ".rrd"),
    (dict(serve=True, web_port=70000), ValueError, "web_port"),
    (dict(serve=True, web_port=0), ValueError, "web_port"),  # its url would name another port
    (dict(serve="yes"), TypeError, "serve"),
    (dict(spawn=1, save="x.rrd"), TypeError, "spawn"),
    (dict(coupling=object()), TypeError, "coupling"),
])
def test_bad_settings_are_refused(settings, error, named):
    settings = {"save": "run.rrd", **settings}
    with pytest.raises(error, match=named):
        Viewer(FakeLoop(), **settings)
    with pytest.raises(TypeError, match="ServoLoop"):
        Viewer(object(), save="run.rrd")


def test_a_loop_not_started_logs_nothing_and_a_stopped_one_its_last_cycle_once(simulator, tmp_path):
    loop = vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0)
    with Viewer(loop, rate_hz=200.0, save=tmp_path / "x.rrd") as viewer:
        time.sleep(0.1)
    assert viewer.samples == 0
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        wait_for(lambda: loop.stats()["cycles"] > 10)
    with Viewer(loop, rate_hz=200.0, save=tmp_path / "x.rrd") as viewer:
        time.sleep(0.1)
    assert viewer.samples == 1  # the last cycle, once


# --- vantor view ----------------------------------------------------------------

@pytest.fixture
def recorded(simulator, tmp_path):
    """Half a second of a simulated mesh run, saved as .npz."""
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0) as loop:
        scene, _ = scene_at(loop.state()["position"])
        loop.effect = scene
        loop.record(500)
        wait_for(lambda: len(loop.recording()) == 500, timeout=30)
        recording = loop.recording()
    path = tmp_path / "run.npz"
    vantor.save_recording(path, recording)
    return path, recording


def vantor_view(*args):
    command = os.path.join(os.path.dirname(sys.executable), "vantor")
    return subprocess.run([command, "view", *map(str, args)], capture_output=True, text=True, timeout=120)


def test_vantor_view_writes_the_live_layout(recorded):
    path, recording = recorded
    result = vantor_view(path)
    assert result.returncode == 0, result.stderr
    rows = read_back(path.with_suffix(".rrd"))
    span = recording["t"][-1] - recording["t"][0]
    samples = int(re.search(r"\((\d+) samples\)", result.stdout).group(1))
    assert abs(samples - (span * 60 + 1)) <= 2
    for entity in ARM + ["world/proxy"]:
        assert entity in rows, entity
    for entity in FIGURES:
        # The rate needs two cycles to be a figure: the first sample has none.
        assert series_rows(rows, entity) == samples - (entity == "figures/rate_hz"), entity
    assert rows["world/arm"]["Points3D:positions"] == samples


def test_vantor_view_reads_a_recording_saved_before_energy_and_proxy(recorded, tmp_path):
    _, recording = recorded
    older = [name for name in recording.dtype.names if name not in ("energy", "filtered_velocity", "proxy")]
    path = tmp_path / "old.npz"
    np.savez(path, recording=np.array(recording[older]))
    out = tmp_path / "elsewhere.rrd"
    result = vantor_view(path, "-o", out, "--rate", "20")
    assert result.returncode == 0, result.stderr
    rows = read_back(out)
    assert rows["world/proxy"]["Points3D:positions"] == 0 and "figures/energy_j" not in rows
    assert series_rows(rows, "figures/late_cycles") > 5


@pytest.mark.parametrize("args, message", [
    (["missing.npz"], "no such file"),
    (["RUN", "-o", "run.png"], ".rrd"),
    (["RUN", "--rate", "0"], "1 to 1000"),
])
def test_vantor_view_refuses_what_it_cannot_do(recorded, args, message):
    args = [str(recorded[0]) if a == "RUN" else a for a in args]
    result = vantor_view(*args)
    assert result.returncode != 0 and message in result.stderr


HIDDEN = """
import sys
sys.modules["rerun"] = None
"""


def test_without_rerun_the_viewer_and_the_command_name_the_extra(recorded):
    result = run_child(HIDDEN + """
from vantor.view import Viewer
class Loop:
    state = stats = lambda self: {}
try:
    Viewer(Loop(), save="x.rrd")
except ImportError as e:
    print(e)
from vantor.cli import main
print("status", main(["view", sys.argv[1]]))
""", str(recorded[0]))
    assert result.returncode == 0, result.stderr
    assert "pip install 'VantorHardwareAPI[view]'" in result.stdout
    assert "status 2" in result.stdout
    assert "pip install 'VantorHardwareAPI[view]'" in result.stderr


def test_a_mujoco_coupling_is_drawn_with_its_bodies(simulator, tmp_path):
    """The real coupling, not a stand-in: every body with geometry, its pose each sample."""
    pytest.importorskip("mujoco", reason="a coupling needs the physics extra (mujoco)")
    from vantor import physics
    path = tmp_path / "world.rrd"
    with vantor.ServoLoop(simulator("talon"), exchange_deadline_ms=1000.0, force_limit=2.0) as loop:
        wait_for(lambda: loop.state()["cycle"] > 0)
        offset = np.array([0.0, 0.0, 0.01]) - np.asarray(loop.state()["position"])
        with physics.Coupling(loop, str(ROOT / "examples" / "scenes" / "table_box.xml"), body="tool",
                              offset=offset) as coupling, \
                Viewer(loop, coupling=coupling, rate_hz=100.0, save=path) as viewer:
            wait_for(lambda: viewer.samples >= 10)
    rows = read_back(path)
    samples = viewer.samples
    for body in ("tool", "box", "table"):
        assert rows[f"physics/bodies/{body}"]["Transform3D:translation"] >= samples, body
        assert any(entity.startswith(f"physics/bodies/{body}/geom_") for entity in rows), body
    assert rows["physics/tool"]["Points3D:positions"] == samples
    assert series_rows(rows, "figures/physics/rate_hz") == samples


def test_a_viewer_left_running_at_exit_writes_its_file_whole(simulator, tmp_path):
    path = tmp_path / "left.rrd"
    result = run_child("""
        import sys, time, vantor
        from vantor.view import Viewer
        loop = vantor.ServoLoop(sys.argv[1], exchange_deadline_ms=1000.0).start()
        viewer = Viewer(loop, rate_hz=100.0, save=sys.argv[2]).start()
        while viewer.samples < 20:
            time.sleep(0.01)
        print(viewer.samples)
    """, simulator("talon"), str(path))
    assert result.returncode == 0, result.stderr
    rows = read_back(path)
    assert series_rows(rows, "figures/rate_hz") >= int(result.stdout)
