import os
import select
import shutil
import subprocess
import sys
import time
import tty

import pytest


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


def simulator_path():
    here = os.path.join(os.path.dirname(sys.executable), "vantor-sim")
    return here if os.access(here, os.X_OK) else shutil.which("vantor-sim")


@pytest.fixture
def simulator():
    """Starts vantor-sim with the given arguments; returns its port path."""
    path = simulator_path()
    if path is None:
        pytest.skip("vantor-sim is not installed")
    started = []

    def start(*args):
        process = subprocess.Popen([path, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        started.append(process)
        return process.stdout.readline().strip()

    yield start
    for process in started:
        process.stdin.close()  # the simulator ends when its input closes
        process.wait(timeout=5)
