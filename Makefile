# make demo  - set up from a fresh machine and run the demo on the simulated desktop
# make test  - set up and run every test (C++ with ctest, also under ASan+UBSan; Python with pytest)
# make bench - build and run the benchmarks (Release) and print their figures
# make fuzz  - the long, random fuzz of the module functions (make test runs a short, fixed one)

SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
, := ,
.DEFAULT_GOAL := test

VENV    := .venv
PY      := $(VENV)/bin/python
CMAKE   := $(VENV)/bin/cmake
CTEST   := $(VENV)/bin/ctest
NINJA   := $(VENV)/bin/ninja
STAMP   := $(VENV)/.deps-stamp
CPPDIR  := build/cpp
ASANDIR := build/asan
GTEST   := build/.gtest
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
TESTSRC := $(wildcard tests/cpp/*)

# CPython 3.13: python3.13 on the PATH if it runs, else the one pyenv knows.
PYTHON313 = $(shell if python3.13 -c 'import sys' >/dev/null 2>&1; then command -v python3.13; \
  elif command -v pyenv >/dev/null 2>&1 && p=$$(pyenv prefix 3.13 2>/dev/null); then echo "$$p/bin/python3.13"; fi)

BENCHDIR := build/bench

.PHONY: demo test test-cpp test-python test-asan bench fuzz setup install clean

demo: install
	@$(PY) examples/demo.py

test: test-cpp test-asan test-python

test-cpp: $(CPPDIR)/.built
	@$(CTEST) --test-dir $(CPPDIR) --output-on-failure -j2 --timeout 300

test-python: install
	@$(PY) -m pytest -q tests/python

fuzz: install
	@OSTRAND_FUZZ_PROFILE=long $(PY) -m pytest -q tests/python/test_fuzz_api.py

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: $(ASANDIR)/.built
	@$(CTEST) --test-dir $(ASANDIR) --output-on-failure -j2 --timeout 300

setup: $(STAMP) $(GTEST)

$(STAMP): requirements-dev.txt
	@if [ -z "$(PYTHON313)" ]; then echo "CPython 3.13 not found (neither python3.13 nor pyenv's 3.13)" >&2; exit 1; fi
	@if [ ! -x $(PY) ] || ! $(PY) -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then \
	  rm -rf $(VENV) && "$(PYTHON313)" -m venv $(VENV); fi
	@$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

# GoogleTest from Debian's packages when the machine has none.
$(GTEST):
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq >/dev/null && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq libgtest-dev >/dev/null; fi
	@test -f /usr/include/gtest/gtest.h || { echo "GoogleTest could not be installed" >&2; exit 1; }
	@mkdir -p build && touch $@

define cmake_build
	@mkdir -p $(1)
	@$(CMAKE) -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) -DOSTRAND_BUILD_TESTS=ON \
	  -DOSTRAND_BUILD_MODULE=OFF -DOSTRAND_WERROR=ON $(2) > $(1)/configure.log 2>&1 || { cat $(1)/configure.log; exit 1; }
	@$(CMAKE) --build $(1) > $(1)/build.log 2>&1 || { cat $(1)/build.log; exit 1; }
	@touch $(1)/.built
endef

$(CPPDIR)/.built: $(STAMP) $(GTEST) $(SOURCES) $(TESTSRC)
	$(call cmake_build,$(CPPDIR),-DCMAKE_BUILD_TYPE=Debug)

$(ASANDIR)/.built: $(STAMP) $(GTEST) $(SOURCES) $(TESTSRC)
	$(call cmake_build,$(ASANDIR),-DCMAKE_BUILD_TYPE=Debug -DOSTRAND_SANITIZE=address$(,)undefined)

bench: install $(STAMP)
	@mkdir -p $(BENCHDIR)
	@$(CMAKE) -S . -B $(BENCHDIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) -DCMAKE_BUILD_TYPE=Release \
	  -DOSTRAND_BUILD_MODULE=OFF -DOSTRAND_BUILD_BENCH=ON > $(BENCHDIR)/configure.log 2>&1 || { cat $(BENCHDIR)/configure.log; exit 1; }
	@$(CMAKE) --build $(BENCHDIR) > $(BENCHDIR)/build.log 2>&1 || { cat $(BENCHDIR)/build.log; exit 1; }
	@$(BENCHDIR)/perception_bench $(BENCH_ARGS)
	@echo
	@$(PY) bench/query_bench.py
	@echo
	@$(BENCHDIR)/events_bench
	@$(PY) bench/event_latency_bench.py

install: $(VENV)/.installed

$(VENV)/.installed: $(STAMP) $(SOURCES)
	@mkdir -p build
	@PATH="$(abspath $(VENV)/bin):$$PATH" $(PY) -m pip install -q --disable-pip-version-check \
	  --no-build-isolation -Ccmake.define.OSTRAND_WERROR=ON . > build/.pip-install.log 2>&1 || { cat build/.pip-install.log; exit 1; }
	@touch $@

clean:
	rm -rf build $(VENV)
