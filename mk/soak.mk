# Soak: millions of messages through every queue kind, each one checked.
#   make soak                    10 million messages per kind: prints
#                                moved/lost/duplicated and reader RSS; fails
#                                on any loss, duplicate or RSS growth
#   make soak SOAK_MESSAGES=N    another count
#   make storm                   1 million messages per kind while every
#                                process gets SIGUSR1 and SIGCHLD STORM_RATE
#                                times a second; fails on any loss,
#                                duplicate, or count or list not back
#   make soak-python             the Python traffic test run long (about a
#                                million messages per kind, SOAK_PYTHON_SCALE
#                                times its short counts), checking that the
#                                Python readers' heap does not grow
#   make test-kill               10,000 random SIGKILLs of SPSC peers (each
#                                ends its stream), then of MPMC writers and
#                                readers over a running stream, then of
#                                MPMCVar ones (kill_storm)
# The harness is the CMake target `soak` of the C++ build.

SOAK_MESSAGES        ?= 10000000
SOAK_PYTHON_SCALE    ?= 50
STORM_MESSAGES       ?= 1000000
STORM_RATE           ?= 5000

.PHONY: soak storm soak-python test-kill

soak: build-cpp
	$(BUILD)/tests/soak/soak --messages $(SOAK_MESSAGES)

storm: build-cpp
	$(BUILD)/tests/soak/soak --messages $(STORM_MESSAGES) --signals $(STORM_RATE)

soak-python: install
	MOX_TRAFFIC_SCALE=$(SOAK_PYTHON_SCALE) $(VPY) -m pytest -q -s -p no:cacheprovider -k plain tests/python/test_traffic.py

# SIGKILL writers and readers of a running stream at random instants:
# MOX_KILLS kills (each run with a new seed, printed; --seed S repeats one).
MOX_KILLS ?= 10000
test-kill: build-cpp
	$(BUILD)/tests/soak/kill_storm --kind spsc --kills $(MOX_KILLS)
	$(BUILD)/tests/soak/kill_storm --kind mpmc --kills $(MOX_KILLS)
	$(BUILD)/tests/soak/kill_storm --kind mpmcvar --kills $(MOX_KILLS)
