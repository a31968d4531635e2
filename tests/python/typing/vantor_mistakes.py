"""Typical mistakes with the vantor package: mypy --strict reports an error on
each line that ends in an "E:" comment (the error code, then part of the
message), and nowhere else. Only type-checked, never run."""
import vantor
from vantor import effects


def loop_mistakes(loop: vantor.ServoLoop, wall: effects.Plane) -> None:
    effects.Spring(anchor=(0, 0), stiffness="stiff")  # E: arg-type Argument "stiffness" to "Spring" has incompatible type "str"
    loop.effect = lambda p, v: (0, 0, 0)  # E: assignment "Effect | None"
    loop.effect = wall + [0.0, 0.0, 1.0]  # E: operator Unsupported operand types for +
    effects.Callback(lambda p, v: (0, 0, 0), max_age_s="1 ms")  # E: arg-type expected "float | None"
    wall.normal = 1.0  # E: assignment "Sequence[float]"
    loop.stats()["late_cycle"]  # E: typeddict-item "late_cycle"
    loop.stats()["jitter_us"]["p90"]  # E: typeddict-item "p90"
    loop.state()["position"][0] + "m"  # E: operator Unsupported operand types for +
    vantor.ServoLoop("/dev/ttyACM0", realtime="no")  # E: arg-type expected "bool | None"
    vantor.ServoLoop("/dev/ttyACM0", 1000, 2.0)  # E: call-arg Too many positional arguments
    vantor.ServoLoop("/dev/ttyACM0", force_limt=2.0)  # E: call-arg Unexpected keyword argument "force_limt"


def grip_mistakes(reader: vantor.GripReader) -> None:
    reader.latest()["buttons"]  # E: index "GripStatus | None" is not indexable
    reader.stats()["frames"]  # E: typeddict-item "frames"
    vantor.GripReader("/dev/ttyUSB0", on_status=lambda: None)  # E: arg-type "Callable[[GripStatus], object] | None"
    vantor.GripReader("/dev/ttyUSB0", True)  # E: call-arg Too many positional arguments
