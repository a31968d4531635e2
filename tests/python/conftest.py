import math
import os
import select
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
import tty

import pytest

from vantor.simulator import Simulator, find_simulator

# A suite started in the background inherits Ctrl-C ignored, and so would
# every child the Ctrl-C tests interrupt: a handled signal is reset to the
# default in a child, an ignored one is not.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


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


def wait_for(condition, timeout=5.0):
    """Polls until condition() holds; a loop's or reader's pace depends on the machine."""
    end = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.002)


def run_child(code, *args, timeout=30.0):
    """Runs code in a new interpreter; a hang is a failure, not a stuck suite."""
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child process hung for {timeout} s")


class ArmPeer:
    """A Talon on a pseudo-terminal that keeps every force it receives.

    Answers every force request (42 + three floats) with a state reply (43 +
    position, velocity), and every wake-up (10) with its device information
    (identifier `uuid`, 16 bytes), unless told to be silent or to ignore
    wake-ups. `forces` holds the forces received, `times` when each came."""

    def __init__(self, pty, position=(0.0, 0.0, 0.1), velocity=(0.0, 0.0, 0.0), uuid=bytes(range(16, 32)),
                 wakeups=True):
        self.pty = pty
        self.position = position
        self.velocity = velocity
        self.uuid = uuid
        self.wakeups = wakeups
        self.forces = []
        self.times = []
        self.silent = False
        self.delay = 0.0  # s before each state reply
        self.stopped = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        pending = b""
        while not self.stopped:
            if not select.select([self.pty.master], [], [], 0.01)[0]:
                continue
            try:
                pending += os.read(self.pty.master, 4096)
            except OSError:
                time.sleep(0.0005)  # no client at the moment
                continue
            while pending:
                code = pending[0]
                if code == 10:
                    pending = pending[1:]
                    if self.wakeups and not self.silent:
                        self._send(bytes([11, 2, 1, 4, 1, 8]) + self.uuid)
                    continue
                if code != 42:
                    pending = pending[1:]
                    continue
                if len(pending) < 13:
                    break
                request, pending = pending[1:13], pending[13:]
                self.times.append(time.monotonic())
                self.forces.append(struct.unpack("<3f", request))
                self._react(self.forces[-1])
                if self.delay:
                    time.sleep(self.delay)
                if not self.silent:
                    self._send(bytes([43]) + struct.pack("<6f", *self.position, *self.velocity))

    def _react(self, force):
        """What the arm does with a force before it answers: here, nothing."""

    def _send(self, data):
        try:
            os.write(self.pty.master, data)
        except OSError:
            pass  # the host hung up meanwhile

    def settle(self, wait=0.2):
        """Stops serving once nothing more has come for `wait` seconds."""
        count = -1
        while count != len(self.forces):
            count = len(self.forces)
            time.sleep(wait)
        self.stopped = True
        self.thread.join()
        return self.forces


class DynamicArm(ArmPeer):
    """An ArmPeer that moves: a point mass with viscous damping and a steady
    hand push, the way a hand rests on a real arm.

    Each force request received advances it by exactly one loop period of
    simulated time, holding that force, and the reply gives where it then is
    (as the simulator does), so its motion does not depend on the machine's
    pace: the same forces give the same path. The period is integrated in
    closed form, exact for a constant force. `forces` holds every force
    received, `positions` the position after each."""

    def __init__(self, pty, period=0.001, mass=0.2, damping=2.0, push=(0.0, 0.0, 0.0),
                 position=(0.0, 0.0, 0.0), velocity=(0.0, 0.0, 0.0)):
        self.period = period
        self.mass = mass
        self.damping = damping
        self.push = tuple(push)
        self.positions = []
        self._decay = math.exp(-damping * period / mass)
        super().__init__(pty, position=tuple(position), velocity=tuple(velocity))

    def _react(self, force):
        position, velocity = [], []
        for x, v, f, h in zip(self.position, self.velocity, force, self.push):
            terminal = (f + h) / self.damping  # the speed the force would settle at
            position.append(x + terminal * self.period + (v - terminal) * self.mass / self.damping * (1 - self._decay))
            velocity.append(terminal + (v - terminal) * self._decay)
        self.position, self.velocity = tuple(position), tuple(velocity)
        self.positions.append(self.position)

    def simulated_s(self):
        """The simulated time so far: a period per force received."""
        return len(self.forces) * self.period

    def peak_to_peak(self, last_s, axis=2):
        """Peak to peak of the position on axis over the last last_s of simulated time, in m."""
        values = [p[axis] for p in self.positions[-max(1, round(last_s / self.period)):]]
        return max(values) - min(values)


@pytest.fixture
def pty_device():
    device = PtyDevice()
    yield device
    device.close()


@pytest.fixture
def peer(pty_device):
    """An ArmPeer on pty_device, stopped after the test."""
    peer = ArmPeer(pty_device)
    yield peer
    peer.stopped = True


def servo(port, *args, **kwargs):
    """A ServoLoop with a deadline a Python peer meets even on a busy machine;
    the tests of the deadline itself set their own."""
    import vantor

    kwargs.setdefault("exchange_deadline_ms", 1000.0)
    return vantor.ServoLoop(port, *args, **kwargs)


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
