"""vantor-doctor: why a Talon or a Handle is not found.

Lists the serial ports that the detection functions probe, says for each one
whether you may open it and, when not, why and what to do, and warns when
ModemManager is running. With --probe it then wakes each listed port up, one at
a time, and says what answered.
"""
from __future__ import annotations

import argparse
import errno
import fcntl
import grp
import os
import platform
import pwd
import re
import resource
import stat
import struct
import sys
import termios
import time
from typing import Any, Dict, FrozenSet, List, NamedTuple, Optional, Sequence, Tuple

from vantor import _native

# Seconds a silent port costs: one reply time-out per handle probe, two per
# Talon probe (the wake-up reply, then the drain that follows a wrong reply).
SILENT_HANDLE = (5, 6)
SILENT_TALON = (10, 12)

# How long detection waits for an answer: a slower device is not listed.
TALON_WAIT = 3.0
HANDLE_WAIT = 5.0

EPILOG = """exit status:
  0  every listed port opens read-write and nothing suspicious was found
  1  a problem was found: a port you cannot open, a link that leads nowhere,
     an entry that is not a terminal, ModemManager running, a USB serial port
     whose latency_timer is above 1 ms (it caps a 1 kHz loop), or (with
     --probe) a port where nothing answered
  2  bad usage

What only makes a loop's cycles start late, without capping its rate, is
reported and does not change the exit status: no permission for SCHED_FIFO,
a kernel without PREEMPT_RT, a CPU governor other than performance, a single
online CPU, low_latency off. docs/real-time.md gives the setup."""

class Port(NamedTuple):
    path: str                 # the entry in the folder listed
    kind: str                 # ACM, USB or RFCOMM
    canonical: Optional[str]  # None for a link that leads nowhere


def list_ports(dev: str = "/dev") -> List[Port]:
    """The candidate entries of `dev`, in the order detection probes them:
    the library's own listing, which keeps the links that lead nowhere."""
    return [Port(entry.path, entry.kind.name, entry.canonical) for entry in _native.list_port_entries(dev)]


class Identity(NamedTuple):
    uid: int
    name: str
    session_gids: FrozenSet[int]  # the groups this process runs with
    member_gids: FrozenSet[int]   # the groups the user database gives the user


def current_identity() -> Identity:
    uid = os.geteuid()
    session = frozenset(os.getgroups()) | {os.getegid()}
    try:
        user = pwd.getpwuid(uid)
    except KeyError:
        return Identity(uid, str(uid), session, session)
    members = {user.pw_gid}
    for group in grp.getgrall():
        if user.pw_name in group.gr_mem:
            members.add(group.gr_gid)
    return Identity(uid, user.pw_name, session, frozenset(members))


