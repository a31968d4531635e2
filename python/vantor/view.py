"""vantor.view: a servo loop's run as it happens, in the Rerun viewer.

    with vantor.ServoLoop(port) as loop, vantor.view.Viewer(loop, save="run.rrd"):
        ...

``Viewer`` logs, on a thread of its own, where the arm is, the force it is
sent, the proxy, the effect's geometry, a physics coupling's bodies and the
loop's figures, to a file, a spawned viewer or a web viewer.
``view_recording`` turns a saved recording into the same layout (the command
``vantor view RUN.npz``). Needs the extra ``pip install 'VantorHardwareAPI[view]'``
(the package rerun-sdk); docs/live-view.md lists every entity.
"""
import atexit
import collections
import importlib
import math
import os
import threading
import time
import weakref
from typing import Any, Deque, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from vantor import _native
from vantor.effects import Mesh

__all__ = ["Viewer", "view_recording"]

VIEW_EXTRA = "pip install 'VantorHardwareAPI[view]'"

# How the vectors are drawn in the 3-D view, in metres of arrow.
FORCE_ARROW_M_PER_N = 0.01     # 1 cm a newton
VELOCITY_ARROW_S = 0.1         # where the arm is in 0.1 s at that speed
TRAIL_S = 2.0                  # the arm's path over the last 2 s
# Samples are kept and sent together this often, in s: the viewer shows
# them that much later, for half the cost of logging each alone (at 60 Hz:
# 56 ms of CPU a second logged one by one, 44 sent each 0.1 s, 29 each 0.25 s).
FLUSH_S = 0.25
PLANE_HALF_SIZE_M = 0.1        # a plane is infinite; it is drawn 20 cm square
ARM_RADIUS_M = 0.004
# The viewer's thread, and Rerun's threads it starts, run this much nicer
# than the program: on a busy machine the loop's thread goes first.
VIEWER_NICE = 10
PROXY_RADIUS_M = 0.003

# MuJoCo's geom types (mjtGeom), by number: read without importing mujoco.
_GEOM_PLANE, _GEOM_SPHERE, _GEOM_CAPSULE, _GEOM_ELLIPSOID, _GEOM_CYLINDER, _GEOM_BOX = 0, 2, 3, 4, 5, 6


def _rerun() -> Any:
    try:
        # Imported by name: rerun-sdk is optional.
        return importlib.import_module("rerun")
    except ImportError as e:
        raise ImportError(f"vantor.view logs to Rerun, which is not installed: {VIEW_EXTRA}", name="rerun") from e


def _check_rate(rate_hz: Any) -> float:
    if isinstance(rate_hz, bool) or not isinstance(rate_hz, (int, float)):
        raise TypeError(f"rate_hz must be a number of Hz, got {type(rate_hz).__name__}")
    if not (math.isfinite(rate_hz) and 1.0 <= rate_hz <= 1000.0):
        raise ValueError(f"rate_hz must be a finite number from 1 to 1000 Hz, got {rate_hz!r}")
    return float(rate_hz)


def _quat_xyzw(wxyz: Sequence[float]) -> List[float]:
    w, x, y, z = (float(v) for v in wxyz)
    return [x, y, z, w]


def _quat_z_to(normal: Sequence[float]) -> List[float]:
    """The rotation (x, y, z, w) that takes the z axis to normal."""
    n = np.asarray(normal, dtype=np.float64)
    n = n / np.linalg.norm(n)
    axis = np.cross([0.0, 0.0, 1.0], n)
    s, c = float(np.linalg.norm(axis)), float(n[2])
    if s < 1e-12:
        return [0.0, 0.0, 0.0, 1.0] if c > 0 else [1.0, 0.0, 0.0, 0.0]
    half = math.atan2(s, c) / 2.0
    axis = axis / s * math.sin(half)
    return [float(axis[0]), float(axis[1]), float(axis[2]), math.cos(half)]


def _parts(effect: Any) -> List[Any]:
    if effect is None:
        return []
    parts = getattr(effect, "parts", None)
    if parts is None:
        return [effect]
    return [p for part in parts for p in _parts(part)]


