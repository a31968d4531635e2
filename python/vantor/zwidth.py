"""vantor zwidth: which walls an arm renders still, with the passivity
controller off and on.

Each trial is a servo loop of its own: it holds the arm still with a damper,
places a plane GAP_M below the effector, then pushes the arm down onto it
with PUSH_N of the loop's own force (no hand needed) for TRIAL_S. The wall is
stable when, over the last WINDOW_S, the arm moved at most STILL_M peak to
peak and the force stayed below the loop's clamp; a wall that rattles or
bounces is not. The loop ends each trial, so each ends with zero force.
"""
import math
import time
from typing import Callable, Dict, List, Optional, Sequence, Tuple, TypedDict

import numpy as np

from vantor import effects
from vantor.servo import ServoLoop

PUSH_N = 1.0           # N, down onto the wall
GAP_M = 0.003          # m from the effector to the wall
FORCE_LIMIT_N = 4.0    # N: the loop's clamp; a clamped force in the window is no rest
STILL_M = 0.0002       # m peak to peak over the window: at rest
WINDOW_S = 0.5         # s at the end of a trial that is judged
# s a trial runs. An arm of 0.2 kg and 2 N s/m lands on the wall at about
# 0.15 m/s; below half the sampled wall's boundary its ringing is within
# STILL_M about 1 s later, nearer to it later still, so a longer trial moves
# the boundary found up towards 2 b / T.
TRIAL_S = 2.0
SETTLE_DAMPING = 20.0  # N s/m: holds the arm still before a trial
SETTLE_SPEED = 0.001   # m/s: still enough to place the wall
SETTLE_S = 1.0         # s at most waiting for it
TRIES = 3              # a trial whose link faulted runs again, at most this often
DEFAULT_STIFFNESS = (1_000.0, 2_000.0, 4_000.0, 8_000.0, 16_000.0, 32_000.0, 100_000.0)
DEFAULT_DAMPING = (0.0,)
LINK_FAULTS = (1, 2, 3)  # arm not answering, too slow, line hung up: the link, not the wall


class NoArm(Exception):
    """The port has no arm that answers, or it stopped answering."""


class Trial(TypedDict):
    """One wall, as --json gives it.

    stiffness: the wall's, in N/m.
    damping: the wall's, in N s/m.
    passivity: whether the passivity controller was on.
    stable: whether the arm came to rest on it.
    peak_to_peak_m: the position along the wall's normal over the last WINDOW_S, in m.
    force_peak_n: the largest force commanded over the last WINDOW_S, in N.
    """

    stiffness: float
    damping: float
    passivity: bool
    stable: bool
    peak_to_peak_m: float
    force_peak_n: float


def _wait(condition: Callable[[], bool], timeout: float, every: float = 0.005) -> bool:
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(every)
    return True


def _settled(loop: ServoLoop, rate_hz: float) -> List[float]:
    """Waits until the arm has answered for 0.1 s, beyond the link's time-out
    (a grip answers too, with the wrong thing), and is still; its position."""
    if not _wait(lambda: loop.fault is not None or loop.state()["cycle"] >= max(3.0, 0.1 * rate_hz), 5.0):
        raise NoArm(f"the loop ran {loop.state()['cycle']} cycles with it in 5 s")
    if loop.fault is not None:
        raise NoArm(str(loop.fault))
    _wait(lambda: math.hypot(*loop.state()["velocity"]) < SETTLE_SPEED, SETTLE_S)
    return list(loop.state()["position"])


