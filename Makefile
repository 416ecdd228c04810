# The README's two commands: `make demo` and `make test`.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
JOBS ?= 2

.PHONY: demo test cpp-test py-test deps bench clean

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

test: cpp-test py-test

# GoogleTest and the JSON reader for the C++ tests come from Debian.
deps:
	@if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/nlohmann/json.hpp ] || [ ! -f /usr/include/openssl/sha.h ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && apt-get install -y -qq libgtest-dev nlohmann-json3-dev libssl-dev; \
	  else \
	    echo "missing: run 'sudo apt-get install libgtest-dev nlohmann-json3-dev libssl-dev'" >&2; exit 1; \
	  fi; \
	fi

cpp-test: deps
	cmake -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQUILLANE_BUILD_PYTHON=OFF -DQUILLANE_BUILD_TESTS=ON
	cmake --build $(BUILD)/cpp -j $(JOBS)
	ctest --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

$(VENV)/.installed: $(VENV)/bin/python pyproject.toml CMakeLists.txt $(shell find src python -type f 2>/dev/null)
	$(VPY) -m pip install -q '.[test]'
	touch $@

py-test: $(VENV)/.installed
	$(VPY) -m pytest -q

bench: deps
	cmake -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQUILLANE_BUILD_PYTHON=OFF -DQUILLANE_BUILD_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench_rng
	$(BUILD)/bench/bench_core

clean:
	rm -rf $(BUILD) $(VENV)
