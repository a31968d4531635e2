"""vantor.ServoLoop: a haptic loop at a fixed rate on a native thread."""
import csv
import os
import stat
import sys
import threading
import zipfile
from typing import Any, Dict, List, Optional, Sequence, Tuple, TypedDict, TypeVar, Union

import VantorHardwareAPI as api

from vantor import _native
from vantor._native_thread import NativeThread
from vantor.effects import Effect

Vector = Sequence[float]
_Loop = TypeVar("_Loop", bound="ServoLoop")

# The settings' defaults, as the native loop has them.
_DEFAULT = _native.ServoConfig()


def _record_layout() -> Dict[str, Any]:
    """The recorded cycle's numpy layout, as the native loop writes it."""
    names: List[str] = []
    formats: List[Any] = []
    offsets: List[int] = []
    for name, element, offset, count, _ in _native.SAMPLE_LAYOUT:
        names.append(name)
        formats.append(element if count == 1 else (element, (count,)))
        offsets.append(offset)
    return {"names": names, "formats": formats, "offsets": offsets, "itemsize": _native.SAMPLE_SIZE}


RECORD_FIELDS = _record_layout()
# One .csv row per cycle: a vector spread over its three columns.
CSV_COLUMNS = [column for *_, columns in _native.SAMPLE_LAYOUT for column in columns.split(",")]
# Fields recordings gained later, each with what stands for it in a file
# saved before them: the field it is taken from (the effects then saw the
# arm's own velocity), or None for not known (NaN).
_ADDED_LATER: Dict[str, Optional[str]] = {"energy": None, "filtered_velocity": "velocity", "proxy": None}
_CSV_COLUMNS_BEFORE = [column for name, *_, columns in _native.SAMPLE_LAYOUT if name not in _ADDED_LATER
                       for column in columns.split(",")]


# What state() and stats() give. Each docstring says every key, with its
# unit: the API reference is generated from them.
class ServoState(TypedDict):
    """The latest cycle, as ServoLoop.state() gives it, all of it from that one cycle.

    t: when the cycle began, in s since the loop started.
    cycle: the cycle's number.
    position: the effector's position (x, y, z), in m.
    velocity: the effector's velocity (x, y, z), in m/s, as the arm sent it (the effects see it through velocity_filter_hz, when set).
    force: the force commanded at the cycle's exchange (x, y, z), in N.
    connected: whether the arm is there; False while reconnect waits for it.
    fault: why force was zero, as ServoLoop.fault says it; None while force is rendered.
    energy: the work the hand has done on the effect's passive parts since it was set, in J; below 0: made by the loop.
    proxy: where the effect's proxy is (x, y, z), in m (a Mesh's, or a Sum's first); None for an effect without one.
    """

    t: float
    cycle: int
    position: List[float]
    velocity: List[float]
    force: List[float]
    connected: bool
    fault: Optional[str]
    energy: float
    proxy: Optional[List[float]]


class Percentiles(TypedDict):
    """A figure of each cycle so far, in µs.

    p50: the median.
    p99: the 99th percentile.
    max: the largest.
    """

    p50: float
    p99: float
    max: float


class FaultReport(TypedDict):
    """The last fault that began, as stats()["last_fault"] keeps it, ended or not.

    kind: its short name, one of the keys of FaultCounts.
    t: when it began, in s since the loop started.
    text: why, with the figures, as ServoLoop.fault said it.
    """

    kind: str
    t: float
    text: str


class FaultCounts(TypedDict):
    """How many times each kind of fault has begun.

    arm_not_answering: no answer from the arm for link_timeout_ms.
    arm_too_slow: every exchange slower than exchange_deadline_ms, for link_timeout_ms.
    line_hung_up: the arm's line hung up: unplugged or switched off.
    velocity_limit: the effector faster than velocity_limit.
    outside_workspace: the effector outside the workspace.
    effect_failed: the effect gave no valid force.
    other_device: reconnecting, another arm answered on the port.
    bad_reading: the arm sent a position or velocity that is not a number.
    no_identity: reconnect is on, and the arm has not said who it is.
    effect_stalled: a Python effect's own thread fell behind.
    """

    arm_not_answering: int
    arm_too_slow: int
    line_hung_up: int
    velocity_limit: int
    outside_workspace: int
    effect_failed: int
    other_device: int
    bad_reading: int
    no_identity: int
    effect_stalled: int


