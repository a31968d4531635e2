"""
Native part of the vantor package: servo loop, haptic effects, grip reader
"""
from __future__ import annotations
import typing
import logging
import VantorHardwareAPI
from vantor.grip import GripStats, GripStatus
from vantor.servo import ServoState, ServoStats
__all__: list[str] = ['Box', 'Callback', 'ConstantForce', 'Damper', 'Effect', 'GripReader', 'HandleProbe', 'Mesh', 'Plane', 'PortEntry', 'PortKind', 'ProbeOutcome', 'SAMPLE_LAYOUT', 'SAMPLE_SIZE', 'ServoConfig', 'ServoLoop', 'Sphere', 'Spring', 'Sum', 'TalonProbe', 'joint_offsets', 'list_port_entries', 'probe_handle_port', 'probe_talon_port', 'route_device_log', 'write_recording_csv']
class _HandleInfo(typing.TypedDict):
    tool_data_remaining: int
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int
class _HandleProbeStatus(typing.TypedDict):
    device_id: int
    quaternion: list[float]
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes
class Box(Effect):
    """
    Keeps the effector inside the box
    """
    def __init__(self, lower: typing.Sequence[float], upper: typing.Sequence[float], stiffness: float, damping: float = 0.0) -> None:
        ...
    @property
    def damping(self) -> float:
        """
        N s/m, 0 or more
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def lower(self) -> list[float]:
        """
        the lower corner (m), below upper on every axis
        """
    @lower.setter
    def lower(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m, 0 or more
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
    @property
    def upper(self) -> list[float]:
        """
        the upper corner (m)
        """
    @upper.setter
    def upper(self, arg1: typing.Sequence[float]) -> None:
        ...
class Callback(Effect):
    """
    A Python function as an effect, computed on a thread of its own; use vantor.effects.Callback
    """
    def __init__(self, fn: typing.Callable[..., typing.Sequence[float]], *, with_time: bool, max_age_s: float | None, active: bool = False) -> None:
        ...
    @property
    def computed(self) -> int:
        """
        forces computed so far
        """
    @property
    def delay_s(self) -> float:
        """
        how old, on average, the forces the loop used were (s): the delay it adds
        """
    @property
    def error(self) -> BaseException | str | None:
        """
        what the function raised last, or what was wrong with its result; None
        """
    @property
    def max_age_s(self) -> float | None:
        """
        s: how old the input a force answered may be when the loop uses it; None: 8 periods of the loop, at least 8 ms
        """
class ConstantForce(Effect):
    """
    The same force everywhere
    """
    def __init__(self, force: typing.Sequence[float]) -> None:
        ...
    @property
    def force(self) -> list[float]:
        """
        N
        """
    @force.setter
    def force(self, arg1: typing.Sequence[float]) -> None:
        ...
class Damper(Effect):
    """
    Resists motion: -b v
    """
    def __init__(self, damping: float) -> None:
        ...
    @property
    def damping(self) -> float:
        """
        N s/m, 0 or more
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
class Effect:
    """
    A force computed each cycle from position and velocity
    """
    def __add__(self, other: Effect) -> Sum:
        """
        The sum of both: Sum(self, other)
        """
    @property
    def active(self) -> bool:
        """
        whether it does work on the hand on purpose (ConstantForce, a Callback made active): left out of the loop's energy. A Sum's parts each say it
        """
class GripReader:
    """
    The native grip reader; use vantor.GripReader
    """
    def __init__(self, handle_or_port: str | VantorHardwareAPI.Handle, *, wakeup: bool, on_status: typing.Callable[[GripStatus], object] | None, reconnect: bool, reconnect_after_s: float) -> None:
        ...
    def latest(self) -> GripStatus | None:
        ...
    def start(self) -> None:
        ...
    def stats(self) -> GripStats:
        ...
    def stop(self) -> None:
        ...
    @property
    def connected(self) -> bool:
        ...
    @property
    def error(self) -> BaseException | None:
        ...
    @property
    def fault(self) -> str | None:
        ...
    @property
    def running(self) -> bool:
        ...
class HandleProbe:
    """
    What a Handle probe heard
    """
    @property
    def info(self) -> _HandleInfo | None:
        """
        The handle's info reply, or None
        """
    @property
    def outcome(self) -> ProbeOutcome:
        ...
    @property
    def status(self) -> _HandleProbeStatus | None:
        """
        The status message it sent instead, or None
        """
