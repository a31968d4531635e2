"""vantor-doctor against pseudo-terminals and made-up port folders (--dev)."""
import os
import pwd
import stat
import subprocess
import sys
import tempfile

import pytest

from vantor_tools import doctor


def run(capsys, *argv, proc=None):
    code = doctor.main(list(argv), proc=proc) if proc else doctor.main(list(argv))
    assert code == 0
    return capsys.readouterr().out


def block(out, path):
    """The report lines of one port entry."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(path + "  "))
    end = next((i for i in range(start + 1, len(lines)) if not lines[i].startswith("  ")), len(lines))
    return "\n".join(lines[start:end])


@pytest.fixture
def dev(tmp_path):
    folder = tmp_path / "dev"
    folder.mkdir()
    return folder


def test_lists_candidates_by_substring_with_kind_and_canonical_path(dev, pty_device):
    for name in ("ttyACM0", "xttyUSB1", "rfcomm2", "rfcomm-ttyUSB", "ttyS0", "null"):
        (dev / name).write_bytes(b"")
    (dev / "vantor-talon-ttyACM").symlink_to(pty_device.path)

    ports = {os.path.basename(p.path): p for p in doctor.list_ports(str(dev))}
    assert {name: p.kind for name, p in ports.items()} == {
        "ttyACM0": "ACM", "xttyUSB1": "USB", "rfcomm2": "RFCOMM",
        "rfcomm-ttyUSB": "USB",  # ttyUSB is tested before rfcomm
        "vantor-talon-ttyACM": "ACM",
    }
    assert ports["vantor-talon-ttyACM"].canonical == os.path.realpath(pty_device.path)
    assert ports["ttyACM0"].canonical == str(dev / "ttyACM0")


def test_reports_a_terminal_as_openable_and_a_plain_file_as_no_device(capsys, dev, pty_device):
    (dev / "ttyUSB0").write_bytes(b"")
    (dev / "rfcomm0").symlink_to(pty_device.path)
    out = run(capsys, "--dev", str(dev))

    terminal = block(out, str(dev / "rfcomm0"))
    assert f"RFCOMM  {os.path.realpath(pty_device.path)}" in terminal
    assert "character device" in terminal and "open read-write: ok" in terminal
    assert "not a terminal" not in terminal
    assert "not a terminal" in block(out, str(dev / "ttyUSB0"))
    # Opening and closing sent nothing to the device.
    assert pty_device.read_all() == b""


def test_dangling_and_duplicate_links_are_flagged(capsys, dev):
    (dev / "ttyACM0").write_bytes(b"")
    (dev / "a-ttyACM").symlink_to(dev / "ttyACM0")
    (dev / "rfcomm9").symlink_to(dev / "gone")
    out = run(capsys, "--dev", str(dev))

    assert "leads nowhere" in block(out, str(dev / "rfcomm9"))
    # Whichever entry the folder lists second is the duplicate.
    first, second = [p.path for p in doctor.list_ports(str(dev)) if p.kind == "ACM"]
    assert f"same port as {first}" in block(out, second)


def test_empty_folder_and_missing_folder(capsys, dev):
    assert "none" in run(capsys, "--dev", str(dev))
    with pytest.raises(SystemExit) as exit:
        doctor.main(["--dev", str(dev / "missing")])
    assert exit.value.code == 2


def nobody_can_run_python():
    try:
        nobody = pwd.getpwnam("nobody")
        subprocess.run([sys.executable, "-c", "import vantor_tools.doctor"], user=nobody.pw_uid,
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
        command = [sys.executable, "-m", "vantor_tools.doctor", "--dev", folder]
        if os.geteuid() == 0:
            # Root opens it anyway, and says so.
            out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
            assert "open read-write: ok" in out and "read-write for root only" in out
            nobody = nobody_can_run_python()
            if nobody is None:
                pytest.skip("cannot run this interpreter as an unprivileged user")
            result = subprocess.run(command, user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[], cwd="/",
                                    capture_output=True, text=True)
        else:
            result = subprocess.run(command, capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
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


def test_modem_manager_warning(capsys, dev, tmp_path):
    proc = tmp_path / "proc"
    for pid, comm in (("1", "systemd"), ("812", "ModemManager"), ("900", "ModemManagerX")):
        (proc / pid).mkdir(parents=True)
        (proc / pid / "comm").write_text(comm + "\n")
    (proc / "self").mkdir()
    (proc / "77").mkdir()  # a process that ended while listing: no comm
    assert doctor.find_processes("ModemManager", str(proc)) == [812]
    assert "ModemManager is running (pid 812)" in run(capsys, "--dev", str(dev), proc=str(proc))

    (proc / "812" / "comm").write_text("bash\n")
    assert "ModemManager" not in run(capsys, "--dev", str(dev), proc=str(proc))


def test_probe_reports_each_function_and_carries_on_after_a_failure(capsys):
    class FakeModule:
        def detect_talons(self):
            return ["/dev/ttyACM0"]

        def detect_wired_handles(self):
            raise RuntimeError("filesystem error: cannot make canonical path")

        def detect_wireless_handles(self):
            return []

    ports = [doctor.Port("/dev/ttyACM0", "ACM", "/dev/ttyACM0"), doctor.Port("/dev/ttyACM1", "ACM", "/dev/ttyACM1"),
             doctor.Port("/dev/ttyUSB0", "USB", "/dev/ttyUSB0")]
    doctor.probe(FakeModule(), ports)
    out = capsys.readouterr().out
    assert "up to 30 s in all" in out  # two silent ttyACM ports at 12 s, one ttyUSB port at 6 s
    assert "detect_talons(): 2 ports, up to 24 s ... /dev/ttyACM0 (" in out
    assert "detect_wired_handles(): 1 port, up to 6 s ... failed after" in out and "RuntimeError" in out
    assert "detect_wireless_handles(): 0 ports, up to 0 s ... nothing answered" in out


def test_installed_command(dev):
    command = os.path.join(os.path.dirname(sys.executable), "vantor-doctor")
    assert os.access(command, os.X_OK), "vantor-doctor is not installed beside this interpreter"
    (dev / "ttyUSB4").write_bytes(b"")
    result = subprocess.run([command, "--dev", str(dev)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert str(dev / "ttyUSB4") + "  USB" in result.stdout
