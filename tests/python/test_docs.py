"""Every ```python and ```cpp block of README.md and docs/ runs as written
against fresh simulated devices.

A block names its ports the way a reader's program would; each port is
replaced by a simulator's:

  "/dev/ttyACM0"  a Talon
  "/dev/ttyUSB0"  a grip that answers status requests
  "/dev/rfcomm0"  a grip that streams compact status frames
  "/dev"          a folder holding a link ttyACM0 to a Talon (C++ detection)

Comments on the lines right before a block's fence say how it runs:

  <!-- not run: why -->          the block cannot run here
  <!-- arm: ARGS -->             vantor-sim's options for the Talon, e.g.
                                 --hand push:0,0,0.5 to lean on the arm
                                 where the block renders a wall
  <!-- force at most: 5 N -->    the cap the block states (force_limit or
                                 its own clamp)

Every other block must exit 0 within its time limit and write no [err] line.
The simulated Talon logs every force it is sent (--force-log), and the block
is judged on that log, not on its own figures: the largest force within its
stated cap, the last request a zero force, and, with a hand on the arm, some
force at all, its first no more than half the cap (its shapes are placed
from where the arm is, so the hand takes it into them gradually). C++ blocks are built against the source tree, the way a project that
adds it as a subdirectory builds them.

The examples under examples/ are run the same way, against the simulator.
"""
import math
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUNNABLE = {"python", "cpp"}
MARKER = re.compile(r"^<!-- (not run|arm|force at most): (.+?) -->$")
CAP = re.compile(r"^(\d+(?:\.\d+)?) N$")
FENCE = re.compile(r"^```(\S*)\s*$")
BLOCK_SECONDS = 30
BUILD_DIR = ROOT / "build" / "docs-cpp"
EXAMPLES = ROOT / "examples"


class Block(NamedTuple):
    page: Path
    line: int           # of the opening fence, counting from 1
    language: str
    code: str
    markers: Dict[str, str]  # from the comments right before the fence

    @property
    def not_run(self) -> Optional[str]:
        return self.markers.get("not run")

    @property
    def arm_args(self) -> Tuple[str, ...]:
        return tuple(self.markers.get("arm", "").split())

    @property
    def cap(self) -> Optional[float]:
        text = self.markers.get("force at most")
        if text is None:
            return None
        match = CAP.match(text)
        assert match, f"{self.name}: write <!-- force at most: 5 N -->"
        return float(match.group(1))

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
        markers = {}
        j = i - 1
        while j >= 0 and (marker := MARKER.match(lines[j])):
            markers[marker.group(1)] = marker.group(2)
            j -= 1
        code = "\n".join(lines[i + 1:end]) + "\n"
        blocks.append(Block(page, i + 1, opening.group(1), code, markers))
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
            if line.startswith(("<!-- not run", "<!-- arm", "<!-- force at most")):
                assert MARKER.match(line), f"{page.name}:{i + 1}: write <!-- not run: why -->, <!-- arm: ARGS -->" \
                                           " or <!-- force at most: N N -->"
                j = i + 1
                while j < len(lines) and MARKER.match(lines[j]):
                    j += 1
                following = FENCE.match(lines[j]) if j < len(lines) else None
                assert following and following.group(1) in RUNNABLE, \
                    f"{page.name}:{i + 1}: the marker must sit right before a python or cpp fence"
    for block in BLOCKS:
        if block.arm_args or block.cap is not None:
            assert '"/dev/ttyACM0"' in block.code, f"{block.name}: an arm marker on a block without an arm"


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


def start_devices(block: Block, simulator, folder: Path) -> Path:
    """Starts the simulators a block needs, behind links in `folder`; returns
    where the Talon's forces are logged."""
    log = folder / "forces.log"
    for text, (name, args) in DEVICES.items():
        if text not in block.code:
            continue
        if args is None:  # a folder to detect in
            (folder / name).mkdir()
            link, args = folder / name / "ttyACM0", ("talon",)
        else:
            link = folder / name
        if args[0] == "talon":
            args = (*args, *block.arm_args, "--force-log", str(log))
        assert simulator(*args, "--link", str(link)), "vantor-sim did not start"
    return log


def forces_received(log: Path) -> List[Tuple[str, Tuple[float, float, float]]]:
    """What the simulated arm was sent: ("force" or "torque", the vector), in order."""
    if not log.exists():
        return []
    received = []
    for line in log.read_text().splitlines():
        kind, *values = line.split()
        assert kind in ("force", "torque") and len(values) == 3, f"not a line of the force log: {line!r}"
        received.append((kind, tuple(float(v) for v in values)))
    return received


