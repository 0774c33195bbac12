# Two entry points: `make demo` and `make test`.  Both set up everything they
# need (Debian packages, a python3.12 virtual environment, the package) and
# are safe to run again.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
DEB_PACKAGES := pkg-config libdeflate-dev libxxhash-dev libsodium-dev libgtest-dev

.PHONY: demo test deps venv install core-tests pytest

deps:
	@tools/install-deps.sh $(DEB_PACKAGES)

$(VENV)/.deps-ok: requirements-dev.txt | deps
	@test -x $(PY) || { py=$$(tools/find-python.sh) && $$py -m venv $(VENV); }
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

venv: deps $(VENV)/.deps-ok

install: venv
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .

demo: install
	$(PY) examples/demo.py

pytest: install
	$(PY) -m mypy --strict python/velkstore
	$(PY) -m pytest -q tests

core-tests: deps
	cmake -S . -B build/core -DVELK_BUILD_MODULE=OFF -DVELK_BUILD_CORE_TESTS=ON \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/core -j2
	ctest --test-dir build/core --output-on-failure -j2

test: core-tests pytest
