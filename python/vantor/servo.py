"""vantor.ServoLoop: a haptic loop at a fixed rate on a native thread."""
import csv
import os
import zipfile
from typing import Any, Callable, Dict, Optional, Sequence, Tuple, Union

import VantorHardwareAPI as api

from vantor import _native
from vantor._native_thread import NativeThread
from vantor.effects import CallbackEffect, Effect

Vector = Sequence[float]

# Field layout of one recorded cycle, as the native loop writes it.
RECORD_FIELDS = {
    "names": ["t", "position", "velocity", "force", "exchange_us", "jitter_us", "late", "fault"],
    "formats": ["<f8", ("<f8", (3,)), ("<f8", (3,)), ("<f8", (3,)), "<f8", "<f8", "u1", "u1"],
    "offsets": [0, 8, 32, 56, 80, 88, 96, 97],
    "itemsize": _native.SAMPLE_SIZE,
}


class ServoLoop(NativeThread):
    """Renders an effect on a Talon arm at a fixed rate, safe by default.

    talon_or_port: a port path, or a VantorHardwareAPI.Talon that the loop
    then uses; do not call that Talon yourself while the loop runs.

    The loop's thread exchanges a force each period, records the arm's state,
    computes the next force from ``effect``, clamps it to ``force_limit`` (N),
    ramps it in over ``ramp_s`` after start, after an effect swap and after a
    fault is cleared, and latches a fault (zero force until ``clear_fault()``)
    when the arm does not answer within ``exchange_deadline_ms``, the stream
    fails, the speed passes ``velocity_limit`` (m/s) or the effector leaves
    ``workspace`` ((lower corner, upper corner), m). Leaving the ``with``
    block, ``stop()``, an exception, Ctrl-C, garbage collection and
    interpreter exit all send zero force before the thread ends.

    reconnect: when the stream fails or the arm has not answered for
    ``reconnect_after_s``, the loop closes the port, waits for its path to
    come back (looked up again each try, so a /dev/serial/by-id link works),
    wakes the arm and, if it is the same arm (its device_id_ext), drives it
    again from zero force with the ramp. Another arm is not adopted: the
    fault says so. ``state()["connected"]`` tells whether the arm is there.
    """

    def __init__(self, talon_or_port: Union[str, "api.Talon"], rate_hz: float = 1000.0, *,
                 force_limit: float = 2.0, ramp_s: float = 0.5, velocity_limit: Optional[float] = None,
                 workspace: Optional[Tuple[Vector, Vector]] = None, exchange_deadline_ms: float = 5.0,
                 reply_timeout_s: float = 1.0, realtime: bool = False, reconnect: bool = False,
                 reconnect_after_s: float = 1.0, cpu: Optional[int] = None) -> None:
        if isinstance(talon_or_port, os.PathLike):
            talon_or_port = os.fspath(talon_or_port)
        self._native = _native.ServoLoop(talon_or_port, float(rate_hz), float(force_limit), float(ramp_s),
                                         velocity_limit, workspace, float(exchange_deadline_ms),
                                         float(reply_timeout_s), bool(realtime), -1 if cpu is None else int(cpu),
                                         bool(reconnect), float(reconnect_after_s))
        self._on_cycle: Optional[Callable[[list, list], Vector]] = None

    # --- what it renders ---------------------------------------------------------
    @property
    def effect(self) -> Optional[Effect]:
        return self._native.effect

    @effect.setter
    def effect(self, effect: Optional[Effect]) -> None:
        """Swapped at a cycle boundary, whole; the force ramps in again."""
        self._on_cycle = None
        self._native.effect = effect

    @property
    def on_cycle(self) -> Optional[Callable[[list, list], Vector]]:
        return self._on_cycle

    @on_cycle.setter
    def on_cycle(self, fn: Optional[Callable[[list, list], Vector]]) -> None:
        """A Python effect: fn(position, velocity) -> force, called every cycle
        with the interpreter lock taken (far slower than a native effect)."""
        self._native.effect = None if fn is None else CallbackEffect(fn)
        self._on_cycle = fn

    # --- faults ---------------------------------------------------------------------
    @property
    def fault(self) -> Optional[str]:
        """Why the loop commands zero force, or None."""
        fault = self._native.fault
        effect = self._native.effect
        if fault is not None and isinstance(effect, CallbackEffect) and effect.error is not None:
            return f"{fault}: on_cycle raised {effect.error!r}"
        return fault

    def clear_fault(self) -> None:
        """Resumes force at the next cycle, with the ramp."""
        self._native.clear_fault()

    # --- figures ---------------------------------------------------------------------
    def state(self) -> Dict[str, Any]:
        """The latest cycle: t, cycle, position, velocity, force, connected, fault."""
        return self._native.state()

    def stats(self) -> Dict[str, Any]:
        """cycles, rate_hz, late_cycles, jitter_us and exchange_us (p50, p99,
        max), faults, reconnects, realtime, device_log_lines."""
        return self._native.stats()

    def record(self, n: int) -> None:
        """Records the next n cycles into a buffer allocated now; returns at once."""
        if n < 0:
            raise ValueError("n must be 0 or more")
        self._native.record(int(n))

    def recording(self) -> Any:
        """The cycles recorded so far, as a numpy structured array with the
        fields t, position, velocity, force, exchange_us, jitter_us, late, fault."""
        import numpy as np

        dtype = np.dtype(RECORD_FIELDS)  # type: ignore[call-overload]  # the offsets form
        return np.frombuffer(self._native.recording_bytes(), dtype=dtype).copy()


