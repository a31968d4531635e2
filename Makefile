# make test  - installs what is missing, builds, runs the C++ and Python suites
# make demo  - the haptic control loop against the simulated devices; saves
#              demo-run.npz and, with matplotlib, its picture demo-run.png
# make demo-scene  - the simulated hand presses on a bracket loaded from an STL
#              file; saves scene-run.npz and scene-run.png (docs/scenes.md)
# make demo-physics  - the simulated arm pushes a box across a table in a MuJoCo
#              world; draws physics-run.png (docs/physics.md)
# make wheel-test  - the wheel in a new virtual environment, with the tests of its installed parts
# make stubs-check - the committed type stubs against the built modules; make stubs rewrites them
# make typecheck   - mypy on the examples and the tools
# make sanitize    - the C++ and Python suites under ASan+UBSan, the threaded tests under TSan
# make fuzz        - each libFuzzer target for FUZZ_SECONDS (60); make fuzz-smoke for 4 s each
# The C++ builds are the CMake presets of CMakePresets.json: each target here
# is the same "cmake --preset X && cmake --build --preset X && ctest --preset X"
# that an IDE or a shell runs.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
PRESET = cmake --preset $(1) >/dev/null && cmake --build --preset $(1) && ctest --preset $(1)

.PHONY: bench soak test demo demo-scene demo-physics cpp-test cpp-package-test py-test deps system-deps venv module clean

test: cpp-test cpp-package-test py-test

deps: system-deps venv

# GoogleTest (and clang for fuzzing) come from Debian's packages.
system-deps:
	@tools/install-system-deps.sh

venv: $(VENV)/.ready

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q pytest numpy pyserial matplotlib trimesh mujoco rerun-sdk
	touch $@

