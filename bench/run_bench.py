#!/usr/bin/env python3
"""Force-exchange benchmark against one simulated Talon arm.

Starts one `vantor-sim talon` and runs interleaved rounds of four cases on it:

  (a) raw      vantor-bench raw: the exchange as bare system calls (the floor)
  (b) library  vantor-bench library: Talon::end_effector_force in C++
  (c) python   Talon.end_effector_force from Python, in an interpreter of its own
  (d) pyserial the same exchange in pure Python with pyserial, in an interpreter of its own

then checks that the simulator's own reply cost does not limit the floor: it
records the simulator's CPU time during every run and repeats (a) and (b)
against a reply-only responder (vantor-bench responder).

Then the servo loop on a second simulator (servo_bench.py says what each case
is): a bare pacing loop as the machine's floor, Control::ServoLoop at 1 and
4 kHz and unpaced beside the raw floor, vantor.ServoLoop with a native effect
and with a Python effect, the documented pure-Python loop, and the paced
exchanging floors (bare system calls, busy-polling and in poll()). Prints the
tables and writes JSON. Target figures are reported, never asserted.
"""

import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

from vantor.simulator import Simulator

import servo_bench

ROOT = Path(__file__).resolve().parent.parent

FORCE = [0.01, 0.0, -0.01]  # the request of every case, as in vantor-bench
FORCE_REQUEST = 42
END_EFFECTOR_STATE = 43
REPLY_LENGTH = 25

CASES = ("a", "b", "c", "d")
# The same C++ runs against the reply-only responder, for the simulator check.
CHECKS = ("a_resp", "b_resp")
LABELS = {
    "a": "(a) raw syscalls, C++",
    "b": "(b) library, C++",
    "c": "(c) library, Python",
    "d": "(d) pyserial, Python",
    "a_resp": "(a) on responder",
    "b_resp": "(b) on responder",
}


