# Front door for a fresh Debian 12 machine:
#   make build   install what is missing, build everything into dist/
#   make test    the same set-up, then every test tier
#   make bench   the benchmarks (figures printed)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENV := $(shell scripts/venv_path.sh)
PYTHON := $(VENV)/bin/python

.PHONY: demo setup build build-native build-sanitize build-fuzz build-windows dist test test-native test-windows test-worker test-e2e bench fuzz clean

setup:
	@scripts/setup.sh

build: setup build-native build-windows dist

build-native:
	@cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/native -j $(JOBS)

build-sanitize:
	@cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCOLLOQUOR_SANITIZE=ON >/dev/null
	@cmake --build build/sanitize -j $(JOBS)

# The fuzz targets: clang with libFuzzer, AddressSanitizer and UBSan.
build-fuzz:
	@cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOLLOQUOR_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build build/fuzz --target fuzz_targets -j $(JOBS)

build-windows:
	@cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake >/dev/null
	@cmake --build build/windows -j $(JOBS)

dist:
	@scripts/make_dist.sh

test: setup build build-sanitize build-fuzz
	@scripts/run_tests.sh

test-native: build-sanitize
	@ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

test-windows: build-windows
	@scripts/with_wine.sh ctest --test-dir build/windows --output-on-failure

test-worker: setup
	@cd worker && $(PYTHON) -m pytest -q tests

test-e2e: build
	@scripts/with_wine.sh tests/e2e/run.sh

bench: setup build-native
	@scripts/run_benchmarks.sh

# Every fuzz target for FUZZ_SECONDS each, seeded from its corpus; prints executions and findings.
FUZZ_SECONDS ?= 60
fuzz: setup build-fuzz
	@scripts/run_fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build dist

# The main job: Parlivo under Xvfb/Wine with the real worker; speaks TEXT (or plays WAV, 16 kHz
# mono) into the virtual microphone, presses the buttons, prints the session file and the path of
# a screenshot.
TEXT ?=
WAV ?=
TRANSLATE ?=
demo: build
	@scripts/with_wine.sh tests/e2e/run.sh --scenario demo --text "$(TEXT)" \
	  $(if $(WAV),--wav "$(abspath $(WAV))") $(if $(TRANSLATE),--translate) \
	  --screenshot "$(CURDIR)/dist/demo-screenshot.png"