def check_forces(name: str, log: Path, cap: Optional[float], contact: bool, lands: bool = False):
    """Judges a program by what the arm received: within its cap, zero last.
    lands: the program lets the hand drop the arm onto its shape with no ramp,
    so the first force is the landing's, as large as the loop is slow; the
    program's own figures (its depth against force / stiffness) show where
    its shape was placed."""
    received = forces_received(log)
    forces = [math.hypot(*vector) for kind, vector in received if kind == "force"]
    torques = [vector for kind, vector in received if kind == "torque" and any(vector)]
    assert not torques, f"{name}: the arm was sent joint torques {torques[:3]}: no example should"
    strongest = max(forces, default=0.0)
    if strongest > 0:
        assert cap is not None, f"{name}: the arm was sent {strongest:.3f} N: state the cap" \
                                " (<!-- force at most: N N -->) and clamp to it"
        # The wire carries single precision: a clamp to 5 N may arrive a rounding above.
        assert strongest <= cap * (1 + 1e-6), f"{name}: the arm was sent {strongest:.3f} N, above its {cap} N cap"
    if received:
        assert received[-1][1] == (0.0, 0.0, 0.0), f"{name}: the arm was left with {received[-1]}"
    if contact:
        assert strongest > 0, f"{name}: the hand on the arm met no force: are the shapes placed from where the" \
                              " arm is?"
        # The hand takes the arm into a shape gradually: a first force near
        # the cap says the arm started inside the shape.
        first = next(f for f in forces if f > 0)
        assert lands or cap is None or first <= cap / 2, f"{name}: the first force was {first:.3f} N of a {cap} N" \
                                                         " cap: did the arm start inside a shape?"
    elif cap is not None:
        assert received, f"{name}: states a cap but sends no force"


def check_ran(result):
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout}\n{result.stderr}"
    assert "[err]" not in result.stderr, result.stderr


@pytest.mark.parametrize("block", params(PYTHON))
def test_python_block(block, simulator, tmp_path):
    log = start_devices(block, simulator, tmp_path)
    script = tmp_path / "block.py"
    script.write_text(substitute(block.code, tmp_path))
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                            timeout=BLOCK_SECONDS)
    check_ran(result)
    check_forces(block.name, log, block.cap, "--hand" in block.arm_args)


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
    lines.append(f'add_executable(talon_control_loop "{EXAMPLES / "talon_control_loop.cpp"}")')
    lines.append("target_link_libraries(talon_control_loop PRIVATE VantorHardwareAPI::vantor_hardware)")
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
    log = start_devices(block, simulator, ports)
    build(name)
    result = subprocess.run([str(BUILD_DIR / "out" / name)], cwd=ports, capture_output=True, text=True,
                            timeout=BLOCK_SECONDS)
    check_ran(result)
    check_forces(block.name, log, block.cap, "--hand" in block.arm_args)


