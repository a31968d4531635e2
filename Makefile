# make test  - installs what is missing, builds, runs the C++ and Python suites
# make demo  - the haptic control loop against the simulated devices
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: test demo cpp-test py-test deps system-deps venv module clean

test: cpp-test py-test

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

py-test: module
	$(VPY) -m pytest -q tests/python

demo: module
	$(VPY) examples/haptic_wall.py

clean:
	rm -rf build $(VENV)
