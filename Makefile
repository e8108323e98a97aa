# `make run` opens the configurator on the example network; `make test` runs
# every test.  Both set up what they need first (a virtual environment in
# .venv, torch pinned by constraints.txt) and can be rerun at any time.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
STAMP := $(VENV)/.deps-installed

# The Python versions `make` sets up for: those the pinned torch has a wheel
# for on this machine (the extension modules themselves build for 3.9 on).
SUPPORTED_PYTHONS := 3.11
ifneq ($(MAKECMDGOALS),clean)
PYTHON_VERSION := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
ifeq ($(filter $(PYTHON_VERSION),$(SUPPORTED_PYTHONS)),)
$(error make supports Python $(SUPPORTED_PYTHONS) only, not $(or $(PYTHON_VERSION),$(PYTHON)): the pinned torch has no wheel for it here)
endif
endif

# The suites that compare a shortcut with the plain route: `make test` runs
# them a second time with the shortcuts switched off.  CI passes `tests`, so
# the whole suite runs once each way.
PLAIN_ROUTE_TESTS ?= tests/test_fast_paths.py tests/test_walk_equivalence.py \
	tests/test_forward_equivalence.py tests/test_module_entries_paths.py \
	tests/test_targets_panel.py tests/test_row_widgets.py tests/test_mode_resolution.py \
	tests/test_summaries.py tests/test_module_entries.py tests/test_styled_text.py tests/test_wrapping.py \
	tests/test_scrolling.py tests/test_overlays.py tests/test_run_settings_panel.py tests/test_cursor.py \
	tests/test_setting_values.py

.PHONY: all build test run bench clean

all: build

$(BIN)/python:
	$(PYTHON) -m venv --system-site-packages $(VENV)

$(STAMP): $(BIN)/python requirements-dev.txt constraints.txt
	$(BIN)/python -m pip install -q -c constraints.txt -r requirements-dev.txt
	touch $(STAMP)

build: $(STAMP)
	$(BIN)/python -m pip install -q -c constraints.txt --no-build-isolation --no-deps -e .

test: build
	$(BIN)/python -m pytest -q $(PYTEST_ARGS)
	ZYLORA_NO_FAST_PATHS=1 $(BIN)/python -m pytest -q $(PLAIN_ROUTE_TESTS) $(PYTEST_ARGS)

run: build
	$(BIN)/python -m zylora

bench: build
	$(BIN)/python bench/run_bench.py $(BENCH_ARGS)
	ZYLORA_NO_FAST_PATHS=1 $(BIN)/python bench/run_bench.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV)
