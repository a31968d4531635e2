"""A virtual wall rendered at 1 kHz by vantor.ServoLoop on a Talon arm, with
the grip's status read beside it.

The wall is a plane on the y axis that pushes back once the end effector
passes it, an effect computed natively every cycle: Python only starts the
loop and reads its figures. It is stiffer than a plain sampled loop can hold
still on the simulated arm (vantor zwidth --simulate finds at most about
4,000 N/m there), so the loop runs its passivity controller, which keeps it
still (docs/stable-contact.md). What pushes the arm into it is a hand: the
simulated arm's own (vantor-sim --hand push:...), or yours on a real arm.
The grip is read by vantor.GripReader, a native thread that sleeps while no
frame is coming.

Without --talon and --handle the simulated devices are started.

Usage: python examples/haptic_wall.py [--seconds 5] [--rate 1000]
           [--talon PORT] [--handle PORT] [--save demo-run.npz] [--picture demo-run.png]
"""
import argparse
import contextlib
import os
import signal
import sys
import time
from typing import Any, Dict, Iterator, Mapping, Optional

import numpy as np

import VantorHardwareAPI as api
import vantor
from vantor import effects
from vantor.simulator import Simulator, find_simulator

WALL_OFFSET = 0.02    # m beyond the starting point
STIFFNESS = 20_000.0  # N/m: rattles without the passivity controller
DAMPING = 0.0         # N s/m: none, so the controller alone keeps the stiff wall still
HAND_FORCE = 0.5      # N towards the wall, from the simulated hand
FORCE_LIMIT = 5.0     # N
EXCHANGE_DEADLINE_MS = 5.0  # a slower exchange is counted, not a fault


@contextlib.contextmanager
def ports(talon_port: Optional[str], handle_port: Optional[str]) -> Iterator[Dict[str, str]]:
    """The ports given, or simulated devices for those not given."""
    started = []
    try:
        found = {"talon": talon_port, "handle": handle_port}
        hand = ("--hand", f"push:0,{HAND_FORCE},0")
        for kind, args in (("talon", hand), ("handle", ("--stream", "100"))):
            if found[kind] is None:
                if find_simulator() is None:
                    sys.exit("vantor-sim not found: install the package (pip install .) first")
                started.append(Simulator(kind, *args))
                found[kind] = started[-1].port
        yield {kind: str(port) for kind, port in found.items()}
    finally:
        for simulator in started:
            simulator.stop()


def draw(recording: Any, path: str) -> str:
    """The picture's summary row: its path, or why there is none."""
    try:
        from vantor import plot
    except ImportError as e:
        if (e.name or "").split(".")[0] != "matplotlib":
            raise
        return 'none: matplotlib is not installed (pip install "VantorHardwareAPI[plot]")'
    plot.figure(recording, title="haptic wall").savefig(path, dpi=120)
    return os.path.abspath(path)


def recorded(recording: Any) -> Dict[str, float]:
    """The run's figures as the picture's title and histogram give them
    (vantor.plot.figure), from the same recording, so the summary and the
    picture agree."""
    t = recording["t"]
    span = float(t[-1] - t[0]) if len(t) else 0.0
    exchange = recording["exchange_us"]
    exchange = exchange[np.isfinite(exchange) & (exchange > 0)]  # a failed exchange has no latency
    return {
        "cycles": len(t),
        "span_s": span,
        "rate_hz": (len(t) - 1) / span if span > 0 else 0.0,
        "late": int(np.count_nonzero(recording["late"])),
        "fault_cycles": int(np.count_nonzero(recording["fault"])),
        "exchange_p50": float(np.percentile(exchange, 50)) if len(exchange) else float("nan"),
        "exchange_p99": float(np.percentile(exchange, 99)) if len(exchange) else float("nan"),
    }


