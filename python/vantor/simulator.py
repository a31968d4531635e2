"""vantor-sim, the project's simulated Talon arm and Handle grip, started and
stopped from Python:

    with vantor.simulator.simulated("talon") as port:
        talon = VantorHardwareAPI.Talon(VantorHardwareAPI.SerialStream(port))

The simulator plays the device on a pseudo-terminal whose path it prints; it
ends when its standard input closes, which stop() does first.
"""
import contextlib
import os
import shutil
import subprocess
import sys
from typing import Iterator, Optional

__all__ = ["simulated", "Simulator", "find_simulator"]

def find_simulator() -> Optional[str]:
    """vantor-sim beside this interpreter (a virtual environment's), else on PATH."""
    beside = os.path.join(os.path.dirname(sys.executable), "vantor-sim")
    return beside if os.access(beside, os.X_OK) else shutil.which("vantor-sim")


class Simulator:
    """One simulator process: Simulator("handle", "--stream", "100").port.

    Its ``port`` is the path of the terminal it plays the device on.

    args: the device, talon or handle, then the simulator's options
    (vantor-sim --help).

    executable: another simulator binary (a build tree's, or any program that
    prints its port path and ends when its input closes); None: find_simulator().
    """

    def __init__(self, *args: str, executable: Optional[str] = None) -> None:
        program = executable or find_simulator()
        if program is None:
            raise FileNotFoundError("vantor-sim not found: install the package (pip install .)")
        self.process = subprocess.Popen([program, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, start_new_session=True)
        assert self.process.stdout is not None
        self.port = self.process.stdout.readline().strip()
        if not self.port:
            self.stop()
            raise RuntimeError(f"{program} {' '.join(args)} printed no port")

    @property
    def pid(self) -> int:
        """The simulator's process id."""
        return self.process.pid

    def stop(self) -> None:
        """Closes its input and waits; terminates it if it does not end."""
        if self.process.poll() is not None:
            self._close_output()
            return
        try:
            if self.process.stdin is not None:
                self.process.stdin.close()
            self.process.wait(timeout=3)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            try:
                self.process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._close_output()

    def _close_output(self) -> None:
        for pipe in (self.process.stdin, self.process.stdout):
            if pipe is not None and not pipe.closed:
                pipe.close()

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()


@contextlib.contextmanager
def simulated(*args: str, executable: Optional[str] = None) -> Iterator[str]:
    """Starts a simulator for the block and yields its port path.

    args: the device, talon or handle, then the simulator's options.

    executable: another simulator binary; None: find_simulator().
    """
    with Simulator(*args, executable=executable) as simulator:
        yield simulator.port
