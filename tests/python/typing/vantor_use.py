"""The vantor package used the way a program uses it: mypy --strict reports
nothing. Only type-checked, never run."""
import logging
from pathlib import Path
from typing import Optional, Sequence

from typing_extensions import assert_type

import VantorHardwareAPI as api
import vantor
from vantor import effects, plot, simulator


def spring(position: Sequence[float], velocity: Sequence[float]) -> tuple[float, float, float]:
    return (0.0, 0.0, 100.0 * (0.1 - position[2]) - 2.0 * velocity[2])


def pulse(position: list[float], velocity: list[float], t: float, period: float) -> list[float]:
    return [0.0, 0.0, 1.0 if t % 1.0 < 0.5 else 0.0]


def effects_use() -> effects.Effect:
    wall = effects.Plane(point=(0, 0, 0.1), normal=(0, 0, -1), stiffness=400.0, damping=2.0)
    wall.point = [0.0, 0.0, 0.12]
    assert_type(wall.normal, list[float])
    assert_type(wall.penetration((0.0, 0.0, 0.09)), float)
    ball = effects.Sphere(center=(0.0, 0.0, 0.1), radius=0.05, stiffness=300, inside=True)
    ball.radius = 0.04
    ball.inside = False
    box = effects.Box(lower=(-0.1, -0.1, 0.0), upper=(0.1, 0.1, 0.2), stiffness=200.0)
    pull = effects.Spring(anchor=(0.0, 0.0, 0.1), stiffness=100.0)
    pull.anchor = (0.0, 0.0, 0.15)
    total = effects.Sum(wall, ball, box, effects.Damper(damping=1.0), effects.ConstantForce(force=(0, 0, 0.5)))
    assert_type(total.parts, list[effects.Effect])
    callback = effects.Callback(spring, max_age_s=0.01)
    assert_type(callback.error, BaseException | str | None)
    assert_type(effects.Callback(pulse) + pull, effects.Sum)
    return callback + total


def loop_use(port: str) -> None:
    with vantor.ServoLoop(port, 1000.0, force_limit=2.0, ramp_s=0.5, velocity_limit=0.5,
                          workspace=((-0.1, -0.1, 0.0), (0.1, 0.1, 0.2)), exchange_deadline_ms=5.0,
                          link_timeout_ms=50, reply_timeout_s=1.0, realtime=None, reconnect=True,
                          reconnect_after_s=1.0, cpu=1, spin_us=50.0) as loop:
        assert_type(loop, vantor.ServoLoop)
        assert_type(loop.effect, Optional[effects.Effect])
        loop.effect = effects_use()
        loop.effect = effects.Callback(lambda p, v: (0.0, 0.0, 0.0))
        state = loop.state()
        assert_type(state, vantor.ServoState)
        assert_type(state["t"], float)
        assert_type(state["cycle"], int)
        assert_type(state["position"], list[float])
        assert_type(state["force"], list[float])
        assert_type(state["connected"], bool)
        assert_type(state["fault"], Optional[str])
        stats = loop.stats()
        assert_type(stats["rate_hz"], float)
        assert_type(stats["late_cycles"], int)
        assert_type(stats["jitter_us"]["p99"], float)
        assert_type(stats["exchange_us"]["max"], float)
        assert_type(stats["faults_by_kind"]["velocity_limit"], int)
        assert_type(stats["realtime"], bool)
        last = stats["last_fault"]
        if last is not None:
            assert_type(last["kind"], str)
            assert_type(last["t"], float)
        assert_type(loop.fault, Optional[str])
        assert_type(loop.running, bool)
        loop.clear_fault()
        loop.record(1000)
        recording = loop.recording()
        loop.effect = None
    vantor.save_recording(Path("run.npz"), recording)
    vantor.save_recording("run.csv", vantor.load_recording("run.npz"))
    plot.figure(vantor.load_recording(Path("run.csv")), title="run").savefig("run.png")

    arm = api.Talon(api.SerialStream(port))
    loop = vantor.ServoLoop(arm, rate_hz=500).start()
    loop.stop()
    vantor.ServoLoop(Path(port)).start().stop()


def report(stats: vantor.ServoStats) -> str:
    return f"{stats['cycles']} cycles, jitter p99 {stats['jitter_us']['p99']:.0f} us"


def on_status(status: vantor.GripStatus) -> None:
    assert_type(status["age_s"], float)
    assert_type(status["quaternion"], list[float])


def grip_use(port: str) -> None:
    with vantor.GripReader(port, wakeup=True, on_status=on_status, reconnect=True, reconnect_after_s=2.0) as reader:
        latest = reader.latest()
        assert_type(latest, Optional[vantor.GripStatus])
        if latest is not None:
            assert_type(latest["buttons"], int)
            assert_type(latest["battery_level"], float)
        stats = reader.stats()
        assert_type(stats["frames_good"], int)
        assert_type(stats["cpu_percent"], float)
        assert_type(reader.connected, bool)
        assert_type(reader.fault, Optional[str])
        assert_type(reader.error, Optional[BaseException])
    grip = vantor.GripReader(api.Handle(api.SerialStream(port)), on_status=lambda status: print(status["buttons"]))
    grip.start().stop()


def tools_use() -> None:
    vantor.route_device_log(logging.getLogger("arm"))
    vantor.route_device_log(None)
    vantor.restore_device_log()
    with simulator.simulated("talon") as port:
        assert_type(port, str)
    sim = simulator.Simulator("handle", "--stream", "100")
    assert_type(sim.port, str)
    sim.stop()
