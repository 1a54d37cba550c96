# Everything a fresh machine needs is installed by these targets:
#   make demo   two processes passing typed values through a queue
#   make test   the style check (make lint), C++ tests (ctest), Python
#               tests (pytest), the C++ tests again under AddressSanitizer
#               + UBSan (mk/sanitize.mk), and the wheel installed into a
#               fresh venv (mk/wheel.mk)
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build/cmake
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE  := $(VENV)/bin/cmake
# Tests run side by side: each uses names of its own.
JOBS   := $(shell nproc 2>/dev/null || echo 2)

.PHONY: all demo test test-cpp test-python install build-cpp system-deps bench clean lint format

all: install build-cpp

# Debian packages the C++ build needs, installed only when missing.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "installing libgtest-dev"; \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libgtest-dev >/dev/null; \
	fi

$(VENV)/.ready: Makefile
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q numpy pytest pybind11 "scikit-build-core>=0.10" cmake ninja mypy "ruff==0.17.6" "clang-format==23.1.5"
	touch $@

# The module, built and installed into the venv the way `pip install .` does.
install: $(VENV)/.ready
	$(VPY) -m pip install -q --no-build-isolation .

build-cpp: system-deps $(VENV)/.ready
	PATH="$(abspath $(VENV))/bin:$$PATH" $(CMAKE) -S . -B $(BUILD) -G Ninja -DMOX_BUILD_PYTHON=OFF >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" $(CMAKE) --build $(BUILD)

test-cpp: build-cpp
	$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure --parallel $(JOBS)

test-python: install
	$(VPY) -m pytest -q tests/python

test: lint test-cpp test-python test-asan test-wheel

# One style for the tree: .clang-format formats the C++; ruff's rules in
# pyproject.toml (pyflakes, pycodestyle, isort, bugbear) check the Python;
# and every mutant of tests/mutation still finds the code it changes.
# `make format` applies both.
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)
lint: $(VENV)/.ready
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check .
	$(VPY) tests/mutation/mutate.py --check

format: $(VENV)/.ready
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --fix .

demo: install
	$(VPY) examples/demo.py

bench: install build-cpp
	@if [ ! -d /usr/include/boost/interprocess ]; then \
	  echo "installing libboost-dev (boost::interprocess::message_queue is a benchmark peer)"; \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libboost-dev >/dev/null; \
	  PATH="$(abspath $(VENV))/bin:$$PATH" $(CMAKE) -S . -B $(BUILD) -G Ninja -DMOX_BUILD_PYTHON=OFF >/dev/null; \
	  PATH="$(abspath $(VENV))/bin:$$PATH" $(CMAKE) --build $(BUILD); \
	fi
	$(VPY) -m pip install -q -r bench/requirements.txt
	$(VPY) bench/run_bench.py --build $(BUILD) --docs docs

clean:
	rm -rf build $(VENV)

# Further targets (sanitizers, fuzzing, soak, tools), one file per concern.
include $(wildcard mk/*.mk)
