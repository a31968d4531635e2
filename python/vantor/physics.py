"""A MuJoCo world coupled to a Talon arm: the arm drives a free body of the
world (the tool) through a virtual coupling, and feels what the world does
to it. Needs the extra ``pip install 'VantorHardwareAPI[physics]'``."""
import atexit
import collections
import importlib
import math
import os
import threading
import time
import weakref
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np

from vantor import effects
from vantor.servo import ServoLoop, _Turns

try:
    # Imported by name: mujoco is optional and ships no types.
    mujoco: Any = importlib.import_module("mujoco")
except ImportError as e:
    raise ModuleNotFoundError("vantor.physics steps MuJoCo worlds: pip install 'VantorHardwareAPI[physics]'",
                              name="mujoco") from e

__all__ = ["Coupling", "CouplingStats"]

# Stable on the simulated arm (0.2 kg, 2 N s/m) at 1 kHz with a margin:
# docs/physics.md has the measurements.
DEFAULT_STIFFNESS = 1000.0  # N/m
DEFAULT_DAMPING = 5.0       # N s/m
# Physics later than this many periods drops the periods it missed rather
# than stepping a burst of them.
BEHIND_PERIODS = 4
RATE_RANGE = (10.0, 4000.0)  # Hz
# Steps the figures are taken over: the last 10 s at 1 kHz.
WINDOW = 10_000


class CouplingStats(TypedDict):
    """The coupling's run so far, as Coupling.stats() gives it.

    running: whether the physics thread runs.
    rate_hz: the steps a second held since start, in Hz.
    target_hz: the rate asked for, in Hz.
    steps: the physics steps taken.
    dropped_periods: the periods skipped because physics fell behind.
    fell_behind: how many times physics fell more than a few periods behind.
    behind: whether it is behind now (its anchor then stands still).
    world_time_s: the world's time, in s.
    step_p50_s: the median time of one step (arm read, world step, anchor), in s.
    step_p99_s: the 99th percentile of that time, in s.
    force_p99_n: the 99th percentile of the coupling force on the tool, in N.
    lag_p50_m: the median distance from the arm (mapped into the world) to the tool, in world m.
    lag_p99_m: the 99th percentile of that distance, in world m.
    lag_m: that distance at the latest step, in world m.
    """

    running: bool
    rate_hz: float
    target_hz: float
    steps: int
    dropped_periods: int
    fell_behind: int
    behind: bool
    world_time_s: float
    step_p50_s: float
    step_p99_s: float
    force_p99_n: float
    lag_p50_m: float
    lag_p99_m: float
    lag_m: float


def _number(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.floating, np.integer)):
        raise ValueError(f"{name} must be a number, got {value!r}")
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return float(value)


def _load(model: Any) -> Tuple[Any, Any]:
    """The model and its data, from a model, a (model, data) pair or an MJCF path."""
    if isinstance(model, tuple) and len(model) == 2 and isinstance(model[0], mujoco.MjModel) \
            and isinstance(model[1], mujoco.MjData):
        return model
    if isinstance(model, mujoco.MjModel):
        return model, mujoco.MjData(model)
    if isinstance(model, (str, os.PathLike)):
        path = os.fspath(model)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no MJCF file {path!r}")
        try:
            loaded = mujoco.MjModel.from_xml_path(path)
        except ValueError as e:
            raise ValueError(f"{path}: not a model MuJoCo can load ({e})") from e
        return loaded, mujoco.MjData(loaded)
    raise TypeError(f"model must be a mujoco.MjModel, an (MjModel, MjData) pair or an MJCF path,"
                    f" got {type(model).__name__}")


def _free_joint(model: Any, body_id: int) -> Optional[int]:
    """The body's free joint, or None."""
    first, count = model.body_jntadr[body_id], model.body_jntnum[body_id]
    for joint in range(first, first + count):
        if model.jnt_type[joint] == mujoco.mjtJoint.mjJNT_FREE:
            return int(joint)
    return None


def _body_name(model: Any, body_id: int) -> str:
    # Unnamed bodies as vantor.view names them, so their drawings follow them.
    return mujoco.mj_id2name(model, mujoco.mjtObj.mjOBJ_BODY, body_id) or f"body_{body_id}"