def group_name(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def user_name(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def node_type(mode: int) -> str:
    if stat.S_ISCHR(mode):
        return "character device"
    if stat.S_ISREG(mode):
        return "regular file"
    if stat.S_ISDIR(mode):
        return "directory"
    return "special file"


RW = {"owner": stat.S_IRUSR | stat.S_IWUSR, "group": stat.S_IRGRP | stat.S_IWGRP, "other": stat.S_IROTH | stat.S_IWOTH}


def udev_fix(group: str) -> str:
    return f'a udev rule giving the port GROUP="{group}", MODE="0660"'


def permission_advice(st: os.stat_result, who: Identity) -> List[str]:
    """Why the mode bits refuse `who` read-write access, and what to do."""
    if who.uid == 0:
        return ["root is not bound by the mode bits: something else refuses (a security module, a container)"]
    group = group_name(st.st_gid)
    can = {cls: st.st_mode & bits == bits for cls, bits in RW.items()}
    # The kernel applies one class of bits: the owner's, else the group's, else the others'.
    if st.st_uid == who.uid:
        applies = "owner"
    elif st.st_gid in who.session_gids:
        applies = "group"
    else:
        applies = "other"
    if can[applies]:
        return [f"the mode bits let you read and write (as {applies}): something else refuses"]
    if applies == "owner":
        return ["you own the port, but its mode gives the owner no read-write", f"fix: {udev_fix(group)}"]
    if applies == "group":
        return [f"you are in group {group}, but its mode gives the group no read-write", f"fix: {udev_fix(group)}"]
    if st.st_gid == 0 or not can["group"]:
        why = "the port's group is root, not one to join" if st.st_gid == 0 else f"group {group} may not read-write either"
        return [why, f"fix: {udev_fix('dialout' if st.st_gid == 0 else group)}, and be in that group"]
    if st.st_gid in who.member_gids:
        return [
            f"you are in group {group}, but not in this session: it was added after you logged in",
            f"fix: log out and back in (or run `newgrp {group}` in this shell)",
        ]
    return [
        f"you ({who.name}) are not in group {group}",
        f"fix: sudo usermod -aG {group} $USER, then log out and back in",
        f"     or, if you may not join {group}, a udev rule giving the port one of your groups",
    ]


OPEN_ERRORS: Dict[int, str] = {
    errno.EBUSY: "another program holds the port exclusively: close it",
    errno.ENXIO: "no device behind this node: unplugged, or a stale node",
    errno.ENODEV: "no device behind this node: unplugged, or a stale node",
    errno.ENOENT: "the node has gone: unplugged while looking",
    errno.EIO: "the device does not answer the kernel: replug it",
}


class Check(NamedTuple):
    lines: List[str]
    usable: bool  # opens read-write and is a terminal: a device may be behind it


def check_port(path: str, who: Identity) -> Check:
    """Report lines on opening `path` the way the library opens a port."""
    try:
        st = os.stat(path)
    except OSError as e:
        return Check([f"cannot look at it: [{e.errno}] {e.strerror}"], False)
    owner, group = user_name(st.st_uid), group_name(st.st_gid)
    can = [whom for cls, whom in (("owner", f"user {owner}"), ("group", f"group {group}"), ("other", "everyone"))
           if st.st_mode & RW[cls] == RW[cls]]
    lines = [f"{node_type(st.st_mode)}, {stat.filemode(st.st_mode)} {owner} {group};"
             f" read-write for {', '.join(can) if can else 'root only'}"]
    access = "yes" if os.access(path, os.R_OK | os.W_OK) else "no"
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        lines.append(f"open read-write: FAILS, [{e.errno}] {e.strerror} (access check: {access})")
        if e.errno in (errno.EACCES, errno.EPERM):
            lines += permission_advice(st, who)
        else:
            lines.append(OPEN_ERRORS.get(e.errno or 0, "the library cannot open it either"))
        return Check(lines, False)
    try:
        terminal = os.isatty(fd)
    finally:
        os.close(fd)
    lines.append(f"open read-write: ok (access check: {access})")
    if not terminal:
        lines.append("not a terminal: no device is behind it, and a probe would write into it")
    return Check(lines, terminal)


def find_processes(name: str, proc: str = "/proc") -> List[int]:
    """Ids of the processes whose command name is `name`."""
    pids: List[int] = []
    try:
        entries = os.listdir(proc)
    except OSError:
        return pids
    for entry in entries:
        if not entry.isdigit():
            continue
        try:
            with open(os.path.join(proc, entry, "comm")) as f:
                if f.read().strip() == name:
                    pids.append(int(entry))
        except OSError:
            continue  # gone meanwhile, or hidden from us
    return sorted(pids)


def target(path: str) -> str:
    try:
        return os.readlink(path)
    except OSError:
        return "?"


def report_ports(dev: str, ports: Sequence[Port], who: Identity) -> Tuple[List[Port], int]:
    """Reports each candidate entry of `dev` (ports, as listed). Returns the
    ports worth probing, each port once, and the number of problems found."""
    print(f"Candidate ports in {dev} (names containing ttyACM, ttyUSB or rfcomm): {len(ports)}")
    if not ports:
        print("  none: no device is plugged in, or its driver did not create a port")
        return [], 0
    usable: List[Port] = []
    problems = 0
    seen: Dict[str, str] = {}
    for port in ports:
        if port.canonical is None:
            print(f"\n{port.path}  {port.kind}  -> {target(port.path)} (missing)")
            print("  a link that leads nowhere: every detection function fails on it; remove it")
            problems += 1
            continue
        print(f"\n{port.path}  {port.kind}  {port.canonical}")
        if port.canonical in seen:
            # A udev link next to its port does this; it costs a second probe, nothing more.
            print(f"  same port as {seen[port.canonical]}: probed twice, and may be listed twice")
            continue
        seen[port.canonical] = port.path
        check = check_port(port.canonical, who)
        for line in check.lines:
            print(f"  {line}")
        if check.usable:
            usable.append(port)
        else:
            problems += 1
    if who.uid == 0:
        print("\nYou are root: root opens every port. Run vantor-doctor as the user who runs the program.")
    return usable, problems


def report_modem_manager(proc: str) -> int:
    pids = find_processes("ModemManager", proc)
    if not pids:
        return 0
    print(f"\nWARNING: ModemManager is running (pid {', '.join(map(str, pids))}).")
    print("  It opens new ttyACM ports and writes to them for several seconds after plug-in,")
    print("  so a Talon plugged in just now may not answer. Wait 10 s after plugging in,")
    print('  add ENV{ID_MM_DEVICE_IGNORE}="1" to the port\'s udev rule, or, with no modem')
    print("  on this machine: sudo systemctl disable --now ModemManager")
    return 1


class Answer(NamedTuple):
    found: Optional[str]  # what answered, or None
    why: List[str]        # when nothing did, what is known of why


def probe_talon(path: str) -> Answer:
    """Wakes up `path` the way detect_talons does."""
    probe = _native.probe_talon_port(path)
    info = probe.info
    if probe.outcome == _native.ProbeOutcome.Answered:
        return Answer(f"a Talon: device id {info['device_id']}, hardware {info['hardware_version']},"
                      f" firmware {info['firmware_version']}", [])
    if probe.outcome == _native.ProbeOutcome.NoAnswer and info["device_model_number"]:
        return Answer(None, [f"a device of model {info['device_model_number']} answered, which is not a Talon"])
    return Answer(None, not_probed(probe.outcome, path) or
                  ["a Handle on a ttyACM port does not answer as a Talon: open it as a Handle"])


def probe_handle(path: str) -> Answer:
    """Wakes up `path` the way detect_handles does."""
    probe = _native.probe_handle_port(path)
    if probe.info is not None:
        info = probe.info
        return Answer(f"a Handle: device id {info['device_id']}, model {info['device_model_number']},"
                      f" hardware {info['hardware_version']}, firmware {info['firmware_version']}", [])
    if probe.status is not None:
        return Answer("a Handle: it sent a status message", [])
    return Answer(None, not_probed(probe.outcome, path))


def not_probed(outcome: Any, path: str) -> List[str]:
    """Why the probe left the port alone; empty when it did wake it up."""
    if outcome == _native.ProbeOutcome.InUse:
        return ["in use: another program holds the port's lock, and detection leaves such a port alone",
                f"fix: close that program (`fuser {path}` names it)"]
    if outcome == _native.ProbeOutcome.NotOpened:
        return ["it did not open for the probe: unplugged meanwhile?"]
    return []


def probe(ports: Sequence[Port]) -> int:
    """Wakes up each port with detection's own probe. Returns the number of
    ports where nothing answered."""
    if not ports:
        print("\nNothing to probe.")
        return 0
    talons = sum(1 for port in ports if port.kind == "ACM")
    handles = len(ports) - talons
    worst = talons * SILENT_TALON[1] + handles * SILENT_HANDLE[1]
    print(f"\nProbing {len(ports)} port{'s' if len(ports) != 1 else ''} one at a time: a ttyACM port for a Talon,"
          " a ttyUSB or rfcomm port for a Handle.")
    print(f"A silent port costs {SILENT_TALON[0]}-{SILENT_TALON[1]} s (ttyACM) or "
          f"{SILENT_HANDLE[0]}-{SILENT_HANDLE[1]} s (the others): up to {worst} s in all.")
    silent = 0
    for port in ports:
        print(f"{port.path} ... ", end="", flush=True)
        start = time.monotonic()
        path = port.canonical or port.path  # what detection opens
        answer = probe_talon(path) if port.kind == "ACM" else probe_handle(path)
        elapsed = time.monotonic() - start
        if answer.found is None:
            silent += 1
            kind = "Talon" if port.kind == "ACM" else "Handle"
            print(f"no {kind} answered ({elapsed:.1f} s)")
            for line in answer.why:
                print(f"  {line}")
            sys.stdout.flush()
            continue
        print(f"{answer.found} ({elapsed:.1f} s)", flush=True)
        wait = TALON_WAIT if port.kind == "ACM" else HANDLE_WAIT
        if elapsed > wait:
            print(f"  it took longer than the {wait:.0f} s detection waits for: detection will not list it")
    return silent


# --- what decides a haptic loop's timing ---------------------------------------------

# The priority the servo loop's thread asks for (Control/Threads.h): an
# RLIMIT_RTPRIO below it refuses the loop, however close.
LOOP_PRIORITY = os.sched_get_priority_min(os.SCHED_FIFO) + 10
CAP_SYS_NICE = 23
RT_GROUP = "haptics"
LIMITS_FILE = f"/etc/security/limits.d/99-{RT_GROUP}.conf"
LATENCY_RULE_FILE = "/etc/udev/rules.d/99-ftdi-latency.rules"
LATENCY_RULE = 'ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"'
ASYNC_LOW_LATENCY = 1 << 13
# struct serial_struct of <linux/serial.h>, native alignment; flags is the fifth field.
SERIAL_STRUCT = struct.Struct("@iiIiiiiiHcciHHPHIL")
TIOCGSERIAL = getattr(termios, "TIOCGSERIAL", 0x541E)


def read_text(path: str) -> Optional[str]:
    """The file's content, stripped, or None when it is missing or unreadable."""
    try:
        with open(path) as f:
            return f.read().strip()
    except (OSError, UnicodeDecodeError):
        return None


def parse_cpu_list(text: str) -> List[int]:
    """CPU numbers from the kernel's list format, e.g. "0-3,6"."""
    cpus: List[int] = []
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        first, _, last = part.partition("-")
        cpus.extend(range(int(first), int(last or first) + 1))
    return cpus


def cpu_ranges(cpus: Sequence[int]) -> str:
    """"cpu0-3,6" for [0, 1, 2, 3, 6]."""
    runs: List[List[int]] = []
    for cpu in sorted(cpus):
        if runs and cpu == runs[-1][1] + 1:
            runs[-1][1] = cpu
        else:
            runs.append([cpu, cpu])
    return "cpu" + ",".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def effective_capabilities(proc: str) -> Optional[int]:
    status = read_text(os.path.join(proc, "self", "status"))
    for line in (status or "").splitlines():
        if line.startswith("CapEff:"):
            try:
                return int(line.split(":", 1)[1], 16)
            except ValueError:
                return None
    return None


def limit_text(value: int) -> str:
    return "unlimited" if value == resource.RLIM_INFINITY else str(value)


def rt_group_gid() -> Optional[int]:
    try:
        return grp.getgrnam(RT_GROUP).gr_gid
    except KeyError:
        return None


def realtime_permission(who: Identity, rtprio: Tuple[int, int], caps: Optional[int],
                        group_gid: Optional[int]) -> Tuple[List[str], bool]:
    """Report lines on whether `who` may put the loop's thread under
    SCHED_FIFO, and whether it may."""
    soft, hard = rtprio
    lines = [f"RLIMIT_RTPRIO: soft {limit_text(soft)}, hard {limit_text(hard)}"
             f" (the servo loop asks for priority {LOOP_PRIORITY})"]
    nice = None if caps is None else bool(caps >> CAP_SYS_NICE & 1)
    has = "unknown (no CapEff in /proc/self/status)" if nice is None else "yes" if nice else "no"
    lines.append(f"CAP_SYS_NICE: {has}; root: {'yes' if who.uid == 0 else 'no'}")

    def allows(limit: int) -> bool:
        return limit == resource.RLIM_INFINITY or limit >= LOOP_PRIORITY

    if nice:
        return lines + ["SCHED_FIFO: permitted (CAP_SYS_NICE)"], True
    if allows(soft):
        return lines + ["SCHED_FIFO: permitted (RLIMIT_RTPRIO)"], True
    if who.uid == 0 and nice is None:
        return lines + ["SCHED_FIFO: permitted to root, unless a container took CAP_SYS_NICE away"], True
    lines.append("SCHED_FIFO: NOT permitted: the loop's thread shares its core with every other program,"
                 " which can start a cycle late")
    if who.uid == 0:
        return lines + ["root without CAP_SYS_NICE: a container; give it the capability"
                        " (docker run --cap-add SYS_NICE) or the limit (--ulimit rtprio=95)"], False
    if allows(hard):
        return lines + [f"fix: the hard limit allows it: run `ulimit -r {limit_text(hard)}` in the shell"
                        " that starts the program"], False
    if 0 < soft:
        lines.append(f"the limit {soft} is below the loop's priority {LOOP_PRIORITY}")
    if group_gid is not None and group_gid in who.session_gids:
        return lines + [f"you are in group {RT_GROUP}, yet the limit does not allow it:"
                        f" check {LIMITS_FILE} (@{RT_GROUP} - rtprio 95)"], False
    if group_gid is not None and group_gid in who.member_gids:
        return lines + [f"you are in group {RT_GROUP}, but not in this session: it was added after you logged in",
                        "fix: log in again"], False
    return lines + [
        "fix: a group whose members may, once (docs/real-time.md):",
        f"     sudo groupadd -f {RT_GROUP} && sudo usermod -aG {RT_GROUP} $USER",
        f"     {LIMITS_FILE} holding the two lines",
        f"       @{RT_GROUP} - rtprio 95",
        f"       @{RT_GROUP} - memlock unlimited",
        "     then log in again",
    ], False


def report_realtime(who: Identity, proc: str, rtprio: Tuple[int, int]) -> int:
    """Returns 1 when the loop cannot have SCHED_FIFO: a note, not a problem."""
    lines, permitted = realtime_permission(who, rtprio, effective_capabilities(proc), rt_group_gid())
    print("Real-time scheduling (SCHED_FIFO) for the loop's thread:")
    for line in lines:
        print(f"  {line}")
    return 0 if permitted else 1


def report_cpus(sys_root: str) -> int:
    """Online and isolated CPUs. Returns 1 for a single online CPU."""
    base = os.path.join(sys_root, "devices", "system", "cpu")
    online = parse_cpu_list(read_text(os.path.join(base, "online")) or "")
    isolated = parse_cpu_list((read_text(os.path.join(base, "isolated")) or "").replace("(null)", ""))
    nohz = parse_cpu_list((read_text(os.path.join(base, "nohz_full")) or "").replace("(null)", ""))
    if not online:
        print(f"CPUs: the online list ({base}/online) cannot be read")
        return 0
    print(f"CPUs: {len(online)} online ({cpu_ranges(online)});"
          f" isolated (isolcpus=): {cpu_ranges(isolated) if isolated else 'none'};"
          f" nohz_full: {cpu_ranges(nohz) if nohz else 'none'}")
    if len(online) == 1:
        print("  one CPU: a loop under SCHED_FIFO would hold it from everything else, so ServoLoop's default"
              " (realtime=None) does not ask for it")
        return 1
    return 0


def report_governors(sys_root: str) -> int:
    """The frequency governor of each online CPU. Returns 1 when one of them
    is not performance."""
    base = os.path.join(sys_root, "devices", "system", "cpu")
    online = parse_cpu_list(read_text(os.path.join(base, "online")) or "")
    if not online:
        online = sorted(int(name[3:]) for name in os.listdir(base) if re.fullmatch(r"cpu\d+", name)) \
            if os.path.isdir(base) else []
    by_governor: Dict[str, List[int]] = {}
    for cpu in online:
        governor = read_text(os.path.join(base, f"cpu{cpu}", "cpufreq", "scaling_governor"))
        if governor is not None:
            by_governor.setdefault(governor, []).append(cpu)
    if not by_governor:
        print("CPU frequency governor: none exposed (no cpufreq in sysfs, as on most virtual machines):"
              " nothing to set here")
        return 0
    missing = sorted(set(online) - {cpu for cpus in by_governor.values() for cpu in cpus})
    listed = [f"{governor} on {cpu_ranges(cpus)}" for governor, cpus in sorted(by_governor.items())]
    if missing:
        listed.append(f"none exposed on {cpu_ranges(missing)}")
    print(f"CPU frequency governor: {', '.join(listed)}")
    slow = sorted(governor for governor in by_governor if governor != "performance")
    if not slow:
        return 0
    print(f"  {', '.join(slow)} lets a core slow down between cycles: each cycle then wakes up later and runs"
          " slower;")
    print("  performance is what a haptic loop wants")
    print("  fix: sudo cpupower frequency-set -g performance")
    print(f"       or: echo performance | sudo tee {base}/cpu*/cpufreq/scaling_governor (both until reboot)")
    return 1


def report_kernel(sys_root: str, proc: str, version: str) -> None:
    # Older real-time kernels say "PREEMPT RT" in their version.
    realtime = read_text(os.path.join(sys_root, "kernel", "realtime")) == "1" or \
        re.search(r"\bPREEMPT[_ ]RT\b", version) is not None
    print(f"Kernel {platform.release()}: {version}")
    if realtime:
        print("  a real-time kernel (PREEMPT_RT): the shortest worst-case wake-up")
    else:
        print("  not a real-time kernel (no PREEMPT_RT): SCHED_FIFO holds a 1 kHz loop on it;"
              " PREEMPT_RT narrows the worst case")
    if "PREEMPT_DYNAMIC" in version.split():
        # The model in use is a debugfs file, root's only; the boot parameter is public.
        debug = os.path.join(sys_root, "kernel", "debug", "sched", "preempt")
        current = read_text(debug) or ""
        chosen = re.search(r"\((\w+)\)", current)
        boot = re.search(r"(?:^|\s)preempt=(\S+)", read_text(os.path.join(proc, "cmdline")) or "")
        if chosen:
            model = f"{chosen.group(1)} (of {current.replace('(', '').replace(')', '')})"
        elif boot:
            model = f"{boot.group(1)} (the preempt= boot parameter)"
        else:
            model = f"the kernel's built-in default, not visible here ({debug} is root's, on debugfs)"
        print(f"  preemption chosen at boot (PREEMPT_DYNAMIC): {model}")


def serial_flags(path: str) -> Tuple[Optional[int], str]:
    """The port's ASYNC_* flags from TIOCGSERIAL, or None and why not."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        return None, f"does not open: [{e.errno}] {e.strerror}"
    try:
        buffer = fcntl.ioctl(fd, TIOCGSERIAL, bytes(SERIAL_STRUCT.size))
    except OSError as e:
        return None, f"TIOCGSERIAL refused: [{e.errno}] {e.strerror}"
    finally:
        os.close(fd)
    return SERIAL_STRUCT.unpack(buffer)[4] & 0xFFFFFFFF, ""


def tty_name(path: str, sys_root: str) -> str:
    """The kernel's name of the terminal at `path`, found by its device
    numbers, so that a node of any name is recognized; else the file name."""
    try:
        st = os.stat(path)
        if stat.S_ISCHR(st.st_mode):
            link = os.path.join(sys_root, "dev", "char", f"{os.major(st.st_rdev)}:{os.minor(st.st_rdev)}")
            if os.path.exists(link):
                return os.path.basename(os.path.realpath(link))
    except OSError:
        pass
    return os.path.basename(path)


def report_usb_latency(ports: Sequence[Port], sys_root: str) -> int:
    """The latency timer and low_latency flag of each USB serial port.
    Returns the number of ports whose timer caps a 1 kHz loop."""
    devices = os.path.join(sys_root, "bus", "usb-serial", "devices")
    usb: Dict[str, Port] = {}
    for port in ports:
        if port.canonical is None:
            continue
        name = tty_name(port.canonical, sys_root)
        if re.fullmatch(r"ttyUSB\d+", name) or os.path.isdir(os.path.join(devices, name)):
            usb.setdefault(name, port)
    problems = 0
    for name, port in usb.items():
        entry = os.path.join(devices, name)
        print(f"USB serial port {port.path} ({name}):")
        if not os.path.isdir(entry):
            print(f"  no {entry}: this kernel does not list it as a USB serial adapter")
            continue
        driver_link = os.path.join(entry, "driver")
        driver = os.path.basename(os.readlink(driver_link)) if os.path.islink(driver_link) else "unknown"
        timer_file = os.path.join(entry, "latency_timer")
        timer = read_text(timer_file)
        if not os.path.exists(timer_file):
            print(f"  driver {driver}: no latency_timer, the adapter's own buffering decides")
        elif timer is None or not timer.isdigit():
            print(f"  driver {driver}: latency_timer cannot be read ({timer_file})")
        elif int(timer) <= 1:
            print(f"  driver {driver}: latency_timer {timer} ms: good")
        else:
            ms = int(timer)
            problems += 1
            print(f"  driver {driver}: latency_timer {ms} ms: CAPS THE LOOP. The adapter holds a short reply"
                  f" up to {ms} ms before passing it on,")
            print(f"  so an exchange loop runs at most about {1000 // ms} Hz and a streamed frame arrives up to"
                  f" {ms} ms late")
            print(f"  fix: {LATENCY_RULE_FILE} holding")
            print(f"       {LATENCY_RULE}")
            print("       then `sudo udevadm control --reload` and plug the adapter in again;")
            print(f"       until it is unplugged: echo 1 | sudo tee {timer_file}")
        flags, why = serial_flags(port.canonical or port.path)
        if flags is None:
            print(f"  low_latency: unknown ({why})")
        elif flags & ASYNC_LOW_LATENCY:
            print("  low_latency: on")
        else:
            print(f"  low_latency: off (`setserial {port.canonical} low_latency` sets it)")
    return problems


class Timing(NamedTuple):
    problems: int  # what caps a 1 kHz loop
    notes: int     # what makes cycles late without capping the rate


def report_timing(ports: Sequence[Port], who: Identity, proc: str, sys_root: str,
                  rtprio: Tuple[int, int], version: str) -> Timing:
    print("\nWhat decides a haptic loop's timing on this machine:")
    notes = report_realtime(who, proc, rtprio)
    notes += report_cpus(sys_root)
    notes += report_governors(sys_root)
    report_kernel(sys_root, proc, version)
    return Timing(report_usb_latency(ports, sys_root), notes)


def make_parser() -> argparse.ArgumentParser:
    """The command line, also read by the generated reference."""
    parser = argparse.ArgumentParser(prog="vantor-doctor", description=__doc__.splitlines()[0], epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dev", default="/dev", metavar="DIR", help="folder to list (default /dev)")
    parser.add_argument("--sys", default="/sys", metavar="DIR",
                        help="where the kernel's sysfs is (default /sys)")
    parser.add_argument("--probe", action="store_true",
                        help="then wake up each listed port that opens, one at a time (a silent port costs seconds)")
    return parser


def main(argv: Optional[Sequence[str]] = None, proc: str = "/proc",
         rtprio: Optional[Tuple[int, int]] = None, kernel_version: Optional[str] = None) -> int:
    """proc, rtprio (soft, hard) and kernel_version stand in for this
    machine's, as --dev and --sys do for /dev and /sys."""
    parser = make_parser()
    args = parser.parse_args(argv)
    for folder in (args.dev, args.sys):
        if not os.path.isdir(folder):
            parser.error(f"{folder} is not a folder")

    who = current_identity()
    groups = ", ".join(sorted(group_name(g) for g in who.session_gids))
    print(f"vantor-doctor: user {who.name} (uid {who.uid}), groups {groups}\n")
    # Listed once, so the port and timing sections speak of the same ports.
    listed = list_ports(args.dev)
    ports, problems = report_ports(args.dev, listed, who)
    problems += report_modem_manager(proc)
    timing = report_timing(listed, who, proc, args.sys,
                           rtprio if rtprio is not None else resource.getrlimit(resource.RLIMIT_RTPRIO),
                           kernel_version if kernel_version is not None else platform.version())
    problems += timing.problems
    if args.probe:
        problems += probe(ports)
    print(f"\n{problems} problem{'s' if problems != 1 else ''} found: see above." if problems else "\nNo problems found.")
    if timing.notes:
        print(f"{timing.notes} timing note{'s' if timing.notes != 1 else ''} above: cycles may start late,"
              " the rate is not capped.")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
