"""The servo loop's cases of run_bench.py, on one simulated Talon arm.

Every paced case renders the demo's wall (a steady hand force towards a plane
on the y axis that pushes back once passed) and is reported with the loop's
own figures: jitter (a cycle's start after its deadline), late cycles (work
that ended after the next deadline; the schedule then restarts from now) and
exchange time, each percentile the upper edge of the loop's 0.5 us bins.

  pacing       vantor-bench pacing: the loop's wait to each deadline and
               nothing else, the machine's own floor for jitter (1, 4 kHz)
  floor        vantor-bench floor: the exchange as bare system calls, paced
               at the same rate, its reply awaited by busy-polling the
               waiting count and by blocking in poll(); the floors for an
               exchanging loop (1, 4 kHz), each loop reported against the
               better of the two in the same round
  servo        vantor-bench servo: Control::ServoLoop in C++ with its
               default settings as a user without real-time permission gets
               them, heap allocations counted (1, 4 kHz); servo_rt: the same
               with SCHED_FIFO granted
  vantor       vantor.ServoLoop from Python with the native effects (1 kHz)
  callback     vantor.ServoLoop with the wall as a Python effect,
               effects.Callback, on its own thread (1 kHz)
  pure Python  the documented loop: Talon.end_effector_force each cycle,
               time.sleep to shortly before the deadline, then a spin (1 kHz)
  unpaced      vantor-bench servo at its highest rate, which no arm answers,
               so cycles run back to back, beside vantor-bench raw
"""

import json
import math
import statistics
import subprocess
import time

# The demo's wall, as in examples/haptic_wall.py and vantor-bench.
WALL_OFFSET = 0.02  # m beyond the starting point
STIFFNESS = 500.0  # N/m
DAMPING = 2.0  # N s/m
HAND_FORCE = 0.5  # N towards the wall
FORCE_LIMIT = 5.0  # N
SETTLE = 0.25  # s after start before the CPU window, as vantor-bench
FAULT_CHECK = 0.25  # s between looks at a latched fault, as the demo
SPIN = 100e-6  # s spun before each deadline by the pure-Python loop
UNPACED_RATE = 20000  # Hz, the loop's highest: faster than the arm answers

ORDER = ("pacing_1k", "pacing_4k", "floor_busy_1k", "floor_poll_1k", "floor_busy_4k", "floor_poll_4k", "servo_1k",
         "servo_4k", "servo_rt_1k", "servo_rt_4k", "vantor_1k", "callback_1k", "pure_python_1k", "unpaced")
LABELS = {
    "pacing_1k": "bare pacing 1 kHz",
    "pacing_4k": "bare pacing 4 kHz",
    "floor_busy_1k": "floor busy-poll 1 kHz",
    "floor_poll_1k": "floor poll() 1 kHz",
    "floor_busy_4k": "floor busy-poll 4 kHz",
    "floor_poll_4k": "floor poll() 4 kHz",
    "servo_1k": "ServoLoop C++ 1 kHz",
    "servo_4k": "ServoLoop C++ 4 kHz",
    "servo_rt_1k": "ServoLoop C++ RT 1 kHz",
    "servo_rt_4k": "ServoLoop C++ RT 4 kHz",
    "vantor_1k": "vantor.ServoLoop 1 kHz",
    "callback_1k": "Python effect 1 kHz",
    "pure_python_1k": "pure Python 1 kHz",
    "unpaced": "ServoLoop unpaced",
    "raw": "raw syscall floor",
}
# The loops an exchanging floor measures, by rate.
LOOPS = ("servo_1k", "servo_4k", "servo_rt_1k", "servo_rt_4k", "vantor_1k", "callback_1k", "pure_python_1k")