def warmup_count(n):
    # The same warm-up as vantor-bench.
    return min(max(n // 10, 50), 500)


def find_tool(given, name, fallback):
    if given:
        return str(Path(given).resolve())
    found = shutil.which(name)
    if found:
        return found
    return str(fallback)


def start_device(executable, *args, cpu=None):
    """A simulator (or the bare responder) on its own pseudo-terminal, pinned
    to one processor when given."""
    device = Simulator(*args, executable=executable)
    if cpu is not None:
        try:
            os.sched_setaffinity(device.pid, {cpu})
        except OSError:
            pass
    return device


def cpu_seconds(pid):
    """CPU time a process used so far: ns from schedstat, else clock ticks from stat."""
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile_us(seconds, p):
    ordered = sorted(seconds)
    rank = min(max(int(p * len(ordered) + 0.999999), 1), len(ordered))
    return ordered[rank - 1] * 1e6


def summarise_loop(latencies, wall, cpu, errors, warmup):
    n = len(latencies)
    return {
        "exchanges": n,
        "warmup": warmup,
        "seconds": wall,
        "exchanges_per_second": n / wall,
        "p50_us": percentile_us(latencies, 0.50),
        "p99_us": percentile_us(latencies, 0.99),
        "cpu_us_per_exchange": cpu / n * 1e6,
        "errors": errors,
    }


def run_python_library(module, port, n):
    stream = module.SerialStream(port)
    talon = module.Talon(stream)
    exchange = talon.end_effector_force
    force = list(FORCE)
    warmup = warmup_count(n)
    for _ in range(warmup):
        exchange(force)
    latencies = [0.0] * n
    errors = 0
    clock = time.perf_counter
    cpu_start = time.process_time()
    start = previous = clock()
    for i in range(n):
        position, velocity = exchange(force)
        now = clock()
        latencies[i] = now - previous
        previous = now
        # A failed exchange gives all zeros.
        if not any(position) and not any(velocity):
            errors += 1
    cpu = time.process_time() - cpu_start
    # The Talon holds a plain pointer to the stream: it goes first.
    del talon, exchange
    del stream
    return summarise_loop(latencies, previous - start, cpu, errors, warmup)


def run_pyserial(serial_module, port, n):
    link = serial_module.Serial(port, 115200, timeout=1.0)
    request = struct.pack("<Bfff", FORCE_REQUEST, *FORCE)
    unpack = struct.Struct("<6f").unpack_from
    write, read = link.write, link.read

    def exchange():
        write(request)
        reply = read(REPLY_LENGTH)
        if len(reply) != REPLY_LENGTH or reply[0] != END_EFFECTOR_STATE:
            return None
        values = unpack(reply, 1)
        return list(values[:3]), list(values[3:])

    warmup = warmup_count(n)
    for _ in range(warmup):
        exchange()
    latencies = [0.0] * n
    errors = 0
    clock = time.perf_counter
    cpu_start = time.process_time()
    start = previous = clock()
    for i in range(n):
        state = exchange()
        now = clock()
        latencies[i] = now - previous
        previous = now
        if state is None:
            errors += 1
    cpu = time.process_time() - cpu_start
    link.close()
    return summarise_loop(latencies, previous - start, cpu, errors, warmup)


def run_python_case(case, port, n):
    """(c) or (d) in an interpreter of its own, as (a) and (b) run in
    processes of their own: what this harness holds does not weigh on it."""
    done = subprocess.run([sys.executable, __file__, "--python-case", case, port, str(n)], stdout=subprocess.PIPE,
                          text=True, timeout=120)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode != 0 or not lines:
        raise RuntimeError("the Python case %s failed (exit status %d)" % (case, done.returncode))
    return json.loads(lines[-1])


def python_case_main(case, port, n):
    if case == "library":
        import VantorHardwareAPI
        result = run_python_library(VantorHardwareAPI, port, n)
    else:
        import serial
        result = run_pyserial(serial, port, n)
    print(json.dumps(result))


def run_bench_binary(bench, args):
    done = subprocess.run([bench] + [str(a) for a in args], stdout=subprocess.PIPE, text=True, timeout=120)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if not lines:
        raise RuntimeError("%s %s gave no result (exit status %d)" % (bench, " ".join(map(str, args)), done.returncode))
    return json.loads(lines[-1])


def timed_on(device, run):
    """Runs one case and adds what the device process spent on it."""
    cpu_start = cpu_seconds(device.pid)
    wall_start = time.perf_counter()
    result = run()
    wall = time.perf_counter() - wall_start
    device_cpu = cpu_seconds(device.pid) - cpu_start
    total = result["exchanges"] + result["warmup"]
    result["device_cpu_us_per_exchange"] = device_cpu / total * 1e6
    result["device_busy_fraction"] = device_cpu / wall
    return result


def cpu_times():
    """Whole-machine CPU counters: (busy, idle, stolen) in seconds since boot."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    hz = os.sysconf("SC_CLK_TCK")
    idle = v[3] + v[4]
    steal = v[7] if len(v) > 7 else 0
    busy = sum(v[:8]) - idle - steal
    return busy / hz, idle / hz, steal / hz


def own_cpu_seconds():
    """This process and the children it has waited for."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


class Machine:
    """What the whole machine did while a section ran, beside this benchmark's
    own CPU time (the caller adds the devices' time, read before they end)."""

    def __init__(self):
        self.started = time.perf_counter()
        self.cpu_start = cpu_times()
        self.own_start = own_cpu_seconds()
        self.load_start = load_average()

    def environment(self, own_end):
        elapsed = time.perf_counter() - self.started
        busy, idle, steal = (e - s for s, e in zip(self.cpu_start, cpu_times()))
        own = own_end - self.own_start
        return {
            "cpus": os.cpu_count(),
            "load_average_start": self.load_start,
            "load_average_end": load_average(),
            "elapsed_seconds": elapsed,
            # Cores kept busy on average by this benchmark and by everything else.
            "benchmark_cores": own / elapsed,
            "other_cores": max(busy - own, 0.0) / elapsed,
            "idle_cores": idle / elapsed,
            "stolen_cores": steal / elapsed,
        }


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def print_machine(environment):
    e = environment
    print("machine: %d cpus, load %.2f -> %.2f; on average this benchmark kept %.2f cores busy, other"
          " processes %.2f, %.2f idle, %.2f stolen by the host; %.0f s" % (
              e["cpus"], e["load_average_start"], e["load_average_end"], e["benchmark_cores"], e["other_cores"],
              e["idle_cores"], e["stolen_cores"], e["elapsed_seconds"]))
    if e["other_cores"] > 0.25:
        print("note: other processes were busy during the run; rates and p99 carry their stalls")


def median(values):
    return statistics.median(values) if values else float("nan")


def aggregate(rounds, case, reference):
    runs = [r[case] for r in rounds]
    out = {}
    for key in ("exchanges_per_second", "p50_us", "p99_us", "cpu_us_per_exchange",
                "device_cpu_us_per_exchange", "device_busy_fraction"):
        out[key] = median([run[key] for run in runs])
    out["errors"] = sum(run["errors"] for run in runs)
    if "allocations_per_exchange" in runs[0]:
        out["allocations_per_exchange"] = max(run["allocations_per_exchange"] for run in runs)
    # Ratios are taken within a round, where the cases ran back to back. The
    # rate includes every stall; the p50 form is the typical exchange.
    out["rate_ratio_to_a"] = median([r[case]["exchanges_per_second"] / r[reference]["exchanges_per_second"]
                                     for r in rounds])
    out["p50_ratio_to_a"] = median([r[reference]["p50_us"] / r[case]["p50_us"] for r in rounds])
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sim", help="vantor-sim binary (default: on PATH, else build/bench/sim/vantor-sim)")
    parser.add_argument("--bench", help="vantor-bench binary (default: on PATH, else build/bench/bench/vantor-bench)")
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--exchanges", type=int, default=3000, help="exchanges per case per round")
    parser.add_argument("--readout-iterations", type=int, default=500000)
    # Ten-second cases take three rounds to stay within a few minutes.
    parser.add_argument("--servo-rounds", type=int, default=3, help="servo rounds; 0 leaves the servo loop out")
    parser.add_argument("--servo-seconds", type=float, default=10.0, help="seconds per paced servo case")
    parser.add_argument("--unpaced-seconds", type=float, default=3.0, help="seconds of the unpaced servo case")
    parser.add_argument("--no-pin", action="store_true",
                        help="do not pin the client to the first core and the device to the second")
    parser.add_argument("--out", default=str(ROOT / "bench" / "results.json"))
    args = parser.parse_args()
    if args.rounds < 1 or args.exchanges < 1 or args.readout_iterations < 1:
        sys.exit("run_bench: --rounds, --exchanges and --readout-iterations must be positive")
    if args.servo_rounds < 0 or args.servo_seconds <= 0 or args.unpaced_seconds <= 0:
        sys.exit("run_bench: --servo-rounds must be 0 or more, --servo-seconds and --unpaced-seconds positive")

    sim = find_tool(args.sim, "vantor-sim", ROOT / "build" / "bench" / "sim" / "vantor-sim")
    bench = find_tool(args.bench, "vantor-bench", ROOT / "build" / "bench" / "bench" / "vantor-bench")
    for path in (sim, bench):
        if not os.access(path, os.X_OK):
            sys.exit("run_bench: %s not found or not executable" % path)
    try:
        import VantorHardwareAPI
        import serial
        import vantor
        from vantor import effects
    except ImportError as e:
        sys.exit("run_bench: %s (run it with the project's .venv/bin/python)" % e)

    cores = sorted(os.sched_getaffinity(0))
    pin = not args.no_pin and len(cores) >= 2
    client_cpu, device_cpu = (cores[0], cores[1]) if pin else (None, None)
    if pin:
        # The client and everything it starts run on one core, the device on the other.
        os.sched_setaffinity(0, {client_cpu})

    n = args.exchanges
    rounds = []
    readouts = []
    machine = Machine()
    device = start_device(sim, "talon", cpu=device_cpu)
    responder = None
    own_end = machine.own_start
    try:
        responder = start_device(bench, "responder", cpu=device_cpu)
        runs = {
            "a": (device, lambda: run_bench_binary(bench, ["raw", device.port, n])),
            "b": (device, lambda: run_bench_binary(bench, ["library", device.port, n])),
            "c": (device, lambda: run_python_case("library", device.port, n)),
            "d": (device, lambda: run_python_case("pyserial", device.port, n)),
            "a_resp": (responder, lambda: run_bench_binary(bench, ["raw", responder.port, n])),
            "b_resp": (responder, lambda: run_bench_binary(bench, ["library", responder.port, n])),
        }
        for index in range(args.rounds):
            # The starting case moves each round, so no case always runs first.
            order = CASES[index % 4:] + CASES[:index % 4] + CHECKS
            r = {case: timed_on(*runs[case]) for case in order}
            rounds.append(r)
            readouts.append(run_bench_binary(bench, ["readout", args.readout_iterations]))
            print("round %d/%d: %s" % (index + 1, args.rounds, "  ".join(
                "%s %.0f/s p50 %.1fus" % (c, r[c]["exchanges_per_second"], r[c]["p50_us"])
                for c in CASES + CHECKS)), flush=True)
        # Before the device processes end and are counted as our children.
        own_end = own_cpu_seconds() + cpu_seconds(device.pid) + cpu_seconds(responder.pid)
    finally:
        device.stop()
        if responder is not None:
            responder.stop()

    environment = machine.environment(own_end)

    summary = {case: aggregate(rounds, case, "a") for case in CASES}
    summary["a_resp"] = aggregate(rounds, "a_resp", "a_resp")
    summary["b_resp"] = aggregate(rounds, "b_resp", "a_resp")
    a, b, c, d = (summary[k] for k in CASES)
    ar, br = summary["a_resp"], summary["b_resp"]
    c_over_d = median([r["c"]["exchanges_per_second"] / r["d"]["exchanges_per_second"] for r in rounds])
    c_over_d_p50 = median([r["d"]["p50_us"] / r["c"]["p50_us"] for r in rounds])
    readout_ns = median([r["ns_per_computation"] for r in readouts])
    readout_allocations = max(r["allocations_per_computation"] for r in readouts)

    targets = [
        {"target": "(b) back to back >= 0.9 x (a)", "value": b["rate_ratio_to_a"], "p50_form": b["p50_ratio_to_a"],
         "met": b["rate_ratio_to_a"] >= 0.9},
        {"target": "(c) back to back >= 0.9 x (a)", "value": c["rate_ratio_to_a"], "p50_form": c["p50_ratio_to_a"],
         "met": c["rate_ratio_to_a"] >= 0.9},
        {"target": "(c) rate >= 2 x (d)", "value": c_over_d, "p50_form": c_over_d_p50, "met": c_over_d >= 2.0},
        {"target": "(b) zero heap allocations per exchange", "value": b["allocations_per_exchange"],
         "p50_form": None, "met": b["allocations_per_exchange"] == 0},
    ]

    # The simulator would limit the floor if it were busy all the time, or if
    # its reply work were a large part of the round trip: then the floor
    # against the reply-only responder would be much faster.
    added_share = (a["p50_us"] - ar["p50_us"]) / a["p50_us"]
    saturated = a["device_busy_fraction"] > 0.9
    sim_limits = saturated or added_share > 0.25
    simulator_check = {
        "simulator_cpu_us_per_exchange_in_a": a["device_cpu_us_per_exchange"],
        "simulator_busy_fraction_in_a": a["device_busy_fraction"],
        "responder_cpu_us_per_exchange": ar["device_cpu_us_per_exchange"],
        "responder_busy_fraction": ar["device_busy_fraction"],
        "floor_p50_us_simulator": a["p50_us"],
        "floor_p50_us_responder": ar["p50_us"],
        "floor_p50_us_added_by_simulator": a["p50_us"] - ar["p50_us"],
        "floor_share_added_by_simulator": added_share,
        "floor_rate_simulator": a["exchanges_per_second"],
        "floor_rate_responder": ar["exchanges_per_second"],
        "b_to_a_on_responder": {"rate": br["rate_ratio_to_a"], "p50_form": br["p50_ratio_to_a"]},
        "criterion": "limits when busy > 90% of the time or its extra reply work is > 25% of the floor p50",
        "simulator_limits_floor": sim_limits,
    }

    results = {
        "config": {"rounds": args.rounds, "exchanges_per_case": n, "warmup_per_case": warmup_count(n),
                   "readout_iterations": args.readout_iterations, "sim": sim, "bench": bench,
                   "pinned": {"client_cpu": client_cpu, "device_cpu": device_cpu} if pin else None,
                   "python": sys.version.split()[0], "pyserial": getattr(serial, "__version__", "?")},
        "environment": environment,
        "summary": {LABELS[k]: v for k, v in summary.items()},
        "c_over_d": {"rate": c_over_d, "p50_form": c_over_d_p50},
        "readout": {"ns_per_computation": readout_ns, "allocations_per_computation": readout_allocations,
                    "iterations_per_round": args.readout_iterations},
        "targets": targets,
        "simulator_check": simulator_check,
        "rounds": [{LABELS[k]: v for k, v in r.items()} for r in rounds],
    }

    print()
    print("Force exchange on vantor-sim, %d rounds x %d exchanges per case; medians over rounds" % (args.rounds, n))
    header = "%-22s %9s %8s %8s %10s %7s %7s %10s %6s" % (
        "case", "exch/s", "p50 us", "p99 us", "CPU us/ex", "rate/a", "p50 a/x", "dev CPU us", "errors")
    print(header)
    print("-" * len(header))
    for k in CASES + CHECKS:
        s = summary[k]
        print("%-22s %9.0f %8.1f %8.1f %10.2f %7.3f %7.3f %10.2f %6d" % (
            LABELS[k], s["exchanges_per_second"], s["p50_us"], s["p99_us"], s["cpu_us_per_exchange"],
            s["rate_ratio_to_a"], s["p50_ratio_to_a"], s["device_cpu_us_per_exchange"], s["errors"]))
    print("(rate/a: exchanges per second over those of (a) in the same round; p50 a/x: the same from the"
          " median latencies; the responder rows compare with (a) on the responder)")
    print()
    print("heap allocations per exchange in (b): %g" % b["allocations_per_exchange"])
    print("read-out (forward_kinematics): %.1f ns per computation, %g allocations" % (
        readout_ns, readout_allocations))
    print()
    print("targets (reported, not asserted):")
    for t in targets:
        extra = "" if t["p50_form"] is None else "  (from p50: %.3f)" % t["p50_form"]
        print("  %-40s %7.3f  %-8s%s" % (t["target"], t["value"], "met" if t["met"] else "NOT met", extra))
    print()
    print("simulator check: during (a) the simulator was busy %.0f%% of the time (%s), %.1f us CPU per exchange;"
          " the reply-only responder %.1f us." % (
              100 * a["device_busy_fraction"], "saturated" if saturated else "not saturated",
              a["device_cpu_us_per_exchange"], ar["device_cpu_us_per_exchange"]))
    print("  floor p50 %.1f us on the simulator, %.1f us on the responder: the simulator's reply work adds"
          " %.1f us (%.0f%% of the floor). %s" % (
              a["p50_us"], ar["p50_us"], a["p50_us"] - ar["p50_us"], 100 * added_share,
              "It LIMITS the floor: read the responder rows for the library's own cost." if sim_limits
              else "It does not limit the floor."))
    print("  on the responder (b) runs at %.3f of (a) by rate, %.3f by p50." % (
        br["rate_ratio_to_a"], br["p50_ratio_to_a"]))
    print_machine(environment)

    if args.servo_rounds > 0:
        results["servo"] = run_servo_section(args, sim, bench, VantorHardwareAPI, vantor, effects, device_cpu,
                                             a["exchanges_per_second"])

    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(results, indent=2) + "\n")
    print("wrote %s" % out)


def run_servo_section(args, sim, bench, api, vantor, effects, device_cpu, floor_rate):
    """The servo loop's rounds on a simulator of their own; the raw floor
    beside the unpaced loop runs about as long as it does."""
    raw_exchanges = max(1000, int(floor_rate * args.unpaced_seconds))
    machine = Machine()
    device = start_device(sim, "talon", cpu=device_cpu)
    try:
        rounds, wall_y = servo_bench.run_servo(args, bench, api, vantor, effects, device, raw_exchanges, cpu_seconds)
        own_end = own_cpu_seconds() + cpu_seconds(device.pid)
    finally:
        device.stop()
    environment = machine.environment(own_end)
    cases = servo_bench.ORDER + ("raw",)
    summary = {case: servo_bench.summarise(rounds, case) for case in cases}
    results = {
        "config": {"rounds": args.servo_rounds, "seconds": args.servo_seconds,
                   "unpaced_seconds": args.unpaced_seconds, "unpaced_rate_hz_set": servo_bench.UNPACED_RATE,
                   "raw_exchanges": raw_exchanges, "settle_seconds": servo_bench.SETTLE,
                   "pure_python_spin_us": servo_bench.SPIN * 1e6,
                   "wall": {"y": wall_y, "normal": [0.0, -1.0, 0.0], "stiffness": servo_bench.STIFFNESS,
                            "damping": servo_bench.DAMPING, "hand_force": servo_bench.HAND_FORCE,
                            "force_limit": servo_bench.FORCE_LIMIT}},
        "environment": environment,
        "summary": {servo_bench.LABELS[c]: summary[c] for c in cases},
        "comparisons": servo_bench.comparisons(rounds),
        "targets": servo_bench.targets(rounds, summary),
        "rounds": [{servo_bench.LABELS[c]: r[c] for c in cases} for r in rounds],
    }
    servo_bench.print_servo(results)
    print_machine(environment)
    return results


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--python-case":
        python_case_main(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
