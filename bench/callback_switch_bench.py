"""A Python effect beside a busy main thread: effect_stalled faults and the
main thread's pace for several interpreter switch intervals.

A pure-Python loop on the main thread holds the interpreter lock in turns of
sys.getswitchinterval(); the effect's thread waits that long for each call.
Each case runs a ServoLoop at 1 kHz on vantor-sim with effects.Callback(fn)
for --seconds while the main thread counts; the main thread's count is given
as a ratio to that with the default interval, measured in the same round.

    .venv/bin/python bench/callback_switch_bench.py [--rounds 3] [--seconds 3]
"""
import argparse
import json
import sys
import time

import vantor
from vantor import effects
from vantor.simulator import Simulator

DEFAULT = 0.005
INTERVALS = [DEFAULT, 0.002, 0.001, 0.0005, 0.0002]


def spring(position, velocity):
    return [-50.0 * x for x in position]


def run_case(port, interval, seconds, busy):
    """(effect_stalled faults, main-thread iterations per s, forces computed per s,
    the interval in force). interval None: as the library sets it."""
    before = sys.getswitchinterval()
    callback = effects.Callback(spring)
    with vantor.ServoLoop(port, exchange_deadline_ms=1000.0) as loop:
        loop.effect = callback
        if interval is not None:  # over what the loop set
            sys.setswitchinterval(interval)
        in_force = sys.getswitchinterval()
        time.sleep(0.3)  # the first answer and the ramp
        start_faults = loop.stats()["faults_by_kind"]["effect_stalled"]
        start_computed = callback.computed
        count = 0
        end = time.monotonic() + seconds
        if busy:
            while time.monotonic() < end:
                count += 1
        else:
            time.sleep(seconds)
        stalls = loop.stats()["faults_by_kind"]["effect_stalled"] - start_faults
        computed = callback.computed - start_computed
        loop.effect = None
    sys.setswitchinterval(before)
    return stalls, count / seconds, computed / seconds, in_force


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--out", default="bench/callback-switch-results.json")
    args = parser.parse_args()
    results = []
    with Simulator("talon") as sim:
        for round_ in range(args.rounds):
            idle = run_case(sim.port, None, args.seconds, busy=False)
            results.append({"round": round_, "main": "idle", "interval_s": idle[3], "stalls": idle[0],
                            "computed_per_s": round(idle[2])})
            print(f"round {round_} idle main thread: {idle[0]} stalls, {idle[2]:.0f} forces/s", flush=True)
            floor = None
            for interval in [*INTERVALS, None]:
                stalls, pace, computed, in_force = run_case(sim.port, interval, args.seconds, busy=True)
                floor = pace if interval == DEFAULT else floor
                results.append({"round": round_, "main": "busy", "interval_s": in_force, "set_by": "bench" if
                                interval is not None else "library", "stalls": stalls,
                                "main_pace_ratio": round(pace / floor, 3), "computed_per_s": round(computed)})
                who = f"interval {in_force * 1e3:.1f} ms" if interval is not None else \
                    f"the library's {in_force * 1e3:.1f} ms"
                print(f"round {round_} busy main thread, {who}: {stalls} stalls,"
                      f" main thread at {pace / floor:.3f} of its pace at 5 ms, {computed:.0f} forces/s", flush=True)
    with open(args.out, "w") as out:
        json.dump(results, out, indent=1)


if __name__ == "__main__":
    main()
