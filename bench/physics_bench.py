"""A MuJoCo world coupled to a 1 kHz loop on vantor-sim: the rate physics
holds and its step time with the small scene, and the loop's late cycles
with the coupling beside those of the same loop without it.

Each round runs the loop alone (the floor) and the loop with a Coupling to
examples/scenes/table_box.xml, the tool resting on the table at the arm, for
--seconds each. The late share with the coupling is given as a ratio to the
loop's alone in the same round, the physics rate as a ratio to its target;
medians over rounds.

    .venv/bin/python bench/physics_bench.py [--rounds 3] [--seconds 3]
"""
import argparse
import json
import statistics
import time
from pathlib import Path

import numpy as np

import vantor
from vantor import physics
from vantor.simulator import Simulator

SCENE = Path(__file__).resolve().parents[1] / "examples" / "scenes" / "table_box.xml"
RATE_HZ = 1000.0


def run(port, coupled, seconds):
    with vantor.ServoLoop(port, rate_hz=RATE_HZ, force_limit=4.0, realtime=False) as loop:
        time.sleep(0.05)
        figures = {}
        if coupled:
            offset = np.array([0.0, 0.0, 0.01]) - np.array(loop.state()["position"])
            coupling = physics.Coupling(loop, str(SCENE), body="tool", offset=offset, rate_hz=RATE_HZ).start()
        try:
            time.sleep(0.3)
            before, t0 = loop.stats(), time.perf_counter()
            steps0 = coupling.stats()["steps"] if coupled else 0
            time.sleep(seconds)
            after, t1 = loop.stats(), time.perf_counter()
            if coupled:
                stats = coupling.stats()
                figures = {"physics_rate_hz": (stats["steps"] - steps0) / (t1 - t0),
                           "step_p50_us": stats["step_p50_s"] * 1e6, "step_p99_us": stats["step_p99_s"] * 1e6,
                           "dropped_periods": stats["dropped_periods"]}
        finally:
            if coupled:
                coupling.stop()
    cycles = after["cycles"] - before["cycles"]
    return {"rate_hz": cycles / (t1 - t0), "late_share": (after["late_cycles"] - before["late_cycles"]) / max(cycles, 1),
            **figures}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--out", default="bench/physics-results.json")
    args = parser.parse_args()
    rounds = []
    with Simulator("talon") as sim:
        for r in range(args.rounds):
            alone, coupled = run(sim.port, False, args.seconds), run(sim.port, True, args.seconds)
            rounds.append({"alone": alone, "coupled": coupled})
            print(f"round {r + 1}/{args.rounds}: loop alone {alone['rate_hz']:.0f} Hz late {alone['late_share']:.2%};"
                  f"  with the coupling {coupled['rate_hz']:.0f} Hz late {coupled['late_share']:.2%}, physics"
                  f" {coupled['physics_rate_hz']:.0f} Hz, step p50 {coupled['step_p50_us']:.0f} us"
                  f" p99 {coupled['step_p99_us']:.0f} us, {coupled['dropped_periods']} periods dropped", flush=True)

    def median(key, side="coupled"):
        return statistics.median(r[side][key] for r in rounds)

    late = statistics.median(r["coupled"]["late_share"] / r["alone"]["late_share"] if r["alone"]["late_share"]
                             else float("nan") for r in rounds)
    print(f"physics at {RATE_HZ:g} Hz, medians over rounds: rate held {median('physics_rate_hz') / RATE_HZ:.3f}x"
          f" its target, step p50 {median('step_p50_us'):.0f} us p99 {median('step_p99_us'):.0f} us; the loop's"
          f" late share with the coupling {late:.2f}x its share alone ({median('late_share'):.2%} against"
          f" {median('late_share', 'alone'):.2%})")
    with open(args.out, "w") as out:
        json.dump(rounds, out, indent=1)


if __name__ == "__main__":
    main()
