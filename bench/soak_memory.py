#!/usr/bin/env python3
"""Memory soak: many force exchanges against one simulated Talon arm.

Starts one `vantor-sim talon`, runs Talon.end_effector_force on it COUNT
times and samples this process's resident set size (VmRSS in
/proc/self/status) every EVERY exchanges. The first sample is the warm-up
baseline; memory counts as flat when the last sample is less than LIMIT KiB
above it. Prints the samples and the verdict; a measurement, not a test.
"""

import argparse
import time

import VantorHardwareAPI as api
from vantor.simulator import simulated

FORCES = ([0.01, 0.0, -0.01], [-0.01, 0.0, 0.01])  # alternated: the arm stays near rest


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=1_000_000, help="exchanges in all (default 1000000)")
    parser.add_argument("--every", type=int, default=100_000, help="exchanges between samples (default 100000)")
    parser.add_argument("--limit", type=int, default=1024, help="KiB of growth still counted flat (default 1024)")
    parser.add_argument("--sim", help="path of vantor-sim")
    args = parser.parse_args()
    if args.count < 2 * args.every or args.every <= 0:
        parser.error("--count must be at least twice --every")

    with simulated("talon", executable=args.sim) as port:
        stream = api.SerialStream(port)
        talon = api.Talon(stream)

        samples = []  # (exchanges done, seconds, RSS KiB)
        lost = 0  # exchanges that came back as the all-zero default
        start = time.monotonic()
        print(f"{'exchanges':>10} {'seconds':>8} {'VmRSS KiB':>10} {'vs first':>9}", flush=True)
        for done in range(1, args.count + 1):
            position, _ = talon.end_effector_force(FORCES[done & 1])
            if position == [0.0, 0.0, 0.0]:
                lost += 1
            if done % args.every == 0:
                sample = (done, time.monotonic() - start, rss_kib())
                samples.append(sample)
                print(f"{sample[0]:>10} {sample[1]:>8.1f} {sample[2]:>10} {sample[2] - samples[0][2]:>+9}",
                      flush=True)

    growth = samples[-1][2] - samples[0][2]
    peak = max(s[2] for s in samples) - samples[0][2]
    elapsed = samples[-1][1]
    print(f"{args.count} exchanges in {elapsed:.1f} s ({args.count / elapsed:.0f} per second), {lost} lost")
    print(f"growth after warm-up: {growth:+d} KiB (peak {peak:+d} KiB), limit {args.limit} KiB: "
          + ("flat" if growth < args.limit else "NOT flat"))


if __name__ == "__main__":
    main()
