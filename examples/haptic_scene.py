"""A bracket loaded from an STL file, touched through a proxy by vantor.ServoLoop
on a Talon arm: the hand presses the arm onto the bracket's base.

The mesh (examples/scenes/bracket.stl, an L-shaped bracket in mm) is placed
from where the arm is, its base 3 mm below it. The proxy is a point
that follows the arm but stops on the surface: the arm sinks below the
surface by its force over the stiffness, while the proxy stays on it, and
the force is stiffness x (proxy - arm). The hand also pushes a little
sideways, less than static friction holds, so the arm stays where it landed.
What pushes is the simulated arm's own hand (vantor-sim --hand push:...), or
yours on a real arm.

Without --talon the simulated arm is started.

Usage: python examples/haptic_scene.py [--seconds 5] [--rate 1000] [--talon PORT]
           [--save scene-run.npz] [--picture scene-run.png]
"""
import argparse
import contextlib
import os
import signal
import sys
import time
from pathlib import Path
from typing import Any, Dict, Iterator, Optional

import numpy as np

import VantorHardwareAPI as api
import vantor
from vantor import effects
from vantor.simulator import Simulator, find_simulator

BRACKET = Path(__file__).resolve().parent / "scenes" / "bracket.stl"
BASE_TOP = 0.006          # m: the base's top face in the file's frame (z = 6 mm)
TOUCH = (0.035, 0.020)    # m: where on the base (x, y in the file's frame) the arm comes down
GAP = 0.003               # m from the arm down to the base's top: the hand lands gently
# N/m: above the ~4,000 N/m a plain sampled loop holds still on the simulated
# arm at 1 kHz (vantor zwidth --simulate), so it runs the passivity controller.
STIFFNESS = 10_000.0
STATIC_FRICTION = 0.4     # holds up to 0.4 x the normal force along the surface
DYNAMIC_FRICTION = 0.3
HAND_DOWN = 2.0           # N down onto the base, from the simulated hand
HAND_ALONG = 0.3          # N along +x: within static friction (0.4 x 2 N), so no slide
FORCE_LIMIT = 5.0         # N


@contextlib.contextmanager
def arm_port(port: Optional[str]) -> Iterator[str]:
    """The port given, or a simulated arm's, its hand pushing as stated above."""
    if port is not None:
        yield port
        return
    if find_simulator() is None:
        sys.exit("vantor-sim not found: install the package (pip install .) first")
    simulator = Simulator("talon", "--hand", f"push:{HAND_ALONG},0,{-HAND_DOWN}")
    try:
        yield str(simulator.port)
    finally:
        simulator.stop()


def draw(recording: Any, path: str) -> str:
    """The picture's summary row: its path, or why there is none."""
    try:
        from vantor import plot
    except ImportError as e:
        if (e.name or "").split(".")[0] != "matplotlib":
            raise
        return 'none: matplotlib is not installed (pip install "VantorHardwareAPI[plot]")'
    plot.figure(recording, title="haptic scene: bracket.stl").savefig(path, dpi=120)
    return os.path.abspath(path)