def _geometry(part: Any) -> Optional[Tuple[str, Any, Tuple[float, ...]]]:
    """(kind, what stays, the parameters that may change) of an effect with
    a shape to draw; None for one without (a Damper, a ConstantForce, a
    Callback, a Mesh whose vertices are not known)."""
    if isinstance(part, Mesh):
        pose = tuple(part.translation) + tuple(v for row in part.rotation for v in row)
        return "mesh", (part.vertices, part.triangles), pose
    if isinstance(part, _native.Plane):
        return "plane", None, tuple(part.point) + tuple(part.normal)
    if isinstance(part, _native.Sphere):
        return "sphere", bool(part.inside), tuple(part.center) + (float(part.radius),)
    if isinstance(part, _native.Box):
        return "box", None, tuple(part.lower) + tuple(part.upper)
    if isinstance(part, _native.Spring):
        return "spring", None, tuple(part.anchor)
    return None


class _Logger:
    """The one place that says what goes where: the live Viewer and
    view_recording both log through it."""

    def __init__(self, rec: Any, rate_hz: float) -> None:
        self.rr = rr = _rerun()
        self.rec = rec
        self.trail: Deque[Tuple[float, float, float]] = collections.deque(maxlen=max(2, round(TRAIL_S * rate_hz)))
        self.flush_every = max(1, round(FLUSH_S * rate_hz))
        self.scene_layout: Optional[List[Any]] = None
        self.scene_params: List[Any] = []
        self.proxy_shown = False
        self.coupling_drawn = False
        # The looks, once: each sample then sends only what moved, which
        # costs the sampling thread a third of sending them whole.
        blue, yellow = [40, 120, 255], [250, 190, 30]
        for path, look in (("world/arm", rr.Points3D.from_fields(radii=ARM_RADIUS_M, colors=blue)),
                           ("world/trail", rr.LineStrips3D.from_fields(radii=0.0005, colors=blue)),
                           ("world/velocity", rr.Arrows3D.from_fields(colors=[60, 200, 90])),
                           ("world/force", rr.Arrows3D.from_fields(colors=[230, 60, 40])),
                           ("world/proxy", rr.Points3D.from_fields(radii=PROXY_RADIUS_M, colors=yellow))):
            rec.log(path, look, static=True)

        self.t, self.cycle = 0.0, 0
        self._clear_pending()

    def _clear_pending(self) -> None:
        self.times: List[float] = []
        self.cycles: List[int] = []
        self.arm: List[List[float]] = []
        self.velocity: List[List[float]] = []
        self.force: List[List[float]] = []
        self.proxy: List[Tuple[int, Optional[List[float]]]] = []  # (row, point; None: gone)
        self.series: Dict[str, List[Tuple[int, float]]] = collections.defaultdict(list)

    # --- time --------------------------------------------------------------------
    def at(self, t: float, cycle: int) -> None:
        self.t, self.cycle = float(t), int(cycle)
        self.rec.set_time("time", duration=self.t)
        self.rec.set_time("cycle", sequence=self.cycle)

    # --- the arm, the proxy and the figures -----------------------------------
    def sample(self, state: Mapping[str, Any], stats: Mapping[str, Any]) -> None:
        """Keeps a sample at the time of the last at(); sent FLUSH_S later, with the others kept till then."""
        row = len(self.times)
        self.times.append(self.t)
        self.cycles.append(self.cycle)
        position = [float(v) for v in state["position"]]
        force = [float(v) for v in state["force"]]
        self.arm.append(position)
        self.trail.append((position[0], position[1], position[2]))
        self.velocity.append([float(v) * VELOCITY_ARROW_S for v in state["velocity"]])
        self.force.append([f * FORCE_ARROW_M_PER_N for f in force])
        proxy = state.get("proxy")
        if proxy is not None and all(math.isfinite(v) for v in proxy):
            self.proxy.append((row, [float(v) for v in proxy]))
            self.proxy_shown = True
        elif self.proxy_shown:
            self.proxy.append((row, None))
            self.proxy_shown = False
        series = (
            ("figures/rate_hz", stats["rate_hz"]),
            ("figures/late_cycles", stats["late_cycles"]),
            ("figures/exchange_us/p50", stats["exchange_us"]["p50"]),
            ("figures/exchange_us/p99", stats["exchange_us"]["p99"]),
            ("figures/faults", stats["faults"]),
            ("figures/energy_j", state["energy"]),
            ("figures/force_n", math.sqrt(sum(f * f for f in force))),
        )
        for path, value in series:
            if value is not None and math.isfinite(float(value)):
                self.series[path].append((row, float(value)))
        if len(self.times) >= self.flush_every:
            self.flush()

    def flush(self) -> None:
        """Sends the samples kept since the last flush, a column an entity."""
        if not self.times:
            return
        rr, rec = self.rr, self.rec
        t, cycle = np.asarray(self.times), np.asarray(self.cycles, dtype=np.int64)

        def send(path: str, rows: Any, columns: Any) -> None:
            rec.send_columns(path, indexes=[rr.TimeColumn("time", duration=t[rows]),
                                            rr.TimeColumn("cycle", sequence=cycle[rows])], columns=columns)

        every = slice(None)
        arm = np.asarray(self.arm)
        send("world/arm", every, rr.Points3D.columns(positions=arm))
        send("world/velocity", every, rr.Arrows3D.columns(origins=arm, vectors=np.asarray(self.velocity)))
        send("world/force", every, rr.Arrows3D.columns(origins=arm, vectors=np.asarray(self.force)))
        if self.proxy:
            rows = [row for row, _ in self.proxy]
            points = np.array([p for _, p in self.proxy if p is not None], dtype=np.float64).reshape(-1, 3)
            lengths = [0 if p is None else 1 for _, p in self.proxy]
            send("world/proxy", rows, rr.Points3D.columns(positions=points).partition(lengths))
        for path, values in self.series.items():
            send(path, [row for row, _ in values], rr.Scalars.columns(scalars=[v for _, v in values]))
        # The trail as it is at the last sample: it changes at the pace of the flushes.
        if len(self.trail) > 1:
            rec.set_time("time", duration=float(t[-1]))
            rec.set_time("cycle", sequence=int(cycle[-1]))
            rec.log("world/trail", rr.LineStrips3D.from_fields(strips=[list(self.trail)]))
        self._clear_pending()

    # --- the effect's shapes ------------------------------------------------------
    def scene(self, effect: Any) -> None:
        """Logs the shapes whose layout or parameters changed since the last call."""
        shapes = [(i, g) for i, g in enumerate(_geometry(p) for p in _parts(effect)) if g is not None]
        layout = [(i, kind, id(fixed[0]) if kind == "mesh" else fixed) for i, (kind, fixed, _) in shapes]
        if layout != self.scene_layout:
            if self.scene_layout:
                self.rec.log("world/scene", self.rr.Clear(recursive=True))
            self.scene_layout = layout
            self.scene_params = [None] * len(shapes)
            for i, (kind, fixed, _) in shapes:
                if kind == "mesh":
                    vertices, triangles = fixed
                    self.rec.log(f"world/scene/mesh_{i}", self.rr.Mesh3D(
                        vertex_positions=vertices, triangle_indices=triangles, albedo_factor=[150, 150, 160, 255]))
        for n, (i, (kind, fixed, params)) in enumerate(shapes):
            if params != self.scene_params[n]:
                self.scene_params[n] = params
                self._shape(f"world/scene/{kind}_{i}", kind, fixed, params)

    def _shape(self, path: str, kind: str, fixed: Any, p: Tuple[float, ...]) -> None:
        rr = self.rr
        if kind == "mesh":
            # The vertices went once; a move is only its pose.
            self.rec.log(path, rr.Transform3D(translation=p[:3], mat3x3=np.reshape(p[3:], (3, 3))))
        elif kind == "plane":
            h = PLANE_HALF_SIZE_M
            self.rec.log(path, rr.Boxes3D(centers=[p[:3]], half_sizes=[[h, h, 0.0005]],
                                          quaternions=[rr.Quaternion(xyzw=_quat_z_to(p[3:]))],
                                          fill_mode="solid", colors=[[150, 150, 160, 160]]))
        elif kind == "sphere":
            # A sphere that keeps the effector in is a cage: drawn as wires.
            self.rec.log(path, rr.Ellipsoids3D(centers=[p[:3]], half_sizes=[[p[3]] * 3], colors=[[150, 150, 160]],
                                               fill_mode="majorwireframe" if fixed else "solid"))
        elif kind == "box":
            lower, upper = np.asarray(p[:3]), np.asarray(p[3:])
            self.rec.log(path, rr.Boxes3D(mins=[lower], sizes=[upper - lower], colors=[[150, 150, 160]]))
        elif kind == "spring":
            self.rec.log(path, rr.Points3D([p[:3]], radii=0.002, colors=[200, 80, 220]))

    # --- a physics coupling -------------------------------------------------------
    def coupling(self, coupling: Any) -> None:
        rr, rec = self.rr, self.rec
        if not self.coupling_drawn:
            self._draw_model(coupling.model)
            self.coupling_drawn = True
        snap = coupling.snapshot()
        tool = [float(v) for v in snap["tool"]]
        rec.log("physics/tool", rr.Points3D([tool], radii=ARM_RADIUS_M, colors=[40, 120, 255]))
        rec.log("physics/arm", rr.Points3D([[float(v) for v in snap["arm"]]], radii=PROXY_RADIUS_M,
                                           colors=[250, 190, 30]))
        rec.log("physics/force", rr.Arrows3D(origins=[tool], colors=[230, 60, 40],
                                             vectors=[[float(f) * FORCE_ARROW_M_PER_N for f in snap["force"]]]))
        for name, body in snap["bodies"].items():
            rec.log(f"physics/bodies/{rr.escape_entity_path_part(name)}", rr.Transform3D(
                translation=[float(v) for v in body["position"]],
                quaternion=rr.Quaternion(xyzw=_quat_xyzw(body["quaternion"]))))
        for key, value in _flat(coupling.stats()):
            rec.log(f"figures/physics/{key}", rr.Scalars(value))

    def _draw_model(self, model: Any) -> None:
        """Each geom, once, under its body: the bodies' transforms move them."""
        rr, rec = self.rr, self.rec
        placed = set()
        for j in range(int(model.ngeom)):
            body = int(model.geom_bodyid[j])
            name = model.body(body).name or f"body_{body}"
            parent = f"physics/bodies/{rr.escape_entity_path_part(name)}"
            if body not in placed:
                placed.add(body)
                if body == 0:
                    rec.log(parent, rr.Transform3D(translation=[0.0, 0.0, 0.0]), static=True)
                else:
                    # Where the model puts it: a body that moves gets its transform each sample.
                    rec.log(parent, rr.Transform3D(translation=[float(v) for v in model.body_pos[body]],
                                                   quaternion=rr.Quaternion(xyzw=_quat_xyzw(model.body_quat[body]))),
                            static=False)
            shape = _geom_shape(rr, int(model.geom_type[j]), [float(v) for v in model.geom_size[j]])
            if shape is None:
                continue
            path = f"{parent}/geom_{j}"
            rec.log(path, rr.Transform3D(translation=[float(v) for v in model.geom_pos[j]],
                                         quaternion=rr.Quaternion(xyzw=_quat_xyzw(model.geom_quat[j]))), static=True)
            rec.log(path, shape, static=True)


