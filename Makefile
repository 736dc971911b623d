# Every target builds in .venv, creating it and installing what it needs on first use.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
DEPS   := $(VENV)/.deps-installed

.PHONY: demo test test-oldest wheel-check bench install lint format clean

$(DEPS): requirements-dev.txt
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

# Rebuilds incrementally (build/ keeps the CMake tree between runs).
install: $(DEPS)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .

# The main job on the sandbox, in a data directory of its own (never ~/.mirtaly);
# a second run finds that data current.
demo: install
	$(PY) -m mirtaly.demo build/demo

test: install
	$(PY) -m pytest -q

# The oldest supported pandas, numpy and matplotlib, in a venv of their own; with
# the pyparsing of matplotlib 3.8's time (a later one warns of deprecations on import).
OLD_VENV := build/venv-oldest
test-oldest:
	test -x $(OLD_VENV)/bin/python || $(PYTHON) -m venv $(OLD_VENV)
	$(OLD_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(OLD_VENV)/bin/python -m pip install --quiet -r requirements-dev.txt \
		"pandas==2.2.*" "numpy==1.26.*" "matplotlib==3.8.*" "pyparsing<3.3"
	$(OLD_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps \
		-C build-dir=build/oldest .
	$(OLD_VENV)/bin/python -m pytest -q -p no:cacheprovider

# A wheel built the way a plain `pip install .` builds (isolated, build
# requirements from the index) must ship the type stubs too.
wheel-check: $(DEPS)
	rm -rf build/wheel
	$(PY) -m pip wheel --quiet --no-deps -C build-dir=build/isolated -w build/wheel .
	$(PY) .ci/check_wheel.py build/wheel

bench: install
	@for script in bench/*.py; do echo "== $$script"; \
		$(PY) -m bench.$$(basename $$script .py) || exit 1; done

lint: $(DEPS)
	$(PY) -m ruff check python tests bench

format: $(DEPS)
	$(PY) -m pip install --quiet clang-format
	$(VENV)/bin/clang-format -i src/*/*.cpp src/*/*.hpp src/*/*/*.cpp src/*/*/*.hpp 2>/dev/null || true
	$(PY) -m ruff format python tests bench

clean:
	rm -rf build
