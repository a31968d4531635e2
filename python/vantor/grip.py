"""vantor.GripReader: a streaming grip read on a native thread that sleeps
while no frame is coming, instead of a Python thread that polls a core."""
import os
from typing import Any, Callable, Dict, Optional, Union

import VantorHardwareAPI as api

from vantor import _native
from vantor._native_thread import NativeThread


class GripReader(NativeThread):
    """Reads a streaming grip's status frames, keeping the latest.

    handle_or_port: a port path, or a VantorHardwareAPI.Handle that the
    reader then uses; do not call that Handle yourself while it runs.
    wakeup: send the wake-up first. on_status(status): called from the
    reader's thread, with the interpreter lock taken, after each frame is
    stored. Frames are decoded by the library's own GetQuillonStatus.

    reconnect: when the line hangs up or no frame has come for
    ``reconnect_after_s``, the reader closes the port, waits for its path to
    come back, wakes the grip and, if its frames carry the same device_id,
    reads it again. Another grip is not adopted: ``fault`` says so.
    """

    def __init__(self, handle_or_port: Union[str, "api.Handle"], *, wakeup: bool = True,
                 on_status: Optional[Callable[[Dict[str, Any]], None]] = None, reconnect: bool = False,
                 reconnect_after_s: float = 1.0) -> None:
        if isinstance(handle_or_port, os.PathLike):
            handle_or_port = os.fspath(handle_or_port)
        self._native = _native.GripReader(handle_or_port, bool(wakeup), on_status, bool(reconnect),
                                          float(reconnect_after_s))

    def latest(self) -> Optional[Dict[str, Any]]:
        """The latest status (the keys of GetQuillonStatus, and age_s), or
        None before the first frame."""
        return self._native.latest()

    def stats(self) -> Dict[str, Any]:
        """frames_good, frames_bad, rate_hz, cpu_percent (of one core, the
        reader's own thread), reconnects, device_log_lines."""
        return self._native.stats()

    @property
    def connected(self) -> bool:
        """Whether the grip's line is up (False while it is waited for)."""
        return bool(self._native.connected)

    @property
    def fault(self) -> Optional[str]:
        """Why the grip is not read (another grip on the port), or None."""
        return self._native.fault

    @property
    def error(self) -> Optional[BaseException]:
        """The last exception raised by on_status, or None."""
        return self._native.error
