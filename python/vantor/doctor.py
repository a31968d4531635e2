"""vantor-doctor: why a Talon or a Handle is not found.

Lists the serial ports that the detection functions probe, says for each one
whether you may open it and, when not, why and what to do, and warns when
ModemManager is running. With --probe it then wakes each listed port up, one at
a time, and says what answered.
"""
from __future__ import annotations

import argparse
import errno
import grp
import os
import pwd
import stat
import sys
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
     an entry that is not a terminal, ModemManager running, or (with --probe)
     a port where nothing answered
  2  bad usage"""

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


def report_ports(dev: str, who: Identity) -> Tuple[List[Port], int]:
    """Reports each candidate entry of `dev`. Returns the ports worth probing,
    each port once, and the number of problems found."""
    ports = list_ports(dev)
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


def main(argv: Optional[Sequence[str]] = None, proc: str = "/proc") -> int:
    parser = argparse.ArgumentParser(prog="vantor-doctor", description=__doc__.splitlines()[0], epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dev", default="/dev", metavar="DIR", help="folder to list (default /dev)")
    parser.add_argument("--probe", action="store_true",
                        help="then wake up each listed port that opens, one at a time (a silent port costs seconds)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.dev):
        parser.error(f"{args.dev} is not a folder")

    who = current_identity()
    groups = ", ".join(sorted(group_name(g) for g in who.session_gids))
    print(f"vantor-doctor: user {who.name} (uid {who.uid}), groups {groups}\n")
    ports, problems = report_ports(args.dev, who)
    problems += report_modem_manager(proc)
    if args.probe:
        problems += probe(ports)
    print(f"\n{problems} problem{'s' if problems != 1 else ''} found: see above." if problems else "\nNo problems found.")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
