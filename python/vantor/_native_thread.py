"""The life of an object whose native part runs a thread of its own."""
import atexit
import weakref
from typing import Any, TypeVar

T = TypeVar("T", bound="NativeThread")

# Threads still running at interpreter exit are stopped first (a servo loop
# then sends zero force), before the interpreter ends them itself.
_running: "weakref.WeakSet[NativeThread]" = weakref.WeakSet()


@atexit.register
def _stop_all() -> None:
    for runner in list(_running):
        runner.stop()


class NativeThread:
    """start(), stop(), running, and a with block; garbage collection stops it too."""

    _native: Any

    def start(self: T) -> T:
        """Starts the thread; returns the object itself."""
        self._native.start()
        _running.add(self)
        return self

    def stop(self) -> None:
        """Stops the thread and waits for it to end."""
        self._native.stop()
        _running.discard(self)

    @property
    def running(self) -> bool:
        """Whether the thread runs."""
        return bool(self._native.running)

    def __enter__(self: T) -> T:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        native = getattr(self, "_native", None)
        if native is not None:
            native.stop()