def _tool(model: Any, body: Any) -> Tuple[int, int, int]:
    """The named free body: its id, its position's address in qpos, its velocity's in qvel."""
    free = [_body_name(model, b) for b in range(1, model.nbody) if _free_joint(model, b) is not None]
    if not isinstance(body, str):
        raise ValueError(f"body must be the name of a free body, got {body!r}; free bodies: {free}")
    body_id = mujoco.mj_name2id(model, mujoco.mjtObj.mjOBJ_BODY, body)
    if body_id < 0:
        raise ValueError(f"the model has no body {body!r}; its free bodies: {', '.join(free) or 'none'}")
    joint = _free_joint(model, body_id)
    if joint is None:
        raise ValueError(f"body {body!r} has no free joint, so the coupling cannot move it; free bodies:"
                         f" {', '.join(free) or 'none'}")
    return body_id, int(model.jnt_qposadr[joint]), int(model.jnt_dofadr[joint])


def _percentile(values: Sequence[float], q: float) -> float:
    return float(np.percentile(values, q)) if len(values) else float("nan")


class _Physics:
    """The physics thread and what it shares. Holds no reference to its
    Coupling, so that dropping the Coupling stops it."""

    def __init__(self, loop: ServoLoop, model: Any, data: Any, tool: Tuple[int, int, int], stiffness: float,
                 damping: float, scale: float, offset: np.ndarray, rate_hz: float) -> None:
        self.loop, self.model, self.data = loop, model, data
        self.body, self.qpos, self.qvel = tool
        self.k, self.b, self.scale, self.offset = stiffness, damping, scale, offset
        self.period = 1.0 / rate_hz
        self.force_cap = loop._force_limit / scale
        self.rate_hz = rate_hz
        # The world advances in real time: whole substeps of at most the
        # model's own timestep per period.
        self.substeps = max(1, math.ceil(self.period / model.opt.timestep - 1e-9))
        h = self.period / self.substeps
        # The coupling force is held over each substep (explicit), so a light
        # tool on a stiff or heavily damped coupling would ring or blow up:
        # measured on the tool of examples/scenes/table_box.xml (20 g),
        # damping x timestep / mass = 1 oscillated by 20 mm.
        mass = float(model.body_subtreemass[self.body])
        if mass <= 0 or damping * h / mass > 0.5 or stiffness * h * h / mass > 1.0:
            raise ValueError(f"the tool ({mass * 1e3:g} g) is too light for this coupling at a {h * 1e3:g} ms step:"
                             f" keep damping x step / mass at most 0.5 (it is {damping * h / max(mass, 1e-300):.3g})"
                             f" and stiffness x step^2 / mass at most 1 (it is"
                             f" {stiffness * h * h / max(mass, 1e-300):.3g}); make the tool heavier, the gains"
                             f" lower or the rate higher")
        model.opt.timestep = h
        # The arm's side of the coupling: the same spring-damper, mirrored
        # through the scale (a force f on the tool is -scale*f on the arm),
        # so the pair is passive whatever the scale. The Spring damps the
        # arm's own velocity; the tool's velocity goes into its anchor.
        self.spring = effects.Spring(self._anchor(), stiffness * scale * scale, damping=damping * scale * scale)
        self.previous: Optional[effects.Effect] = None
        self.installed: Optional[effects.Effect] = None  # what the loop was given
        self.coupled = False  # the spring is in the loop's effect
        self.lock = threading.Lock()
        self.stop_event = threading.Event()
        self.error: Optional[BaseException] = None
        self.ended: Optional[str] = None  # why the thread ended by itself
        self.steps = 0
        self.dropped = 0
        self.fell_behind = 0
        self.started = 0.0
        self.last_step = 0.0
        self.lag = 0.0
        self.step_s: Deque[float] = collections.deque(maxlen=WINDOW)
        self.force_n: Deque[float] = collections.deque(maxlen=WINDOW)
        self.lag_m: Deque[float] = collections.deque(maxlen=WINDOW)
        self.view: Dict[str, Any] = {}
        self.thread: Optional[threading.Thread] = None
        # The world as given, for a snapshot before start; the arm is not known yet.
        mujoco.mj_forward(model, data)
        self._publish(np.zeros(3), np.full(3, np.nan))

    def _anchor(self) -> List[float]:
        """Where the arm's spring pulls: the tool mapped back to the arm, led
        by the tool's velocity, so that its damping is on the velocity
        relative to the tool's as in the world."""
        tool = self.data.qpos[self.qpos:self.qpos + 3]
        tool_velocity = self.data.qvel[self.qvel:self.qvel + 3]
        return list((tool - self.offset) / self.scale + self.b / (self.k * self.scale) * tool_velocity)

    def start(self) -> None:
        if not self.loop.running:
            raise RuntimeError("the loop is not running: start it first, as in"
                               " `with ServoLoop(...) as loop, Coupling(loop, ...)`")
        self._publish(np.zeros(3), np.asarray(self.loop.state()["position"]) * self.scale + self.offset)
        self.spring.anchor = self._anchor()
        self.previous = self.loop.effect
        self.installed = self.spring if self.previous is None else effects.Sum(self.previous, self.spring)
        self.loop.effect = self.installed
        self.coupled = True
        self.stop_event.clear()
        # A Python thread at 1 kHz: the interpreter's turns shortened, as
        # for a loop rendering a Callback, so a busy main thread holds it up
        # 1 ms at a time rather than 5.
        _Turns.take()
        thread = threading.Thread(target=self._run, name="vantor-physics", daemon=True)
        self.started = self.last_step = time.perf_counter()
        try:
            thread.start()
        except BaseException:
            self._let_go()
            raise
        self.thread = thread

    def stop(self) -> None:
        self.stop_event.set()
        if self.thread is not None and self.thread is not threading.current_thread():
            self.thread.join()
        self._let_go()

    def _let_go(self) -> None:
        """Gives the loop back the effect it had: no force from the coupling."""
        with self.lock:
            coupled, self.coupled = self.coupled, False
        if coupled:
            try:
                # An effect the program set meanwhile is its own: kept.
                if self.loop.effect is self.installed:
                    self.loop.effect = self.previous
                self.previous = self.installed = None
            finally:
                _Turns.give_back()

    def _run(self) -> None:
        try:
            deadline = time.perf_counter()
            while not self.stop_event.is_set():
                now = time.perf_counter()
                if now - deadline > BEHIND_PERIODS * self.period:
                    # Behind: the missed periods are dropped, not stepped in a burst.
                    missed = int((now - deadline) / self.period)
                    with self.lock:
                        self.dropped += missed
                        self.fell_behind += 1
                    deadline += missed * self.period
                if not self._step():
                    return
                deadline += self.period
                wait = deadline - time.perf_counter()
                if wait > 0.002:
                    self.stop_event.wait(wait)
                elif wait > 0:
                    time.sleep(wait)
        except BaseException as e:  # surfaces from stop() or __exit__
            self.error = e
        finally:
            # A world stepped on afterwards keeps no push of ours either.
            self.data.xfrc_applied[self.body, :3] = 0.0
            self._let_go()

    def _step(self) -> bool:
        """One period: the arm into the world, the world on, the tool back to the arm."""
        began = time.perf_counter()
        if not self.loop.running:
            self.ended = "the loop stopped"
            return False
        state = self.loop.state()
        if state["fault"] is not None:
            self.ended = f"the loop faulted: {state['fault']}"
            return False
        arm = np.asarray(state["position"]) * self.scale + self.offset
        arm_velocity = np.asarray(state["velocity"]) * self.scale
        data = self.data
        # The force follows the tool at each substep (the arm's reading is
        # held over the period), so the bound on the gains is the substep's.
        for _ in range(self.substeps):
            tool = data.qpos[self.qpos:self.qpos + 3]
            tool_velocity = data.qvel[self.qvel:self.qvel + 3]
            force = self.k * (arm - tool) + self.b * (arm_velocity - tool_velocity)
            # The world gets no more than the arm can feel: a tool driven harder
            # than that would tunnel through thin geometry while the arm, held
            # by the loop's cap, could not pull it back.
            magnitude = float(np.linalg.norm(force))
            if magnitude > self.force_cap:
                force *= self.force_cap / magnitude
            data.xfrc_applied[self.body, :3] = force
            mujoco.mj_step(self.model, data)
        # mj_step leaves the poses of the state it started from: the bodies
        # drawn and the tool then agree.
        mujoco.mj_kinematics(self.model, data)
        self.spring.anchor = self._anchor()
        lag = float(np.linalg.norm(arm - data.qpos[self.qpos:self.qpos + 3]))
        view = self._view(force, arm)
        ended = time.perf_counter()
        with self.lock:  # the snapshot and the figures of the same step
            self.view = view
            self.steps += 1
            self.last_step = ended
            self.lag = lag
            self.step_s.append(ended - began)
            self.force_n.append(float(np.linalg.norm(force)))
            self.lag_m.append(lag)
        return True

    def _view(self, force: np.ndarray, arm: np.ndarray) -> Dict[str, Any]:
        """A copy of what the viewer draws."""
        data = self.data
        return {"time": float(data.time), "tool": data.qpos[self.qpos:self.qpos + 3].copy(), "arm": arm.copy(),
                "force": np.array(force, dtype=float), "xpos": data.xpos.copy(), "xquat": data.xquat.copy()}

    def _publish(self, force: np.ndarray, arm: np.ndarray) -> None:
        view = self._view(force, arm)
        with self.lock:
            self.view = view