def _geom_shape(rr: Any, kind: int, size: List[float]) -> Any:
    """A MuJoCo geom at its own origin; capsules and cylinders along z."""
    colour = [[170, 140, 110]]
    if kind == _GEOM_BOX:
        return rr.Boxes3D(half_sizes=[size[:3]], fill_mode="solid", colors=colour)
    if kind == _GEOM_SPHERE:
        return rr.Ellipsoids3D(half_sizes=[[size[0]] * 3], fill_mode="solid", colors=colour)
    if kind == _GEOM_ELLIPSOID:
        return rr.Ellipsoids3D(half_sizes=[size[:3]], fill_mode="solid", colors=colour)
    if kind == _GEOM_CAPSULE:
        return rr.Capsules3D(lengths=[2 * size[1]], radii=[size[0]], translations=[[0.0, 0.0, -size[1]]],
                             fill_mode="solid", colors=colour)
    if kind == _GEOM_CYLINDER:
        return rr.Cylinders3D(lengths=[2 * size[1]], radii=[size[0]], fill_mode="solid", colors=colour)
    if kind == _GEOM_PLANE:
        # A size of 0 is an infinite plane: drawn 2 m square.
        half = [size[0] or 1.0, size[1] or 1.0, 0.0005]
        return rr.Boxes3D(half_sizes=[half], fill_mode="solid", colors=[[200, 200, 200, 120]])
    return None  # a height field or a mesh: not drawn