def _run(port: str, rate_hz: float, stiffness: float, damping: float, passivity: bool) -> Tuple[Trial, bool]:
    """One trial; also whether a fault of the link spoilt it."""
    cycles = round(TRIAL_S * rate_hz)
    window = max(2, round(WINDOW_S * rate_hz))
    try:
        loop = ServoLoop(port, rate_hz, force_limit=FORCE_LIMIT_N, ramp_s=0.0, passivity=passivity)
        loop.start()
    except (OSError, RuntimeError) as e:  # no such port, not a terminal, ...
        raise NoArm(str(e)) from None
    try:
        loop.effect = effects.Damper(damping=SETTLE_DAMPING)
        x, y, z = _settled(loop, rate_hz)
        wall = effects.Plane(point=(x, y, z - GAP_M), normal=(0.0, 0.0, 1.0), stiffness=stiffness, damping=damping)
        loop.record(cycles)
        loop.effect = effects.ConstantForce(force=(0.0, 0.0, -PUSH_N)) + wall
        # A loop that keeps its pace takes TRIAL_S; one on a busy machine longer.
        if not _wait(lambda: len(loop.recording()) >= cycles, 10 * TRIAL_S + 10.0, every=0.05):
            raise NoArm(f"the loop ran {len(loop.recording())} of {cycles} cycles in {10 * TRIAL_S + 10.0:g} s")
        recording = loop.recording()[:cycles]
    finally:
        loop.stop()
    last = recording[-window:]
    height = last["position"][:, 2]
    peak_to_peak = float(height.max() - height.min())
    force_peak = float(np.linalg.norm(last["force"], axis=1).max())
    faults = recording["fault"]
    stable = (not faults.any() and peak_to_peak <= STILL_M
              and force_peak < FORCE_LIMIT_N * (1.0 - 1e-4))
    trial: Trial = {"stiffness": float(stiffness), "damping": float(damping), "passivity": bool(passivity),
                    "stable": bool(stable), "peak_to_peak_m": peak_to_peak, "force_peak_n": force_peak}
    return trial, bool(np.isin(faults, LINK_FAULTS).any())


def trial(port: str, rate_hz: float, stiffness: float, damping: float, passivity: bool) -> Trial:
    """One wall on the arm at port; raises NoArm when no arm answers there."""
    for _ in range(TRIES):
        result, link_fault = _run(port, rate_hz, stiffness, damping, passivity)
        if not link_fault:
            return result
    raise NoArm(f"the link faulted in each of {TRIES} tries of a {stiffness:g} N/m wall")


def sweep(port: str, rate_hz: float, stiffnesses: Sequence[float], dampings: Sequence[float],
          progress: Optional[Callable[[Trial], None]] = None) -> List[Trial]:
    """Every stiffness and damping, the controller off then on."""
    results = []
    for damping in dampings:
        for stiffness in stiffnesses:
            for passivity in (False, True):
                results.append(trial(port, rate_hz, stiffness, damping, passivity))
                if progress is not None:
                    progress(results[-1])
    return results


def largest_stable(results: Sequence[Trial]) -> Dict[Tuple[float, bool], Optional[float]]:
    """(damping, passivity) -> the largest stiffness found stable, None: none was."""
    largest: Dict[Tuple[float, bool], Optional[float]] = {}
    for r in results:
        key = (r["damping"], r["passivity"])
        best = largest.get(key)
        largest[key] = max(best or 0.0, r["stiffness"]) if r["stable"] else best
    return largest


def row(r: Trial) -> str:
    return (f"{r['stiffness']:>10g}  {r['damping']:>7g}  {'on' if r['passivity'] else 'off':>10}"
            f"  {'stable' if r['stable'] else 'UNSTABLE':>8}  {r['peak_to_peak_m'] * 1e3:>9.3f}  {r['force_peak_n']:>10.2f}")


HEADER = (f"{'stiffness':>10}  {'damping':>7}  {'controller':>10}  {'wall':>8}  {'p-p (mm)':>9}  {'force (N)':>10}\n"
          f"{'(N/m)':>10}  {'(N s/m)':>7}")


def summary(results: Sequence[Trial]) -> str:
    """The largest stable stiffness per damping, off and on."""
    lines = ["largest stable stiffness (N/m):", f"{'damping (N s/m)':>16}  {'off':>10}  {'on':>10}"]
    largest = largest_stable(results)
    for damping in sorted({d for d, _ in largest}):
        off, on = (largest.get((damping, p)) for p in (False, True))
        lines.append(f"{damping:>16g}  {'none' if off is None else f'{off:g}':>10}"
                     f"  {'none' if on is None else f'{on:g}':>10}")
    return "\n".join(lines)