# The module builds in pip's isolated environment, against the pinned binding
# library, whatever series is installed globally. It is installed from the
# wheel, so the suites run the files that pip users get.
module: wheel
	$(VPY) -m pip install -q --force-reinstall --no-deps $(DIST)/*.whl

.PHONY: wheel wheel-test typing-tools stubs stubs-check typecheck
DIST := dist

# Built again only when what goes into it changes: a build takes minutes.
WHEEL_INPUTS := $(shell find Library bindings sim python -type f -not -path '*/__pycache__/*' 2>/dev/null) \
	CMakeLists.txt pyproject.toml README.md VantorHardwareAPI.pyi

wheel: $(DIST)/.built

$(DIST)/.built: $(WHEEL_INPUTS) | venv
	rm -f $(DIST)/*.whl $@
	$(VPY) -m pip wheel -q --no-deps . -w $(DIST)
	touch $@

# A new environment each time, and tests run from outside the source tree,
# so only what the wheel installed can be imported. py-test has run the whole
# suite through the installed wheel already; here the files that reach every
# installed part (both modules, the simulator, the commands, the stubs) do. vantor-doctor only has to
# run: it exits 1 for what it finds on this machine (a running ModemManager).
WHEEL_TESTS := test_module.py test_first_use.py test_simulator.py test_typing.py test_typed_results.py test_plot.py test_mesh_files.py

wheel-test: wheel
	@set -e; env=$$(mktemp -d); trap 'rm -rf "$$env"' EXIT; \
	echo "installing $$(ls $(DIST)/*.whl) into a new environment"; \
	$(PYTHON) -m venv "$$env"; \
	"$$env/bin/python" -m pip install -q "$$(ls $(DIST)/*.whl)[plot,mesh,physics]" pytest numpy mypy==$(MYPY_VERSION); \
	: | "$$env/bin/vantor-sim" talon | grep -q '^/dev/'; \
	"$$env/bin/vantor-doctor" --dev "$$env" >/dev/null || [ $$? = 1 ]; \
	"$$env/bin/vantor" --help >/dev/null; \
	cd "$$env"; \
	bin/python -c 'import os, sys, sysconfig, VantorHardwareAPI as m, vantor._native as n; \
	  assert m.__file__.startswith(sys.prefix), m.__file__; \
	  assert os.path.isfile(os.path.join(sysconfig.get_paths()["platlib"], "VantorHardwareAPI-stubs", "__init__.pyi")); \
	  assert os.path.isfile(os.path.join(os.path.dirname(n.__file__), "_native.pyi"))'; \
	bin/python -m pytest -q -p no:cacheprovider --rootdir=$(CURDIR)/tests/python $(addprefix $(CURDIR)/tests/python/,$(WHEEL_TESTS))

MYPY_VERSION := 2.4.1
# The 2.5 series of the stub generator reads the signatures pybind11 2.11 writes.
typing-tools: venv
	$(VPY) -m pip install -q pybind11-stubgen==2.5.5 mypy==$(MYPY_VERSION)

# The committed stubs: the device module's, and that of the vantor package's
# native part, which the wheel installs beside it.
STUBS := VantorHardwareAPI.pyi python/vantor/_native.pyi

# Generates the stubs of the modules installed in $(VENV) and refines them
# into $$out/refined/: the generator alone gives bare tuple and dict results.
GEN_STUBS = out=$$(mktemp -d) && trap 'rm -rf "$$out"' EXIT && mkdir "$$out/refined" && \
	(cd "$$out" && for module in VantorHardwareAPI vantor._native; do \
	  $(abspath $(VPY)) -m pybind11_stubgen --exit-code -o generated $$module || exit 1; done) && \
	$(VPY) tools/refine_stub.py "$$out/generated/VantorHardwareAPI.pyi" -o "$$out/refined/VantorHardwareAPI.pyi" && \
	$(VPY) tools/refine_stub.py --module vantor._native "$$out/generated/vantor/_native.pyi" \
	  -o "$$out/refined/_native.pyi"

# An unchanged stub is not written, so the wheel is not built again for it.
stubs: module typing-tools
	@$(GEN_STUBS) && for stub in $(STUBS); do \
	  cmp -s "$$out/refined/$${stub##*/}" $$stub || { cp "$$out/refined/$${stub##*/}" $$stub && echo "wrote $$stub"; }; done

stubs-check: module typing-tools
	@$(GEN_STUBS) && for stub in $(STUBS); do \
	  diff -u $$stub "$$out/refined/$${stub##*/}" || { echo "$$stub does not match the module: run make stubs"; exit 1; }; done

# From the top of the tree: mypy reads the committed stub and pyproject.toml.
typecheck: typing-tools
	$(VPY) -m mypy --cache-dir build/mypy examples python/vantor

cpp-test: system-deps
	$(call PRESET,default)

# Installs the C++ package and builds examples/ as an outside project against
# it; the install tree is made anew each time so a missing rule cannot hide.
# It installs the default build's library (under another prefix than it was
# configured with, so the package must be relocatable) rather than build it again.
cpp-package-test:
	rm -rf build/package-install build/package-examples
	cmake --preset default >/dev/null && cmake --build --preset default
	cmake --install build/default --prefix $(CURDIR)/build/package-install >/dev/null
	cmake -S examples -B build/package-examples -DCMAKE_PREFIX_PATH=$(CURDIR)/build/package-install -DCMAKE_BUILD_TYPE=Release
	cmake --build build/package-examples -j2

# mypy too, for the typing test.
py-test: module typing-tools
	$(VPY) -m pytest -q tests/python

# --- sanitizers: make sanitize (about 6 minutes) ------------------------------
.PHONY: sanitize sanitize-cpp sanitize-py sanitize-thread
ASAN_VENV := build/venv-asan
ASAN_VPY := $(ASAN_VENV)/bin/python

sanitize: sanitize-cpp sanitize-py sanitize-thread

sanitize-cpp: system-deps
	$(call PRESET,sanitizers)

$(ASAN_VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VPY) -m pip install -q --upgrade pip
	$(ASAN_VPY) -m pip install -q pytest numpy pyserial trimesh
	touch $@

# The interpreter is not built with the sanitizers, so their runtime is
# preloaded; libstdc++ with it, or the runtime cannot find the C++ throw it
# wraps. Leaks are not checked: most allocations are the interpreter's.
# --capture=sys leaves native standard error alone, so a report shows.
# Left out: tests of pure-Python tools and of the examples run as programs
# (py-test runs them all); they only repeat native paths the rest cover.
# The physics coupling is Python over the loop's public calls, and its tests
# judge the world's rate, which a sanitized build does not keep.
ASAN_SKIP := test_docs.py test_zwidth.py test_doctor.py test_typing.py test_plot.py \
	test_api_docs.py test_first_use.py test_simulator.py test_device_log.py test_physics.py
$(ASAN_VENV)/.installed: $(WHEEL_INPUTS) $(ASAN_VENV)/.ready
	$(ASAN_VPY) -m pip install -q . -Ccmake.define.VANTOR_SANITIZE=address,undefined \
	  -Ccmake.build-type=Debug -Cbuild-dir=build/python-asan
	touch $@

sanitize-py: $(ASAN_VENV)/.installed
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(ASAN_VPY) -m pytest -q --capture=sys -p no:cacheprovider \
	  $(addprefix --ignore=tests/python/,$(ASAN_SKIP)) tests/python

# The tests that run threads: discovery's probes, waits beside other threads,
# the offsets read beside a calibration, and the simulator tests.
sanitize-thread: system-deps
	$(call PRESET,tsan)

# The sanitized and fuzz builds without their tests: .ci/run compiles them at
# low priority while the suites run, which mostly wait on devices.
.PHONY: sanitize-builds
sanitize-builds: system-deps clang $(ASAN_VENV)/.installed
	cmake --preset sanitizers >/dev/null && cmake --build --preset sanitizers
	cmake --preset tsan >/dev/null && cmake --build --preset tsan
	cmake --preset fuzz >/dev/null && cmake --build --preset fuzz

# --- fuzzing: make fuzz (FUZZ_SECONDS per target), make fuzz-smoke ------------
# A crash leaves its input in build/fuzz/crashes/; copy it to
# fuzz/regressions/<target>-<name> and the C++ suite replays it.
.PHONY: fuzz fuzz-smoke fuzz-build clang
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 4

clang:
	@tools/install-system-deps.sh clang

fuzz-build: clang
	$(call PRESET,fuzz)

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

# The library's exchange against raw system calls and a pure-Python loop on
# one simulator process, then the servo loop beside a bare pacing loop, the
# raw floor and the documented pure-Python loop on another; writes
# bench/results.json. Then the grip read by vantor.GripReader, by a pure-Python
# thread and beside the demo's loop; writes bench/grip-results.json. Then
# vantor zwidth --simulate at 1 and 4 kHz, and the passivity controller's cost
# per cycle; writes bench/zwidth-results.json. Then a mesh's per-cycle cost
# against its triangle count, and a 4 kHz loop rendering a 100,000-triangle
# mesh beside one rendering a Plane; writes bench/mesh-loop-results.json.
# Then a MuJoCo world coupled to a 1 kHz loop, beside the loop alone; writes
# bench/physics-results.json.
# Then a 1 kHz loop with and without a vantor.view.Viewer; bench/view-results.json.
# About 13 minutes (servo cases: 3 rounds of 10 s; grip: 3 rounds of 5 s).
bench: module
	$(call PRESET,bench)
	$(VPY) bench/run_bench.py --sim build/bench/sim/vantor-sim --bench build/bench/bench/vantor-bench
	build/bench/bench/vantor-mesh-bench
	$(VPY) bench/grip_bench.py --sim build/bench/sim/vantor-sim
	$(VPY) bench/zwidth_bench.py --bench build/bench/bench/vantor-bench
	$(VPY) bench/mesh_loop_bench.py
	$(VPY) bench/physics_bench.py
	$(VPY) bench/view_bench.py

# A million force exchanges on one simulated arm, sampling this process's
# resident memory; prints whether it stayed flat. Takes a few minutes.
soak: module
	$(VPY) bench/soak_memory.py

demo: module
	$(VPY) examples/haptic_wall.py --save demo-run.npz --picture demo-run.png

demo-scene: module
	$(VPY) examples/haptic_scene.py --save scene-run.npz --picture scene-run.png

demo-physics: module
	$(VPY) examples/haptic_physics.py --picture physics-run.png

clean:
	rm -rf build $(VENV) $(DIST)