def wall_figures(recording: Any, rate: int) -> Dict[str, float]:
    """How still the arm is on the wall over the run's last half second, and
    the energy the hand put into it (below 0: made by the loop)."""
    across = recording["position"][-max(1, rate // 2):, 1]  # the wall's normal is y
    energy = recording["energy"]
    return {
        "peak_to_peak_m": float(across.max() - across.min()) if len(across) else float("nan"),
        "energy_j": float(energy[-1]) if len(energy) else float("nan"),
        "energy_min_j": float(energy.min()) if len(energy) else float("nan"),
    }


def run(seconds: float, rate: int, talon_port: Optional[str], handle_port: Optional[str],
        save: Optional[str], picture: Optional[str]) -> None:
    with ports(talon_port, handle_port) as port:
        arm_stream, grip_stream = api.SerialStream(port["talon"]), api.SerialStream(port["handle"])
        talon, handle = api.Talon(arm_stream), api.Handle(grip_stream)
        info = talon.device_wakeup_dict()
        print(f"arm  {port['talon']}: model {info['device_model_number']}, id {info['device_id_ext']}")
        print(f"grip {port['handle']}: read by a native thread that sleeps between frames")

        start, _ = talon.end_effector_force([0.0, 0.0, 0.0])
        wall = effects.Plane(point=(0.0, start[1] + WALL_OFFSET, 0.0), normal=(0.0, -1.0, 0.0),
                             stiffness=STIFFNESS, damping=DAMPING)
        reader = vantor.GripReader(handle, wakeup=True).start()

        penetrations = []
        cpu0, t0 = time.process_time(), time.perf_counter()
        with vantor.ServoLoop(talon, rate_hz=rate, force_limit=FORCE_LIMIT,
                              exchange_deadline_ms=EXCHANGE_DEADLINE_MS, passivity=True) as loop:
            loop.effect = wall
            loop.record(int(seconds * rate * 1.1) + 100)
            while (elapsed := time.perf_counter() - t0) < seconds:
                time.sleep(0.25)
                state, stats = loop.state(), loop.stats()
                penetration = wall.penetration(state["position"])
                penetrations.append(penetration)
                if loop.fault is not None:  # zero force until it ends, or until clear_fault()
                    print(f"\nno force: {loop.fault}")
                grip: Mapping[str, object] = reader.latest() or {}  # {} before the first frame
                cpu = (time.process_time() - cpu0) / (time.perf_counter() - t0) * 100
                print(f"\r{stats['rate_hz']:6.0f} Hz  late {stats['late_cycles']:4d}"
                      f"  jitter p99 {stats['jitter_us']['p99']:6.0f} us"
                      f"  exchange p99 {stats['exchange_us']['p99']:5.0f} us"
                      f"  penetration {penetration * 1e3:5.2f} mm  buttons {grip.get('buttons', '-')}"
                      f"  battery {grip.get('battery_level', 0):.3f} V  cpu {cpu:3.0f}%", end="", flush=True)
            stats = loop.stats()
            recording = loop.recording()
        elapsed = time.perf_counter() - t0
        cpu = (time.process_time() - cpu0) / elapsed * 100
        grip_stats = reader.stats()
        grip = reader.latest() or {}
        reader.stop()

        saved = []
        if save:
            vantor.save_recording(save, recording)
            saved.append(("recording", os.path.abspath(save)))
        if picture:
            saved.append(("picture", draw(recording, picture)))
        # The recorded cycles, which the picture draws: the recording starts
        # once the wall is set, a few cycles after the loop.
        run_figures = recorded(recording)
        wall_run = wall_figures(recording, rate)
        acted = stats["passivity"]
        rows = [
            ("cycles", f"{run_figures['cycles']} over {run_figures['span_s']:.2f} s"),
            ("loop rate", f"{run_figures['rate_hz']:.0f} Hz"),
            ("late cycles", f"{run_figures['late']} ({run_figures['late'] / max(run_figures['cycles'], 1):.2%};"
                            " goal 0.3% or less)"),
            ("jitter p50", f"{stats['jitter_us']['p50']:.1f} us"),
            ("jitter p99", f"{stats['jitter_us']['p99']:.0f} us"),
            ("jitter max", f"{stats['jitter_us']['max']:.0f} us"),
            ("exchange p50", f"{run_figures['exchange_p50']:.0f} us"),
            ("exchange p99", f"{run_figures['exchange_p99']:.0f} us (goal 250 us or less; make bench sets it beside"
                             " the bare-syscall exchange, README)"),
            ("exchange max", f"{stats['exchange_us']['max']:.0f} us"),
            ("penetration max", f"{max(penetrations, default=0.0) * 1e3:.2f} mm"),
            ("wall peak to peak", f"{wall_run['peak_to_peak_m'] * 1e3:.3f} mm over the last 0.5 s"
                                  f" ({STIFFNESS:g} N/m; still: 0.2 mm or less)"),
            ("energy", f"{wall_run['energy_j'] * 1e3:.3f} mJ put in by the hand, lowest"
                       f" {wall_run['energy_min_j'] * 1e3:.3f} mJ (below 0: made by the loop)"),
            ("passivity", f"damped in {acted['cycles']} cycles, took out {acted['energy_removed_j'] * 1e3:.3f} mJ,"
                          f" at most {acted['max_damping']:.1f} N s/m"),
            ("slow exchanges", f"{stats['slow_exchanges']} (over {EXCHANGE_DEADLINE_MS:g} ms)"),
            ("fault cycles", f"{run_figures['fault_cycles']} (zero force)"),
            ("faults", f"{stats['faults']}" + (f" (last: {stats['last_fault']['text']})" if stats["last_fault"] else "")),
            ("grip frames", f"{grip_stats['frames_good']} good, {grip_stats['frames_bad']} bad"),
            ("grip reader CPU", f"{grip_stats['cpu_percent']:.1f}% of a core"),
            ("buttons (last)", f"{grip.get('buttons', '-')}"),
            ("battery (last)", f"{grip.get('battery_level', 0):.3f} V"),
            ("process CPU", f"{cpu:.0f}% of a core (the loop and the grip reader)"),
        ]
        rows += saved
        print("\n")
        width = max(len(name) for name, _ in rows)
        print(f"{'summary':<{width}}  value")
        print(f"{'-' * width}  {'-' * 16}")
        for name, value in rows:
            print(f"{name:<{width}}  {value}")


def main() -> int:
    # The docstring's first paragraph, whole.
    parser = argparse.ArgumentParser(description=" ".join((__doc__ or "").split("\n\n")[0].split()))
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rate", type=int, default=1000, help="loop rate in Hz (default 1000)")
    parser.add_argument("--talon", help="the arm's port (default: a simulated arm)")
    parser.add_argument("--handle", help="the grip's port (default: a simulated grip)")
    parser.add_argument("--save", help="write the run's recording here (.npz or .csv)")
    parser.add_argument("--picture", help="draw the run here (.png), when matplotlib is installed")
    args = parser.parse_args()
    try:
        run(args.seconds, args.rate, args.talon, args.handle, args.save, args.picture)
    except KeyboardInterrupt:
        print("\ninterrupted")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    sys.exit(main())