class PassivityStats(TypedDict):
    """What the passivity controller has done over the run, as stats()["passivity"] gives it.

    cycles: the cycles it added damping in.
    energy_removed_j: the energy its damping took out, in J.
    max_damping: the largest damping it used, in N s/m.
    """

    cycles: int
    energy_removed_j: float
    max_damping: float


class ServoStats(TypedDict):
    """The run so far, as ServoLoop.stats() gives it.

    cycles: the cycles run.
    rate_hz: the rate achieved, in Hz.
    late_cycles: the cycles that overran their period.
    jitter_us: how late the cycles began, after their deadlines, in µs.
    exchange_us: how long one force exchange took, request to decoded reply, in µs.
    slow_exchanges: the exchanges answered after exchange_deadline_ms; no fault by themselves.
    faults: the faults that began, of every kind.
    faults_by_kind: the faults that began, by kind.
    last_fault: the last fault that began, even one that has ended; None before any.
    reconnects: how many times the arm was driven again after it had gone.
    realtime: whether the loop's thread runs at real-time priority (SCHED_FIFO).
    device_log_lines: the library's [err] lines written by the loop's thread.
    passivity: what the passivity controller has done.
    """

    cycles: int
    rate_hz: float
    late_cycles: int
    jitter_us: Percentiles
    exchange_us: Percentiles
    slow_exchanges: int
    faults: int
    faults_by_kind: FaultCounts
    last_fault: Optional[FaultReport]
    reconnects: int
    realtime: bool
    device_log_lines: int
    passivity: PassivityStats


# A Python effect's thread waits for the interpreter lock in the main
# thread's turns, sys.getswitchinterval() long (5 ms by default), so a busy
# main thread starves it. While a running loop renders a Callback the turns
# are 1 ms: beside a busy main thread at 1 kHz that took the effect's stalls
# from 33-47 to 0-2 in 3 s, for about 5 % of the main thread's own pace.
_SHORT_TURNS_S = 0.001


class _Turns:
    """The interpreter's turns, shortened while any loop renders a Callback."""

    takers = 0
    saved: Optional[float] = None

    # Loops start and stop on any thread; reentrant for a collection that
    # ends a loop inside it.
    lock = threading.RLock()

    @classmethod
    def take(cls) -> None:
        with cls.lock:
            cls.takers += 1
            if cls.takers == 1 and sys.getswitchinterval() > _SHORT_TURNS_S:
                cls.saved = sys.getswitchinterval()
                sys.setswitchinterval(_SHORT_TURNS_S)

    @classmethod
    def give_back(cls) -> None:
        with cls.lock:
            cls.takers -= 1
            if cls.takers == 0 and cls.saved is not None:
                # A program that set its own turns meanwhile keeps them.
                if sys.getswitchinterval() == _SHORT_TURNS_S:
                    sys.setswitchinterval(cls.saved)
                cls.saved = None


def _renders_python(effect: Optional[Effect]) -> bool:
    return any(isinstance(part, _native.Callback) for part in getattr(effect, "parts", [effect]))