# One .csv row per cycle: the vectors spread over three columns each.
CSV_COLUMNS = ["t", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "exchange_us", "jitter_us", "late", "fault"]


def save_recording(path: Union[str, "os.PathLike[str]"], recording: Any) -> None:
    """Writes a recording to .npz (numpy's archive, key "recording") or .csv."""
    import numpy as np

    path = os.fspath(path)
    if path.endswith(".npz"):
        np.savez(path, recording=recording)
    elif path.endswith(".csv"):
        with open(path, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(CSV_COLUMNS)
            for r in recording:
                writer.writerow([repr(float(r["t"])), *map(float, r["position"]), *map(float, r["velocity"]),
                                 *map(float, r["force"]), float(r["exchange_us"]), float(r["jitter_us"]),
                                 int(r["late"]), int(r["fault"])])
    else:
        raise ValueError("save_recording writes .npz or .csv files")


def load_recording(path: Union[str, "os.PathLike[str]"]) -> Any:
    """Reads what save_recording writes, back into a recording. Raises
    FileNotFoundError, or ValueError for a file that holds no recording."""
    import numpy as np

    path = os.fspath(path)
    dtype = np.dtype(RECORD_FIELDS)  # type: ignore[call-overload]  # the offsets form
    if path.endswith(".csv"):
        with open(path, newline="") as f:
            rows = list(csv.reader(f))
        if not rows or rows[0] != CSV_COLUMNS:
            raise ValueError(f"{path}: not a recording (its first line is not {','.join(CSV_COLUMNS)})")
        try:
            if any(len(row) != len(CSV_COLUMNS) for row in rows[1:]):
                raise ValueError
            values = np.array(rows[1:], dtype=float).reshape(-1, len(CSV_COLUMNS))
        except ValueError:
            raise ValueError(f"{path}: a row is not {len(CSV_COLUMNS)} numbers") from None
        recording = np.zeros(len(values), dtype=dtype)
        column = 0
        for name in RECORD_FIELDS["names"]:
            width = 3 if dtype[name].shape else 1
            recording[name] = values[:, column:column + width].reshape(recording[name].shape)
            column += width
        return recording
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
    if recording.ndim != 1 or any(name not in names for name in RECORD_FIELDS["names"]):
        raise ValueError(f"{path}: its \"recording\" is not a servo loop's recording")
    return recording