def contact_figures(recording: Any, surface_z: float, rate: int) -> Dict[str, float]:
    """The arm and the proxy over the run's last half second, where both rest."""
    last = recording[-max(1, rate // 2):]
    position, proxy, force = last["position"], last["proxy"], last["force"]
    spring = STIFFNESS * (proxy - position)  # what the proxy's spring gives, before clamp and ramp
    held = np.isfinite(proxy).all(axis=1)
    return {
        "penetration_m": float(np.mean(surface_z - position[:, 2])),
        "proxy_above_m": float(np.mean(proxy[held, 2] - surface_z)) if held.any() else float("nan"),
        "proxy_gap_m": float(np.mean(np.linalg.norm(proxy[held] - position[held], axis=1)))
        if held.any() else float("nan"),
        "force_z": float(np.mean(force[:, 2])),
        "spring_off": float(np.max(np.linalg.norm(force[held] - spring[held], axis=1)))
        if held.any() else float("nan"),
        "slide_m": float(np.ptp(position[:, 0])) if len(position) else float("nan"),
    }


def run(seconds: float, rate: int, talon_port: Optional[str], save: Optional[str], picture: Optional[str]) -> None:
    with arm_port(talon_port) as port:
        talon = api.Talon(api.SerialStream(port))
        info = talon.device_wakeup_dict()
        print(f"arm {port}: model {info['device_model_number']}, id {info['device_id_ext']}")

        start, _ = talon.end_effector_force([0.0, 0.0, 0.0])
        bracket = effects.Mesh.from_file(BRACKET, scale=0.001, stiffness=STIFFNESS,
                                         static_friction=STATIC_FRICTION, dynamic_friction=DYNAMIC_FRICTION)
        surface_z = start[2] - GAP
        bracket.translation = (start[0] - TOUCH[0], start[1] - TOUCH[1], surface_z - BASE_TOP)
        print(f"mesh {BRACKET.name}: {bracket.triangle_count} triangles, the base's top {GAP * 1e3:g} mm"
              " below the arm")

        t0 = time.perf_counter()
        # passivity: each time the arm crosses into the surface the loop sees
        # it a cycle late, and at this stiffness that adds energy until the arm
        # rattles on the bracket; the controller damps exactly that energy back out.
        # ramp_s=0: the arm starts outside the bracket, where the mesh gives no
        # force, so there is nothing to ease in; a ramp would let the hand sink
        # the arm into the bracket while it lasted.
        with vantor.ServoLoop(talon, rate_hz=rate, force_limit=FORCE_LIMIT, ramp_s=0.0, passivity=True) as loop:
            loop.effect = bracket
            loop.record(int(seconds * rate * 1.1) + 100)
            while time.perf_counter() - t0 < seconds:
                time.sleep(0.25)
                state = loop.state()
                proxy = state["proxy"]
                depth = surface_z - state["position"][2]
                above = (proxy[2] - surface_z) if proxy is not None else float("nan")
                if loop.fault is not None:  # zero force until it ends, or until clear_fault()
                    print(f"\nno force: {loop.fault}")
                print(f"\rpenetration {max(depth, 0.0) * 1e3:6.3f} mm  proxy above the surface {above * 1e3:7.3f} mm"
                      f"  force {np.linalg.norm(state['force']):5.2f} N", end="", flush=True)
            stats = loop.stats()
            recording = loop.recording()

        saved = []
        if save:
            vantor.save_recording(save, recording)
            saved.append(("recording", os.path.abspath(save)))
        if picture:
            saved.append(("picture", draw(recording, picture)))
        figures = contact_figures(recording, surface_z, rate)
        acted = stats["passivity"]
        rows = [
            ("cycles", f"{len(recording)} at {stats['rate_hz']:.0f} Hz, {stats['late_cycles']} late"),
            ("penetration", f"{figures['penetration_m'] * 1e3:.3f} mm below the surface, over the last 0.5 s"
                            f" ({HAND_DOWN:g} N / {STIFFNESS:g} N/m = {HAND_DOWN / STIFFNESS * 1e3:.3f} mm)"),
            ("proxy height", f"{figures['proxy_above_m'] * 1e3:.3f} mm above the surface (on it: 0)"),
            ("proxy to arm", f"{figures['proxy_gap_m'] * 1e3:.3f} mm"),
            ("force up", f"{figures['force_z']:.3f} N (the hand pushes {HAND_DOWN:g} N down)"),
            ("force - spring", f"{figures['spring_off']:.3f} N at most: the force sent less"
                               " stiffness x (proxy - arm)"),
            ("slide", f"{figures['slide_m'] * 1e3:.3f} mm along x over the last 0.5 s ({HAND_ALONG:g} N sideways,"
                      f" static friction holds {STATIC_FRICTION * HAND_DOWN:g} N)"),
            ("passivity", f"damped in {acted['cycles']} cycles, took out {acted['energy_removed_j'] * 1e3:.3f} mJ"),
            ("faults", f"{stats['faults']}" + (f" (last: {stats['last_fault']['text']})" if stats["last_fault"] else "")),
        ]
        rows += saved
        print("\n")
        width = max(len(name) for name, _ in rows)
        print(f"{'summary':<{width}}  value")
        print(f"{'-' * width}  {'-' * 16}")
        for name, value in rows:
            print(f"{name:<{width}}  {value}")


def main() -> int:
    parser = argparse.ArgumentParser(description=" ".join((__doc__ or "").split("\n\n")[0].split()))
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rate", type=int, default=1000, help="loop rate in Hz (default 1000)")
    parser.add_argument("--talon", help="the arm's port (default: a simulated arm)")
    parser.add_argument("--save", help="write the run's recording here (.npz or .csv)")
    parser.add_argument("--picture", help="draw the run here (.png), when matplotlib is installed")
    args = parser.parse_args()
    try:
        run(args.seconds, args.rate, args.talon, args.save, args.picture)
    except KeyboardInterrupt:
        print("\ninterrupted")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    sys.exit(main())
