"""A 1 kHz loop on vantor-sim with and without a vantor.view.Viewer at 60 Hz
(saving to a temporary .rrd): whether the viewer costs the loop anything.

Each round runs both cases, in alternating order, with the loop at normal
priority (realtime=False) and then as it runs by default (real-time
priority where the machine allows it), each on a fresh loop
rendering a Plane, a Sphere and a 1,280-triangle Mesh for --seconds: the
loop's late cycles, exchange p99 and jitter p99 over the run, and this
process's CPU time. Medians over rounds, and the viewer's case as ratios to
the bare loop's of the same round.

    .venv/bin/python bench/view_bench.py [--rounds 5] [--seconds 3]
"""
import argparse
import json
import os
import statistics
import tempfile
import time

import vantor
from vantor import effects
from vantor.simulator import Simulator
from vantor.view import Viewer

RATE_HZ = 1000.0
VIEW_HZ = 60.0


def run(port, with_viewer, realtime, seconds, folder):
    with vantor.ServoLoop(port, rate_hz=RATE_HZ, force_limit=4.0, realtime=realtime) as loop:
        while loop.state()["cycle"] < 10:
            time.sleep(0.01)
        x, y, z = loop.state()["position"]
        mesh = effects.Mesh.sphere((x + 0.05, y, z), 0.02, stiffness=1000.0)
        loop.effect = (effects.Plane(point=(x, y, z - 0.003), normal=(0, 0, 1), stiffness=1000.0)
                       + effects.Sphere((x - 0.05, y, z), 0.02, stiffness=1000.0) + mesh)
        viewer = Viewer(loop, rate_hz=VIEW_HZ, save=os.path.join(folder, "bench.rrd")) if with_viewer else None
        cpu0 = time.process_time()
        if viewer is not None:
            viewer.start()
        time.sleep(seconds)
        if viewer is not None:
            viewer.stop()
        cpu = time.process_time() - cpu0
        stats = loop.stats()
    return {"late_cycles": stats["late_cycles"], "cycles": stats["cycles"],
            "exchange_p99_us": stats["exchange_us"]["p99"], "jitter_p99_us": stats["jitter_us"]["p99"],
            "cpu_s": cpu, "samples": viewer.samples if viewer is not None else 0, "faults": stats["faults"],
            "realtime": stats["realtime"]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--out", default="bench/view-results.json")
    args = parser.parse_args()
    results = {}
    with Simulator("talon") as sim, tempfile.TemporaryDirectory() as folder:
        for mode, realtime in (("normal priority", False), ("default priority", None)):
            rounds = results[mode] = []
            for r in range(args.rounds):
                order = (False, True) if r % 2 == 0 else (True, False)
                result = {("viewer" if v else "bare"): run(sim.port, v, realtime, args.seconds, folder) for v in order}
                rounds.append(result)
                bare, viewed = result["bare"], result["viewer"]
                print(f"{mode} (real-time: {bare['realtime']}), round {r + 1}/{args.rounds}: bare late"
                      f" {bare['late_cycles']} p99 {bare['exchange_p99_us']:.0f} us jitter p99"
                      f" {bare['jitter_p99_us']:.0f} us cpu {bare['cpu_s']:.2f} s;  viewer late {viewed['late_cycles']}"
                      f" p99 {viewed['exchange_p99_us']:.0f} us jitter p99 {viewed['jitter_p99_us']:.0f} us cpu"
                      f" {viewed['cpu_s']:.2f} s, {viewed['samples']} samples", flush=True)
    for mode, rounds in results.items():
        summary(mode, rounds, args)
    with open(args.out, "w") as out:
        json.dump(results, out, indent=1)


def summary(mode, rounds, args):
    def median(case, key):
        return statistics.median(r[case][key] for r in rounds)

    def ratio(key):
        return statistics.median(r["viewer"][key] / r["bare"][key] if r["bare"][key] else float("nan")
                                 for r in rounds)

    print(f"{RATE_HZ:g} Hz loop at {mode}, viewer at {VIEW_HZ:g} Hz, medians of {args.rounds} rounds of"
          f" {args.seconds:g} s: late cycles {median('bare', 'late_cycles'):g} bare,"
          f" {median('viewer', 'late_cycles'):g} with the viewer; exchange p99 {ratio('exchange_p99_us'):.2f}x,"
          f" jitter p99 {ratio('jitter_p99_us'):.2f}x the bare loop's; this process's CPU"
          f" {median('viewer', 'cpu_s') - median('bare', 'cpu_s'):+.3f} s per {args.seconds:g} s with it;"
          f" samples {median('viewer', 'samples'):g} ({VIEW_HZ * args.seconds:g} at most)")


if __name__ == "__main__":
    main()
