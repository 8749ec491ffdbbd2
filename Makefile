# make demo  - set up from a fresh machine and run the demo on the simulated desktop
# make test  - set up and run every test (C++ with ctest, also under ASan+UBSan and TSan; the Windows
#              build under Wine; Python with pytest, also against the extension built under ASan+UBSan)
# make soak  - the long memory soak (a 10,000-element window, 1,000,000 property events)
# make bench - build and run the benchmarks (Release) and print their figures
# make fuzz  - the long, random fuzz of the module functions and the snapshot model (make test runs short, fixed ones)

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
TSANDIR := build/tsan
PYASANDIR := build/pyasan
GTEST   := build/.gtest
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
TESTSRC := $(wildcard tests/cpp/*)

# CPython 3.13: python3.13 on the PATH if it runs, else the one pyenv knows.
PYTHON313 = $(shell if python3.13 -c 'import sys' >/dev/null 2>&1; then command -v python3.13; \
  elif command -v pyenv >/dev/null 2>&1 && p=$$(pyenv prefix 3.13 2>/dev/null); then echo "$$p/bin/python3.13"; fi)

BENCHDIR := build/bench

WINDIR  := build/windows
WINSDK  := build/windows-sdk
WINPY   := build/python-windows
WINTOOLS := build/.windows-tools

.PHONY: demo test test-cpp test-python test-asan test-tsan test-python-asan test-windows soak bench fuzz setup install clean

demo: install
	@$(PY) examples/demo.py

test: test-cpp test-asan test-tsan test-windows test-python test-python-asan

test-cpp: $(CPPDIR)/.built
	@$(CTEST) --test-dir $(CPPDIR) --output-on-failure -j2 --timeout 300

test-python: install
	@$(PY) -m pytest -q tests/python

fuzz: install
	@OSTRAND_FUZZ_PROFILE=long $(PY) -m pytest -q --timeout=0 -o faulthandler_timeout=0 tests/python/test_fuzz_api.py tests/python/test_snapshot_model.py

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: $(ASANDIR)/.built
	@$(CTEST) --test-dir $(ASANDIR) --output-on-failure -j2 --timeout 300

# The core cross-built for 64-bit Windows (optimised, warnings are errors)
# and its Windows test program run under Wine, against real user32.
test-windows: $(WINDIR)/.built
	@tools/run-wine.sh $(WINDIR)/ostrand_windows_tests.exe

# The C++ tests (every one: the suite is small) under ThreadSanitizer.
test-tsan: $(TSANDIR)/.built
	@TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST) --test-dir $(TSANDIR) --output-on-failure -j2 \
	  --timeout 300

# The Python tests once more, against ostrandcore and libsimdesk built under
# ASan+UBSan into their own directory, put first on the path (the install in
# .venv stays as it is). The interpreter is not instrumented: it preloads the
# ASan runtime, and libstdc++ with it, or ASan finds no __cxa_throw to wrap.
# gcc 12's leak checker crashes reading glibc's dynamic TLS unless it leaves
# __tls_get_addr alone. Reports go to files, so that neither pytest's capture
# nor a test's subprocess hides one; any report fails the run.
PYASAN_ENV = LD_PRELOAD="$(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:intercept_tls_get_addr=0:log_path=$(abspath $(PYASANDIR))/report \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath $(PYASANDIR))/report \
  LSAN_OPTIONS=suppressions=$(abspath tests/python/lsan.supp):print_suppressions=0 PYTHONPATH=$(abspath $(PYASANDIR))/site

test-python-asan: $(PYASANDIR)/site/.installed
	@rm -f $(PYASANDIR)/report.*
	@$(PYASAN_ENV) $(PY) -c 'import ostrandcore, simdesk, sys; sys.exit(not all(m.__file__.startswith("$(abspath $(PYASANDIR))/") for m in (ostrandcore, simdesk)))' \
	  || { echo "the ASan build of ostrandcore is not the one imported" >&2; exit 1; }
	@$(PYASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider tests/python; rc=$$?; \
	  if compgen -G '$(PYASANDIR)/report.*' >/dev/null; then cat $(PYASANDIR)/report.*; rc=1; fi; exit $$rc

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

# The mingw-w64 cross compiler, Wine, and GoogleTest's sources, from Debian's
# packages when the machine lacks them.
$(WINTOOLS):
	@need=; command -v x86_64-w64-mingw32-g++-posix >/dev/null || need="$$need g++-mingw-w64-x86-64-posix"; \
	  command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] || command -v wine >/dev/null || need="$$need wine64"; \
	  [ -f /usr/src/googletest/googletest/CMakeLists.txt ] || need="$$need googletest"; \
	  for t in curl gpgv xz dpkg-deb; do command -v $$t >/dev/null || need="$$need curl gpgv xz-utils"; done; \
	  if [ -n "$$need" ]; then \
	    SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	    $$SUDO apt-get update -qq >/dev/null && \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$need >/dev/null; fi
	@mkdir -p build && touch $@

# Complete Windows SDK headers and import libraries (mingw-w64 12).
$(WINSDK)/versions: tools/fetch-windows-sdk.sh tools/debian-archive.sh | $(WINTOOLS)
	@tools/fetch-windows-sdk.sh $(WINSDK)

# CPython 3.13's Windows headers, for the extension module's cross build.
$(WINPY)/version: tools/fetch-python-headers.sh tools/debian-archive.sh | $(WINTOOLS)
	@tools/fetch-python-headers.sh $(WINPY)

# The later -D's win over cmake_build's: the extension module too.
$(WINDIR)/.built: $(STAMP) $(WINTOOLS) $(WINSDK)/versions $(WINPY)/version $(SOURCES) $(wildcard tests/windows/* tests/shared/*) \
  tools/sdk_conformance.py $(wildcard cmake/*)
	$(call cmake_build,$(WINDIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DOSTRAND_WINDOWS_SDK=$(abspath $(WINSDK))/usr/x86_64-w64-mingw32 -DOSTRAND_BUILD_MODULE=ON \
	  -DOSTRAND_PYTHON_HEADERS=$(abspath $(WINPY)))

define cmake_build
	@mkdir -p $(1)
	@$(CMAKE) -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) -DOSTRAND_BUILD_TESTS=ON \
	  -DOSTRAND_BUILD_MODULE=OFF -DOSTRAND_WERROR=ON $(2) > $(1)/configure.log 2>&1 || { cat $(1)/configure.log; exit 1; }
	@$(CMAKE) --build $(1) > $(1)/build.log 2>&1 || { cat $(1)/build.log; exit 1; }
	@touch $(1)/.built
endef

$(CPPDIR)/.built: $(STAMP) $(GTEST) $(SOURCES) $(TESTSRC) $(wildcard tests/shared/*)
	$(call cmake_build,$(CPPDIR),-DCMAKE_BUILD_TYPE=Debug)

$(ASANDIR)/.built: $(STAMP) $(GTEST) $(SOURCES) $(TESTSRC) $(wildcard tests/shared/*)
	$(call cmake_build,$(ASANDIR),-DCMAKE_BUILD_TYPE=Debug -DOSTRAND_SANITIZE=address$(,)undefined)

$(TSANDIR)/.built: $(STAMP) $(GTEST) $(SOURCES) $(TESTSRC) $(wildcard tests/shared/*)
	$(call cmake_build,$(TSANDIR),-DCMAKE_BUILD_TYPE=Debug -DOSTRAND_SANITIZE=thread)

# The later -D's win over cmake_build's: the modules, no C++ tests.
$(PYASANDIR)/.built: $(STAMP) $(SOURCES)
	$(call cmake_build,$(PYASANDIR),-DCMAKE_BUILD_TYPE=Debug -DOSTRAND_SANITIZE=address$(,)undefined \
	  -DOSTRAND_BUILD_MODULE=ON -DOSTRAND_BUILD_TESTS=OFF -DPython_EXECUTABLE=$(abspath $(PY)))

$(PYASANDIR)/site/.installed: $(PYASANDIR)/.built
	@rm -rf $(PYASANDIR)/site
	@$(CMAKE) --install $(PYASANDIR) --prefix $(PYASANDIR)/site > $(PYASANDIR)/install.log 2>&1 \
	  || { cat $(PYASANDIR)/install.log; exit 1; }
	@touch $@

# The memory soak (about a minute; make test runs a small smoke of it).
soak: install
	@$(PY) tests/soak/memory_soak.py $(SOAK_ARGS)

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
	@echo
	@$(PY) bench/hung_target_bench.py

install: $(VENV)/.installed

$(VENV)/.installed: $(STAMP) $(SOURCES)
	@mkdir -p build
	@PATH="$(abspath $(VENV)/bin):$$PATH" $(PY) -m pip install -q --disable-pip-version-check \
	  --no-build-isolation -Ccmake.define.OSTRAND_WERROR=ON . > build/.pip-install.log 2>&1 || { cat build/.pip-install.log; exit 1; }
	@touch $@

clean:
	rm -rf build $(VENV)
