"""The TypedDicts of the vantor package say exactly what the bindings build:
every key, no other, each value of its declared type. A key added to a
binding and not to its TypedDict fails here."""
import time
import typing

import pytest

import vantor
from vantor import effects
from conftest import wait_for


def is_typed_dict(hint):
    return isinstance(hint, type) and issubclass(hint, dict) and hasattr(hint, "__total__")


def check(value, hint, where):
    """Fails naming the first place where value is not what hint says."""
    origin = typing.get_origin(hint)
    if is_typed_dict(hint):
        assert type(value) is dict, f"{where}: {value!r} is no dict"
        hints = typing.get_type_hints(hint)
        assert list(value) == list(hints), f"{where}: keys {list(value)}, {hint.__name__} says {list(hints)}"
        for key, key_hint in hints.items():
            check(value[key], key_hint, f"{where}[{key!r}]")
    elif origin is typing.Union:
        options = typing.get_args(hint)
        if value is None:
            assert type(None) in options, f"{where}: None, not {hint}"
        else:
            check(value, next(option for option in options if option is not type(None)), where)
    elif origin is list:
        assert type(value) is list, f"{where}: {value!r} is no list"
        for i, item in enumerate(value):
            check(item, typing.get_args(hint)[0], f"{where}[{i}]")
    else:
        # Exactly: a bool is no int here, and an int where float is declared
        # would print differently from what the reference promises.
        assert type(value) is hint, f"{where}: {value!r} is {type(value).__name__}, not {hint.__name__}"


def test_the_checker_catches_what_it_is_for():
    class Inner(typing.TypedDict):
        p50: float

    class Outer(typing.TypedDict):
        n: int
        inner: Inner
        last: typing.Optional[Inner]
        v: typing.List[float]

    good = {"n": 1, "inner": {"p50": 1.0}, "last": None, "v": [0.0, 1.5]}
    check(good, Outer, "good")
    for bad in ({**good, "extra": 1}, {"n": 1, "inner": {"p50": 1.0}, "last": None},
                {**good, "n": True}, {**good, "inner": {"p50": 1}}, {**good, "last": {"p99": 1.0}},
                {**good, "v": [0.0, "1"]}, {**good, "v": (0.0,)}):
        with pytest.raises(AssertionError):
            check(bad, Outer, "bad")


def test_servo_loop_state_and_stats(simulator):
    port = simulator("talon")
    with vantor.ServoLoop(port, realtime=False) as loop:
        loop.effect = effects.Spring(anchor=(0.0, 0.0, 0.1), stiffness=10.0)
        wait_for(lambda: loop.stats()["cycles"] >= 20)
        check(loop.state(), vantor.ServoState, "state()")
        check(loop.stats(), vantor.ServoStats, "stats()")
        assert loop.stats()["last_fault"] is None

        # A fault fills the optional parts: state's fault and last_fault.
        loop.effect = effects.Callback(lambda p, v: (0.0, 0.0))
        wait_for(lambda: loop.fault is not None)
        state, stats = loop.state(), loop.stats()
    check(state, vantor.ServoState, "state() in a fault")
    check(stats, vantor.ServoStats, "stats() after a fault")
    assert state["fault"] is not None and stats["last_fault"] is not None
    assert stats["last_fault"]["kind"] == "effect_failed" and stats["faults_by_kind"]["effect_failed"] == 1


def test_grip_reader_latest_stats_and_callback(simulator):
    seen = []
    with vantor.GripReader(simulator("handle", "--stream", "100"), on_status=seen.append) as reader:
        wait_for(lambda: reader.stats()["frames_good"] >= 5 and seen)
        latest, stats = reader.latest(), reader.stats()
    check(latest, vantor.GripStatus, "latest()")
    check(seen[0], vantor.GripStatus, "on_status's status")
    check(stats, vantor.GripStats, "stats()")
