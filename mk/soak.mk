# Soak: millions of messages through every queue kind, each one checked.
#   make soak                    build/soak/soak: 10 million messages per kind,
#                                prints moved/lost/duplicated and reader RSS;
#                                fails on any loss, duplicate or RSS growth
#   make soak SOAK_MESSAGES=N    another count
#   make soak-python             a shorter run through the Python module,
#                                checking the Python reader's RSS
#   make test-kill               many more random SIGKILLs than make test runs
# Built straight from the core sources into its own directory.

SOAK_BUILD           := build/soak
SOAK_MESSAGES        ?= 10000000
SOAK_PYTHON_MESSAGES ?= 1000000
SOAK_SOURCES         := tests/soak/soak.cpp $(wildcard queue/*.cpp)

.PHONY: soak soak-python test-kill

$(SOAK_BUILD)/soak: $(SOAK_SOURCES) $(wildcard queue/*.h)
	@mkdir -p $(SOAK_BUILD)
	$(CXX) -std=c++17 -O2 -Wall -Wextra -Werror -Iqueue -o $@ $(SOAK_SOURCES) -pthread -lrt

soak: $(SOAK_BUILD)/soak
	$(SOAK_BUILD)/soak --messages $(SOAK_MESSAGES)

soak-python: install
	$(VPY) tests/soak/soak_python.py --messages $(SOAK_PYTHON_MESSAGES)

# SIGKILL writers and readers at random points: MOX_KILL_RUNS runs of up to
# MOX_KILL_ROUNDS rounds per kind and role, each run with a new seed
# (printed; MOX_KILL_SEED=S repeats one).
MOX_KILL_RUNS   ?= 10
MOX_KILL_ROUNDS ?= 40
test-kill: install
	@for run in $$(seq $(MOX_KILL_RUNS)); do \
	  MOX_KILL_ROUNDS=$(MOX_KILL_ROUNDS) $(VPY) -m pytest -q -s -k random tests/python/test_peer_killed.py || exit 1; \
	done
