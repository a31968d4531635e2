"""vantor.GripReader: a streaming grip read on a native thread that sleeps
while no frame is coming, instead of a Python thread that polls a core."""
import os
import weakref
from typing import Any, Callable, Dict, Optional, Union

import VantorHardwareAPI as api

from vantor import _native

_running: "weakref.WeakSet[GripReader]" = weakref.WeakSet()


class GripReader:
    """Reads a streaming grip's status frames, keeping the latest.

    handle_or_port: a port path, or a VantorHardwareAPI.Handle that the
    reader then uses; do not call that Handle yourself while it runs.
    wakeup: send the wake-up first. on_status(status): called from the
    reader's thread, with the interpreter lock taken, after each frame is
    stored. Frames are decoded by the library's own GetQuillonStatus.
    """

    def __init__(self, handle_or_port: Union[str, "api.Handle"], *, wakeup: bool = True,
                 on_status: Optional[Callable[[Dict[str, Any]], None]] = None, reconnect: bool = False,
                 reconnect_after_s: float = 1.0) -> None:
        if reconnect:
            raise NotImplementedError("reconnect=True is not available yet")
        if isinstance(handle_or_port, os.PathLike):
            handle_or_port = os.fspath(handle_or_port)
        self._native = _native.GripReader(handle_or_port, bool(wakeup), on_status)
        self.reconnect_after_s = reconnect_after_s

    def start(self) -> "GripReader":
        self._native.start()
        _running.add(self)
        return self

    def stop(self) -> None:
        self._native.stop()
        _running.discard(self)

    @property
    def running(self) -> bool:
        return bool(self._native.running)

    def __enter__(self) -> "GripReader":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        native = getattr(self, "_native", None)
        if native is not None:
            native.stop()

    def latest(self) -> Optional[Dict[str, Any]]:
        """The latest status (the keys of GetQuillonStatus, and age_s), or
        None before the first frame."""
        return self._native.latest()

    def stats(self) -> Dict[str, Any]:
        """frames_good, frames_bad, rate_hz, cpu_percent (of one core, the
        reader's own thread), reconnects, device_log_lines."""
        return self._native.stats()

    @property
    def error(self) -> Optional[BaseException]:
        """The last exception raised by on_status, or None."""
        return self._native.error
