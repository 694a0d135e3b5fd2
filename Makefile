# `make demo` and `make test` do whatever set-up is missing (Debian packages,
# .venv, CMake configure and build), then run. Repeated runs only rebuild
# what changed.

SHELL := /bin/bash
.DEFAULT_GOAL := test

PYTHON ?= python3
# Module whose viewer `make demo` runs.
SCENE ?= Arborlot
# Where `make demo` puts its pictures when there is no display.
SNAPSHOT_DIR ?= $(ROOT)/snapshots

ROOT := $(CURDIR)
VENV := $(ROOT)/.venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
VENV_STAMP := $(VENV)/.requirements-stamp

APT_PACKAGES := build-essential g++ python3-dev python3-venv freeglut3-dev libglu1-mesa-dev \
                libgl1-mesa-dri xvfb xauth
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# The tests take the module directory from RT_MODULES_DIR.
DEV_ENV := PYTHONPATH=$(ROOT)/build/modules:$(ROOT)/framework RT_MODULES_DIR=$(ROOT)/build/modules
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

CONFIGURE = $(CMAKE) -S $(ROOT) -G Ninja -DCMAKE_MAKE_PROGRAM=$(VENV)/bin/ninja \
            -DPython_EXECUTABLE=$(VPY) -DRT_WERROR=ON

.PHONY: demo test test-dev test-asan build build-asan system-packages venv clean distclean

# With a display the scene's window opens; without one it is rendered under
# a private Xvfb and the paths of the pictures are printed.
demo: build
	@if [ -n "$$DISPLAY" ]; then \
	  $(DEV_ENV) $(VPY) -c "import $(SCENE); $(SCENE).main()"; \
	else \
	  $(DEV_ENV) $(VPY) $(ROOT)/tools/snapshot.py $(SCENE) $(SNAPSHOT_DIR); \
	fi

# Both passes always run, so one report shows every failure; either fails the target.
test: build build-asan
	@rc=0; \
	$(MAKE) --no-print-directory test-dev || rc=1; \
	$(MAKE) --no-print-directory test-asan || rc=1; \
	exit $$rc

test-dev: build
	$(DEV_ENV) $(VPY) -m pytest -q $(ROOT)/tests

# --capture=sys leaves fd 2 alone: a sanitizer report is written there just
# before the process aborts, and fd capture would swallow it.
test-asan: build-asan
	$(ASAN_ENV) $(VPY) -m pytest -q --capture=sys $(ROOT)/tests

build: system-packages build/.configured
	$(CMAKE) --build build

build-asan: system-packages build-asan/.configured
	$(CMAKE) --build build-asan

# After the first configure, ninja re-runs CMake by itself when a CMake input changes.
build/.configured: $(VENV_STAMP)
	$(CONFIGURE) -B build
	touch $@

build-asan/.configured: $(VENV_STAMP)
	$(CONFIGURE) -B build-asan -DRT_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	touch $@

venv: $(VENV_STAMP)

$(VENV_STAMP): requirements.txt | $(VPY)
	$(VPY) -m pip install --disable-pip-version-check -q -r requirements.txt
	touch $@

$(VPY): | system-packages
	$(PYTHON) -m venv $(VENV)

system-packages:
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

clean:
	rm -rf build build-asan

distclean: clean
	rm -rf $(VENV)