class ServoLoop(NativeThread):
    """Renders an effect on a Talon arm at a fixed rate, safe by default.

    The loop's thread exchanges a force each period, records the arm's state,
    computes the next force from ``effect``, clamps it to ``force_limit``,
    ramps it in over ``ramp_s`` after start, after an effect swap and after a
    fault is cleared. Faults command zero force; ``fault`` says why, with the
    figures and what to change or call. Faults of the motion latch until
    ``clear_fault()``: the speed past ``velocity_limit``, the effector out of
    ``workspace``, a position or velocity that is not a number, an effect
    that gives no valid force. Faults of the link end by themselves, with the
    ramp: an exchange slower than ``exchange_deadline_ms`` is only counted,
    but none within it for ``link_timeout_ms`` (the arm silent, or every
    exchange slow) is a fault until one is on time again. A line that hangs
    up stays a fault without ``reconnect``. Leaving the ``with`` block,
    ``stop()``, an exception, Ctrl-C, garbage collection and interpreter exit
    all send zero force before the thread ends.

    Every setting has a range (docs/control-loops.md); one outside it, or
    one that is not finite, raises ValueError naming it and quoting the value
    as given. A number is any real number but a bool; anything else for it
    raises TypeError.

    talon_or_port: a port path, or a VantorHardwareAPI.Talon that the loop
    then drives; while the loop runs, that Talon's own calls raise
    RuntimeError.

    rate_hz: the cycles a second, in Hz.

    force_limit: the largest force commanded (its magnitude), in N.

    ramp_s: how long the force takes to rise from zero, in s.

    velocity_limit: a speed of the effector past it is a fault, in m/s;
    None: no limit.

    workspace: (lower corner, upper corner), in m: the effector outside it is
    a fault; None: no workspace.

    exchange_deadline_ms: an exchange slower than it is counted as slow, in ms.

    link_timeout_ms: no exchange within the deadline for this long is a
    fault of the link, in ms.

    reply_timeout_s: how long a reply of the arm is awaited while the loop
    runs, in s.

    realtime: SCHED_FIFO for the loop's thread. None (the default) takes it
    when this process may and at least two cores are online; True insists
    (start() raises RuntimeError saying why it cannot); False never tries.
    ``stats()["realtime"]`` says whether it took (docs/real-time.md).

    reconnect: the arm is asked who it is (its device_id_ext) before it gets
    any force. When the line hangs up or the arm has not answered for
    ``reconnect_after_s``, the loop closes the port, waits for its path to
    come back (looked up again each try, so a /dev/serial/by-id link works),
    wakes the arm and, if it is the same arm, drives it again from zero force
    with the ramp. Another arm is not adopted: the fault says so.
    ``state()["connected"]`` tells whether the arm is there.

    reconnect_after_s: with reconnect, how long the arm may be silent before
    it counts as gone, in s.

    cpu: the CPU the loop's thread is pinned to; None or -1: not pinned.

    spin_us: the last stretch before each deadline, which the loop spins
    instead of sleeping, for a cycle that starts on time, in µs; 0: it only
    sleeps. At real-time priority it always sleeps.

    passivity: the passivity controller, True or False. The loop always
    watches the energy the hand puts into the passive parts of the effect
    (``state()["energy"]``): a still scene never gives out more than it took,
    so a negative energy is energy the sampled loop made, which makes a stiff
    wall rattle. With True, each cycle in which it is negative adds a damping
    force that takes it back within a period, before the clamp and the ramp.
    For still scenes: walls, meshes, springs to a fixed anchor; a program that
    moves a wall into the hand puts energy in, which it takes back out as
    damping (docs/control-loops.md).

    passivity_max_damping: the most damping the controller adds, in N s/m.

    velocity_filter_hz: the cut-off of a second-order low-pass on the
    velocity, in Hz, above 0 and below half of rate_hz; None (the default):
    no filter. The effects (a Damper, a Plane's damping, a Callback's
    velocity) and the passivity controller then see the filtered velocity,
    which starts at the arm's reading at each start and reconnection; the
    arm's velocity is noisy, and damping on it buzzes. The filter delays the
    velocity by about 0.225 / velocity_filter_hz s (4.5 ms at 50 Hz).
    ``state()["velocity"]`` and ``velocity_limit`` stay with the velocity the
    arm sent; recordings keep both (velocity, filtered_velocity).
    """

    def __init__(self, talon_or_port: Union[str, "os.PathLike[str]", "api.Talon"],
                 rate_hz: float = _DEFAULT.rate_hz, *,
                 force_limit: float = _DEFAULT.force_limit, ramp_s: float = _DEFAULT.ramp_s,
                 velocity_limit: Optional[float] = None, workspace: Optional[Tuple[Vector, Vector]] = None,
                 exchange_deadline_ms: float = _DEFAULT.exchange_deadline_ms,
                 link_timeout_ms: float = _DEFAULT.link_timeout_ms, reply_timeout_s: float = _DEFAULT.reply_timeout_s, realtime: Optional[bool] = None,
                 reconnect: bool = _DEFAULT.reconnect, reconnect_after_s: float = _DEFAULT.reconnect_after_s,
                 cpu: Optional[int] = None, spin_us: float = _DEFAULT.spin_us,
                 passivity: bool = _DEFAULT.passivity,
                 passivity_max_damping: float = _DEFAULT.passivity_max_damping,
                 velocity_filter_hz: Optional[float] = None) -> None:
        # Every keyword above goes to the native settings as it is: they are
        # checked there, once.
        settings = {name: value for name, value in locals().items() if name not in ("self", "talon_or_port")}
        if isinstance(talon_or_port, os.PathLike):
            talon_or_port = os.fspath(talon_or_port)
        self._short_turns = False
        self._native: _native.ServoLoop = _native.ServoLoop(talon_or_port, _native.ServoConfig(**settings))
        # For what couples to the loop (vantor.physics): the cap its world
        # shares. Checked by now.
        self._force_limit = float(force_limit)

    def start(self: _Loop) -> _Loop:
        """Starts the thread; returns the object itself."""
        super().start()
        self._mind_turns()
        return self

    def stop(self) -> None:
        """Sends zero force, then stops the thread and waits for it to end."""
        try:
            super().stop()
        finally:
            self._mind_turns()

    def __del__(self) -> None:
        try:
            super().__del__()
        finally:
            if getattr(self, "_short_turns", False) and sys is not None:
                with _Turns.lock:
                    if self._short_turns:
                        self._short_turns = False
                        _Turns.give_back()

    def _mind_turns(self) -> None:
        with _Turns.lock:
            wanted = self._native.running and _renders_python(self._native.effect)
            if wanted != self._short_turns:
                self._short_turns = wanted
                if wanted:
                    _Turns.take()
                else:
                    _Turns.give_back()

    # --- what it renders ---------------------------------------------------------
    @property
    def effect(self) -> Optional[Effect]:
        """Swapped at a cycle boundary, whole, from any thread; the force
        ramps in again. A Python function is an effect too:
        ``effects.Callback(fn)``."""
        return self._native.effect

    @effect.setter
    def effect(self, effect: Optional[Effect]) -> None:
        if effect is not None and not isinstance(effect, Effect):
            what = "a function: wrap it as effects.Callback(fn)" if callable(effect) else type(effect).__name__
            raise TypeError(f"loop.effect takes an effect from vantor.effects, or None; got {what}")
        self._native.effect = effect
        self._mind_turns()

    @property
    def on_cycle(self) -> None:
        raise AttributeError("on_cycle is gone: set loop.effect = effects.Callback(fn), which also adds to others"
                             " (effects.Callback(fn) + wall)")

    @on_cycle.setter
    def on_cycle(self, fn: Any) -> None:
        raise AttributeError("on_cycle is gone: set loop.effect = effects.Callback(fn), which also adds to others"
                             " (effects.Callback(fn) + wall)")

    # --- faults ---------------------------------------------------------------------
    @property
    def fault(self) -> Optional[str]:
        """Why the loop commands zero force, with the figures that caused it
        and what to change or call, or None."""
        fault = self._native.fault
        if fault is not None and self._native.fault_kind == "effect_failed":
            for error in _callback_errors(self._native.effect):
                if isinstance(error, str):  # what was wrong with its result
                    return f"{fault}; {error}"
                return f"{fault}; the Python effect raised {error!r}"
        return fault

    def clear_fault(self) -> None:
        """Resumes force at the next cycle that is itself free of faults, with the ramp."""
        self._native.clear_fault()

    # --- figures ---------------------------------------------------------------------
    def state(self) -> ServoState:
        """The latest cycle: t, cycle, position, velocity, force, connected,
        fault, energy, proxy (ServoState says each with its unit)."""
        return self._native.state()

    def stats(self) -> ServoStats:
        """The run so far: cycles, rate_hz, late_cycles, jitter_us and
        exchange_us (p50, p99, max), slow_exchanges, faults, faults_by_kind,
        last_fault, reconnects, realtime, device_log_lines, passivity
        (ServoStats says each with its unit)."""
        return self._native.stats()

    def record(self, n: int) -> None:
        """Records the next n cycles into a buffer allocated now; returns at once."""
        if n < 0:
            raise ValueError("n must be 0 or more")
        self._native.record(int(n))

    def recording(self) -> Any:
        """The cycles recorded so far, as a numpy structured array with the
        fields t (s since the loop started), position (m), velocity (m/s),
        force (N, commanded), exchange_us and jitter_us (µs), late (1: the
        cycle overran its period), fault (the fault's number, 0: none),
        energy (J, as state()["energy"]), filtered_velocity (m/s, the
        velocity the effects saw: through velocity_filter_hz, else the
        arm's) and proxy (m, as state()["proxy"]; NaN while the effect has
        none)."""
        import numpy as np

        dtype = np.dtype(RECORD_FIELDS)  # type: ignore[call-overload]  # the offsets form
        return np.frombuffer(self._native.recording_bytes(), dtype=dtype).copy()


