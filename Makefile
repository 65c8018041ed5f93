# make demo        build, install into .venv and run the example program
# make test        build, install into .venv with the test tools and run the tests
# make test-asan   the tests against a build with AddressSanitizer, LeakSanitizer and UBSan
# make coverage    line and branch coverage of src/ by the tests (gcovr)
# make bench       time zendrik against numpy, galois and ldpc (BENCH_ARGS=--quick: a short run)
# make bench-core  time the C++ core alone, and M4RI where libm4ri-dev is installed
PYTHON ?= python3.12
VENV ?= .venv
INSTRUMENT ?=
TEST_ENV ?=
BIN := $(VENV)/bin
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f)
TEST_TOOLS := "pytest>=8" "hypothesis>=6.100"

.PHONY: demo test test-asan coverage bench bench-core
demo: $(VENV)/.installed
	$(BIN)/python examples/lights_out.py

test: $(VENV)/.installed $(VENV)/.test-tools
	$(TEST_ENV) $(BIN)/python -m pytest -q

# The sanitizer runtime must be the first library loaded, and the C++ runtime
# must be there when it starts, or it cannot intercept exceptions (the
# interpreter itself does not load it). PYTHONMALLOC=malloc lets it see every
# Python allocation.
ASAN_ENV := LD_PRELOAD=$(shell gcc -print-file-name=libasan.so):$(shell g++ -print-file-name=libstdc++.so) \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:malloc_context_size=3 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ZENDRIK_SANITIZED=1
test-asan:
	$(MAKE) test VENV=.venv-asan INSTRUMENT=asan TEST_ENV='$(ASAN_ENV)'

coverage:
	$(MAKE) test VENV=.venv-coverage INSTRUMENT=coverage
	.venv-coverage/bin/python -m pip install -q gcovr
	mkdir -p coverage
	.venv-coverage/bin/gcovr --root . --filter src/ --exclude-throw-branches \
		--exclude-unreachable-branches --print-summary --txt coverage/missing.txt \
		--html-details coverage/index.html build/.venv-coverage
	@echo "lines not covered, file by file: coverage/missing.txt; details: coverage/index.html"

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip

$(VENV)/.test-tools: $(BIN)/python pyproject.toml
	$(BIN)/python -m pip install -q $(TEST_TOOLS)
	touch $@

$(VENV)/.installed: $(BIN)/python $(SOURCES)
	$(BIN)/python -m pip install -q . --config-settings=build-dir=build/$(notdir $(VENV)) \
		--config-settings=cmake.define.ZENDRIK_INSTRUMENT=$(INSTRUMENT)
	touch $@

# The benchmark has a virtual environment of its own, with its peers beside a
# zendrik built from the working tree.
BENCH_VENV := .venv-bench
BENCH_ARGS ?=
BENCH_PEERS := numpy galois ldpc matplotlib
bench:
	$(MAKE) $(BENCH_VENV)/.installed $(BENCH_VENV)/.bench-peers VENV=$(BENCH_VENV)
	$(BENCH_VENV)/bin/python bench/bench.py $(BENCH_ARGS)

$(VENV)/.bench-peers: $(BIN)/python
	$(BIN)/python -m pip install -q $(BENCH_PEERS)
	touch $@

# The core alone, no Python. M4RI is timed beside it when its header is found.
CORE_BENCH := build/core_bench
CORE_SOURCES := $(wildcard src/matrix/*.cpp src/runtime/*.cpp)
M4RI_FLAGS = $(shell $(CXX) -E -x c++ -include m4ri/m4ri.h /dev/null >/dev/null 2>&1 \
	&& echo -DHAVE_M4RI $$(pkg-config --cflags --libs m4ri 2>/dev/null || echo -lm4ri))
bench-core: $(CORE_BENCH)
	$(CORE_BENCH) $(BENCH_ARGS)

$(CORE_BENCH): bench/core_bench.cpp $(CORE_SOURCES) $(wildcard src/matrix/*.hpp src/runtime/*.hpp)
	mkdir -p build
	$(CXX) -std=c++20 -O3 -Wall -Wextra -Isrc -o $@ bench/core_bench.cpp $(CORE_SOURCES) $(M4RI_FLAGS)
