SHELL := /bin/bash
.DEFAULT_GOAL := test
.DELETE_ON_ERROR:

VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD_DIR := build/wheel
BENCH_BUILD_DIR := build/bench
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: test build ctest pytest bench format clean

# A virtual environment with Python >= 3.13 and everything the build and tests need.
$(VENV)/.ready: requirements-dev.txt tools/find-python.sh tools/install-system-packages.sh
	@set -e; python=$$(tools/find-python.sh); \
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
	$(PYTHON) -m pytest -q python/tests bench/tests

test: ctest pytest

$(VENV)/.bench-ready: requirements-bench.txt $(VENV)/.ready
	$(PYTHON) -m pip install -q -r requirements-bench.txt
	touch $@

# Measures the installed extension and the C++ reader; writes bench/results.md and
# bench/latency.png. Takes a few minutes; best run on an otherwise idle machine.
bench: build $(VENV)/.bench-ready
	cmake -S . -B $(BENCH_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DKORVANE_BUILD_PYTHON=OFF -DKORVANE_BUILD_BENCH=ON -DKORVANE_WARNINGS_AS_ERRORS=ON
	cmake --build $(BENCH_BUILD_DIR) -j2 --target load_bench
	$(PYTHON) bench/run.py --load-bench $(BENCH_BUILD_DIR)/bench/load_bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