class Mesh(Effect):
    """
    A triangle mesh touched through a proxy; use vantor.effects.Mesh
    """
    def __init__(self, vertices: object, triangles: object, *, stiffness: float, damping: float = 0.0, static_friction: float = 0.0, dynamic_friction: float = 0.0) -> None:
        ...
    @property
    def damping(self) -> float:
        """
        N s/m, 0 or more: along the contact normal
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def dynamic_friction(self) -> float:
        """
        0 to static_friction: sliding, the tangential force is this times the normal force
        """
    @dynamic_friction.setter
    def dynamic_friction(self, arg1: float) -> None:
        ...
    @property
    def rotation(self) -> list[list[float]]:
        """
        the mesh's orientation, a 3x3 rotation matrix (rows); a point x of the mesh is at rotation @ x + translation
        """
    @rotation.setter
    def rotation(self, arg1: object) -> None:
        ...
    @property
    def skipped_triangles(self) -> int:
        """
        the degenerate triangles (no area) left out when it was made
        """
    @property
    def static_friction(self) -> float:
        """
        0 or more: the proxy sticks while the tangential force is at most this times the normal force
        """
    @static_friction.setter
    def static_friction(self, arg1: float) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m, above 0: the spring from the effector to the proxy
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
    @property
    def translation(self) -> list[float]:
        """
        where the mesh's origin is (m); taken whole at the next cycle
        """
    @translation.setter
    def translation(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def triangle_count(self) -> int:
        """
        the triangles rendered (those with an area)
        """
class Plane(Effect):
    """
    A wall through point; normal points into free space. Pushes out only while penetrated
    """
    def __init__(self, point: typing.Sequence[float], normal: typing.Sequence[float], stiffness: float, damping: float = 0.0) -> None:
        ...
    def penetration(self, position: typing.Sequence[float]) -> float:
        """
        How far behind the wall position is (m), 0 in free space
        """
    @property
    def damping(self) -> float:
        """
        N s/m, 0 or more
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def normal(self) -> list[float]:
        """
        out of the wall, into free space; made unit length
        """
    @normal.setter
    def normal(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def point(self) -> list[float]:
        """
        a point of the wall (m)
        """
    @point.setter
    def point(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m, 0 or more
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
class PortEntry:
    """
    A candidate entry of a folder
    """
    def __repr__(self) -> str:
        ...
    @property
    def canonical(self) -> str | None:
        """
        The device node it resolves to; None when none
        """
    @property
    def kind(self) -> PortKind:
        ...
    @property
    def path(self) -> str:
        """
        The entry itself: the folder joined with its name
        """
class PortKind:
    """
    Which text of its name made an entry a candidate port
    
    Members:
    
      ACM
    
      USB
    
      RFCOMM
    """
    ACM: typing.ClassVar[PortKind]  # value = <PortKind.ACM: 1>
    RFCOMM: typing.ClassVar[PortKind]  # value = <PortKind.RFCOMM: 3>
    USB: typing.ClassVar[PortKind]  # value = <PortKind.USB: 2>
    __members__: typing.ClassVar[dict[str, PortKind]]  # value = {'ACM': <PortKind.ACM: 1>, 'USB': <PortKind.USB: 2>, 'RFCOMM': <PortKind.RFCOMM: 3>}
    def __eq__(self, other: object) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: object) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class ProbeOutcome:
    """
    How a probe of one port ended
    
    Members:
    
      Answered
    
      NoAnswer
    
      InUse
    
      NotOpened
    """
    Answered: typing.ClassVar[ProbeOutcome]  # value = <ProbeOutcome.Answered: 0>
    InUse: typing.ClassVar[ProbeOutcome]  # value = <ProbeOutcome.InUse: 2>
    NoAnswer: typing.ClassVar[ProbeOutcome]  # value = <ProbeOutcome.NoAnswer: 1>
    NotOpened: typing.ClassVar[ProbeOutcome]  # value = <ProbeOutcome.NotOpened: 3>
    __members__: typing.ClassVar[dict[str, ProbeOutcome]]  # value = {'Answered': <ProbeOutcome.Answered: 0>, 'NoAnswer': <ProbeOutcome.NoAnswer: 1>, 'InUse': <ProbeOutcome.InUse: 2>, 'NotOpened': <ProbeOutcome.NotOpened: 3>}
    def __eq__(self, other: object) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: object) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class ServoConfig:
    """
    The servo loop's settings, by keyword, checked when made
    """
    def __init__(self, *, rate_hz: float = ..., force_limit: float = ..., ramp_s: float = ..., velocity_limit: float | None = ..., workspace: tuple[typing.Sequence[float], typing.Sequence[float]] | None = ..., exchange_deadline_ms: float = ..., link_timeout_ms: float = ..., reply_timeout_s: float = ..., realtime: bool | None = ..., cpu: int | None = ..., spin_us: float = ..., reconnect: bool = ..., reconnect_after_s: float = ..., passivity: bool = ..., passivity_max_damping: float = ..., velocity_filter_hz: float | None = ...) -> None:
        ...
    @property
    def cpu(self) -> int | None:
        ...
    @property
    def exchange_deadline_ms(self) -> float:
        ...
    @property
    def force_limit(self) -> float:
        ...
    @property
    def link_timeout_ms(self) -> float:
        ...
    @property
    def passivity(self) -> bool:
        ...
    @property
    def passivity_max_damping(self) -> float:
        ...
    @property
    def ramp_s(self) -> float:
        ...
    @property
    def rate_hz(self) -> float:
        ...
    @property
    def realtime(self) -> bool | None:
        ...
    @property
    def reconnect(self) -> bool:
        ...
    @property
    def reconnect_after_s(self) -> float:
        ...
    @property
    def reply_timeout_s(self) -> float:
        ...
    @property
    def spin_us(self) -> float:
        ...
    @property
    def velocity_filter_hz(self) -> float | None:
        ...
    @property
    def velocity_limit(self) -> float | None:
        ...
    @property
    def workspace(self) -> tuple[list[float], list[float]] | None:
        ...
