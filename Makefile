# make test  - installs what is missing, builds, runs the C++ and Python suites
# make demo  - the haptic control loop against the simulated devices
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: bench test demo cpp-test cpp-package-test py-test deps system-deps venv module clean

test: cpp-test cpp-package-test py-test

deps: system-deps venv

# GoogleTest comes from Debian's packages.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "installing libgtest-dev"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
	fi

venv: $(VENV)/.ready

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q pytest numpy pyserial
	touch $@

# The module builds in pip's isolated environment, against the pinned binding
# library, whatever series is installed globally.
module: venv
	$(VPY) -m pip install -q .

cpp-test: system-deps
	cmake -S . -B $(CPP_BUILD) -DVANTOR_BUILD_TESTS=ON -DVANTOR_BUILD_SIM=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(CPP_BUILD) -j$(JOBS)
	cd $(CPP_BUILD) && ctest --output-on-failure -j$(JOBS)

# Installs the C++ package and builds examples/ as an outside project against
# it; the install tree is rebuilt each time so a missing rule cannot hide.
cpp-package-test:
	rm -rf build/pkg-install build/pkg-examples
	cmake -S . -B build/pkg -DVANTOR_BUILD_TESTS=OFF -DVANTOR_BUILD_SIM=OFF -DVANTOR_BUILD_EXAMPLES=OFF -DVANTOR_BUILD_BENCH=OFF -DVANTOR_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build build/pkg -j$(JOBS)
	cmake --install build/pkg --prefix build/pkg-install
	cmake -S examples -B build/pkg-examples -DCMAKE_PREFIX_PATH=$(CURDIR)/build/pkg-install -DCMAKE_BUILD_TYPE=Release
	cmake --build build/pkg-examples -j$(JOBS)

py-test: module
	$(VPY) -m pytest -q tests/python

BENCH_BUILD := build/bench

# The library's exchange against raw system calls and a pure-Python loop,
# all on one simulator process; writes bench/results.json.
bench: module
	cmake -S . -B $(BENCH_BUILD) -DVANTOR_BUILD_BENCH=ON -DVANTOR_BUILD_SIM=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target vantor-bench vantor-sim
	$(VPY) bench/run_bench.py --sim $(BENCH_BUILD)/sim/vantor-sim --bench $(BENCH_BUILD)/bench/vantor-bench

demo: module
	$(VPY) examples/haptic_wall.py

clean:
	rm -rf build $(VENV)
