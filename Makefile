# Two entry points for a fresh machine:
#   make bench   build, install and run the benchmark report
#   make test    build, install and run the test suite
# Each creates its own virtual environment with CPython 3.12 and installs into it from PyPI.

PYTHON312 := $(shell scripts/find-python312)
TEST_VENV := .venv-test
BENCH_VENV := .venv-bench
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2" cmake ninja
PIP_FLAGS := --disable-pip-version-check --quiet

.PHONY: test bench clean

$(TEST_VENV)/.ready $(BENCH_VENV)/.ready: %/.ready:
	$(PYTHON312) -m venv $*
	$*/bin/pip install $(PIP_FLAGS) $(BUILD_DEPS)
	touch $@

# The package is installed (not linked to the source tree) so that the suite runs against what a user gets.
test: $(TEST_VENV)/.ready
	$(TEST_VENV)/bin/pip install $(PIP_FLAGS) --no-build-isolation --force-reinstall --no-deps -C build-dir=build/$(TEST_VENV) .
	$(TEST_VENV)/bin/pip install $(PIP_FLAGS) ".[test]"
	cd tests && ../$(TEST_VENV)/bin/python -P -m pytest $(PYTEST_ARGS)

bench: $(BENCH_VENV)/.ready
	$(BENCH_VENV)/bin/pip install $(PIP_FLAGS) --no-build-isolation --force-reinstall --no-deps -C build-dir=build/$(BENCH_VENV) .
	$(BENCH_VENV)/bin/pip install $(PIP_FLAGS) ".[bench]"
	cd bench && ../$(BENCH_VENV)/bin/python -P report.py --json results.json

clean:
	rm -rf build $(TEST_VENV) $(BENCH_VENV)
