"""A MuJoCo world felt through a Talon arm: the arm drives a small sphere (the
tool) through vantor.physics.Coupling and pushes a box across a table.

The world (examples/scenes/table_box.xml) is placed from where the arm is:
the tool, resting on the table, starts at the arm, the box's near face 4 cm
along +x.
The arm feels the tool's spring at the servo loop's rate; the world is
stepped at 1 kHz on a thread of its own. What pushes is the simulated arm's
own hand (vantor-sim --hand spring:... pulling it along +x and back), or
yours on a real arm.

Without --talon the simulated arm is started.

Usage: python examples/haptic_physics.py [--seconds 4] [--talon PORT] [--picture physics-run.png]
"""
import argparse
import contextlib
import os
import signal
import sys
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional

import numpy as np

import VantorHardwareAPI as api
import vantor
from vantor.simulator import Simulator, find_simulator

SCENE = Path(__file__).resolve().parent / "scenes" / "table_box.xml"
TOOL = "tool"
TOOL_START = (0.0, 0.0, 0.01)   # m in the world: where the scene puts the tool, on the table
SIM_REST = (-0.2707, 0.0245, 0.1864)  # m: the simulated arm's rest position (vantor-sim --help)
HAND_REACH = 0.08         # m along +x: the simulated hand takes the arm this far and back
HAND_STIFFNESS = 100.0    # N/m: the hand's grip on the arm
FORCE_LIMIT = 5.0         # N


@contextlib.contextmanager
def arm_port(port: Optional[str], seconds: float) -> Iterator[str]:
    """The port given, or a simulated arm's, its hand going out along +x and back over the run."""
    if port is not None:
        yield port
        return
    if find_simulator() is None:
        sys.exit("vantor-sim not found: install the package (pip install .) first")
    far = (SIM_REST[0] + HAND_REACH, SIM_REST[1], SIM_REST[2])
    simulator = Simulator("talon", "--hand", f"spring:{HAND_STIFFNESS:g},2", "--target",
                          f"line:{','.join(map(str, SIM_REST))}:{','.join(map(str, far))}:{2 * seconds:g}")
    try:
        yield str(simulator.port)
    finally:
        simulator.stop()


def draw(samples: Dict[str, List[float]], path: str) -> str:
    """The run's picture: box travel, coupling force, tool lag. Its path, or why there is none."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return 'none: matplotlib is not installed (pip install "VantorHardwareAPI[plot]")'
    t = np.array(samples["t"])
    figure, axes = plt.subplots(3, 1, sharex=True, figsize=(7, 6))
    axes[0].plot(t, np.array(samples["box"]) * 1e3, label="box")
    axes[0].plot(t, np.array(samples["arm"]) * 1e3, label="arm (in the world)", alpha=0.7)
    axes[0].set_ylabel("x (mm)")
    axes[0].legend(loc="upper left")
    axes[1].plot(t, samples["force"])
    axes[1].set_ylabel("coupling force (N)")
    axes[2].plot(t, np.array(samples["lag"]) * 1e3)
    axes[2].set_ylabel("tool lag (mm)")
    axes[2].set_xlabel("world time (s)")
    figure.suptitle("haptic physics: the arm pushes a box across a table (table_box.xml)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    return os.path.abspath(path)


def run(seconds: float, talon_port: Optional[str], picture: Optional[str]) -> None:
    from vantor import physics  # needs the extra: pip install 'VantorHardwareAPI[physics]'

    with arm_port(talon_port, seconds) as port:
        talon = api.Talon(api.SerialStream(port))
        info = talon.device_wakeup_dict()
        print(f"arm {port}: model {info['device_model_number']}, id {info['device_id_ext']}")

        start, _ = talon.end_effector_force([0.0, 0.0, 0.0])
        offset = np.array(TOOL_START) - np.array(start)  # the tool starts at the arm
        samples: Dict[str, List[float]] = {"t": [], "box": [], "arm": [], "force": [], "lag": []}
        with vantor.ServoLoop(talon, force_limit=FORCE_LIMIT) as loop, \
                physics.Coupling(loop, str(SCENE), body=TOOL, offset=offset) as coupling:
            print(f"world {SCENE.name}: the tool at the arm, the box's near face 4 cm along +x; force at most {FORCE_LIMIT:g} N")
            box0 = coupling.snapshot()["bodies"]["box"]["position"][0]
            t0 = time.perf_counter()
            while time.perf_counter() - t0 < seconds:
                time.sleep(0.01)
                snap = coupling.snapshot()
                box = snap["bodies"]["box"]["position"][0] - box0
                samples["t"].append(snap["time"])
                samples["box"].append(box)
                samples["arm"].append(snap["arm"][0])
                samples["force"].append(float(np.linalg.norm(snap["force"])))
                samples["lag"].append(float(np.linalg.norm(np.subtract(snap["arm"], snap["tool"]))))
                if loop.fault is not None:  # zero force; the coupling has let go
                    print(f"\nno force: {loop.fault}")
                    break
                if len(samples["t"]) % 25 == 0:
                    print(f"\rbox moved {box * 1e3:6.1f} mm  coupling force {samples['force'][-1]:5.2f} N",
                          end="", flush=True)
            figures = coupling.stats()
            stats = loop.stats()

        travel = samples["box"][-1] if samples["box"] else float("nan")
        rows = [
            ("box travel", f"{travel * 1e3:.1f} mm along +x (the hand reaches {HAND_REACH * 1e3:g} mm)"),
            ("physics", f"{figures['rate_hz']:.0f} Hz of {figures['target_hz']:.0f}, {figures['steps']} steps,"
                        f" {figures['dropped_periods']} periods dropped"),
            ("step time", f"{figures['step_p50_s'] * 1e6:.0f} us median, {figures['step_p99_s'] * 1e6:.0f} us p99"),
            ("coupling force", f"{figures['force_p99_n']:.2f} N p99 (capped at {FORCE_LIMIT:g} N)"),
            ("tool lag", f"{figures['lag_p50_m'] * 1e3:.2f} mm median, {figures['lag_p99_m'] * 1e3:.2f} mm p99"),
            ("loop", f"{stats['cycles']} cycles at {stats['rate_hz']:.0f} Hz, {stats['late_cycles']} late,"
                     f" {stats['faults']} faults"),
        ]
        if picture:
            rows.append(("picture", draw(samples, picture)))
        print("\n")
        width = max(len(name) for name, _ in rows)
        print(f"{'summary':<{width}}  value")
        print(f"{'-' * width}  {'-' * 16}")
        for name, value in rows:
            print(f"{name:<{width}}  {value}")


def main() -> int:
    parser = argparse.ArgumentParser(description=" ".join((__doc__ or "").split("\n\n")[0].split()))
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--talon", help="the arm's port (default: a simulated arm)")
    parser.add_argument("--picture", help="draw the run here (.png), when matplotlib is installed")
    args = parser.parse_args()
    try:
        run(args.seconds, args.talon, args.picture)
    except KeyboardInterrupt:
        print("\ninterrupted")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    sys.exit(main())
