"""The generated API references are those of the installed package: a default,
a docstring, a key or a setting changed without the page being generated
again fails here."""
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

import gen_vantor_docs  # noqa: E402


def check(tool):
    result = subprocess.run([sys.executable, str(ROOT / "tools" / tool), "--check"], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr


def test_module_reference_is_up_to_date():
    check("gen_api_docs.py")


def test_vantor_reference_is_up_to_date():
    pytest.importorskip("matplotlib", reason="vantor.plot, which the page documents, needs the plot extra")
    check("gen_vantor_docs.py")


def test_each_argument_is_said_once_and_only_what_is_there():
    doc = """Does a thing.

    rate_hz: the rate, in Hz, on
    two lines.
    cpu: the CPU.

    More prose.
    """
    text, described = gen_vantor_docs.split_doc(doc, ["rate_hz", "cpu"], "f")
    assert described == {"rate_hz": "the rate, in Hz, on two lines.", "cpu": "the CPU."}
    assert text.split() == "Does a thing. More prose.".split()

    with pytest.raises(gen_vantor_docs.GenerateError, match="does not say cpu"):
        gen_vantor_docs.split_doc("Does.\n\nrate_hz: Hz.", ["rate_hz", "cpu"], "f")
    # A setting renamed in the signature and not in the docstring.
    with pytest.raises(gen_vantor_docs.GenerateError, match="describes 'rate'"):
        gen_vantor_docs.split_doc("Does.\n\nrate: Hz.\n\nrate_hz: Hz.", ["rate_hz"], "f")
