"""vantor-doctor against pseudo-terminals and made-up port folders (--dev)."""
import fcntl
import os
import pwd
import select
import socket
import stat
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

from vantor import doctor


def run(capsys, *argv, proc, code):
    assert doctor.main(list(argv), proc=proc) == code
    return capsys.readouterr().out


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
    for argv in (["--dev", str(dev / "missing")], ["--dev", str(dev), "--bogus"]):
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
