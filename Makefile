# `make run` opens the configurator on the example network; `make test` runs
# every test.  Both set up what they need first (a virtual environment in
# .venv, torch pinned by constraints.txt) and can be rerun at any time.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
STAMP := $(VENV)/.deps-installed

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

run: build
	$(BIN)/python -m zylora

bench: build
	$(BIN)/python bench/run_bench.py

clean:
	rm -rf build $(VENV)
