"""A virtual wall rendered by a 1 kHz haptic loop on a simulated Talon arm,
with the simulated grip's status read beside it.

The arm is pushed towards the wall by a steady "hand" force; the wall is a
spring on the y axis that pushes back once the end effector passes it. The
grip is read on a thread of its own: its reads release the interpreter lock,
so they never hold up the arm's loop.

Usage: python examples/haptic_wall.py [--seconds 5] [--rate 1000]
"""
import argparse
import signal
import statistics
import sys
import threading
import time

import VantorHardwareAPI as api
from vantor.simulator import Simulator, find_simulator

WALL_OFFSET = 0.02    # m beyond the starting point
STIFFNESS = 500.0     # N/m
DAMPING = 2.0         # N s/m, inside the wall only
HAND_FORCE = 0.5      # N towards the wall
MAX_FORCE = 5.0       # N


class GripReader(threading.Thread):
    def __init__(self, handle):
        super().__init__(daemon=True)
        self.handle = handle
        self.running = True
        self.frames = 0
        self.bad_frames = 0
        self.status = None

    def run(self):
        while self.running:
            status = self.handle.GetQuillonStatus()
            if status["error_flag"] == 0:
                self.frames += 1
                self.status = status
                # The wait for a frame polls a core: skip most of the gap
                # to the next one, leaving the core to the arm's loop.
                time.sleep(0.006)
            else:
                self.bad_frames += 1


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))] if ordered else 0.0


def run(seconds, rate):
    if find_simulator() is None:
        sys.exit("vantor-sim not found: install the package (pip install .) first")
    arm_sim = Simulator("talon")
    grip_sim = Simulator("handle", "--stream", "100")
    reader = None
    try:
        # The ports are given: nothing needs detecting.
        arm_stream, grip_stream = api.SerialStream(arm_sim.port), api.SerialStream(grip_sim.port)
        talon, handle = api.Talon(arm_stream), api.Handle(grip_stream)
        info = talon.device_wakeup_dict()
        print(f"arm  {arm_sim.port}: model {info['device_model_number']}, id {info['device_id_ext']}")
        handle.SendDeviceWakeup()
        print(f"grip {grip_sim.port}: woken, streaming status")

        start_pos, _ = talon.end_effector_force([0.0, 0.0, 0.0])
        wall = start_pos[1] + WALL_OFFSET
        reader = GripReader(handle)
        reader.start()

        latencies, penetrations = [], []
        period = 1.0 / rate
        force = [0.0, HAND_FORCE, 0.0]
        cpu0, t0 = time.process_time(), time.perf_counter()
        next_tick, next_report = t0, t0 + 0.25
        while True:
            now = time.perf_counter()
            if now - t0 >= seconds:
                break
            before = time.perf_counter()
            position, velocity = talon.end_effector_force(force)
            latencies.append(time.perf_counter() - before)

            penetration = position[1] - wall
            wall_force = 0.0
            if penetration > 0:
                wall_force = -STIFFNESS * penetration - DAMPING * velocity[1]
            penetrations.append(max(penetration, 0.0))
            force[1] = max(-MAX_FORCE, min(MAX_FORCE, HAND_FORCE + wall_force))

            if now >= next_report:
                elapsed = now - t0
                cpu = (time.process_time() - cpu0) / elapsed * 100
                recent = latencies[-rate // 4:]
                status = reader.status or {}
                print(f"\r{len(latencies) / elapsed:7.0f} Hz  p50 {percentile(recent, 50) * 1e6:5.0f} us"
                      f"  p99 {percentile(recent, 99) * 1e6:5.0f} us  penetration {max(penetration, 0) * 1e3:5.2f} mm"
                      f"  buttons {status.get('buttons', '-')}  battery {status.get('battery_level', 0):.3f} V"
                      f"  cpu {cpu:3.0f}%", end="", flush=True)
                next_report += 0.25
            # Sleep most of the period, spin the rest: sleeping alone overshoots.
            next_tick += period
            while (left := next_tick - time.perf_counter()) > 0:
                if left > 0.0003:
                    time.sleep(left - 0.0002)
        elapsed = time.perf_counter() - t0
        cpu = (time.process_time() - cpu0) / elapsed * 100
        talon.end_effector_force([0.0, 0.0, 0.0])
        reader.running = False
        reader.join(timeout=6)

        status = reader.status or {}
        rows = [
            ("exchanges", f"{len(latencies)}"),
            ("loop rate", f"{len(latencies) / elapsed:.0f} Hz"),
            ("latency p50", f"{percentile(latencies, 50) * 1e6:.0f} us"),
            ("latency p99", f"{percentile(latencies, 99) * 1e6:.0f} us"),
            ("latency max", f"{max(latencies) * 1e6:.0f} us"),
            ("penetration mean", f"{statistics.fmean(penetrations) * 1e3:.2f} mm"),
            ("penetration max", f"{max(penetrations) * 1e3:.2f} mm"),
            ("grip frames", f"{reader.frames} good, {reader.bad_frames} bad"),
            ("buttons (last)", f"{status.get('buttons', '-')}"),
            ("battery (last)", f"{status.get('battery_level', 0):.3f} V"),
            ("process CPU", f"{cpu:.0f}%"),
        ]
        print("\n")
        width = max(len(name) for name, _ in rows)
        print(f"{'summary':<{width}}  value")
        print(f"{'-' * width}  {'-' * 16}")
        for name, value in rows:
            print(f"{name:<{width}}  {value}")
    finally:
        if reader is not None:
            reader.running = False
        arm_sim.stop()
        grip_sim.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rate", type=int, default=1000)
    args = parser.parse_args()
    try:
        run(args.seconds, args.rate)
    except KeyboardInterrupt:
        print("\ninterrupted")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    sys.exit(main())
