"""Where the library's "[err]" lines go: standard error by default."""
import atexit
import logging
from typing import Optional

from vantor import _native


def route_device_log(logger: Optional[logging.Logger]) -> None:
    """Sends each [err] line of the library to a logger at level WARNING,
    its text unchanged. restore_device_log() undoes it.

    logger: where the lines go; None silences them.
    """
    _native.route_device_log(logger)


def restore_device_log() -> None:
    """Lines go to standard error again, as they did at start."""
    _native.route_device_log(False)


# No line may reach Python once the interpreter is going away.
atexit.register(restore_device_log)
