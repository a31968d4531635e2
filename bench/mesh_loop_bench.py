"""A 100,000-triangle mesh as a 4 kHz loop's effect, beside a Plane at the
same place, on vantor-sim: whether the loop holds its rate with the mesh.

Each round runs both cases for --seconds with the arm pressed onto the shape
by 1 N of the loop's own force (so the proxy is in contact); the mesh's rate,
late share and exchange p99 are given as ratios to the Plane's of the same
round, medians over rounds.

    .venv/bin/python bench/mesh_loop_bench.py [--rounds 3] [--seconds 3]
"""
import argparse
import json
import statistics
import time

import numpy as np

import vantor
from vantor import effects
from vantor.simulator import Simulator

RATE_HZ = 4000.0
STIFFNESS = 2000.0
GAP_M = 0.003
PUSH_N = 1.0


def grid(z, cx, cy, n=224, half=0.1):
    """A flat sheet of 2 n^2 triangles facing +z (100,352 for n = 224)."""
    a = np.linspace(-half, half, n + 1)
    x, y = np.meshgrid(a + cx, a + cy, indexing="ij")
    vertices = np.stack([x.ravel(), y.ravel(), np.full(x.size, z)], axis=1)
    i = (np.arange(n)[:, None] * (n + 1) + np.arange(n)[None, :]).ravel()
    return vertices, np.concatenate([np.stack([i, i + n + 1, i + 1], axis=1),
                                     np.stack([i + 1, i + n + 1, i + n + 2], axis=1)])


def run(port, shape, seconds):
    with vantor.ServoLoop(port, rate_hz=RATE_HZ, force_limit=4.0, realtime=False) as loop:
        time.sleep(0.05)
        p = loop.state()["position"]
        surface = p[2] - GAP_M
        if shape == "mesh":
            effect = effects.Mesh(*grid(surface, p[0], p[1]), stiffness=STIFFNESS)
        else:
            effect = effects.Plane(point=(0.0, 0.0, surface), normal=(0.0, 0.0, 1.0), stiffness=STIFFNESS)
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, -PUSH_N)) + effect
        time.sleep(0.7)  # the landing
        before, t0 = loop.stats(), time.perf_counter()
        time.sleep(seconds)
        after, t1 = loop.stats(), time.perf_counter()
        state = loop.state()
    cycles = after["cycles"] - before["cycles"]
    return {"rate_hz": cycles / (t1 - t0), "late_share": (after["late_cycles"] - before["late_cycles"]) / max(cycles, 1),
            "exchange_p99_us": after["exchange_us"]["p99"], "faults": after["faults"],
            "depth_m": surface - state["position"][2]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--out", default="bench/mesh-loop-results.json")
    args = parser.parse_args()
    rounds = []
    with Simulator("talon") as sim:
        for r in range(args.rounds):
            plane, mesh = run(sim.port, "plane", args.seconds), run(sim.port, "mesh", args.seconds)
            rounds.append({"plane": plane, "mesh": mesh})
            print(f"round {r + 1}/{args.rounds}: plane {plane['rate_hz']:.0f} Hz late {plane['late_share']:.2%}"
                  f" p99 {plane['exchange_p99_us']:.0f} us;  mesh {mesh['rate_hz']:.0f} Hz late"
                  f" {mesh['late_share']:.2%} p99 {mesh['exchange_p99_us']:.0f} us, {mesh['depth_m'] * 1e3:.2f} mm"
                  f" deep (1 N / {STIFFNESS:g} N/m: {PUSH_N / STIFFNESS * 1e3:.2f})", flush=True)

    def ratio(key):
        return statistics.median(r["mesh"][key] / r["plane"][key] if r["plane"][key] else float("nan") for r in rounds)

    print(f"100,352-triangle mesh at {RATE_HZ:g} Hz beside a Plane, medians of per-round ratios: rate"
          f" {ratio('rate_hz'):.3f}x, late share {ratio('late_share'):.2f}x, exchange p99"
          f" {ratio('exchange_p99_us'):.2f}x; faults {sum(r['mesh']['faults'] for r in rounds)}")
    with open(args.out, "w") as out:
        json.dump(rounds, out, indent=1)


if __name__ == "__main__":
    main()
