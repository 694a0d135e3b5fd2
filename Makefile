# `make demo` and `make test` do whatever set-up is missing (Debian packages,
# virtual environments, CMake configure and build), then run. Repeated runs
# only rebuild what changed. Plain `make` lists the targets: the text after
# `## ` on a target's line.
#
# PYTHON=NAME on the command line (python3.9, python2.7 or a path) points
# build, wheel, install, demo, venv and test at that interpreter, with its own
# .venv-pyXY/ and build-pyXY/. Without it they use the main interpreter,
# .venv/ and build/; `make test` then runs the suite on every interpreter.

SHELL := /bin/bash
.DEFAULT_GOAL := help

# The interpreter of .venv/ and build/; .venv also holds the build tools.
MAIN_PYTHON ?= python3
# The interpreters that `make test` covers besides the main one.
INTERPRETERS ?= 2.7 3.8 3.9 3.10 3.12 3.13
# Module whose viewer `make demo` runs.
SCENE ?= Arborlot
# Where `make demo` puts its pictures when there is no display.
SNAPSHOT_DIR ?= $(ROOT)/snapshots

ROOT := $(CURDIR)
TOOLS_VENV := $(ROOT)/.venv
TOOLS_VPY := $(TOOLS_VENV)/bin/python
TOOLS_STAMP := $(TOOLS_VENV)/.requirements-stamp
CMAKE := $(TOOLS_VENV)/bin/cmake