def _blueprint(physics: bool) -> Any:
    """The views a viewer opens with: the arm and its scene large, the figures beside it."""
    rrb = importlib.import_module("rerun.blueprint")
    spaces = [rrb.Spatial3DView(origin="/world", name="arm and scene")]
    figures = [rrb.TimeSeriesView(origin="/figures/force_n", name="force (N)"),
               rrb.TimeSeriesView(origin="/figures/energy_j", name="energy (J)"),
               rrb.TimeSeriesView(origin="/figures/exchange_us", name="exchange (µs)"),
               rrb.TimeSeriesView(origin="/figures", contents=["/figures/late_cycles", "/figures/faults"],
                                  name="late cycles, faults"),
               rrb.TimeSeriesView(origin="/figures/rate_hz", name="rate (Hz)")]
    if physics:
        spaces.append(rrb.Spatial3DView(origin="/physics", name="physics world"))
        figures.append(rrb.TimeSeriesView(origin="/figures/physics", name="physics"))
    return rrb.Blueprint(rrb.Horizontal(rrb.Vertical(*spaces), rrb.Vertical(*figures), column_shares=[3, 2]),
                         collapse_panels=True)


def _flat(stats: Mapping[str, Any], prefix: str = "") -> List[Tuple[str, float]]:
    out: List[Tuple[str, float]] = []
    for key, value in stats.items():
        if isinstance(value, Mapping):
            out += _flat(value, f"{prefix}{key}/")
        elif isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
            out.append((f"{prefix}{key}", float(value)))
    return out


