# Deliberate faults in the core, and the C++ tests that catch each
# (tests/mutation/mutate.py; each run in its own namespaces, as root):
#   make mutation                  every mutant (about 40 minutes on 2 cores)
#   make mutation MUTANTS=a,b      some of them (ids: mutate.py --list)
MUTANTS ?=
.PHONY: mutation
mutation: $(VENV)/.ready system-deps
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) tests/mutation/mutate.py $(if $(MUTANTS),--only $(MUTANTS))
