# Sanitizer runs of the C++ suite and a valgrind memcheck of a Python workload.
#   make test-asan   the C++ suite under AddressSanitizer + UBSan, build/asan
#                    (part of `make test`; the package install test is left
#                    out: it checks packaging, not memory)
#   make test-tsan   the C++ suite under ThreadSanitizer, build/tsan
#   make memcheck    valgrind on tests/memcheck/workload.py (20k, then 200k
#                    messages per Python class), module built in build/memcheck
# Each has its own build directory, so none disturbs build/cmake; the
# benchmarks are left out of these builds.

ASAN_BUILD     := build/asan
TSAN_BUILD     := build/tsan
MEMCHECK_BUILD := build/memcheck
SAN_PATH       := PATH="$(abspath $(VENV))/bin:$$PATH"
SAN_CONFIGURE  := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOX_BUILD_PYTHON=OFF -DMOX_BUILD_BENCH=OFF
# Every report ends the program with an error, UBSan's included.
SAN_CXXFLAGS   := -fno-sanitize-recover=all

# LeakSanitizer stays on: the mapping a queue keeps for the life of the
# process is not a heap block, so it is not reported.
ASAN_ENV := ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Forked children are how the tests get real processes. No test forks after
# starting threads today; die_after_fork=0 keeps TSan from killing a child
# of one that does (such a child only makes fork-safe calls before exiting).
TSAN_ENV := TSAN_OPTIONS="die_after_fork=0:halt_on_error=1:second_deadlock_stack=1"

.PHONY: test-asan test-tsan memcheck

test-asan: system-deps $(VENV)/.ready
	$(SAN_PATH) $(CMAKE) -S . -B $(ASAN_BUILD) $(SAN_CONFIGURE) -DCMAKE_CXX_FLAGS="$(SAN_CXXFLAGS)" \
	  -DMOX_SANITIZE=address,undefined >/dev/null
	$(SAN_PATH) $(CMAKE) --build $(ASAN_BUILD)
	$(ASAN_ENV) $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure --parallel $(JOBS) -E package_consumer

# GCC warns that TSan ignores atomic_thread_fence; the MPMC fences sit just
# before a sem_post, which TSan models as a release, so -Wno-tsan.
test-tsan: system-deps $(VENV)/.ready
	$(SAN_PATH) $(CMAKE) -S . -B $(TSAN_BUILD) $(SAN_CONFIGURE) -DCMAKE_CXX_FLAGS="$(SAN_CXXFLAGS) -Wno-tsan" \
	  -DMOX_SANITIZE=thread >/dev/null
	$(SAN_PATH) $(CMAKE) --build $(TSAN_BUILD)
	$(TSAN_ENV) $(VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure

# The module is built on its own, with debug info, so valgrind's stacks name
# our sources; it goes first on PYTHONPATH, ahead of any installed copy.
memcheck: $(VENV)/.ready
	@command -v valgrind >/dev/null 2>&1 || { echo "installing valgrind"; \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq valgrind >/dev/null; }
	$(SAN_PATH) $(CMAKE) -S . -B $(MEMCHECK_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMOX_BUILD_PYTHON=ON \
	  -DMOX_BUILD_TESTS=OFF -DMOX_BUILD_BENCH=OFF -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -Dpybind11_DIR="$$($(VENV)/bin/pybind11-config --cmakedir)" >/dev/null
	$(SAN_PATH) $(CMAKE) --build $(MEMCHECK_BUILD) --target mox_ipc_queue
	$(VPY) tests/memcheck/run_memcheck.py --module-dir $(MEMCHECK_BUILD)/binding --log-dir $(MEMCHECK_BUILD) \
	  --counts 20000 200000