def binned_us(ns, max_ns):
    """A value as the loop's stats() give it: the upper edge of its bin."""
    ns = max(ns, 0)
    if ns < 1000000:
        upper = (ns // 500 + 1) * 500.0
    else:
        upper = 1e6 + (min((ns - 1000000) // 100000, 1000) + 1) * 1e5
    return min(upper, float(max_ns)) / 1000.0


def percentiles_us(seconds):
    if not seconds:
        return {"p50": 0.0, "p99": 0.0, "max": 0.0}
    ns = sorted(int(s * 1e9) for s in seconds)
    top = ns[-1]

    def at(fraction):
        rank = max(1, math.ceil(fraction * len(ns)))
        return binned_us(ns[min(rank, len(ns)) - 1], top)

    return {"p50": at(0.50), "p99": at(0.99), "max": top / 1000.0}


def wall_force_y(wall_y):
    """The wall and the hand along y, in Python: the force a cycle commands."""

    def force(position, velocity):
        f = HAND_FORCE
        depth = position[1] - wall_y
        if depth > 0:
            push = STIFFNESS * depth + DAMPING * velocity[1]
            if push > 0:
                f -= push
        return min(max(f, -FORCE_LIMIT), FORCE_LIMIT)

    return force


def start_position_y(api, port):
    stream = api.SerialStream(port)
    talon = api.Talon(stream)
    position, _ = talon.end_effector_force([0.0, 0.0, 0.0])
    del talon
    del stream
    return position[1]


def run_bench_json(bench, args, timeout):
    done = subprocess.run([bench] + [str(a) for a in args], stdout=subprocess.PIPE, text=True, timeout=timeout)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if not lines:
        raise RuntimeError("%s %s gave no result (exit status %d)" % (bench, " ".join(map(str, args)), done.returncode))
    return json.loads(lines[-1])


def run_pure_python(api, port, rate, seconds, wall_y):
    """The documented way: absolute deadlines, no catch-up after a late cycle,
    time.sleep to shortly before each deadline and a spin for the rest."""
    stream = api.SerialStream(port)
    talon = api.Talon(stream)
    exchange = talon.end_effector_force
    wall = wall_force_y(wall_y)
    period = 1.0 / rate
    total = SETTLE + seconds
    room = int(rate * total) + 16
    jitter = [0.0] * room
    exchange_s = [0.0] * room
    late = errors = cycles = 0
    clock, sleep = time.perf_counter, time.sleep
    force = [0.0, 0.0, 0.0]
    cpu_start = time.process_time()
    start = deadline = clock()
    end = start + total
    try:
        while True:
            cycle_start = clock()
            if cycle_start >= end:
                break
            position, velocity = exchange(force)
            exchange_end = clock()
            if not any(position) and not any(velocity):
                errors += 1
            force = [0.0, wall(position, velocity), 0.0]
            jitter[cycles] = cycle_start - deadline
            exchange_s[cycles] = exchange_end - cycle_start
            cycles += 1
            deadline += period
            now = clock()
            if now > deadline:
                late += 1
                deadline = now
            else:
                delay = deadline - now - SPIN
                if delay > 0:
                    sleep(delay)
                while clock() < deadline:
                    pass
    finally:
        exchange([0.0, 0.0, 0.0])
    wall_s = clock() - start
    cpu = time.process_time() - cpu_start
    del talon, exchange
    del stream
    return {
        "rate_hz_set": rate, "seconds": wall_s, "cycles": cycles,
        "rate_hz": cycles / wall_s, "late_cycles": late, "late_share": late / max(cycles, 1),
        "jitter_us": percentiles_us(jitter[:cycles]), "exchange_us": percentiles_us(exchange_s[:cycles]),
        "cpu_percent": 100.0 * cpu / wall_s, "errors": errors,
    }


def run_vantor(vantor, effects, port, rate, seconds, wall_y, callback):
    """vantor.ServoLoop as users run it: Python starts it and sleeps. Without
    real time, as a user without the permission gets it."""
    loop = vantor.ServoLoop(port, rate_hz=rate, force_limit=FORCE_LIMIT, realtime=False)
    if callback:
        wall = wall_force_y(wall_y)
        loop.effect = effects.Callback(lambda position, velocity: (0.0, wall(position, velocity), 0.0))
    else:
        loop.effect = (effects.ConstantForce(force=(0.0, HAND_FORCE, 0.0))
                       + effects.Plane(point=(0.0, wall_y, 0.0), normal=(0.0, -1.0, 0.0),
                                       stiffness=STIFFNESS, damping=DAMPING))
    cleared = 0
    with loop:
        time.sleep(SETTLE)
        cpu_start, start = time.process_time(), time.perf_counter()
        cycles_start = loop.stats()["cycles"]
        end = start + seconds
        while (now := time.perf_counter()) < end:
            time.sleep(min(FAULT_CHECK, end - now))
            if loop.fault is not None:
                cleared += 1
                loop.clear_fault()
        cycles_end = loop.stats()["cycles"]
        cpu, wall_s = time.process_time() - cpu_start, time.perf_counter() - start
        computed = getattr(loop.effect, "computed", None)
        delay_s = getattr(loop.effect, "delay_s", None)
    stats = loop.stats()
    python = {} if computed is None else {"python_effect_hz": computed / (wall_s + SETTLE),
                                           "python_effect_delay_ms": delay_s * 1e3}
    return {**python,
        "rate_hz_set": rate, "seconds": wall_s, "cycles": stats["cycles"], "rate_hz": stats["rate_hz"],
        "late_cycles": stats["late_cycles"], "late_share": stats["late_cycles"] / max(stats["cycles"], 1),
        "jitter_us": stats["jitter_us"], "exchange_us": stats["exchange_us"], "faults": stats["faults"],
        "faults_cleared": cleared, "cpu_percent": 100.0 * cpu / wall_s, "window_cycles": cycles_end - cycles_start,
    }


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def ratio(numerator, denominator):
    return None if not denominator else numerator / denominator


def median_ratio(rounds, get_num, get_den):
    """The median over rounds of a ratio taken within each round; rounds whose
    denominator is 0 are left out."""
    return median([ratio(get_num(r), get_den(r)) for r in rounds])


FIELDS = {
    "rate_hz": lambda c: c["rate_hz"],
    "jitter_p50_us": lambda c: c["jitter_us"]["p50"],
    "jitter_p99_us": lambda c: c["jitter_us"]["p99"],
    "jitter_max_us": lambda c: c["jitter_us"]["max"],
    "late_share": lambda c: c["late_share"],
    "exchange_p99_us": lambda c: c["exchange_us"]["p99"] if "exchange_us" in c else None,
    "cpu_percent": lambda c: c.get("cpu_percent"),
    "sim_cpu_percent": lambda c: c.get("sim_cpu_percent"),
}


def summarise(rounds, case):
    runs = [r[case] for r in rounds]
    if case == "raw":
        return {"rate_hz": median([run["exchanges_per_second"] for run in runs]),
                "exchange_p99_us": median([run["p99_us"] for run in runs]),
                "cpu_percent": median([run["cpu_us_per_exchange"] * run["exchanges_per_second"] / 1e4
                                       for run in runs]),
                "sim_cpu_percent": median([run["sim_cpu_percent"] for run in runs]),
                "allocations_per_cycle": max(run["allocations_per_exchange"] for run in runs),
                "errors": sum(run["errors"] for run in runs)}
    out = {key: median([get(run) for run in runs]) for key, get in FIELDS.items()}
    out["late_cycles"] = sum(run["late_cycles"] for run in runs)
    out["cycles"] = sum(run["cycles"] for run in runs)
    if "allocations_per_cycle" in runs[0]:
        out["allocations_per_cycle"] = max(run["allocations_per_cycle"] for run in runs)
    if "faults" in runs[0]:
        out["faults"] = sum(run["faults"] for run in runs)
    if "errors" in runs[0]:
        out["errors"] = sum(run["errors"] for run in runs)
    return out


def floor_of(case):
    """The exchanging floors of a loop's rate."""
    hz = "4k" if case.endswith("4k") else "1k"
    return "floor_busy_" + hz, "floor_poll_" + hz


def better_floor(r, case, get):
    """The better (smaller) of the two floors' figures in round r."""
    values = [get(r[f]) for f in floor_of(case)]
    values = [v for v in values if v is not None]
    return min(values) if values else None


def targets(rounds, summary):
    """The issue's targets, each a ratio taken within the rounds."""
    get = FIELDS
    out = []

    def add(name, value, limit, met_if_none, note=""):
        met = met_if_none if value is None else value <= limit
        out.append({"target": name, "value": value, "limit": limit, "met": met, "note": note})

    for case in ("servo_1k", "servo_4k"):
        poll = floor_of(case)[1]
        add("%s exchange p99 <= 1.2 x poll() floor" % LABELS[case],
            median_ratio(rounds, lambda r: get["exchange_p99_us"](r[case]), lambda r: get["exchange_p99_us"](r[poll])),
            1.2, False)
        late = median_ratio(rounds, lambda r: r[case]["late_share"], lambda r: r[poll]["late_share"])
        add("%s late share <= 1.2 x poll() floor" % LABELS[case], late, 1.2, summary[case]["late_share"] == 0,
            "the poll() floor had no late cycle" if late is None else "")
    add("ServoLoop C++ 1 kHz exchange p99 <= 250 us", summary["servo_1k"]["exchange_p99_us"], 250.0, False)
    add("pure Python 1 kHz exchange p99 <= 1.5 x poll() floor",
        median_ratio(rounds, lambda r: get["exchange_p99_us"](r["pure_python_1k"]),
                     lambda r: get["exchange_p99_us"](r["floor_poll_1k"])), 1.5, False)
    add("ServoLoop C++ 1 kHz CPU <= 10% of a core", summary["servo_1k"]["cpu_percent"], 10.0, False)
    allocations = max(summary[c]["allocations_per_cycle"] for c in ("servo_1k", "servo_4k", "unpaced"))
    add("ServoLoop C++ zero heap allocations per cycle", allocations, 0.0, False)
    return out


def comparisons(rounds):
    """Every loop against the better of the two exchanging floors of its rate
    (exchange p99, late share), and against the bare pacing loop (jitter p99):
    medians of per-round ratios. And what the Python effect holds."""
    out = {}
    for case in LOOPS:
        pacing = "pacing_4k" if case.endswith("4k") else "pacing_1k"
        out[case] = {
            "exchange_p99_over_better_floor": median_ratio(
                rounds, lambda r: FIELDS["exchange_p99_us"](r[case]),
                lambda r: better_floor(r, case, FIELDS["exchange_p99_us"])),
            "late_share_over_better_floor": median_ratio(
                rounds, lambda r: r[case]["late_share"], lambda r: better_floor(r, case, lambda c: c["late_share"])),
            "jitter_p99_over_bare_pacing": median_ratio(rounds, lambda r: r[case]["jitter_us"]["p99"],
                                                        lambda r: r[pacing]["jitter_us"]["p99"]),
            "rate_over_set": median([r[case]["rate_hz"] / r[case]["rate_hz_set"] for r in rounds]),
        }
    out["callback_1k"]["python_effect_hz"] = median([r["callback_1k"].get("python_effect_hz") for r in rounds])
    out["callback_1k"]["python_effect_delay_ms"] = median(
        [r["callback_1k"].get("python_effect_delay_ms") for r in rounds])
    for hz in ("1k", "4k"):
        out["floor_" + hz] = {"busy_exchange_p99_over_poll": median_ratio(
            rounds, lambda r: FIELDS["exchange_p99_us"](r["floor_busy_" + hz]),
            lambda r: FIELDS["exchange_p99_us"](r["floor_poll_" + hz]))}
    # The reply wait's cases: paced without and with real time, each against
    # the poll() floor of its rate (exchange p50 and p99).
    for case in ("servo_1k", "servo_rt_1k", "servo_4k", "servo_rt_4k", "pure_python_1k"):
        poll = floor_of(case)[1]
        out[case]["exchange_p50_over_poll_floor"] = median_ratio(
            rounds, lambda r: r[case]["exchange_us"]["p50"], lambda r: r[poll]["exchange_us"]["p50"])
        out[case]["exchange_p99_over_poll_floor"] = median_ratio(
            rounds, lambda r: r[case]["exchange_us"]["p99"], lambda r: r[poll]["exchange_us"]["p99"])
    out["unpaced"] = {"rate_over_raw_floor": median_ratio(rounds, lambda r: r["unpaced"]["rate_hz"],
                                                          lambda r: r["raw"]["exchanges_per_second"])}
    return out


def run_servo_binary(bench, port, rate, seconds, wall_y, realtime, timeout):
    """vantor-bench servo with the loop's default spin; realtime on or off."""
    spin_us = _native_default_spin_us()
    return run_bench_json(bench, ["servo", port, rate, seconds, wall_y, spin_us, realtime], timeout)


def _native_default_spin_us():
    from vantor import _native

    return _native.ServoConfig().spin_us


def run_servo(args, bench, api, vantor, effects, device, raw_exchanges, cpu_seconds):
    """Interleaved rounds of every case on one device; returns the rounds."""
    seconds, unpaced_seconds = args.servo_seconds, args.unpaced_seconds
    wall_y = start_position_y(api, device.port) + WALL_OFFSET
    timeout = max(seconds, unpaced_seconds) + 60
    runs = {
        "pacing_1k": lambda: run_bench_json(bench, ["pacing", 1000, seconds], timeout),
        "pacing_4k": lambda: run_bench_json(bench, ["pacing", 4000, seconds], timeout),
        "floor_busy_1k": lambda: run_bench_json(bench, ["floor", device.port, 1000, seconds, "busy"], timeout),
        "floor_poll_1k": lambda: run_bench_json(bench, ["floor", device.port, 1000, seconds, "poll"], timeout),
        "floor_busy_4k": lambda: run_bench_json(bench, ["floor", device.port, 4000, seconds, "busy"], timeout),
        "floor_poll_4k": lambda: run_bench_json(bench, ["floor", device.port, 4000, seconds, "poll"], timeout),
        "servo_1k": lambda: run_servo_binary(bench, device.port, 1000, seconds, wall_y, "off", timeout),
        "servo_4k": lambda: run_servo_binary(bench, device.port, 4000, seconds, wall_y, "off", timeout),
        "servo_rt_1k": lambda: run_servo_binary(bench, device.port, 1000, seconds, wall_y, "on", timeout),
        "servo_rt_4k": lambda: run_servo_binary(bench, device.port, 4000, seconds, wall_y, "on", timeout),
        "vantor_1k": lambda: run_vantor(vantor, effects, device.port, 1000, seconds, wall_y, callback=False),
        "callback_1k": lambda: run_vantor(vantor, effects, device.port, 1000, seconds, wall_y, callback=True),
        "pure_python_1k": lambda: run_pure_python(api, device.port, 1000, seconds, wall_y),
        "unpaced": lambda: run_servo_binary(bench, device.port, UNPACED_RATE, unpaced_seconds, wall_y, "off",
                                            timeout),
        "raw": lambda: run_bench_json(bench, ["raw", device.port, raw_exchanges], timeout),
    }

    def timed(case):
        cpu_start, wall_start = cpu_seconds(device.pid), time.perf_counter()
        result = runs[case]()
        result["sim_cpu_percent"] = 100.0 * (cpu_seconds(device.pid) - cpu_start) / (time.perf_counter() - wall_start)
        return result

    rounds = []
    for index in range(args.servo_rounds):
        # The starting case moves each round; the raw floor runs just before
        # the unpaced loop, so the two see the same moment of the machine.
        shift = index * 3 % len(ORDER)
        order = ORDER[shift:] + ORDER[:shift]
        r = {}
        for case in order:
            if case == "unpaced":
                r["raw"] = timed("raw")
            r[case] = timed(case)
        rounds.append(r)
        print("servo round %d/%d: %s" % (index + 1, args.servo_rounds, "  ".join(
            "%s p99 %.0fus late %.2f%%" % (c, r[c]["jitter_us"]["p99"], 100 * r[c]["late_share"])
            for c in ORDER if c != "unpaced" and not c.startswith("floor"))) + "  unpaced %.0f/s raw %.0f/s" % (
                r["unpaced"]["rate_hz"], r["raw"]["exchanges_per_second"]), flush=True)
    return rounds, wall_y


def print_servo(results):
    s = results["summary"]
    cfg = results["config"]
    print()
    print("Servo loop on vantor-sim, %d rounds (the cases interleaved), %g s per paced case, %g s unpaced;"
          " medians over rounds" % (cfg["rounds"], cfg["seconds"], cfg["unpaced_seconds"]))
    header = "%-24s %9s %9s %9s %9s %7s %9s %6s %7s %8s %6s" % (
        "case", "rate Hz", "jit p50", "jit p99", "jit max", "late %", "exch p99", "CPU %", "sim %", "alloc/c",
        "faults")
    print(header)
    print("-" * len(header))
    for case in ORDER + ("raw",):
        row = s[LABELS[case]]

        def f(v, fmt):
            return fmt % v if v is not None else "-"

        print("%-24s %9s %9s %9s %9s %7s %9s %6s %7s %8s %6s" % (
            LABELS[case], f(row["rate_hz"], "%.0f"), f(row.get("jitter_p50_us"), "%.1f"),
            f(row.get("jitter_p99_us"), "%.1f"), f(row.get("jitter_max_us"), "%.0f"),
            f(None if row.get("late_share") is None else 100 * row["late_share"], "%.2f"),
            f(row.get("exchange_p99_us"), "%.1f"), f(row.get("cpu_percent"), "%.1f"),
            f(row.get("sim_cpu_percent"), "%.1f"), f(row.get("allocations_per_cycle"), "%g"),
            f(row.get("faults"), "%d")))
    print("(jitter: a cycle's start after its deadline, us, as the upper edge of the loop's 0.5 us bins, so 0.5"
          " is below 0.5 us; late: work that ended after the next deadline; exch: one force exchange, us; CPU:"
          " the loop's process, % of one core; sim: the simulator's; alloc/c: heap allocations per cycle, the"
          " most of any round; faults: latched and cleared, all rounds; the raw row: exchanges per second and"
          " their p99)")
    c = results["comparisons"]
    print()
    print("each loop beside the better of the two exchanging floors of its rate (exchange p99 / late share), and"
          " beside the bare pacing loop (jitter p99); medians of per-round ratios:")
    for case in LOOPS:
        print("  %-24s %s / %s   jitter %s" % (LABELS[case], _times(c[case]["exchange_p99_over_better_floor"]),
                                               _times(c[case]["late_share_over_better_floor"]),
                                               _times(c[case]["jitter_p99_over_bare_pacing"])))
    print("busy-poll floor over poll() floor, exchange p99: %s at 1 kHz, %s at 4 kHz" % (
        _times(c["floor_1k"]["busy_exchange_p99_over_poll"]), _times(c["floor_4k"]["busy_exchange_p99_over_poll"])))
    hz, delay = c["callback_1k"].get("python_effect_hz"), c["callback_1k"].get("python_effect_delay_ms")
    print("the Python effect computed %s forces a second beside its 1 kHz loop, each used %s ms after its input;"
          " the loop at its highest rate ran at %s the raw floor's" % (
              "-" if hz is None else "%.0f" % hz, "-" if delay is None else "%.2f" % delay,
              _times(c["unpaced"]["rate_over_raw_floor"])))
    print("the reply wait, paced (exchange p50 / p99 over the poll() floor of its rate) and back to back:")
    for case in ("servo_1k", "servo_rt_1k", "servo_4k", "servo_rt_4k", "pure_python_1k"):
        print("  %-24s %s / %s" % (LABELS[case], _times(c[case]["exchange_p50_over_poll_floor"]),
                                   _times(c[case]["exchange_p99_over_poll_floor"])))
    print("  %-24s %s of the raw floor's rate" % (LABELS["unpaced"], _times(c["unpaced"]["rate_over_raw_floor"])))
    print()
    print("servo targets (reported, not asserted):")
    for t in results["targets"]:
        value = "-" if t["value"] is None else "%.3f" % t["value"]
        print("  %-52s %8s  %-8s%s" % (t["target"], value, "met" if t["met"] else "NOT met",
                                      "  (%s)" % t["note"] if t["note"] else ""))


def _times(value):
    return "n/a" if value is None else "%.2fx" % value
