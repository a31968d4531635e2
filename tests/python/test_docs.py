"""Every ```python and ```cpp block of README.md and docs/ runs as written
against fresh simulated devices.

A block names its ports the way a reader's program would; each port is
replaced by a simulator's:

  "/dev/ttyACM0"  a Talon
  "/dev/ttyUSB0"  a grip that answers status requests
  "/dev/rfcomm0"  a grip that streams compact status frames
  "/dev"          a folder holding a link ttyACM0 to a Talon (C++ detection)

A block that cannot run is marked on the line right before its fence with
<!-- not run: why -->; every other block must exit 0 within its time limit
and write no [err] line. C++ blocks are built against the source tree, the
way a project that adds it as a subdirectory builds them.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import List, NamedTuple, Optional

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUNNABLE = {"python", "cpp"}
MARKER = re.compile(r"^<!-- not run: (.+?) -->$")
FENCE = re.compile(r"^```(\S*)\s*$")
BLOCK_SECONDS = 30
BUILD_DIR = ROOT / "build" / "docs-cpp"


class Block(NamedTuple):
    page: Path
    line: int           # of the opening fence, counting from 1
    language: str
    code: str
    not_run: Optional[str]

    @property
    def name(self) -> str:
        return f"{self.page.relative_to(ROOT)}:{self.line}"


def read_blocks(page: Path) -> List[Block]:
    blocks: List[Block] = []
    lines = page.read_text().splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        end = next(j for j in range(i + 1, len(lines)) if lines[j].startswith("```"))
        marker = MARKER.match(lines[i - 1]) if i > 0 else None
        code = "\n".join(lines[i + 1:end]) + "\n"
        blocks.append(Block(page, i + 1, opening.group(1), code, marker.group(1) if marker else None))
        i = end + 1
    return blocks


BLOCKS = [block for page in PAGES for block in read_blocks(page)]
PYTHON = [b for b in BLOCKS if b.language == "python"]
CPP = [b for b in BLOCKS if b.language == "cpp"]


def params(blocks):
    return [pytest.param(b, id=b.name, marks=[pytest.mark.skip(reason=f"not run: {b.not_run}")] if b.not_run else [])
            for b in blocks]


def test_markers_sit_on_runnable_blocks():
    assert PYTHON and CPP, "no code blocks found: has the fence syntax changed?"
    for page in PAGES:
        lines = page.read_text().splitlines()
        for i, line in enumerate(lines):
            if line.startswith("<!-- not run"):
                assert MARKER.match(line), f"{page.name}:{i + 1}: write <!-- not run: why -->"
                following = FENCE.match(lines[i + 1]) if i + 1 < len(lines) else None
                assert following and following.group(1) in RUNNABLE, \
                    f"{page.name}:{i + 1}: the marker must sit right before a python or cpp fence"


# The port a block names, and the simulator that stands in for it.
DEVICES = {
    '"/dev/ttyACM0"': ("ttyACM0", ("talon",)),
    '"/dev/ttyUSB0"': ("ttyUSB0", ("handle",)),
    '"/dev/rfcomm0"': ("rfcomm0", ("handle", "--stream", "100")),
    '"/dev"': ("dev", None),
}


def substitute(code: str, folder: Path) -> str:
    """The block with each port it names replaced by a link in `folder`."""
    for text, (name, _) in DEVICES.items():
        code = code.replace(text, f'"{folder / name}"')
    left = re.findall(r'"/dev[^"]*"', code)
    assert not left, f"no simulator stands in for {left}: use the ports listed at the top of test_docs.py"
    return code


def start_devices(code: str, simulator, folder: Path):
    """Starts the simulators a block needs, behind links in `folder`."""
    for text, (name, args) in DEVICES.items():
        if text not in code:
            continue
        if args is None:  # a folder to detect in
            (folder / name).mkdir()
            link, args = folder / name / "ttyACM0", ("talon",)
        else:
            link = folder / name
        assert simulator(*args, "--link", str(link)), "vantor-sim did not start"


def check_ran(result):
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout}\n{result.stderr}"
    assert "[err]" not in result.stderr, result.stderr


@pytest.mark.parametrize("block", params(PYTHON))
def test_python_block(block, simulator, tmp_path):
    start_devices(block.code, simulator, tmp_path)
    script = tmp_path / "block.py"
    script.write_text(substitute(block.code, tmp_path))
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                            timeout=BLOCK_SECONDS)
    check_ran(result)


def build_env():
    # Under the sanitizers the interpreter runs with their runtime preloaded;
    # the compiler needs none of it.
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def write_if_changed(path: Path, text: str):
    # An unchanged source keeps its time stamp, so a later run builds nothing.
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def target_name(block: Block) -> str:
    # Numbered within the page, not by line, so editing prose renames nothing.
    index = [b for b in CPP if b.page == block.page].index(block)
    return re.sub(r"\W", "_", f"{block.page.stem}_{index}")


@pytest.fixture(scope="module")
def cpp_project():
    """A project that adds the library as a subdirectory and builds one program per block."""
    for tool in ("cmake", "c++"):
        assert shutil.which(tool), f"{tool} is needed to build the C++ blocks"
    source = BUILD_DIR / "src"
    source.mkdir(parents=True, exist_ok=True)
    lines = [
        "cmake_minimum_required(VERSION 3.18)",
        "project(docs_blocks LANGUAGES CXX)",
        "set(VANTOR_BUILD_SIM OFF)",
        "set(VANTOR_BUILD_EXAMPLES OFF)",
        f'add_subdirectory("{ROOT}" vantor EXCLUDE_FROM_ALL)',
        "add_compile_options(-Wall -Wextra -Werror)  # the blocks only, after the library",
    ]
    for block in CPP:
        if block.not_run:
            continue
        # The same folder every run, so the program's text stays the same
        # and a second run builds nothing.
        write_if_changed(source / f"{target_name(block)}.cpp", substitute(block.code, ports_folder(block)))
        lines.append(f"add_executable({target_name(block)} {target_name(block)}.cpp)")
        lines.append(f"target_link_libraries({target_name(block)} PRIVATE VantorHardwareAPI::vantor_hardware)")
    write_if_changed(source / "CMakeLists.txt", "\n".join(lines) + "\n")
    configure = subprocess.run(["cmake", "-S", str(source), "-B", str(BUILD_DIR / "out"), "-DCMAKE_BUILD_TYPE=Release"],
                               capture_output=True, text=True, env=build_env(), timeout=120)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    return source


def ports_folder(block: Block) -> Path:
    return BUILD_DIR / "ports" / target_name(block)


@pytest.mark.parametrize("block", params(CPP))
def test_cpp_block(block, cpp_project, simulator):
    name = target_name(block)
    ports = ports_folder(block)
    shutil.rmtree(ports, ignore_errors=True)
    ports.mkdir(parents=True)
    start_devices(block.code, simulator, ports)
    build = subprocess.run(["cmake", "--build", str(BUILD_DIR / "out"), "--target", name, "-j2"],
                           capture_output=True, text=True, env=build_env(), timeout=300)
    assert build.returncode == 0, build.stdout + build.stderr
    result = subprocess.run([str(BUILD_DIR / "out" / name)], cwd=ports, capture_output=True, text=True,
                            timeout=BLOCK_SECONDS)
    check_ran(result)
