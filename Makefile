# velmo: build, test and demo. `make test` and `make demo` set up a fresh Debian machine first.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
APT_PACKAGES := g++ cmake ninja-build pkg-config libgtest-dev libutf8proc-dev libdeflate-dev libisal-dev
# The fuzz targets build with clang 16 and libFuzzer (clang 14 cannot compile std::expected).
FUZZ_APT_PACKAGES := clang-16 libclang-rt-16-dev
PY_PACKAGES := pytest xlsxwriter python-calamine scikit-build-core ninja cmake

.PHONY: all deps sysdeps pydeps build build-asan cpp-test asan-test module py-test test demo bench fuzz fuzzdeps fuzz-smoke clean

all: build

# System packages: installed with apt-get when missing (root), else a clear message.
sysdeps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "missing system packages:$$missing"; \
	    echo "run: sudo apt-get install$$missing"; exit 1; \
	  fi; \
	fi

$(VENV)/.ready:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_PACKAGES)
	touch $@

pydeps: $(VENV)/.ready

deps: sysdeps pydeps

build: sysdeps
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS)

build-asan: sysdeps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMO_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)

cpp-test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

asan-test: build-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The extension module, installed into the project's virtual environment.
module: deps
	$(VPY) -m pip install -q --no-build-isolation -Cbuild-dir=build/py .

py-test: module
	$(VPY) -m pytest -q tests/python

# pytest runs last so its summary closes the output.
test: cpp-test asan-test fuzz-smoke py-test

demo: module
	$(VPY) examples/demo.py

bench: module
	$(VPY) bench/run.py

fuzzdeps:
	@$(MAKE) --no-print-directory sysdeps APT_PACKAGES="$(APT_PACKAGES) $(FUZZ_APT_PACKAGES)"

# Every fuzz target for FUZZ_SECONDS (default 60) each.
fuzz: fuzzdeps
	$(MAKE) -C fuzz -j$(JOBS) run

# A short bounded pass over every fuzz target and the saved crash inputs: 8 s per target, about
# 2 minutes with the build; part of `test`, so CI catches regressions.
fuzz-smoke: fuzzdeps
	$(MAKE) -C fuzz -j$(JOBS) smoke

clean:
	rm -rf build build-asan build-fuzz-clang fuzz/out $(VENV)
