import os
import select
import time
import tty

import pytest

from vantor.simulator import Simulator, find_simulator


class PtyDevice:
    """A pseudo-terminal whose master side plays the device."""

    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.ttyname(slave)
        os.close(slave)

    def send(self, data: bytes):
        os.write(self.master, bytes(data))

    def read(self, n: int, wait: float = 1.0) -> bytes:
        """Reads until n bytes have come or `wait` seconds have passed."""
        out = b""
        end = time.monotonic() + wait
        while len(out) < n:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            try:
                chunk = os.read(self.master, n - len(out))
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        return out

    def read_all(self, wait: float = 0.1) -> bytes:
        return self.read(1 << 20, wait)

    def close(self):
        if self.master >= 0:
            os.close(self.master)
            self.master = -1


class DeviceOnPty:
    """A library device on a pseudo-terminal, with the test playing the peer."""

    def __init__(self, pty):
        self.pty = pty

    def reply(self, data):
        self.pty.send(data)

    def written(self, expected_length=0):
        """What the library wrote: the expected bytes, plus anything extra."""
        data = self.pty.read(expected_length, wait=2.0) if expected_length else b""
        return data + self.pty.read_all(wait=0.05)


@pytest.fixture
def pty_device():
    device = PtyDevice()
    yield device
    device.close()


@pytest.fixture
def simulator():
    """Starts vantor-sim with the given arguments; returns its port path."""
    if find_simulator() is None:
        pytest.skip("vantor-sim is not installed")
    started = []

    def start(*args):
        started.append(Simulator(*args))
        return started[-1].port

    start.simulators = started  # to unplug one: kill its process
    yield start
    for simulator in started:
        simulator.stop()
