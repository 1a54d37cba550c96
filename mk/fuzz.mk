# Damaged-segment fuzzing (tests/fuzz/fuzz_segments.cpp), built with
# AddressSanitizer + UndefinedBehaviorSanitizer in build/fuzz.
#   make fuzz                                  7000 cases per queue kind (21000), seed 2
#   make fuzz FUZZ_CASES=N FUZZ_SEED=S         N cases per kind
# `make test` runs a short run of the same harness (300 per kind, seed 1).
# A failing case is printed with the command that replays it alone.

FUZZ_BUILD ?= build/fuzz
FUZZ_CASES ?= 7000
FUZZ_SEED  ?= 2

.PHONY: fuzz

fuzz: system-deps $(VENV)/.ready
	PATH="$(abspath $(VENV))/bin:$$PATH" $(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMOX_BUILD_PYTHON=OFF -DMOX_BUILD_BENCH=OFF -DMOX_SANITIZE=address,undefined \
	  -DCMAKE_CXX_FLAGS="-fno-sanitize-recover=all" >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" $(CMAKE) --build $(FUZZ_BUILD) --target fuzz_segments
	$(FUZZ_BUILD)/tests/fuzz/fuzz_segments --cases $(FUZZ_CASES) --seed $(FUZZ_SEED)
