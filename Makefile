# Set-up and everyday commands.  Each target creates the virtual environment,
# builds and installs the package as needed.
#
#   make demo                 the main job: a short demonstration run
#   make test                 the whole test suite
#   make bench                the benchmarks
#   make test-sanitize        the test suite under ASan and UBSan
#   make test-portable        the test suite with the portable (non-vector)
#                             scanning path forced
#   make wheel                release wheels in dist/ (manylinux_2_17 x86_64
#                             for every CPython 3.10-3.13 present, and
#                             aarch64 for Debian's arm64 CPython)
#   make test-wheel           the suite against a release wheel installed in
#                             a clean environment
#   make test-aarch64         the suite on Linux aarch64 under qemu-user
#   make stress-shutdown      the interpreter-shutdown scenarios, hundreds of
#                             times (-sanitize: on the sanitizer build)
#   make coverage             the test suite on an instrumented build, then line
#                             and branch coverage per native file (gcovr) and
#                             per Python file of the host layer (coverage.py)
#   make test PY=3.12         the same on another CPython (3.10 by default,
#                             else the oldest of 3.11-3.13 found)

PY ?= $(shell scripts/pick-python --default-version)
PYTHON ?= $(shell scripts/pick-python $(PY) || command -v python$(PY))
VENV ?= .venv-$(PY)
BUILD_DIR ?= build/py$(PY)
PYTEST_ARGS ?=
SKBUILD_ARGS ?=
SAN_VENV ?= .venv-san-$(PY)
# Sanitizer runtimes are loaded first, ahead of the interpreter's allocator.
SAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc DRAVIK_SANITIZED=1
VPY := $(VENV)/bin/python

.PHONY: demo test test-sanitize test-portable test-wheel test-aarch64 wheel coverage stress-shutdown stress-shutdown-sanitize bench install venv clean

$(VPY):
	@test -n "$(PYTHON)" || { echo "no CPython $(PY) found (set PYTHON=/path/to/python)"; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

$(VENV)/.build-deps: pyproject.toml | $(VPY)
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.18" ninja
	touch $@

venv: $(VENV)/.build-deps

install: venv
	$(VPY) -m pip install --quiet --no-build-isolation -Cbuild-dir=$(BUILD_DIR) \
	  -Ccmake.define.DRAVIK_TEST_BINDING=ON $(SKBUILD_ARGS) ".[test,bench]"

test: install
	$(VPY) -m pytest -q $(PYTEST_ARGS)

# The whole suite against extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
test-sanitize:
	$(MAKE) install VENV=$(SAN_VENV) BUILD_DIR=build/san-py$(PY) SKBUILD_ARGS="-Ccmake.define.DRAVIK_SANITIZE=ON"
	$(SAN_ENV) $(SAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# The interpreter-shutdown scenarios many times over, each in a child
# interpreter, on the normal build and on the sanitizer build.
STRESS_ARGS ?= --runs 200
stress-shutdown: install
	$(VPY) scripts/stress_shutdown.py $(STRESS_ARGS)

stress-shutdown-sanitize:
	$(MAKE) install VENV=$(SAN_VENV) BUILD_DIR=build/san-py$(PY) SKBUILD_ARGS="-Ccmake.define.DRAVIK_SANITIZE=ON"
	$(SAN_ENV) $(SAN_VENV)/bin/python scripts/stress_shutdown.py $(STRESS_ARGS)

# The whole suite with the portable scanning loop instead of the vector kernels.
test-portable:
	$(MAKE) test VENV=.venv-portable-$(PY) BUILD_DIR=build/portable-py$(PY) \
	  SKBUILD_ARGS="-Ccmake.define.DRAVIK_VECTOR_SCAN=off"

wheel:
	scripts/build-wheels --aarch64

test-wheel:
	PY=$(PY) scripts/test-wheel $(PYTEST_ARGS)

test-aarch64:
	scripts/test-aarch64 $(PYTEST_ARGS)

# The whole suite on a build instrumented for gcov (-O0 --coverage), with the
# host layer traced by coverage.py in every process the tests start.  Prints
# the per-file tables and fails when a test failed.
COV_VENV ?= .venv-cov-$(PY)
COV_BUILD ?= build/cov-py$(PY)
GCOVR_ARGS = --root . --filter 'native/' --exclude-unreachable-branches --exclude-noncode-lines \
	--gcov-suspicious-hits-threshold 0 -j 2
coverage:
	$(MAKE) install VENV=$(COV_VENV) BUILD_DIR=$(COV_BUILD) SKBUILD_ARGS="-Ccmake.define.DRAVIK_COVERAGE=ON"
	$(COV_VENV)/bin/python -m pip install --quiet "gcovr>=7" "coverage>=7"
	$(COV_VENV)/bin/python scripts/coverage-startup
	find $(COV_BUILD) -name '*.gcda' -delete
	rm -f .coverage .coverage.*
	COVERAGE_PROCESS_START=$(CURDIR)/pyproject.toml COVERAGE_FILE=$(CURDIR)/.coverage \
	  $(COV_VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS); \
	  status=$$?; \
	  $(COV_VENV)/bin/python -m coverage combine -q && \
	  $(COV_VENV)/bin/python -m coverage report && \
	  $(COV_VENV)/bin/gcovr $(GCOVR_ARGS) --json $(COV_BUILD)/gcovr.json $(COV_BUILD) && \
	  $(COV_VENV)/bin/gcovr --add-tracefile $(COV_BUILD)/gcovr.json --txt-metric line && \
	  $(COV_VENV)/bin/gcovr --add-tracefile $(COV_BUILD)/gcovr.json --txt-metric branch && \
	  exit $$status

demo: install
	$(VPY) -m dravik_observe.demo

bench: install
	@for b in bench/bench_*.py; do echo "== $$b"; $(VPY) $$b || exit 1; done

clean:
	rm -rf build .venv-* _skbuild dist
