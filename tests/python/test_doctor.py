"""vantor-doctor against pseudo-terminals and made-up port and sysfs folders
(--dev, --sys)."""
import fcntl
import os
import pwd
import resource
import select
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import threading
from pathlib import Path

import pytest

from vantor import doctor


def run(capsys, *argv, proc, code, rtprio=(0, 0), kernel="#1 SMP PREEMPT_DYNAMIC"):
    """Without --sys, an empty sysfs beside `proc`: nothing of this machine's
    adapters or CPUs comes into the report."""
    if "--sys" not in argv:
        argv += ("--sys", str(empty_sys(proc)))
    assert doctor.main(list(argv), proc=proc, rtprio=rtprio, kernel_version=kernel) == code
    return capsys.readouterr().out


def empty_sys(proc):
    folder = Path(proc).parent / "sys"
    folder.mkdir(exist_ok=True)
    return folder


def block(out, path, after="  "):
    """The report lines of one port entry; after=" ... " for its probe's."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(path + after))
    end = next((i for i in range(start + 1, len(lines)) if not lines[i].startswith("  ")), len(lines))
    return "\n".join(lines[start:end])


@pytest.fixture
def dev(tmp_path):
    folder = tmp_path / "dev"
    folder.mkdir()
    return folder


@pytest.fixture
def proc(tmp_path):
    """A process table without ModemManager, whatever runs on this machine."""
    folder = tmp_path / "proc"
    folder.mkdir()
    return str(folder)


def test_lists_candidates_by_substring_with_kind_and_canonical_path(dev, pty_device):
    for name in ("ttyACM0", "xttyUSB1", "rfcomm2", "rfcomm-ttyUSB", "ttyS0", "null"):
        (dev / name).write_bytes(b"")
    (dev / "vantor-talon-ttyACM").symlink_to(pty_device.path)
    (dev / "ttyUSB-gone").symlink_to(dev / "gone")
    (dev / "ttyACM-loop").symlink_to(dev / "ttyACM-loop")

    ports = {os.path.basename(p.path): p for p in doctor.list_ports(str(dev))}
    assert {name: p.kind for name, p in ports.items()} == {
        "ttyACM0": "ACM", "xttyUSB1": "USB", "rfcomm2": "RFCOMM",
        "rfcomm-ttyUSB": "USB",  # ttyUSB is tested before rfcomm
        "vantor-talon-ttyACM": "ACM", "ttyUSB-gone": "USB", "ttyACM-loop": "ACM",
    }
    assert ports["vantor-talon-ttyACM"].canonical == os.path.realpath(pty_device.path)
    assert ports["ttyACM0"].canonical == str(dev / "ttyACM0")
    assert ports["ttyUSB-gone"].path == str(dev / "ttyUSB-gone")
    assert ports["ttyUSB-gone"].canonical is None and ports["ttyACM-loop"].canonical is None


def test_reports_a_terminal_as_openable_and_a_plain_file_as_no_device(capsys, dev, proc, pty_device):
    (dev / "ttyUSB0").write_bytes(b"")
    (dev / "rfcomm0").symlink_to(pty_device.path)
    out = run(capsys, "--dev", str(dev), proc=proc, code=1)

    terminal = block(out, str(dev / "rfcomm0"))
    assert f"RFCOMM  {os.path.realpath(pty_device.path)}" in terminal
    assert "character device" in terminal and "open read-write: ok" in terminal
    assert "not a terminal" not in terminal
    assert "not a terminal" in block(out, str(dev / "ttyUSB0"))
    # Opening and closing sent nothing to the device.
    assert pty_device.read_all() == b""


def test_dangling_and_duplicate_links_are_flagged(capsys, dev, proc):
    (dev / "ttyACM0").write_bytes(b"")
    (dev / "a-ttyACM").symlink_to(dev / "ttyACM0")
    (dev / "rfcomm9").symlink_to(dev / "gone")
    out = run(capsys, "--dev", str(dev), proc=proc, code=1)

    assert "leads nowhere" in block(out, str(dev / "rfcomm9"))
    # Whichever entry the folder lists second is the duplicate.
    first, second = [p.path for p in doctor.list_ports(str(dev)) if p.kind == "ACM"]
    assert f"same port as {first}" in block(out, second)


def test_exit_status_is_0_only_while_nothing_is_wrong(capsys, dev, proc, pty_device):
    assert "none" in run(capsys, "--dev", str(dev), proc=proc, code=0)

    (dev / "rfcomm0").symlink_to(pty_device.path)
    (dev / "vantor-ttyACM").symlink_to(pty_device.path)  # a second name, as a udev rule adds
    assert "No problems found." in run(capsys, "--dev", str(dev), proc=proc, code=0)

    # Each finding alone is a problem.
    (dev / "ttyUSB0").write_bytes(b"")
    assert "1 problem found" in run(capsys, "--dev", str(dev), proc=proc, code=1)
    (dev / "ttyUSB0").unlink()
    (dev / "ttyUSB1").symlink_to(dev / "gone")
    assert "1 problem found" in run(capsys, "--dev", str(dev), proc=proc, code=1)
    (dev / "ttyUSB1").unlink()
    # A node that does not open, even for root: open() refuses a socket.
    with socket.socket(socket.AF_UNIX) as node:
        node.bind(str(dev / "ttyUSB2"))
        out = run(capsys, "--dev", str(dev), proc=proc, code=1)
    assert "1 problem found" in out and "open read-write: FAILS" in block(out, str(dev / "ttyUSB2"))
    (dev / "ttyUSB2").unlink()
    (Path(proc) / "812").mkdir()
    (Path(proc) / "812" / "comm").write_text("ModemManager\n")
    assert "1 problem found" in run(capsys, "--dev", str(dev), proc=proc, code=1)


def test_bad_usage_exits_2_and_help_gives_the_exit_statuses(capsys, dev):
    for argv in (["--dev", str(dev / "missing")], ["--dev", str(dev), "--bogus"],
                 ["--dev", str(dev), "--sys", str(dev / "missing")]):
        with pytest.raises(SystemExit) as exit:
            doctor.main(argv)
        assert exit.value.code == 2
    with pytest.raises(SystemExit) as exit:
        doctor.main(["--help"])
    assert exit.value.code == 0
    help_text = capsys.readouterr().out
    assert "exit status:" in help_text
    for line in ("0  every listed port opens", "1  a problem was found", "2  bad usage"):
        assert line in help_text
    assert "latency_timer is above 1 ms" in help_text and "does not change the exit status" in help_text


def nobody_can_run_python():
    try:
        nobody = pwd.getpwnam("nobody")
        subprocess.run([sys.executable, "-c", "import vantor.doctor"], user=nobody.pw_uid,
                       group=nobody.pw_gid, extra_groups=[], cwd="/", check=True, capture_output=True, timeout=30)
    except (KeyError, OSError, subprocess.SubprocessError):
        return None
    return nobody


def test_port_the_user_cannot_open():
    # The temp folder must be reachable for another user when run as root.
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        port = os.path.join(folder, "ttyACM3")
        open(port, "w").close()
        os.chmod(port, 0)
        command = [sys.executable, "-m", "vantor.doctor", "--dev", folder]
        if os.geteuid() == 0:
            # Root opens it anyway, and says so.
            out = subprocess.run(command, capture_output=True, text=True).stdout
            assert "open read-write: ok" in out and "read-write for root only" in out
            nobody = nobody_can_run_python()
            if nobody is None:
                pytest.skip("cannot run this interpreter as an unprivileged user")
            result = subprocess.run(command, user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[], cwd="/",
                                    capture_output=True, text=True)
        else:
            result = subprocess.run(command, capture_output=True, text=True)
        assert result.returncode == 1, result.stderr
        report = block(result.stdout, port)
        assert "open read-write: FAILS" in report and "Permission denied" in report
        assert "access check: no" in report
        assert "fix: " in report
    finally:
        os.chmod(os.path.join(folder, "ttyACM3"), 0o600)
        subprocess.run(["rm", "-rf", folder], check=True)


def fake_stat(mode, uid, gid):
    return os.stat_result((stat.S_IFCHR | mode, 0, 0, 1, uid, gid, 0, 0, 0, 0))


USER = doctor.Identity(uid=1000, name="alice", session_gids=frozenset({1000}), member_gids=frozenset({1000}))


def test_advice_for_a_group_port():
    not_member = "\n".join(doctor.permission_advice(fake_stat(0o660, 0, 4242), USER))
    assert "not in group 4242" in not_member and "sudo usermod -aG 4242 $USER" in not_member

    # Joined in the user database, but this session started before.
    joined = USER._replace(member_gids=frozenset({1000, 4242}))
    relogin = "\n".join(doctor.permission_advice(fake_stat(0o660, 0, 4242), joined))
    assert "not in this session" in relogin and "log out and back in" in relogin
    assert "usermod" not in relogin

    # In the group, which may not write: only a rule can change that.
    member = USER._replace(session_gids=frozenset({1000, 4242}))
    read_only = "\n".join(doctor.permission_advice(fake_stat(0o640, 0, 4242), member))
    assert "udev rule" in read_only and "usermod" not in read_only


def test_advice_never_says_join_root():
    advice = "\n".join(doctor.permission_advice(fake_stat(0o660, 0, 0), USER))
    assert "usermod" not in advice
    assert 'GROUP="dialout"' in advice


def test_modem_manager_warning(capsys, dev, proc):
    proc = Path(proc)
    for pid, comm in (("1", "systemd"), ("812", "ModemManager"), ("900", "ModemManagerX")):
        (proc / pid).mkdir(parents=True)
        (proc / pid / "comm").write_text(comm + "\n")
    (proc / "self").mkdir()
    (proc / "77").mkdir()  # a process that ended while listing: no comm
    assert doctor.find_processes("ModemManager", str(proc)) == [812]
    assert "ModemManager is running (pid 812)" in run(capsys, "--dev", str(dev), proc=str(proc), code=1)

    (proc / "812" / "comm").write_text("bash\n")
    assert "ModemManager" not in run(capsys, "--dev", str(dev), proc=str(proc), code=0)


def test_probe_wakes_up_the_ports_of_the_folder_listed(capsys, dev, proc, simulator):
    simulator("talon", "--link", str(dev / "ttyACM-arm"))
    simulator("handle", "--link", str(dev / "ttyUSB-grip"))
    simulator("handle", "--stream", "200", "--link", str(dev / "rfcomm-grip"))
    (dev / "vantor-ttyACM").symlink_to(dev / "ttyACM-arm")  # the same arm: probed once
    out = run(capsys, "--dev", str(dev), "--probe", proc=proc, code=0)

    assert "Probing 3 ports" in out and "up to 24 s in all" in out  # 12 s for the ttyACM port, 6 s each other
    assert f"{dev / 'ttyACM-arm'} ... a Talon: device id 258" in out or \
        f"{dev / 'vantor-ttyACM'} ... a Talon: device id 258" in out
    assert f"{dev / 'ttyUSB-grip'} ... a Handle: device id 263, model 2" in out
    # A streaming grip answers with its info or a frame, whichever comes first.
    assert f"{dev / 'rfcomm-grip'} ... a Handle: " in out
    assert "No problems found." in out


def test_probe_counts_a_silent_port_and_leaves_a_plain_file_alone(capsys, dev, proc, simulator):
    simulator("handle", "--silent", "--link", str(dev / "rfcomm-quiet"))
    (dev / "ttyUSB-file").write_bytes(b"")
    out = run(capsys, "--dev", str(dev), "--probe", proc=proc, code=1)

    assert "Probing 1 port " in out
    assert f"{dev / 'rfcomm-quiet'} ... no Handle answered" in out
    assert "2 problems found" in out
    assert (dev / "ttyUSB-file").read_bytes() == b""


def test_probe_names_a_device_of_the_other_kind(capsys, dev, proc, simulator):
    simulator("talon", "--link", str(dev / "ttyUSB-arm"))
    simulator("handle", "--link", str(dev / "ttyACM-grip"))
    out = run(capsys, "--dev", str(dev), "--probe", proc=proc, code=1)

    assert f"{dev / 'ttyUSB-arm'} ... no Handle answered" in out
    grip = block(out, str(dev / "ttyACM-grip"), after=" ... ")
    assert "no Talon answered" in grip and "open it as a Handle" in grip
    assert "2 problems found" in out


class WakeupResponder:
    """Answers each wake-up byte on a pseudo-terminal with `reply`, on a
    thread: it runs only while the probe has let go of the interpreter lock."""

    def __init__(self, device, reply: bytes):
        self.wakeups = 0
        self._device, self._reply = device, reply
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            if not select.select([self._device.master], [], [], 0.01)[0]:
                continue
            try:
                data = os.read(self._device.master, 64)
            except OSError:  # no client connected
                self._stop.wait(0.001)
                continue
            for _ in range(data.count(0x0A)):
                self.wakeups += 1
                self._device.send(self._reply)

    def stop(self):
        self._stop.set()
        self._thread.join()


def test_probe_names_the_model_that_answered_instead_of_a_talon(capsys, dev, proc, pty_device):
    (dev / "ttyACM0").symlink_to(pty_device.path)
    responder = WakeupResponder(pty_device, bytes([11, 0x02, 0x01, 7, 1, 8]) + bytes(16))
    try:
        out = run(capsys, "--dev", str(dev), "--probe", proc=proc, code=1)
    finally:
        responder.stop()
    report = block(out, str(dev / "ttyACM0"), after=" ... ")
    assert "no Talon answered" in report and "a device of model 7 answered" in report
    assert "open it as a Handle" not in report
    assert responder.wakeups == 1


def test_probe_leaves_a_port_another_program_has_locked_alone(capsys, dev, proc, pty_device):
    (dev / "rfcomm0").symlink_to(pty_device.path)
    holder = os.open(pty_device.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        out = run(capsys, "--dev", str(dev), "--probe", proc=proc, code=1)
    finally:
        os.close(holder)
    report = block(out, str(dev / "rfcomm0"), after=" ... ")
    assert "no Handle answered" in report and "in use" in report
    assert "1 problem found" in out
    assert pty_device.read_all() == b""  # not even a wake-up


def test_installed_command(dev):
    command = os.path.join(os.path.dirname(sys.executable), "vantor-doctor")
    assert os.access(command, os.X_OK), "vantor-doctor is not installed beside this interpreter"
    (dev / "ttyUSB4").write_bytes(b"")
    result = subprocess.run([command, "--dev", str(dev)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1, result.stderr  # a plain file is not a port
    assert str(dev / "ttyUSB4") + "  USB" in result.stdout


# --- what decides a haptic loop's timing ------------------------------------------


@pytest.fixture
def sysfs(tmp_path):
    folder = tmp_path / "sys"
    folder.mkdir()
    return folder


def usb_adapter(sysfs, node, name="ttyUSB0", driver="ftdi_sio", latency=None):
    """Makes the terminal `node` the USB serial port `name` of a fake sysfs,
    laid out as the kernel lays it out: found by its device numbers."""
    port = sysfs / "devices" / "usb1" / "1-1" / "1-1:1.0" / name
    (port / "tty" / name).mkdir(parents=True)
    rdev = os.stat(node).st_rdev
    (sysfs / "dev" / "char").mkdir(parents=True, exist_ok=True)
    (sysfs / "dev" / "char" / f"{os.major(rdev)}:{os.minor(rdev)}").symlink_to(port / "tty" / name)
    drivers = sysfs / "bus" / "usb-serial" / "drivers" / driver
    drivers.mkdir(parents=True, exist_ok=True)
    (port / "driver").symlink_to(drivers)
    if latency is not None:
        (port / "latency_timer").write_text(f"{latency}\n")
    devices = sysfs / "bus" / "usb-serial" / "devices"
    devices.mkdir(parents=True, exist_ok=True)
    (devices / name).symlink_to(port)
    return port


def test_a_latency_timer_above_1_ms_caps_the_loop(capsys, dev, proc, sysfs, pty_device):
    # A link of any name: the adapter is found by the node's device numbers.
    (dev / "ttyUSB-grip").symlink_to(pty_device.path)
    (dev / "rfcomm-same").symlink_to(pty_device.path)  # the same port, reported once
    port = usb_adapter(sysfs, pty_device.path, latency=16)
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=1)

    report = block(out, f"USB serial port {dev / 'ttyUSB-grip'}", after=" (ttyUSB0)")
    assert "ftdi_sio: latency_timer 16 ms: CAPS THE LOOP" in report and "at most about 62 Hz" in report
    assert 'SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"' in report
    assert f"echo 1 | sudo tee {sysfs / 'bus' / 'usb-serial' / 'devices' / 'ttyUSB0' / 'latency_timer'}" in report
    assert out.count("USB serial port ") == 1
    assert "1 problem found" in out

    (port / "latency_timer").write_text("2\n")  # 2 ms already halves a 1 kHz loop
    assert "1 problem found" in run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=1)
    (port / "latency_timer").write_text("1\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0)
    assert "latency_timer 1 ms: good" in out and "No problems found." in out
    # A pseudo-terminal has no serial_struct: not known, and no failure.
    assert "low_latency: unknown (TIOCGSERIAL refused" in out


def test_an_adapter_without_a_latency_timer_is_no_problem(capsys, dev, proc, sysfs, pty_device):
    (dev / "ttyUSB0").symlink_to(pty_device.path)
    usb_adapter(sysfs, pty_device.path, name="ttyUSB3", driver="cp210x")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0)
    assert "(ttyUSB3):\n  driver cp210x: no latency_timer" in out


def test_a_usb_port_the_kernel_does_not_list_is_said_so(capsys, dev, proc, sysfs):
    (dev / "ttyUSB7").write_bytes(b"")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=1)  # 1: not a terminal
    assert "1 problem found" in out
    assert f"no {sysfs / 'bus' / 'usb-serial' / 'devices' / 'ttyUSB7'}: this kernel does not list it" in out


def serial_struct(flags):
    # type, line, port, irq, then flags; the rest of struct serial_struct zeroed.
    return struct.pack("@5i", 4, 0, 0, 0, flags) + bytes(doctor.SERIAL_STRUCT.size - 20)


@pytest.mark.parametrize("flags, said", [
    (1 << 13, "low_latency: on"),
    ((1 << 12) | (1 << 14) | (1 << 28), "low_latency: off (`setserial"),  # the bits around it
    (-1 & ~(1 << 13), "low_latency: off"),  # a negative int: every other flag
])
def test_low_latency_is_bit_13_of_the_serial_flags(capsys, monkeypatch, dev, proc, sysfs, pty_device, flags, said):
    (dev / "ttyUSB0").symlink_to(pty_device.path)
    usb_adapter(sysfs, pty_device.path, latency=1)
    requests = []

    def ioctl(fd, request, buffer):
        requests.append(request)
        assert len(buffer) == doctor.SERIAL_STRUCT.size
        return serial_struct(flags)

    monkeypatch.setattr(doctor.fcntl, "ioctl", ioctl)
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0)
    assert said in out and requests == [termios.TIOCGSERIAL]


def cpu_tree(sysfs, online, governors=None, **files):
    base = sysfs / "devices" / "system" / "cpu"
    base.mkdir(parents=True, exist_ok=True)
    (base / "online").write_text(online + "\n")
    for name, text in files.items():
        (base / name).write_text(text + "\n")
    for cpu, governor in (governors or {}).items():
        (base / f"cpu{cpu}" / "cpufreq").mkdir(parents=True)
        (base / f"cpu{cpu}" / "cpufreq" / "scaling_governor").write_text(governor + "\n")
    return base


def test_governors_other_than_performance_are_a_note_not_a_problem(capsys, dev, proc, sysfs):
    # cpu4 is offline: its governor is not the loop's business.
    base = cpu_tree(sysfs, "0-3", {0: "performance", 1: "performance", 2: "powersave", 3: "schedutil",
                                   4: "ondemand"})
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0)
    assert "CPU frequency governor: performance on cpu0-1, powersave on cpu2, schedutil on cpu3\n" in out
    assert "fix: sudo cpupower frequency-set -g performance" in out
    assert f"echo performance | sudo tee {base}/cpu*/cpufreq/scaling_governor" in out
    assert "No problems found." in out and "timing note" in out

    for cpu in (2, 3):
        (base / f"cpu{cpu}" / "cpufreq" / "scaling_governor").write_text("performance\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0)
    assert "CPU frequency governor: performance on cpu0-3\n" in out and "cpupower" not in out


def test_no_cpufreq_as_on_a_virtual_machine_is_said_and_not_counted(capsys, dev, proc, sysfs):
    cpu_tree(sysfs, "0-1")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, rtprio=(95, 95))
    assert "CPU frequency governor: none exposed" in out and "virtual machine" in out
    assert "cpupower" not in out and "timing note" not in out


def test_cpus_online_and_isolated(capsys, dev, proc, sysfs):
    base = cpu_tree(sysfs, "0-3,6", isolated="2-3", nohz_full="2-3")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, rtprio=(95, 95))
    assert "CPUs: 5 online (cpu0-3,6); isolated (isolcpus=): cpu2-3; nohz_full: cpu2-3" in out

    # One CPU: a note. Kernels write "(null)" for an empty nohz_full.
    (base / "online").write_text("0\n")
    (base / "isolated").write_text("\n")
    (base / "nohz_full").write_text("(null)\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, rtprio=(95, 95))
    assert "CPUs: 1 online (cpu0); isolated (isolcpus=): none; nohz_full: none" in out
    assert "one CPU:" in out and "1 timing note above" in out


@pytest.mark.parametrize("version, realtime", [
    ("#1 SMP PREEMPT_RT Debian 6.1.69-1 (2023-12-30)", True),
    ("#1 SMP PREEMPT RT Debian 4.19.37-5 (2019-06-19)", True),  # older kernels spell it so
    ("#1 SMP PREEMPT_DYNAMIC Debian 6.1.69-1 (2023-12-30)", False),
    ("#1 SMP PREEMPT Mon Jan 1 00:00:00 UTC 2024", False),
])
def test_real_time_kernel_from_the_version(capsys, dev, proc, sysfs, version, realtime):
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, kernel=version)
    assert f": {version}\n" in out
    assert ("  a real-time kernel (PREEMPT_RT)" in out) == realtime
    assert ("  not a real-time kernel" in out) == (not realtime)


def test_real_time_kernel_from_sysfs_and_the_preemption_model(capsys, dev, proc, sysfs):
    (sysfs / "kernel").mkdir()
    (sysfs / "kernel" / "realtime").write_text("1\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, kernel="#1 SMP")
    assert "a real-time kernel (PREEMPT_RT)" in out and "PREEMPT_DYNAMIC" not in out

    (sysfs / "kernel" / "realtime").unlink()
    dynamic = "#1 SMP PREEMPT_DYNAMIC"
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, kernel=dynamic)
    assert "(PREEMPT_DYNAMIC): the kernel's built-in default, not visible here" in out

    (Path(proc) / "cmdline").write_text("BOOT_IMAGE=/vmlinuz root=/dev/sda1 nopreempt=x preempt=full quiet\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, kernel=dynamic)
    assert "(PREEMPT_DYNAMIC): full (the preempt= boot parameter)" in out

    # Readable to root: the model in use, in parentheses, wins over the boot line.
    (sysfs / "kernel" / "debug" / "sched").mkdir(parents=True)
    (sysfs / "kernel" / "debug" / "sched" / "preempt").write_text("none (voluntary) full\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0, kernel=dynamic)
    assert "(PREEMPT_DYNAMIC): voluntary (of none voluntary full)" in out


def test_capabilities_come_from_cap_eff(capsys, dev, proc, sysfs):
    status = Path(proc) / "self" / "status"
    status.parent.mkdir()
    status.write_text("Name:\tpython\nCapPrm:\t0000000000800000\nCapEff:\t0000000000800000\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0)
    assert "SCHED_FIFO: permitted (CAP_SYS_NICE)" in out

    # CAP_SYS_RESOURCE, the next bit, is not it; nor is a permitted but not effective one.
    status.write_text("Name:\tpython\nCapPrm:\t0000000000800000\nCapEff:\t0000000001000000\n")
    out = run(capsys, "--dev", str(dev), "--sys", str(sysfs), proc=proc, code=0)
    assert "CAP_SYS_NICE: no" in out and "SCHED_FIFO: NOT permitted" in out
    assert "timing note above" in out


INFINITY = resource.RLIM_INFINITY
SYS_NICE = 1 << 23
ROOT = USER._replace(uid=0, name="root")


@pytest.mark.parametrize("who, rtprio, caps, permitted, says", [
    (USER, (0, 0), SYS_NICE, True, "permitted (CAP_SYS_NICE)"),
    (USER, (95, 95), 0, True, "permitted (RLIMIT_RTPRIO)"),
    (USER, (INFINITY, INFINITY), 0, True, "soft unlimited, hard unlimited"),
    (USER, (11, 11), None, True, "permitted (RLIMIT_RTPRIO)"),
    # Allowed some priority, but not the one the loop asks for.
    (USER, (10, 10), 0, False, "the limit 10 is below the loop's priority 11"),
    (USER, (0, 95), 0, False, "fix: the hard limit allows it: run `ulimit -r 95`"),
    (USER, (0, 0), None, False, "CAP_SYS_NICE: unknown"),
    (ROOT, (0, 0), None, True, "permitted to root, unless a container"),
    (ROOT, (0, 0), ~SYS_NICE & (1 << 41) - 1, False, "root without CAP_SYS_NICE: a container"),
])
def test_who_may_use_sched_fifo(who, rtprio, caps, permitted, says):
    lines, may = doctor.realtime_permission(who, rtprio, caps, group_gid=None)
    assert may == permitted
    assert says in "\n".join(lines)
    assert ("NOT permitted" in "\n".join(lines)) == (not permitted)


def test_how_to_be_let_use_sched_fifo():
    fresh = "\n".join(doctor.realtime_permission(USER, (0, 0), 0, group_gid=None)[0])
    for step in ("sudo groupadd -f haptics && sudo usermod -aG haptics $USER",
                 "/etc/security/limits.d/99-haptics.conf", "@haptics - rtprio 95", "@haptics - memlock unlimited",
                 "log in again"):
        assert step in fresh

    # Joined since logging in: only a new login applies the limits.
    joined = "\n".join(doctor.realtime_permission(USER._replace(member_gids=frozenset({1000, 555})), (0, 0), 0,
                                                  group_gid=555)[0])
    assert "not in this session" in joined and "log in again" in joined and "usermod" not in joined

    # In the group, and still no limit: the limits file is what is missing.
    member = USER._replace(session_gids=frozenset({1000, 555}), member_gids=frozenset({1000, 555}))
    in_group = "\n".join(doctor.realtime_permission(member, (0, 0), 0, group_gid=555)[0])
    assert "check /etc/security/limits.d/99-haptics.conf" in in_group and "usermod" not in in_group
