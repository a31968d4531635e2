"""vantor.GripReader: a streaming grip read on a native thread that sleeps
while no frame is coming, instead of a Python thread that polls a core."""
import os
from typing import Callable, List, Optional, TypedDict, Union

import VantorHardwareAPI as api

from vantor import _native
from vantor._native_thread import NativeThread


# What latest() and stats() give. Each docstring says every key, with its
# unit: the API reference is generated from them.
class GripStatus(TypedDict):
    """A grip's status, as GripReader.latest() and on_status give it: the
    keys of VantorHardwareAPI.Handle.GetQuillonStatus(), and age_s.

    device_id: the low 8 bits of the grip's id, from its frame.
    quaternion: the grip's orientation, four components in the order it sends them.
    error_flag: the flag the grip sent with the frame (docs/wire-formats.md).
    hall_effect_sensor_level: a level without a unit, 0 to 31.
    buttons: a bit mask, three bits, so 0 to 7 (docs/units-and-frames.md).
    battery_level: the battery's level, 3.0 to 4.275 V.
    age_s: how long ago its frame reached the port, in s.
    """

    device_id: int
    quaternion: List[float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float
    age_s: float


class GripStats(TypedDict):
    """The reading so far, as GripReader.stats() gives it.

    frames_good: the frames decoded.
    frames_bad: the frames that could not be decoded.
    rate_hz: good frames a second since start, in Hz.
    cpu_percent: the reader's own thread's use of one core, in %.
    reconnects: how many times the grip was read again after it had gone.
    device_log_lines: the library's [err] lines written by the reader's thread.
    callbacks_skipped: the frames on_status never saw because it was busy, or
    because stop() gave up waiting for it.
    faults: the faults said since the reader was made (fault is the one in
    force).
    """

    frames_good: int
    frames_bad: int
    rate_hz: float
    cpu_percent: float
    reconnects: int
    device_log_lines: int
    callbacks_skipped: int
    faults: int


class GripReader(NativeThread):
    """Reads a streaming grip's status frames, keeping the latest.

    Frames are decoded by the library's own frame reader; one the grip
    flagged (error_flag 1) is delivered with its flag.

    handle_or_port: a port path, or a VantorHardwareAPI.Handle that the
    reader then reads; while it runs, that Handle's own calls raise
    RuntimeError.

    wakeup: send the wake-up first.

    on_status(status): called with each status, in order, on a thread of its
    own (with the interpreter lock taken), so a slow callback never holds the
    reading up: frames that come while it runs are stored and counted, and
    when more than a few wait for it the oldest are skipped
    (stats()["callbacks_skipped"]); status["age_s"] says how old each is.
    stop() gives it what is queued for at most 1 s, then drops the rest
    (counted in callbacks_skipped) and returns without waiting for a call
    still running; Ctrl-C ends that wait with KeyboardInterrupt.

    reconnect: the reader asks the grip who it is (its whole device id, in
    the answer to the wake-up, so it needs wakeup) before it reads. When the
    line hangs up or no frame has come for ``reconnect_after_s``, it closes
    the port, waits for its path to come back, wakes the grip and, if it
    answers with the same id, reads it again. While it is gone, ``fault``
    says so ("the grip's line hung up ...", or no frames for
    ``reconnect_after_s``) and stats()["faults"] counts it; the fault ends
    when the same grip is back. Another grip is not adopted: ``fault`` says
    so.

    reconnect_after_s: with reconnect, how long the grip may send no frame
    before it counts as gone, in s.
    """

    def __init__(self, handle_or_port: Union[str, "os.PathLike[str]", "api.Handle"], *, wakeup: bool = True,
                 on_status: Optional[Callable[[GripStatus], object]] = None, reconnect: bool = False,
                 reconnect_after_s: float = 1.0) -> None:
        # The settings go to the native reader as they are: typed and checked
        # there, as the servo loop's are.
        if isinstance(handle_or_port, os.PathLike):
            handle_or_port = os.fspath(handle_or_port)
        self._native: _native.GripReader = _native.GripReader(
            handle_or_port, wakeup=wakeup, on_status=on_status, reconnect=reconnect,
            reconnect_after_s=reconnect_after_s)

    def latest(self) -> Optional[GripStatus]:
        """The latest status (the keys of GetQuillonStatus, and age_s: how
        long ago its frame reached the port; GripStatus says each), or None
        before the first frame."""
        return self._native.latest()

    def stats(self) -> GripStats:
        """frames_good, frames_bad, rate_hz, cpu_percent (of one core, the
        reader's own thread), reconnects, device_log_lines, callbacks_skipped,
        faults (GripStats says each with its unit)."""
        return self._native.stats()

    @property
    def connected(self) -> bool:
        """Whether the grip's line is up (False while it is waited for)."""
        return self._native.connected

    @property
    def fault(self) -> Optional[str]:
        """Why the grip is not read (its line hung up, another grip on the
        port, no frames), or None."""
        return self._native.fault

    @property
    def error(self) -> Optional[BaseException]:
        """The last exception raised by on_status, or None."""
        return self._native.error
