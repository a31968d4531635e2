"""vantor-doctor: why a Talon or a Handle is not found.

Lists the serial ports that the detection functions probe, says for each one
whether you may open it and, when not, why and what to do, and warns when
ModemManager is running. With --probe it then runs the detection functions.
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
from typing import Dict, FrozenSet, Iterable, List, NamedTuple, Optional, Sequence

# Tested in this order, like discovery does: the first match decides.
KINDS = (("ttyACM", "ACM"), ("ttyUSB", "USB"), ("rfcomm", "RFCOMM"))

# Seconds a silent port costs: one reply time-out per handle probe, two per
# Talon probe (the wake-up reply, then the drain that follows a wrong reply).
SILENT_HANDLE = (5, 6)
SILENT_TALON = (10, 12)

# What --probe runs, and the port kinds each function probes.
PROBES = (
    ("detect_talons", ("ACM",), SILENT_TALON),
    ("detect_wired_handles", ("USB",), SILENT_HANDLE),
    ("detect_wireless_handles", ("RFCOMM",), SILENT_HANDLE),
)



def port_kind(name: str) -> Optional[str]:
    for text, kind in KINDS:
        if text in name:
            return kind
    return None


class Port(NamedTuple):
    path: str                 # the entry in the folder listed
    kind: str                 # ACM, USB or RFCOMM
    canonical: Optional[str]  # None for a link that leads nowhere


def list_ports(dev: str = "/dev") -> List[Port]:
    """The candidate entries of `dev`, in the order detection probes them."""
    ports: List[Port] = []
    for name in os.listdir(dev):  # directory order, as discovery iterates
        kind = port_kind(name)
        if kind is None:
            continue
        path = os.path.join(dev, name)
        canonical = os.path.realpath(path) if os.path.exists(path) else None
        ports.append(Port(path, kind, canonical))
    return ports


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


def check_port(path: str, who: Identity) -> List[str]:
    """Report lines on opening `path` the way the library opens a port."""
    try:
        st = os.stat(path)
    except OSError as e:
        return [f"cannot look at it: [{e.errno}] {e.strerror}"]
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
        return lines
    try:
        terminal = os.isatty(fd)
    finally:
        os.close(fd)
    lines.append(f"open read-write: ok (access check: {access})")
    if not terminal:
        lines.append("not a terminal: no device is behind it, and a probe would write into it")
    return lines


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


def report_ports(dev: str, who: Identity) -> List[Port]:
    ports = list_ports(dev)
    print(f"Candidate ports in {dev} (names containing ttyACM, ttyUSB or rfcomm): {len(ports)}")
    if not ports:
        print("  none: no device is plugged in, or its driver did not create a port")
        return ports
    seen: Dict[str, str] = {}
    for port in ports:
        if port.canonical is None:
            print(f"\n{port.path}  {port.kind}  -> {target(port.path)} (missing)")
            print("  a link that leads nowhere: every detection function fails on it; remove it")
            continue
        print(f"\n{port.path}  {port.kind}  {port.canonical}")
        if port.canonical in seen:
            print(f"  same port as {seen[port.canonical]}: probed twice, and may be listed twice")
            continue
        seen[port.canonical] = port.path
        for line in check_port(port.canonical, who):
            print(f"  {line}")
    if who.uid == 0:
        print("\nYou are root: root opens every port. Run vantor-doctor as the user who runs the program.")
    return ports


def report_modem_manager(proc: str) -> None:
    pids = find_processes("ModemManager", proc)
    if not pids:
        return
    print(f"\nWARNING: ModemManager is running (pid {', '.join(map(str, pids))}).")
    print("  It opens new ttyACM ports and writes to them for several seconds after plug-in,")
    print("  so a Talon plugged in just now may not answer. Wait 10 s after plugging in,")
    print('  add ENV{ID_MM_DEVICE_IGNORE}="1" to the port\'s udev rule, or, with no modem')
    print("  on this machine: sudo systemctl disable --now ModemManager")


def probe(api: object, ports: Iterable[Port]) -> None:
    """Runs the detection functions of `api`, saying what each costs and finds."""
    count = {kind: 0 for _, kind in KINDS}
    for port in ports:
        count[port.kind] += 1
    print(f"\nProbing /dev: {count['ACM']} ttyACM, {count['USB']} ttyUSB, {count['RFCOMM']} rfcomm ports, one at a time.")
    worst = sum(cost[1] * sum(count[k] for k in kinds) for _, kinds, cost in PROBES)
    print(f"A silent port costs {SILENT_TALON[0]}-{SILENT_TALON[1]} s in detect_talons and "
          f"{SILENT_HANDLE[0]}-{SILENT_HANDLE[1]} s in the handle functions: up to {worst} s in all.")
    for function, kinds, cost in PROBES:
        n = sum(count[k] for k in kinds)
        print(f"{function}(): {n} port{'s' if n != 1 else ''}, up to {n * cost[1]} s ... ", end="", flush=True)
        start = time.monotonic()
        try:
            found = getattr(api, function)()
        except Exception as e:  # a dangling link, a filesystem error
            print(f"failed after {time.monotonic() - start:.1f} s: {type(e).__name__}: {e}")
            continue
        elapsed = time.monotonic() - start
        print(f"{', '.join(found) if found else 'nothing answered'} ({elapsed:.1f} s)", flush=True)
    if count["ACM"]:
        print("A Handle on a ttyACM port answers detect_handles() only: it probes every port again.")


def main(argv: Optional[Sequence[str]] = None, proc: str = "/proc") -> int:
    parser = argparse.ArgumentParser(prog="vantor-doctor", description=__doc__.splitlines()[0])
    parser.add_argument("--dev", default="/dev", metavar="DIR", help="folder to list (default /dev)")
    parser.add_argument("--probe", action="store_true",
                        help="run the detection functions too (they always look at /dev; a silent port costs seconds)")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.dev):
        parser.error(f"{args.dev} is not a folder")

    who = current_identity()
    groups = ", ".join(sorted(group_name(g) for g in who.session_gids))
    print(f"vantor-doctor: user {who.name} (uid {who.uid}), groups {groups}\n")
    ports = report_ports(args.dev, who)
    report_modem_manager(proc)
    if args.probe:
        try:
            import VantorHardwareAPI as api  # only here: listing works without the module
        except ImportError as e:
            print(f"\ncannot probe: {e}")
            return 1
        probe(api, ports if os.path.abspath(args.dev) == "/dev" else list_ports("/dev"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