_running: "weakref.WeakSet[Coupling]" = weakref.WeakSet()


@atexit.register
def _stop_all() -> None:
    # Registered after the loops' own: runs before them, so each coupling
    # lets go while its loop still runs.
    for coupling in list(_running):
        coupling._physics.stop()


class Coupling:
    """A MuJoCo world stepped on a thread of its own, its free body ``body``
    (the tool) coupled to the arm by a spring-damper.

    Each period the arm's position p and velocity v (``loop.state()``) are
    mapped into the world, ``x = scale * p + offset``, ``u = scale * v``;
    the tool gets the force ``stiffness * (x - tool) + damping * (u -
    tool_velocity)`` (``data.xfrc_applied``), the world is stepped, and the
    arm's side, a native ``effects.Spring`` of stiffness ``stiffness *
    scale**2`` whose anchor is the tool's new position mapped back, ``(tool -
    offset) / scale``, is updated whole. The loop renders it at its own rate
    through its own limits (force_limit, ramp), added to the effect it had
    (``Sum(previous, spring)``). Its damping, ``damping * scale**2``, is on
    the arm's velocity relative to the tool's: the anchor leads the tool by
    ``damping / (stiffness * scale)`` times its velocity. The force on the
    tool is capped at ``force_limit / scale``, the most the arm can feel.

    Use it inside a running loop: ``with ServoLoop(...) as loop,
    Coupling(loop, ...) as coupling``; a loop that is not running is a
    RuntimeError at start. Leaving the block, ``stop()``, an exception in the
    block or in the physics thread, the loop stopping or faulting, garbage
    collection and interpreter exit end the thread and give the loop back the
    effect it had (None: zero force). An exception raised in the physics
    thread is raised again by ``stop()`` (and so by leaving the block).

    Physics that falls more than a few periods behind (a stall of the
    machine, a slow world) drops the periods it missed: the arm's anchor
    stands still meanwhile and ``stats()`` counts it. The model's timestep is
    set so that whole substeps make one period: the world runs in real time.

    loop: a running vantor.ServoLoop.

    model: a mujoco.MjModel (its MjData is made here), an (MjModel, MjData)
    pair, or the path of an MJCF file.

    body: the name of the tool, a body with a free joint (ValueError
    otherwise, listing the free bodies).

    stiffness: N/m, above 0: the coupling's spring in the world.

    damping: N s/m, 0 or more: the coupling's damper, on the velocity of
    the tool relative to the arm's (mirrored on the arm's side).

    scale: above 0: world metres per arm metre.

    offset: (x, y, z), in world m: where the arm's origin is in the world.

    rate_hz: the physics steps a second, 10 to 4000 Hz.
    """

    def __init__(self, loop: ServoLoop, model: Union[Any, str, "os.PathLike[str]"], *, body: str,
                 stiffness: float = DEFAULT_STIFFNESS, damping: float = DEFAULT_DAMPING, scale: float = 1.0,
                 offset: Sequence[float] = (0.0, 0.0, 0.0), rate_hz: float = 1000.0) -> None:
        k = _number("stiffness", stiffness)
        if k <= 0:
            raise ValueError(f"stiffness must be above 0 N/m, got {stiffness!r}")
        b = _number("damping", damping)
        if b < 0:
            raise ValueError(f"damping must be 0 N s/m or more, got {damping!r}")
        s = _number("scale", scale)
        if s <= 0:
            raise ValueError(f"scale must be above 0, got {scale!r}")
        rate = _number("rate_hz", rate_hz)
        if not RATE_RANGE[0] <= rate <= RATE_RANGE[1]:
            raise ValueError(f"rate_hz must be from {RATE_RANGE[0]:g} to {RATE_RANGE[1]:g} Hz, got {rate_hz!r}")
        try:
            shift = np.asarray(offset, dtype=float)
        except (TypeError, ValueError):
            shift = np.full(1, np.nan)
        if shift.shape != (3,) or not np.isfinite(shift).all():
            raise ValueError(f"offset must be 3 finite numbers, got {offset!r}")
        if not isinstance(loop, ServoLoop):
            raise TypeError(f"loop must be a vantor.ServoLoop, got {type(loop).__name__}")
        mj_model, data = _load(model)
        self._physics = _Physics(loop, mj_model, data, _tool(mj_model, body), k, b, s, shift, rate)

    @property
    def model(self) -> Any:
        """The world's mujoco.MjModel, for drawing it; read it, never change it."""
        return self._physics.model

    @property
    def running(self) -> bool:
        """Whether the physics thread runs."""
        thread = self._physics.thread
        return thread is not None and thread.is_alive()

    def start(self) -> "Coupling":
        """Couples the arm and starts the physics thread; returns the object itself."""
        if self.running:
            raise RuntimeError("the coupling runs already")
        self._physics.start()
        _running.add(self)
        return self

    def stop(self) -> None:
        """Ends the physics thread and gives the loop back the effect it had;
        raises again what the physics thread raised, if it did."""
        physics = self._physics
        physics.stop()
        _running.discard(self)
        error, physics.error = physics.error, None
        if error is not None:
            raise error

    def __enter__(self) -> "Coupling":
        return self.start()

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is None:
            self.stop()
            return
        # The block's own exception goes on; the thread's stays in error.
        physics = self._physics
        kept = physics.error
        try:
            self.stop()
        except BaseException:
            physics.error = kept

    def __del__(self) -> None:
        # Never a join here: a collection may run on a thread that holds a
        # lock the physics thread needs to let go. It lets go by itself.
        physics = getattr(self, "_physics", None)
        if physics is not None:
            physics.stop_event.set()

    @property
    def ended(self) -> Optional[str]:
        """Why the physics thread ended by itself (the loop stopped or
        faulted), or None."""
        return self._physics.ended

    def stats(self) -> CouplingStats:
        """The run so far: running, rate_hz, target_hz, steps,
        dropped_periods, fell_behind, behind, world_time_s, step_p50_s,
        step_p99_s, force_p99_n, lag_p50_m, lag_p99_m, lag_m (CouplingStats
        says each with its unit)."""
        physics = self._physics
        running = self.running
        with physics.lock:
            steps, dropped, fell, last, lag = physics.steps, physics.dropped, physics.fell_behind, \
                physics.last_step, physics.lag
            step_s, force_n, lag_m = list(physics.step_s), list(physics.force_n), list(physics.lag_m)
            world_time = physics.view.get("time", float("nan"))
        now = time.perf_counter()
        elapsed = (now if running else last) - physics.started
        return {
            "running": running,
            "rate_hz": steps / elapsed if elapsed > 0 else 0.0,
            "target_hz": physics.rate_hz,
            "steps": steps,
            "dropped_periods": dropped,
            "fell_behind": fell,
            "behind": running and now - last > BEHIND_PERIODS * physics.period,
            "world_time_s": world_time,
            "step_p50_s": _percentile(step_s, 50),
            "step_p99_s": _percentile(step_s, 99),
            "force_p99_n": _percentile(force_n, 99),
            "lag_p50_m": _percentile(lag_m, 50),
            "lag_p99_m": _percentile(lag_m, 99),
            "lag_m": lag,
        }

    def snapshot(self) -> Dict[str, Any]:
        """The latest step, all of it from that step: time (the world's, s),
        tool (its position, world m), arm (the arm mapped into the world, m),
        force (on the tool, N) and bodies: for every body with geometry but
        the world, {name: {"position": [x, y, z], "quaternion": [w, x, y,
        z]}}."""
        physics = self._physics
        with physics.lock:
            view = physics.view
        model = physics.model
        bodies = {}
        for b in range(1, model.nbody):
            if model.body_geomnum[b] > 0:
                bodies[_body_name(model, b)] = {"position": view["xpos"][b].tolist(),
                                                "quaternion": view["xquat"][b].tolist()}
        return {"time": view["time"], "tool": view["tool"].tolist(), "arm": view["arm"].tolist(),
                "force": view["force"].tolist(), "bodies": bodies}