def build(target: str):
    result = subprocess.run(["cmake", "--build", str(BUILD_DIR / "out"), "--target", target, "-j2"],
                            capture_output=True, text=True, env=build_env(), timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


# --- the examples ---------------------------------------------------------------

def stated(path: Path, pattern: str) -> float:
    """A figure the example's source states, such as its force cap."""
    match = re.search(pattern, path.read_text())
    assert match, f"{path.name} no longer says {pattern}"
    return float(match.group(1))


def test_talon_control_loop_example(cpp_project, simulator, tmp_path):
    log = tmp_path / "forces.log"
    port = simulator("talon", "--hand", "push:0,0,0.5", "--force-log", str(log))
    build("talon_control_loop")
    result = subprocess.run([str(BUILD_DIR / "out" / "talon_control_loop"), port, "1.5"], capture_output=True,
                            text=True, timeout=BLOCK_SECONDS)
    check_ran(result)
    cap = stated(EXAMPLES / "talon_control_loop.cpp", r"max_force = (\d+(?:\.\d+)?)f;")
    check_forces("talon_control_loop", log, cap, contact=True)


def run_haptic_wall(simulator, tmp_path: Path, *args: str) -> Tuple[subprocess.CompletedProcess, Path]:
    """The demo for a second on simulated devices it is given, its hand pushing as make demo's does."""
    log = tmp_path / "forces.log"
    hand = stated(EXAMPLES / "haptic_wall.py", r"HAND_FORCE = (\d+(?:\.\d+)?)")
    arm = simulator("talon", "--hand", f"push:0,{hand},0", "--force-log", str(log))
    grip = simulator("handle", "--stream", "100")
    result = subprocess.run([sys.executable, str(EXAMPLES / "haptic_wall.py"), "--seconds", "1", "--talon", arm,
                             "--handle", grip, *args], cwd=tmp_path, capture_output=True, text=True,
                            timeout=BLOCK_SECONDS)
    check_ran(result)
    return result, log


def test_haptic_wall_example(simulator, tmp_path):
    _, log = run_haptic_wall(simulator, tmp_path)
    cap = stated(EXAMPLES / "haptic_wall.py", r"FORCE_LIMIT = (\d+(?:\.\d+)?)")
    check_forces("haptic_wall.py", log, cap, contact=True)


def test_haptic_scene_example(simulator, tmp_path):
    """The bracket from its file, pressed on by the hand the example states:
    within its cap, zero last, and the arm held on the surface by a proxy
    resting on it (the summary's figures, taken from the recording)."""
    scene = EXAMPLES / "haptic_scene.py"
    down = stated(scene, r"HAND_DOWN = (\d+(?:\.\d+)?)")
    along = stated(scene, r"HAND_ALONG = (\d+(?:\.\d+)?)")
    stiffness = stated(scene, r"STIFFNESS = ([\d_]+(?:\.\d+)?)")
    log = tmp_path / "forces.log"
    arm = simulator("talon", "--hand", f"push:{along},0,{-down}", "--force-log", str(log))
    result = subprocess.run([sys.executable, str(scene), "--seconds", "1.5", "--talon", arm, "--save", "run.npz"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=BLOCK_SECONDS)
    check_ran(result)
    check_forces("haptic_scene.py", log, stated(scene, r"FORCE_LIMIT = (\d+(?:\.\d+)?)"), contact=True, lands=True)
    # The last force before the final zeros holds the hand: up, and back against its sideways push.
    holding = [vector for kind, vector in forces_received(log) if kind == "force" and any(vector)][-1]
    assert holding[2] == pytest.approx(down, rel=0.05)
    assert holding[0] == pytest.approx(-along, abs=0.05)
    penetration = float(summary_row(result.stdout, "penetration").split()[0]) * 1e-3
    assert penetration == pytest.approx(down / stiffness, rel=0.2)
    assert abs(float(summary_row(result.stdout, "proxy height").split()[0])) < 0.01  # mm: on the surface
    assert float(summary_row(result.stdout, "slide").split()[0]) < 0.01  # mm: friction holds
    assert (tmp_path / "run.npz").exists()


def summary_row(output: str, name: str) -> str:
    match = re.search(rf"^{re.escape(name)}  +(.*)$", output, re.MULTILINE)
    assert match, f"no {name} row in the summary:\n{output}"
    return match.group(1)


def test_haptic_wall_summary_and_picture_give_the_same_figures(simulator, tmp_path):
    pytest.importorskip("matplotlib")
    import vantor
    from vantor import plot
    result, _ = run_haptic_wall(simulator, tmp_path, "--save", "run.npz")
    title = plot.figure(vantor.load_recording(str(tmp_path / "run.npz"))).get_suptitle()
    cycles, late = re.match(r"(\d+) cycles over .*?, (\d+) late,", title).groups()
    assert summary_row(result.stdout, "cycles").split()[0] == cycles
    assert summary_row(result.stdout, "late cycles").split()[0] == late
    recording = vantor.load_recording(str(tmp_path / "run.npz"))
    across = recording["position"][-500:, 1]
    assert summary_row(result.stdout, "wall peak to peak").split()[0] == f"{(across.max() - across.min()) * 1e3:.3f}"
    assert summary_row(result.stdout, "energy").split()[0] == f"{recording['energy'][-1] * 1e3:.3f}"


def test_haptic_wall_help_says_it_whole():
    result = subprocess.run([sys.executable, str(EXAMPLES / "haptic_wall.py"), "--help"], capture_output=True,
                            text=True, timeout=BLOCK_SECONDS)
    assert result.returncode == 0, result.stderr
    assert "on a Talon arm, with the grip's status read beside it." in " ".join(result.stdout.split())


def test_each_stop_says_what_its_own_object_does():
    import vantor
    assert "force" not in (vantor.GripReader.stop.__doc__ or ""), "a grip reader sends no force"
    assert "zero force" in (vantor.ServoLoop.stop.__doc__ or "")


def test_haptic_physics_example(simulator, tmp_path):
    """The box pushed across the table by the hand the example starts: within
    its cap, zero last, the box moved along the push, physics at its rate."""
    example = EXAMPLES / "haptic_physics.py"
    log = tmp_path / "forces.log"
    # The example's own hand, with the force log: the same arguments it builds.
    rest = re.search(r"SIM_REST = \(([-\d., ]+)\)", example.read_text()).group(1).replace(" ", "")
    reach = stated(example, r"HAND_REACH = (\d+(?:\.\d+)?)")
    x, y, z = (float(v) for v in rest.split(","))
    seconds = 2.5
    grip = stated(example, r"HAND_STIFFNESS = (\d+(?:\.\d+)?)")
    arm = simulator("talon", "--hand", f"spring:{grip:g},2",
                    "--target", f"line:{rest}:{x + reach},{y},{z}:{2 * seconds}", "--force-log", str(log))
    result = subprocess.run([sys.executable, str(example), "--seconds", str(seconds), "--talon", arm],
                            cwd=tmp_path, capture_output=True, text=True, timeout=BLOCK_SECONDS)
    check_ran(result)
    check_forces("haptic_physics.py", log, stated(example, r"FORCE_LIMIT = (\d+(?:\.\d+)?)"), contact=True)
    assert float(summary_row(result.stdout, "box travel").split()[0]) > 5  # mm
    assert "periods dropped" in summary_row(result.stdout, "physics")