# A PYTHON from the environment is ignored: it names too many other things.
ifeq ($(origin PYTHON),command line)
  PY_EXE := $(shell $(ROOT)/tools/find-python '$(PYTHON)')
  ifeq ($(PY_EXE),)
    $(error $(PYTHON) not found, neither on PATH nor under pyenv's versions/)
  endif
  PY_TAG := $(shell '$(PY_EXE)' -c 'import sys; print("py%d%d" % sys.version_info[:2])')
  VENV := $(ROOT)/.venv-$(PY_TAG)
  BUILD := $(ROOT)/build-$(PY_TAG)
  REQUIREMENTS := $(firstword $(wildcard requirements/$(PY_TAG).txt) requirements.txt)
  # venv is 3.3 and newer; the virtualenv of .venv still creates 2.7 environments.
  ifeq ($(PY_TAG),py27)
    NEW_VENV = $(TOOLS_VENV)/bin/virtualenv -q -p '$(PY_EXE)' $(VENV)
  else
    NEW_VENV = '$(PY_EXE)' -m venv $(VENV)
  endif
else
  PY_EXE := $(MAIN_PYTHON)
  VENV := $(TOOLS_VENV)
  BUILD := $(ROOT)/build
  REQUIREMENTS := requirements.txt
endif
VPY := $(VENV)/bin/python
VENV_STAMP := $(VENV)/.requirements-stamp
MODULES := $(BUILD)/modules
# The interpreter's wheel: on 3 built by scikit-build-core (`pip wheel .`), on
# 2.7 packed from the CMake build by tools/pack_wheel.py.
DIST := $(BUILD)/dist
WHEEL_INPUTS := $(MODULES) $(ROOT)/stubs $(ROOT)/framework $(ROOT)/CMakeLists.txt \
                $(ROOT)/pyproject.toml $(ROOT)/LICENSE $(ROOT)/docs/pypi.md \
                $(ROOT)/tools/pack_wheel.py
# What pip puts in site-packages from that wheel, for the tests that use the
# modules from outside the checkout.
INSTALLED := $(BUILD)/installed
# `make install INSTALL_DIR=DIR` installs into DIR alone (pip --target).
INSTALL_DIR ?=

# NumPy 1 beside the main build, which is compiled against NumPy 2's headers.
NUMPY1_VENV := $(ROOT)/.venv-numpy1

APT_PACKAGES := build-essential g++ python3-dev python3-venv freeglut3-dev libglu1-mesa-dev \
                libgl1-mesa-dri xvfb xauth
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# The tests take the module directory from RT_MODULES_DIR.
DEV_ENV := PYTHONPATH=$(MODULES):$(ROOT)/framework RT_MODULES_DIR=$(MODULES)
# libasan must be loaded before the interpreter's own allocations. The
# interpreter does not link libstdc++, so it is preloaded too: otherwise ASan
# finds no __cxa_throw to forward to and aborts on the first C++ throw.
# Leak checks are off because the interpreter does not free everything at exit.
ASAN_ENV = PYTHONPATH=$(ROOT)/build-asan/modules:$(ROOT)/framework \
           RT_MODULES_DIR=$(ROOT)/build-asan/modules \
           LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
           ASAN_OPTIONS=detect_leaks=0 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
           PYTHONMALLOC=malloc RT_SANITIZED=1

CONFIGURE = $(CMAKE) -S $(ROOT) -G Ninja -DCMAKE_MAKE_PROGRAM=$(TOOLS_VENV)/bin/ninja \
            -DRT_WERROR=ON

.PHONY: help demo test check test-dev bench test-asan test-numpy1 build build-asan wheel installed \
        install system-packages venv venv-numpy1 clean distclean

help: ## this list
	@echo "make TARGET [PYTHON=NAME]; PYTHON points a target at one interpreter:"
	@sed -n 's/^\([a-z][a-z0-9-]*\):.*## \(.*\)/\1\t\2/p' $(firstword $(MAKEFILE_LIST)) | \
	  while IFS=$$'\t' read -r target text; do printf '  %-15s %s\n' "$$target" "$$text"; done

# With a display the scene's window opens; without one it is rendered under
# a private Xvfb and the paths of the pictures are printed.
demo: build ## the windows of SCENE=Arborlot (or another); without a display, PNGs in snapshots/
	@if [ -n "$$DISPLAY" ]; then \
	  $(DEV_ENV) $(VPY) -c "import $(SCENE); $(SCENE).main()"; \
	else \
	  $(DEV_ENV) $(VPY) $(ROOT)/tools/snapshot.py $(SCENE) $(SNAPSHOT_DIR); \
	fi

ifeq ($(origin PYTHON),command line)
test: check
else
# Every interpreter, one after another, each through its own make; the
# summary at the end has the counts and times of each. Any failure fails
# the target.
test: $(TOOLS_STAMP) ## set up and run the suite on every interpreter, with a summary
	@MAKE="$(MAKE)" $(TOOLS_VPY) $(ROOT)/tools/run_legs.py $(INTERPRETERS)
endif

# One interpreter in full: its build, its wheel and installed copy, the suite.
check: build installed ## the suite on one interpreter, with the installed wheel
	$(DEV_ENV) RT_INSTALLED_DIR=$(INSTALLED) RT_WHEEL_DIR=$(DIST) $(VPY) -m pytest -q \
	  -p no:cacheprovider $(ROOT)/tests

# The quick loop: the suite on the build, without the installed copy.
test-dev: build ## the suite once, on the build only
	$(DEV_ENV) $(VPY) -m pytest -q $(ROOT)/tests

bench: build ## time the modules against Python renditions and C (bench/bench.py)
	$(DEV_ENV) $(VPY) $(ROOT)/bench/bench.py

# --capture=sys leaves fd 2 alone: a sanitizer report is written there just
# before the process aborts, and fd capture would swallow it.
test-asan: build-asan ## the suite on the AddressSanitizer/UBSan build
	$(ASAN_ENV) $(TOOLS_VPY) -m pytest -q -p no:cacheprovider --capture=sys $(ROOT)/tests

test-numpy1: build venv-numpy1 ## the suite on the main build under NumPy 1
	$(DEV_ENV) $(NUMPY1_VENV)/bin/python -m pytest -q -p no:cacheprovider $(ROOT)/tests

build: system-packages $(BUILD)/.configured ## configure and build the modules
	$(CMAKE) --build $(BUILD)

build-asan: system-packages $(ROOT)/build-asan/.configured ## the same with the sanitizers
	$(CMAKE) --build $(ROOT)/build-asan

# After the first configure, ninja re-runs CMake by itself when a CMake input changes.
$(BUILD)/.configured: $(VENV_STAMP) $(TOOLS_STAMP)
	$(CONFIGURE) -B $(BUILD) -DPython_EXECUTABLE=$(VPY)
	touch $@

$(ROOT)/build-asan/.configured: $(TOOLS_STAMP)
	$(CONFIGURE) -B $(ROOT)/build-asan -DPython_EXECUTABLE=$(TOOLS_VPY) \
	  -DRT_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	touch $@

# 3: the real `pip wheel .` (build isolation, scikit-build-core). 2.7: the
# CMake build installed into a tree and packed. Redone only when an input is
# newer than the last wheel.
wheel: build ## the interpreter's wheel, in build*/dist/
	@stamp=$(DIST)/.stamp; \
	if [ -e $$stamp ] && [ -z "$$(find $(WHEEL_INPUTS) -newer $$stamp | head -1)" ]; then \
	  exit 0; \
	fi; \
	rm -rf $(DIST) $(BUILD)/wheel-tree && \
	if [ "$(PY_TAG)" = py27 ]; then \
	  $(CMAKE) --install $(BUILD) --prefix $(BUILD)/wheel-tree >/dev/null && \
	  $(TOOLS_VPY) $(ROOT)/tools/pack_wheel.py $(BUILD)/wheel-tree $(DIST) --python $(VPY); \
	else \
	  echo "pip wheel ." && \
	  $(VPY) -m pip wheel -q --disable-pip-version-check --no-deps -w $(DIST) $(ROOT); \
	fi && touch $$stamp

# The wheel as pip installs it, in a directory of its own.
installed: wheel ## the wheel installed into build*/installed, for the tests
	@stamp=$(INSTALLED)/.stamp; \
	if [ -e $$stamp ] && [ $$stamp -nt $(DIST)/.stamp ]; then exit 0; fi; \
	rm -rf $(INSTALLED) && \
	echo "pip install --target $(INSTALLED) $$(cd $(DIST) && echo *.whl)" && \
	$(VPY) -m pip install -q --disable-pip-version-check --no-deps --target $(INSTALLED) \
	  $(DIST)/*.whl && touch $$stamp

# With the interpreter's own pip, so that pip list, show and uninstall know
# of it; a copy installed before is replaced.
install: wheel ## the wheel into PYTHON's environment, with NumPy and PyOpenGL
ifeq ($(INSTALL_DIR),)
	'$(PY_EXE)' -m pip uninstall -q -y geomviews 2>/dev/null || true
	'$(PY_EXE)' -m pip install $(DIST)/*.whl
else
	'$(PY_EXE)' -m pip install --no-deps --upgrade --target '$(INSTALL_DIR)' $(DIST)/*.whl
endif

venv: $(VENV_STAMP) ## the interpreter's virtual environment (.venv*)

$(TOOLS_STAMP): requirements.txt | $(TOOLS_VPY)
	$(TOOLS_VPY) -m pip install --disable-pip-version-check -q -r requirements.txt
	touch $@

$(TOOLS_VPY): | system-packages
	$(MAIN_PYTHON) -m venv $(TOOLS_VENV)

ifneq ($(VENV),$(TOOLS_VENV))
$(VENV_STAMP): $(REQUIREMENTS) | $(VPY)
	$(VPY) -m pip install --disable-pip-version-check -q -r $(REQUIREMENTS)
	touch $@

$(VPY): | system-packages $(TOOLS_STAMP)
	$(NEW_VENV)
endif

venv-numpy1: $(NUMPY1_VENV)/.requirements-stamp ## the NumPy 1 environment

$(NUMPY1_VENV)/.requirements-stamp: requirements/numpy1.txt | system-packages
	[ -x $(NUMPY1_VENV)/bin/python ] || $(MAIN_PYTHON) -m venv $(NUMPY1_VENV)
	$(NUMPY1_VENV)/bin/python -m pip install --disable-pip-version-check -q -r $<
	touch $@

system-packages: ## the Debian packages that are missing, through apt-get
	@command -v dpkg-query >/dev/null || exit 0; \
	missing=; \
	for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing Debian packages:$$missing"; \
	  $(SUDO) apt-get update && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive \
	    apt-get install -y --no-install-recommends $$missing; \
	fi

clean: ## remove the builds
	rm -rf build build-*

distclean: clean ## remove the builds and the virtual environments
	rm -rf .venv .venv-*
