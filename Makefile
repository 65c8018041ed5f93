# The README's two commands, and any nox session by its name (`make NAME` is
# `nox -s NAME`; `nox -l` lists them). nox itself goes into a venv of its own,
# named by its version, made from python3 (3.11 or newer) on first use.
#   make demo    build, install into a venv and run the example program
#   make test    build, install into a venv with the test tools and run the tests
NOX_VERSION := 2026.10.20
NOX_VENV := build/venvs/nox-$(NOX_VERSION)
NOX := $(NOX_VENV)/bin/nox

.PHONY: demo test
demo test: $(NOX)
	$(NOX) -s $@

# ARGS: the session's own (pytest's; the benchmark's, also as BENCH_ARGS).
ARGS ?= $(BENCH_ARGS)
.DEFAULT:
	@$(MAKE) --no-print-directory $(NOX)
	$(NOX) -s $@ $(if $(ARGS),-- $(ARGS))

Makefile: ;

$(NOX):
	python3 -m venv $(NOX_VENV)
	$(NOX_VENV)/bin/python -m pip install -q nox==$(NOX_VERSION)
