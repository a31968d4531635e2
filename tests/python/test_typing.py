"""The type stubs as a user's project sees them: mypy --strict on files that
use every member correctly, and on files with typical mistakes, for the
device module and for the vantor package."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (make typing-tools)")

USES = Path(__file__).resolve().parent / "typing"
MARK = re.compile(r"#\s*E:\s*(\S+)\s+(.*)$")
REPORT = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<message>.*)$")


def mypy(tmp_path, name):
    """Runs mypy from an empty folder with an empty configuration, so the
    stubs come from the installed wheel (the VantorHardwareAPI-stubs package,
    vantor with its _native.pyi) and not from a source tree; 3.10 is the
    oldest target this mypy accepts."""
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-version", "3.10", "--config-file", str(config),
         "--cache-dir", str(tmp_path / "cache"), "--no-error-summary", "--hide-error-context",
         str(USES / name)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert not result.stderr, result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        report = REPORT.match(line)
        if report:
            errors.setdefault(int(report["line"]), []).append(report["message"])
    return result, errors


@pytest.mark.parametrize("name", ["correct_use.py", "vantor_use.py"])
def test_correct_use_passes_strict(tmp_path, name):
    result, errors = mypy(tmp_path, name)
    assert result.returncode == 0 and not errors, result.stdout


@pytest.mark.parametrize("name", ["mistakes.py", "vantor_mistakes.py"])
def test_each_mistake_is_reported(tmp_path, name):
    expected = {}
    for number, line in enumerate((USES / name).read_text().splitlines(), start=1):
        mark = MARK.search(line)
        if mark:
            expected[number] = (mark[1], mark[2])
    assert len(expected) >= 3

    result, errors = mypy(tmp_path, name)
    assert result.returncode == 1, result.stdout
    assert sorted(errors) == sorted(expected), result.stdout
    for number, (code, text) in expected.items():
        assert any(text in message and message.endswith(f"[{code}]") for message in errors[number]), \
            f"line {number}: expected [{code}] with {text!r}, got {errors[number]}"
