# The two commands of the README (`make demo`, `make test`) do all the set-up on
# a fresh machine: tools/bootstrap.sh installs what is missing and is cheap when
# nothing is; the build is redone only when a source changed.
#
# Interpreters: CPython 3.9 is the reference (.venv). `make test` runs the C++
# and pytest suites on every interpreter of PYTHONS in turn, each in a venv of
# its own (.venv-3.11, .venv-3.12, .venv-3.13); `make test PYTHONS=3.12`
# picks a subset. Every other target works on one interpreter, PY_VERSION
# (3.9 unless told): `make demo PY_VERSION=3.13`.

PYTHONS    ?= 3.9 3.11 3.12 3.13
PY_VERSION ?= 3.9

VENV    := $(if $(filter 3.9,$(PY_VERSION)),.venv,.venv-$(PY_VERSION))
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
STAMP   := $(VENV)/.build.stamp
REQUIREMENTS := $(if $(filter 3.9,$(PY_VERSION)),requirements.txt,requirements-$(PY_VERSION).txt)
SOURCES := $(shell find src kernels vorlane -type f -not -name '*.pyc' 2>/dev/null) \
           CMakeLists.txt pyproject.toml $(wildcard requirements*.txt)

# An interpreter whose tests run on NumPy 1.x is still built against NumPy 2's
# headers: its requirements name that NumPy on a "# build-headers: " line, and
# it is unpacked beside the venv's own, never imported.
HEADERS_PIN := $(shell sed -n 's/^\# build-headers: //p' $(REQUIREMENTS) 2>/dev/null)
HEADERS_DIR := $(VENV)/numpy-headers
HEADERS_STAMP := $(if $(HEADERS_PIN),$(HEADERS_DIR)/.stamp)
BUILD_FLAGS := $(if $(HEADERS_PIN),-C cmake.define.VORLANE_NUMPY_INCLUDE=$(abspath $(HEADERS_DIR))/numpy/_core/include)
CPPTEST_DIR := build/cpptests$(if $(filter 3.9,$(PY_VERSION)),,-$(PY_VERSION))

.PHONY: all bootstrap build test test-one pytest cpptest demo bench fuzz-model clean check-asan check-leaks fuzz

all: build

bootstrap:
	@tools/bootstrap.sh $(PY_VERSION)

build: bootstrap $(STAMP)

$(STAMP): $(SOURCES) $(HEADERS_STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --disable-pip-version-check $(BUILD_FLAGS) .
	@touch $@

$(HEADERS_DIR)/.stamp: $(REQUIREMENTS)
	rm -rf $(HEADERS_DIR)
	$(PY) -m pip install -q --no-deps --disable-pip-version-check --target $(HEADERS_DIR) $(HEADERS_PIN)
	@touch $@

cpptest: build
	@$(CMAKE) -S tests/cpp -B $(CPPTEST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	@$(CMAKE) --build $(CPPTEST_DIR)
	@cd $(CPPTEST_DIR) && ./store_tests

pytest: build
	$(VENV)/bin/pytest -q

# Every interpreter of PYTHONS. One that the machine lacks is reported; it
# fails the run only when PYTHONS was chosen on the command line.
test:
	@tools/test-all.sh $(if $(filter file,$(origin PYTHONS)),,--strict) $(PYTHONS)

test-one: cpptest pytest

# The model-based fuzzing of the store, with its long random search.
fuzz-model: build
	VORLANE_FUZZ=long $(VENV)/bin/pytest -q -s -p no:cacheprovider tests/test_model.py

demo: build
	$(PY) examples/demo.py

# bench/requirements.txt holds the peers that only the benchmarks use.
bench: build
	@$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	@$(CMAKE) -S bench -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	@$(CMAKE) --build build/bench
	$(PY) bench/run.py

# The pytest suite against both modules built with ASan and UBSan (build/asan).
check-asan: bootstrap
	@tools/check-asan.sh

# The pytest suite repeated under python3.9-dbg with reference, memory block
# and descriptor counts held flat (.venv-dbg), and the C++ store tests under
# valgrind. Arguments for the hunt's pytest: LEAKS_ARGS (e.g. --leak-runs=3:6).
LEAKS_ARGS ?=

check-leaks: bootstrap
	@tools/check-leaks.sh $(LEAKS_ARGS)

# libFuzzer over the store core (tests/fuzz), FUZZ_SECONDS per target, then
# the long model-based run of the Quodex state machine (minutes).
FUZZ_SECONDS ?= 60

fuzz: bootstrap
	@tools/fuzz.sh $(FUZZ_SECONDS)
	@$(MAKE) --no-print-directory fuzz-model

clean:
	rm -rf build dist $(STAMP)