_running: "weakref.WeakSet[Viewer]" = weakref.WeakSet()
_stop_all_registered = False


def _stop_all() -> None:
    # Registered at the first start, after Rerun's own exit hook and the
    # loops', so it runs before them: a viewer left running writes out what
    # it logged while its file and its loop are still there.
    for viewer in list(_running):
        try:
            viewer.stop()
        except BaseException:  # its error has nobody left to raise to
            pass


class Viewer:
    """Logs a running ServoLoop to Rerun, at rate_hz, on a thread of its own.

    Each sample reads the loop's ``state()`` and ``stats()`` (copies of the
    latest cycle's figures: the loop's thread never waits for them) and logs
    the arm, the commanded force, the proxy, the effect's shapes, a
    coupling's bodies and the figures as time series on the timelines
    ``time`` (s, the loop's) and ``cycle``; docs/live-view.md lists the
    entities. A sample is logged only when the loop has run a cycle since
    the last one: none before it starts, one of its last cycle after it stops. An error on the viewer's thread stops the viewer, never
    the loop; ``stop()`` (and leaving the ``with`` block) raises it.

    loop: the ServoLoop (anything with state() and stats()).

    scene: the effect whose shapes are drawn; None: the loop's effect, read
    again each sample, so a swap shows. A Mesh is drawn from its vertices,
    which a vantor.effects.Mesh keeps: the loop gives back the native mesh
    alone once the program has let go of it, so keep it, or pass it here.

    coupling: a physics coupling (vantor.physics.Coupling) whose bodies,
    tool and figures are logged too; None: none.

    rate_hz: samples a second, 1 to 1000 (ValueError outside; TypeError
    for what is not a number).

    spawn: start the Rerun viewer and stream to it.

    save: an .rrd file to write; None: none.

    serve: serve a web viewer on this machine (``url`` says where).

    web_port: the web viewer's port, with serve; None: Rerun's (9090).
    """

    def __init__(self, loop: Any, *, scene: Any = None, coupling: Any = None, rate_hz: float = 60.0,
                 spawn: bool = False, save: Union[str, "os.PathLike[str]", None] = None, serve: bool = False,
                 web_port: Optional[int] = None) -> None:
        self.rate_hz = _check_rate(rate_hz)
        for name in ("state", "stats"):
            if not callable(getattr(loop, name, None)):
                raise TypeError(f"Viewer needs a ServoLoop, got {type(loop).__name__}")
        if coupling is not None and not all(hasattr(coupling, n) for n in ("snapshot", "model", "stats")):
            raise TypeError(f"coupling must be a vantor.physics.Coupling, got {type(coupling).__name__}")
        for name, flag in (("spawn", spawn), ("serve", serve)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be True or False, got {flag!r}")
        if web_port is not None and (isinstance(web_port, bool) or not isinstance(web_port, int)
                                     or not 1 <= web_port <= 65535):
            raise ValueError(f"web_port must be a port number, 1 to 65535, got {web_port!r}")
        if save is not None:
            save = os.fspath(save)
            if not save.endswith(".rrd"):
                raise ValueError(f"save writes an .rrd file, got {save!r}")
        if not (spawn or save or serve):
            raise ValueError("Viewer needs somewhere to log: spawn=True, save=PATH or serve=True")
        _rerun()  # missing: ImportError now, naming the extra
        self.loop, self.scene, self.coupling = loop, scene, coupling
        self._targets = (save, spawn, serve, web_port)
        self.url: Optional[str] = None
        self.error: Optional[BaseException] = None
        self._rec: Any = None
        self._logger: Optional[_Logger] = None
        self._ready = threading.Event()
        self._open_error: Optional[BaseException] = None
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._samples = 0

    @property
    def samples(self) -> int:
        """The samples logged so far."""
        return self._samples

    @property
    def running(self) -> bool:
        """Whether the viewer's thread is logging."""
        return self._thread is not None and self._thread.is_alive()

    def start(self) -> "Viewer":
        """Starts the viewer's thread once its targets are open; returns the
        viewer. Raises what opening them raised (an unwritable file, a port
        in use)."""
        if self._thread is not None:
            raise RuntimeError("the viewer has been started already; make a Viewer per run")
        global _stop_all_registered
        if not _stop_all_registered:
            atexit.register(_stop_all)
            _stop_all_registered = True
        self._thread = threading.Thread(target=self._run, name="vantor-view", daemon=True)
        self._thread.start()
        _running.add(self)
        self._ready.wait()
        if self._open_error is not None:
            self._thread.join()
            raise self._open_error
        return self

    def stop(self) -> None:
        """Stops the thread, writes out what was logged, and raises the
        error that stopped the viewer, if one did."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        _running.discard(self)
        if self.error is not None:
            error, self.error = self.error, None
            raise error

    def __enter__(self) -> "Viewer":
        return self.start()

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is None:
            self.stop()
            return
        # The block's own exception goes on; the viewer's stays in error.
        kept = self.error
        try:
            self.stop()
        except BaseException:
            self.error = kept

    def _open(self) -> None:
        """The recording and its targets, made on the viewer's thread after
        it has lowered its priority, so that Rerun's own threads, started
        here, inherit it too."""
        try:
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(),
                           os.getpriority(os.PRIO_PROCESS, threading.get_native_id()) + VIEWER_NICE)
        except (AttributeError, OSError):  # not on Linux: the default priority
            pass
        rr = _rerun()
        save, spawn, serve, web_port = self._targets
        self._rec = rr.RecordingStream("vantor")
        sinks = []
        if save:
            sinks.append(rr.FileSink(save))
        if spawn:
            rr.spawn(connect=False)
            sinks.append(rr.GrpcSink())
        if serve:
            server = rr.GrpcServerSink()
            sinks.append(server)
        self._rec.set_sinks(*sinks, default_blueprint=_blueprint(self.coupling is not None))
        if serve:
            rr.serve_web_viewer(web_port=web_port, open_browser=False, connect_to=server.uri)
            self.url = f"http://localhost:{web_port or 9090}/?url={server.uri}"
        self._logger = _Logger(self._rec, self.rate_hz)

    def _close(self) -> None:
        rec, self._rec = self._rec, None
        if rec is not None:
            if self._logger is not None:
                self._logger.flush()
            rec.flush(timeout_sec=10.0)
            rec.disconnect()

    def _run(self) -> None:
        try:
            try:
                self._open()
            except BaseException as e:  # start() raises it
                self._open_error = e
                return
            finally:
                self._ready.set()
            self._sample_until_stopped()
        except BaseException as e:  # the loop runs on; stop() raises it
            self.error = e
        finally:
            try:
                self._close()
            except BaseException as e:
                self.error = self.error or e

    def _sample_until_stopped(self) -> None:
        assert self._logger is not None
        period = 1.0 / self.rate_hz
        last_cycle = None
        deadline = time.monotonic()
        while True:
            # Once more after the stop is asked: the loop's last cycle is
            # logged even by a thread that had not begun to sample.
            stopping = self._stop.is_set()
            stats = self.loop.stats()
            state = self.loop.state()
            # Before its first cycle a loop's state is zeros, not the arm's.
            if stats["cycles"] and state["cycle"] != last_cycle:
                last_cycle = state["cycle"]
                self._logger.at(state["t"], state["cycle"])
                self._logger.scene(self.scene if self.scene is not None else self.loop.effect)
                self._logger.sample(state, stats)
                if self.coupling is not None:
                    self._logger.coupling(self.coupling)
                self._samples += 1
            if stopping:
                return
            deadline += period
            wait = deadline - time.monotonic()
            if wait < 0:  # behind: no burst to catch up
                deadline, wait = time.monotonic(), 0.0
            self._stop.wait(wait)


def view_recording(recording: Any, path: Union[str, "os.PathLike[str]"], *, rate_hz: float = 60.0) -> int:
    """Writes a recording to an .rrd file in the layout Viewer logs, as a
    Viewer at rate_hz would have seen the run: its figures from the cycles
    up to each sample. The recording holds no effect, so no shapes. Returns
    the samples written; ValueError for an empty recording.

    recording: what ServoLoop.recording() or load_recording gave; one saved
    before energy and proxy were recorded has no energy series and no proxy.

    path: the .rrd file to write.

    rate_hz: samples a second, 1 to 1000.
    """
    rate_hz = _check_rate(rate_hz)
    if len(recording) == 0:
        raise ValueError("the recording is empty")
    rr = _rerun()
    t = np.asarray(recording["t"], dtype=np.float64)
    # The first cycle at or after each sample's time.
    picks = np.unique(np.searchsorted(t, np.arange(t[0], t[-1] + 1e-12, 1.0 / rate_hz)))
    picks = picks[picks < len(t)]
    late = np.cumsum(recording["late"] != 0)
    fault = np.asarray(recording["fault"])
    faults = np.cumsum((fault != 0) & (np.concatenate(([0], fault[:-1])) != fault))
    exchange = np.asarray(recording["exchange_us"], dtype=np.float64)
    answered = np.isfinite(exchange) & (exchange > 0)
    rec = rr.RecordingStream("vantor")
    rec.set_sinks(rr.FileSink(os.fspath(path)), default_blueprint=_blueprint(False))
    try:
        logger = _Logger(rec, rate_hz)
        for i in picks:
            so_far = exchange[:i + 1][answered[:i + 1]]
            p50, p99 = (np.percentile(so_far, [50, 99]) if len(so_far) else (math.nan, math.nan))
            span = t[i] - t[0]
            proxy = recording["proxy"][i]
            state = {"t": t[i], "position": recording["position"][i], "velocity": recording["velocity"][i],
                     "force": recording["force"][i], "energy": recording["energy"][i],
                     "proxy": proxy if np.isfinite(proxy).all() else None}
            stats = {"rate_hz": i / span if span > 0 else math.nan, "late_cycles": late[i], "faults": faults[i],
                     "exchange_us": {"p50": p50, "p99": p99}}
            logger.at(t[i], int(i))
            logger.sample(state, stats)
        logger.flush()
    finally:
        rec.flush(timeout_sec=10.0)
        rec.disconnect()
    return len(picks)