def _callback_errors(effect: Optional[Effect]) -> List[Union[BaseException, str]]:
    """The errors kept by the Python effects in effect (a sum's parts too):
    what they raised, or what was wrong with their results."""
    parts = getattr(effect, "parts", [effect])
    # The native class: once the caller has let go of an effects.Callback,
    # the loop's effect comes back as the class it was made from.
    return [part.error for part in parts if isinstance(part, _native.Callback) and part.error is not None]


def save_recording(path: Union[str, "os.PathLike[str]"], recording: Any) -> None:
    """Writes a recording to .npz (numpy's archive, key "recording") or .csv.

    path: the file, whose suffix, .npz or .csv, says the format.

    recording: what ServoLoop.recording() gave, or load_recording.
    """
    import numpy as np

    path = os.fspath(path)
    if path.endswith(".npz"):
        np.savez(path, recording=recording)
    elif path.endswith(".csv"):
        # The one writer, which C++ programs use too.
        dtype = np.dtype(RECORD_FIELDS)  # type: ignore[call-overload]  # the offsets form
        _native.write_recording_csv(path, np.ascontiguousarray(recording, dtype=dtype))
    else:
        raise ValueError("save_recording writes .npz or .csv files")


def load_recording(path: Union[str, "os.PathLike[str]"]) -> Any:
    """Reads what save_recording writes, back into a recording. Raises
    FileNotFoundError, or ValueError for a file that holds no recording.

    path: a .npz or .csv file.
    """
    import numpy as np

    path = os.fspath(path)
    # A FIFO or a device would be waited on for ever; a folder is no recording.
    if not stat.S_ISREG(os.stat(path).st_mode):
        raise ValueError(f"{path}: not a regular file")
    dtype = np.dtype(RECORD_FIELDS)  # type: ignore[call-overload]  # the offsets form
    if path.endswith(".csv"):
        with open(path, newline="") as f:
            rows = list(csv.reader(f))
        if not rows or rows[0] not in (CSV_COLUMNS, _CSV_COLUMNS_BEFORE):
            raise ValueError(f"{path}: not a recording (its first line is not {','.join(CSV_COLUMNS)})")
        before = rows[0] == _CSV_COLUMNS_BEFORE
        width = len(rows[0])
        try:
            if any(len(row) != width for row in rows[1:]):
                raise ValueError
            values = np.array(rows[1:], dtype=float).reshape(-1, width)
        except ValueError:
            raise ValueError(f"{path}: a row is not {width} numbers") from None
        recording = np.zeros(len(values), dtype=dtype)
        column = 0
        for name, _, _, count, _ in _native.SAMPLE_LAYOUT:
            if before and name in _ADDED_LATER:
                continue
            recording[name] = values[:, column:column + count].reshape(recording[name].shape)
            column += count
        return _fill_added_later(recording, before)
    if not path.endswith(".npz"):
        raise ValueError(f"{path}: recordings are .npz or .csv files")
    try:
        archive = np.load(path, allow_pickle=False)
    except (ValueError, EOFError, zipfile.BadZipFile):
        raise ValueError(f"{path}: not a .npz archive") from None
    if not hasattr(archive, "files"):  # a lone .npy array
        raise ValueError(f"{path}: not a .npz archive")
    with archive:
        if "recording" not in archive.files:
            raise ValueError(f"{path}: no recording in it (save_recording stores one as \"recording\")")
        recording = archive["recording"]
    names = recording.dtype.names or ()
    before = recording.ndim == 1 and all(name in names for name in RECORD_FIELDS["names"] if name not in _ADDED_LATER)
    if before and not any(name in names for name in _ADDED_LATER):
        # Saved before the fields were added: in the layout of today.
        _check_layout(path, recording, skip=tuple(_ADDED_LATER))
        full = np.zeros(len(recording), dtype=dtype)
        for name in RECORD_FIELDS["names"]:
            if name not in _ADDED_LATER:
                full[name] = recording[name]
        return _fill_added_later(full, True)
    _check_layout(path, recording)
    return recording


def _fill_added_later(recording: Any, before: bool) -> Any:
    if before:
        for name, source in _ADDED_LATER.items():
            recording[name] = float("nan") if source is None else recording[source]
    return recording


def _check_layout(path: str, recording: Any, skip: Tuple[str, ...] = ()) -> None:
    """A recording's fields must have the loop's names, shapes and kinds:
    anything else is refused here rather than failing later in a plot."""
    names = recording.dtype.names or ()
    if recording.ndim != 1 or any(name not in names for name in RECORD_FIELDS["names"] if name not in skip):
        raise ValueError(f"{path}: its \"recording\" is not a servo loop's recording")
    for name, element, _, count, _ in _native.SAMPLE_LAYOUT:
        if name in skip:
            continue
        field = recording.dtype[name]
        shape = (count,) if count > 1 else ()
        if field.shape != shape or field.base.kind not in ("f" if element.startswith("<f") else "iub"):
            raise ValueError(f"{path}: its field {name!r} is {field}, not {element}"
                             f"{' x ' + str(count) if count > 1 else ''} as a servo loop records it")
