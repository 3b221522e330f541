# Front door for a fresh Debian 12 machine:
#   make build   install what is missing, build everything into dist/
#   make test    the same set-up, then every test tier
#   make bench   the benchmarks (figures printed)
#   make soak    MINUTES (default 30) of live audio into the real worker, per-minute figures
SHELL := /bin/bash
JOBS ?= $(shell nproc)
VENV := $(shell scripts/venv_path.sh)
PYTHON := $(VENV)/bin/python

.PHONY: demo demo-build configure-windows setup build build-native build-sanitize build-fuzz build-windows dist test test-native test-windows test-worker test-e2e faults bench soak fuzz lint clean

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

configure-windows:
	@cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake >/dev/null

build-windows: configure-windows
	@cmake --build build/windows -j $(JOBS)

dist:
	@scripts/make_dist.sh

test: setup build build-sanitize build-fuzz
	@scripts/run_tests.sh

# clang-format and ruff over the whole tree (also the first tier of make test).
lint: setup
	@scripts/lint.sh

test-native: build-sanitize
	@ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

test-windows: build-windows
	@scripts/with_wine.sh ctest --test-dir build/windows --output-on-failure

test-worker: setup
	@cd worker && $(PYTHON) -m pytest -q tests

test-e2e: build
	@scripts/with_wine.sh tests/e2e/run.sh

# Fault runs (not part of make test): the worker killed at KILLS random moments, the disk filling up
# under the session file (needs root for a small loop-mounted file system), an odd program folder.
KILLS ?= 20
faults: build
	@scripts/with_wine.sh tests/e2e/run.sh --scenario faults --kills $(KILLS)

# The recognition benchmark compares this tree's worker with BASE's (default: recorded in
# bench/recognition_bench.py), ROUNDS times each, interleaved.
# The default-configuration part runs one worker: this tree's, or WORKER's (a commit).
BASE ?=
ROUNDS ?=
WORKER ?=
bench: setup build-native
	@scripts/make_dist.sh
	@BASE="$(BASE)" ROUNDS="$(ROUNDS)" WORKER="$(WORKER)" scripts/run_benchmarks.sh

# Not part of `make test`: the worker (tiny.en, CPU) fed speech and noise in real time for
# MINUTES minutes; prints latency, memory, threads and open files per minute and the goal.
# KEEP=DIR keeps the audio, the worker's log and lines, every latency and its memory maps there.
# TRANSLATE=1 translates everything with a model of the real NLLB 1.3B shape (random weights).
# SHAPE=small makes the recognizer cost what Whisper small would (tiny.en gives the text), so
# `make soak MINUTES=10 TRANSLATE=1 SHAPE=small` is the default processor configuration.
# WORKER=COMMIT soaks that commit's worker instead of this tree's.
MINUTES ?= 30
KEEP ?=
SHAPE ?=
soak: setup
	@cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/native --target feed_wav -j $(JOBS)
	@scripts/make_dist.sh
	@$(PYTHON) bench/soak.py --minutes $(MINUTES) $(if $(KEEP),--keep "$(abspath $(KEEP))") \
	  $(if $(TRANSLATE),--translate) $(if $(SHAPE),--recognizer-shape $(SHAPE)) \
	  $(if $(WORKER),--worker $(WORKER))

# Every fuzz target for FUZZ_SECONDS each, seeded from its corpus; prints executions and findings.
FUZZ_SECONDS ?= 60
fuzz: setup build-fuzz
	@scripts/run_fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build dist

# The main job: Parlivo under Xvfb/Wine with the real worker; speaks TEXT (or plays WAV, 16 kHz
# mono) into the virtual microphone, presses the buttons, prints the session file with its facts
# and the path of a screenshot. LANGS=en,de (two of the eight codes) speaks sentences of the two
# languages in turn, with the multilingual recognizer and the pair set in the language lists.
# It needs only Parlivo, the relay and the probe (the worker, the relay's Linux side and the model
# preparation are Python), not the test programs.
TEXT ?=
WAV ?=
TRANSLATE ?=
LANGS ?=
DEMO_TARGETS := Parlivo relay probe
demo-build: setup configure-windows
	@cmake --build build/windows -j $(JOBS) --target $(DEMO_TARGETS)
	@scripts/make_dist.sh

demo: demo-build
	@scripts/with_wine.sh tests/e2e/run.sh --scenario demo --text "$(TEXT)" \
	  $(if $(WAV),--wav "$(abspath $(WAV))") $(if $(TRANSLATE),--translate) \
	  $(if $(LANGS),--langs "$(LANGS)") \
	  --screenshot "$(CURDIR)/dist/demo-screenshot.png"