class ServoLoop:
    """
    The native servo loop; use vantor.ServoLoop
    """
    effect: Effect | None
    def __init__(self, talon_or_port: str | VantorHardwareAPI.Talon, config: ServoConfig) -> None:
        ...
    def clear_fault(self) -> None:
        ...
    def record(self, n: int) -> None:
        ...
    def recording_bytes(self) -> bytes:
        ...
    def start(self) -> None:
        ...
    def state(self) -> ServoState:
        ...
    def stats(self) -> ServoStats:
        ...
    def stop(self) -> None:
        ...
    @property
    def fault(self) -> str | None:
        ...
    @property
    def fault_kind(self) -> str | None:
        ...
    @property
    def running(self) -> bool:
        ...
class Sphere(Effect):
    """
    A solid ball, or with inside=True a cage that keeps the effector in
    """
    def __init__(self, center: typing.Sequence[float], radius: float, stiffness: float, damping: float = 0.0, inside: bool = False) -> None:
        ...
    @property
    def center(self) -> list[float]:
        """
        m
        """
    @center.setter
    def center(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def damping(self) -> float:
        """
        N s/m, 0 or more
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def inside(self) -> bool:
        """
        True: a cage that keeps the effector in
        """
    @inside.setter
    def inside(self, arg1: bool) -> None:
        ...
    @property
    def radius(self) -> float:
        """
        m, above 0
        """
    @radius.setter
    def radius(self, arg1: float) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m, 0 or more
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
class Spring(Effect):
    """
    Pulls towards anchor: k (anchor - p) - b v
    """
    def __init__(self, anchor: typing.Sequence[float], stiffness: float, damping: float = 0.0) -> None:
        ...
    @property
    def anchor(self) -> list[float]:
        """
        where it pulls to (m)
        """
    @anchor.setter
    def anchor(self, arg1: typing.Sequence[float]) -> None:
        ...
    @property
    def damping(self) -> float:
        """
        N s/m, 0 or more
        """
    @damping.setter
    def damping(self, arg1: float) -> None:
        ...
    @property
    def stiffness(self) -> float:
        """
        N/m, 0 or more
        """
    @stiffness.setter
    def stiffness(self, arg1: float) -> None:
        ...
class Sum(Effect):
    """
    The sum of other effects
    """
    def __init__(self, *parts: Effect) -> None:
        ...
    @property
    def parts(self) -> list[Effect]:
        """
        the effects it adds up, in order
        """
class TalonProbe:
    """
    What a Talon probe heard
    """
    @property
    def info(self) -> VantorHardwareAPI._DeviceInfo:
        """
        The device information that came back, whichever model sent it; all zero unless it arrived whole
        """
    @property
    def outcome(self) -> ProbeOutcome:
        ...
def joint_offsets() -> list[float]:
    """
    The joint-angle offsets (radians) the library holds for this process
    """
def list_port_entries(dir: str = '/dev') -> list[PortEntry]:
    """
    The entries detection lists in dir, in its order, links that lead nowhere among them
    """
def probe_handle_port(port: str) -> HandleProbe:
    """
    Wakes up port as detect_handles does and says what answered
    """
def probe_talon_port(port: str) -> TalonProbe:
    """
    Wakes up port as detect_talons does and says what answered
    """
def route_device_log(target: logging.Logger | typing.Literal[False] | None) -> None:
    """
    Sends the library's [err] lines to a logger (WARNING), None silences them, False restores standard error
    """
def write_recording_csv(path: str, samples: object) -> None:
    """
    Writes a recording as .csv, the columns in the order of SAMPLE_LAYOUT
    """
SAMPLE_LAYOUT: list[tuple[str, str, int, int, str]] = [('t', '<f8', 0, 1, 't'), ('position', '<f8', 8, 3, 'x,y,z'), ('velocity', '<f8', 32, 3, 'vx,vy,vz'), ('force', '<f8', 56, 3, 'fx,fy,fz'), ('exchange_us', '<f8', 80, 1, 'exchange_us'), ('jitter_us', '<f8', 88, 1, 'jitter_us'), ('late', 'u1', 96, 1, 'late'), ('fault', 'u1', 97, 1, 'fault'), ('energy', '<f8', 104, 1, 'energy'), ('filtered_velocity', '<f8', 112, 3, 'fvx,fvy,fvz'), ('proxy', '<f8', 136, 3, 'px,py,pz')]
SAMPLE_SIZE: int = 160
