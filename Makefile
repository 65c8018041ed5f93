# make demo    build, install into .venv and run the example program
# make test    build, install into .venv with the test tools and run the tests
PYTHON ?= python3.12
VENV ?= .venv
BIN := $(VENV)/bin
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f)

.PHONY: demo test
demo: $(VENV)/.installed
	$(BIN)/python examples/lights_out.py

test: $(VENV)/.installed $(VENV)/.test-tools
	$(BIN)/python -m pytest -q

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip

$(VENV)/.test-tools: $(BIN)/python pyproject.toml
	$(BIN)/python -m pip install -q "pytest>=8" "hypothesis>=6.100"
	touch $@

$(VENV)/.installed: $(BIN)/python $(SOURCES)
	$(BIN)/python -m pip install -q . --config-settings=build-dir=build/$(notdir $(VENV))
	touch $@
