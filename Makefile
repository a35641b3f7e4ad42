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
# OFF links Paho without the transport layer (client/paho_quirks/transport.h), for comparison:
# make bench TRANSPORT=OFF BENCH_ARGS="--out build/bench-off". Always passed, like the key.
TRANSPORT ?= ON
BUILD_DEFINES := -DMOVRA_SERVER_JWK=$(KEY_PATH) -DMOVRA_TRANSPORT=$(TRANSPORT)
BUILD_PIP := -C cmake.define.MOVRA_SERVER_JWK=$(KEY_PATH) -C cmake.define.MOVRA_TRANSPORT=$(TRANSPORT)
BENCH_ARGS ?=
# The wheel is built from the sdist in a directory of its own; without a deployment key it compiles in
# the checkout's development pair, like every other build tree here.
WHEEL_KEY := $(if $(KEY_PATH),-C cmake.define.MOVRA_SERVER_JWK=$(KEY_PATH),-C cmake.define.MOVRA_DEV_KEY_DIR=$(abspath build/dev-key))
SOURCES := $(wildcard $(shell git ls-files 2>/dev/null))
C_SOURCES = $(wildcard $(shell git ls-files '*.c' '*.cpp' '*.h'))

.PHONY: all setup build native module wheel lint format test test-native test-stock test-python test-deployment sanitize asan tsan fuzz fuzz-smoke demo bench bench-quick clean

all: build

setup:
	@scripts/setup.sh

# Native build: core, tests, broker plugin, benchmark client.
native: setup
	@$(CMAKE) -S . -B build/native -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
	  -DMOVRA_BUILD_BROKER_PLUGIN=ON -DMOVRA_BUILD_BENCH=ON $(BUILD_DEFINES)
	@$(CMAKE) --build build/native -j $(JOBS)

# The Python module, installed into .venv.
module: setup
	@$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation $(BUILD_PIP) .

build: native module

# dist/: the sdist, and the wheel built from it and repaired by auditwheel so that it carries the
# libraries it needs beyond what the manylinux policy allows (Paho, cjose, jansson, OpenSSL).
wheel: dist/.complete

# $(call wheel-from-sdist,raw dir,wheel dir,key options,log prefix): the sdist and the wheel built
# from it into the raw dir, that wheel repaired into the wheel dir.
define wheel-from-sdist
	@rm -rf $(1) $(2)
	@CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m build --no-isolation --outdir $(1) \
	  $(3) . >$(4)-build.log 2>&1 || { tail -n 40 $(4)-build.log; exit 1; }
	@PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair -w $(2) $(1)/*.whl >$(4)-repair.log 2>&1 \
	  || { cat $(4)-repair.log; exit 1; }
endef

dist/.complete: $(SOURCES) | setup
	$(call wheel-from-sdist,build/wheel-raw,dist,$(WHEEL_KEY),build/wheel)
	@cp build/wheel-raw/*.tar.gz dist/
	@touch $@
	@ls -l dist/

test-native: native
	@cd build/native && ctest --output-on-failure -j $(JOBS)

# The stock library's path: the core and its native tests once more without the transport layer
# (what a Paho the layer does not fit gets), in build/stock; no broker plugin, no benchmark client.
test-stock: setup
	@$(CMAKE) -S . -B build/stock -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
	  -DMOVRA_SERVER_JWK=$(KEY_PATH) -DMOVRA_TRANSPORT=OFF
	@$(CMAKE) --build build/stock -j $(JOBS)
	@cd build/stock && ctest --output-on-failure -j $(JOBS)

test-python: module native wheel
	@$(PY) -m pytest -q

# A deployment's whole key flow, as a step of its own: movra_keygen makes a pair, the wheel is built
# from the sdist with its public half as `make wheel MOVRA_SERVER_JWK=...` builds it, and
# tests/python/test_enterprise_deployment.py runs that wheel against brokers holding the private half
# and another key. The wheel is rebuilt when a source changed.
DEPLOYMENT := build/deployment

test-deployment: $(DEPLOYMENT)/.complete
	@MOVRA_DEPLOYMENT_DIR=$(abspath $(DEPLOYMENT)) $(PY) -m pytest -q tests/python/test_enterprise_deployment.py

$(DEPLOYMENT)/.complete: $(SOURCES) | native
	@rm -rf $(DEPLOYMENT) && mkdir -p $(DEPLOYMENT)
	@build/native/crypto/movra_keygen $(DEPLOYMENT)/server_public.jwk $(DEPLOYMENT)/server_private.jwk
	$(call wheel-from-sdist,$(DEPLOYMENT)/raw,$(DEPLOYMENT)/dist,-C cmake.define.MOVRA_SERVER_JWK=$(abspath $(DEPLOYMENT))/server_public.jwk,$(DEPLOYMENT)/wheel)
	@touch $@

asan: setup
	@$(CMAKE) -S . -B build/asan -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
	  -DMOVRA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug $(BUILD_DEFINES)
	@$(CMAKE) --build build/asan -j $(JOBS)
	@cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

tsan: setup
	@$(CMAKE) -S . -B build/tsan -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_PYTHON=OFF \
	  -DMOVRA_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug $(BUILD_DEFINES)
	@$(CMAKE) --build build/tsan -j $(JOBS)
	@cd build/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS)

sanitize: asan tsan

# The libFuzzer targets (clang, ASan+UBSan): the broker plugin's in build/fuzz, the client's (the
# real client against a fuzzed broker) in build/fuzz-client; about 30 s each in `make test`, longer
# on demand. A crash fails the run; its input goes to build/fuzz/crashes/.
fuzz-smoke: setup
	@JOBS=$(JOBS) tests/fuzz/run.sh 30

fuzz: setup
	@JOBS=$(JOBS) tests/fuzz/run.sh 600

# Style gates (pyproject.toml [tool.ruff], .clang-format, broker/.clang-format), the links of
# README.md and docs/, and clang's thread-safety analysis of the client core
# (scripts/thread-safety.sh): `make lint` checks in well under a minute, `make format` rewrites the
# files to match the style.
lint: setup
	@$(VENV)/bin/ruff format --check --quiet . || { echo "lint: 'make format' would reformat these"; exit 1; }
	@$(VENV)/bin/ruff check --quiet .
	@$(VENV)/bin/clang-format --dry-run --Werror $(C_SOURCES)
	@$(PY) scripts/check_links.py
	@JOBS=$(JOBS) scripts/thread-safety.sh

format: setup
	@$(VENV)/bin/ruff check --fix --quiet .
	@$(VENV)/bin/ruff format --quiet .
	@$(VENV)/bin/clang-format -i $(C_SOURCES)

# The style gates first: they take seconds, the suites after them many minutes.
test: lint test-native test-stock test-python test-deployment sanitize fuzz-smoke

demo: module native
	@$(PY) examples/demo.py
	@$(PY) examples/demo_enterprise.py

bench: module native
	@$(PY) bench/run.py $(BENCH_ARGS)

bench-quick: module native
	@$(PY) bench/run.py --quick $(BENCH_ARGS)

clean:
	rm -rf build dist *.egg-info
