# movra_sdk: `make demo` and `make test` are all a fresh machine needs.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= $(shell nproc)
# A deployment key: make test MOVRA_SERVER_JWK=/path/to/key.jwk
MOVRA_SERVER_JWK ?=
# Always passed, empty without a key: a key given once must not stay in a build tree's CMake cache.
KEY_PATH := $(if $(MOVRA_SERVER_JWK),$(abspath $(MOVRA_SERVER_JWK)))
KEY_DEFINE := -DMOVRA_SERVER_JWK=$(KEY_PATH)
KEY_PIP := -C cmake.define.MOVRA_SERVER_JWK=$(KEY_PATH)

.PHONY: all setup build native module test test-native test-python sanitize asan tsan fuzz fuzz-smoke demo bench bench-quick clean

all: build

setup:
	@scripts/setup.sh

# Native build: core, tests, broker plugin, benchmark client.
native: setup
	@$(CMAKE) -S . -B build/native -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
	  -DMOVRA_BUILD_BROKER_PLUGIN=ON -DMOVRA_BUILD_BENCH=ON $(KEY_DEFINE)
	@$(CMAKE) --build build/native -j $(JOBS)

# The Python module, installed into .venv.
module: setup
	@$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation $(KEY_PIP) .

build: native module

test-native: native
	@cd build/native && ctest --output-on-failure -j $(JOBS)

test-python: module native
	@$(PY) -m pytest -q

asan: setup
	@$(CMAKE) -S . -B build/asan -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
	  -DMOVRA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug $(KEY_DEFINE)
	@$(CMAKE) --build build/asan -j $(JOBS)
	@cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

tsan: setup
	@$(CMAKE) -S . -B build/tsan -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
	  -DMOVRA_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug $(KEY_DEFINE)
	@$(CMAKE) --build build/tsan -j $(JOBS)
	@cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS)

sanitize: asan tsan

# The broker plugin's libFuzzer targets (clang, ASan+UBSan), in build/fuzz: about 30 s each in
# `make test`, longer on demand. A crash fails the run; its input goes to build/fuzz/crashes/.
fuzz-smoke: setup
	@JOBS=$(JOBS) tests/fuzz/run.sh 30

fuzz: setup
	@JOBS=$(JOBS) tests/fuzz/run.sh 600

test: test-native test-python sanitize fuzz-smoke

demo: module native
	@$(PY) examples/demo.py
	@$(PY) examples/demo_enterprise.py

bench: module native
	@$(PY) bench/run.py

bench-quick: module native
	@$(PY) bench/run.py --quick

clean:
	rm -rf build dist *.egg-info
