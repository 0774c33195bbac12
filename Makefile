# Two entry points: `make demo` and `make test`.  Both set up everything they
# need (Debian packages, a CPython 3.12 virtual environment, the package) and
# are safe to run again.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
# strace: the fault-injection tests fail system calls through it.
# ninja-build: builds the sanitizer and fuzzing trees (below).
# googletest: GoogleTest's source, built with zig's C++ runtime for the core
# tests run from the wheel's build directory (core-tests).
DEB_PACKAGES := pkg-config ninja-build libdeflate-dev libxxhash-dev libsodium-dev libgtest-dev googletest strace
# The fuzzer needs clang's libFuzzer runtime; llvm-14 brings the symbolizer.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev llvm-14

# Sanitizer runs: any report fails the run.
UBSAN_ENV := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
FUZZ_DIR := build/fuzz
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=1 $(UBSAN_ENV) \
            ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
# Inputs up to 16 KiB; an input taking over 10 s or 2 GiB is a failure.
FUZZ_FLAGS := -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
              -artifact_prefix=$(FUZZ_DIR)/artifacts/ -print_final_stats=1
FUZZ_TIME ?= 3600
FUZZ_FORKS ?= 1
FUZZ_ARGS ?=
FUZZ_REPLAY := $(wildcard tests/fuzz/regressions/*) $(wildcard tests/fuzz/corpus/*)
FUZZ_SEEDS := tests/fuzz/corpus $(wildcard tests/fuzz/regressions)

.PHONY: demo test test-deps deps venv wheel wheels smoke aarch64-arch aarch64-deps aarch64-test macos-check install core-tests pytest asan-test \
        fuzz-deps fuzz-build fuzz-corpus fuzz-smoke fuzz bench verify-bench

deps:
	@tools/install-deps.sh $(DEB_PACKAGES)

$(VENV)/.deps-ok: requirements-dev.txt | deps
	@test -x $(PY) || { py=$$(tools/find-python.sh) && $$py -m venv $(VENV); }
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

venv: deps $(VENV)/.deps-ok

# The wheels: built with zig for glibc 2.28 and up (tools/build-wheel.sh),
# their libraries and C++ runtime linked in statically, so auditwheel has
# nothing to graft and only checks them and gives them their manylinux tag.
# `wheel` is the CPython 3.12 x86_64 one, installed into .venv, so the tests
# run the very file that ships; `wheels` is every version on both
# architectures.
PYTHONS := 3.10 3.11 3.12 3.13
PIP := $(PY) -m pip --disable-pip-version-check
WHEEL_PATTERN = dist/velkstore-*-cp$(subst .,,$(1))-cp$(subst .,,$(1))-manylinux_*_$(2).whl
WHEEL := $(call WHEEL_PATTERN,3.12,x86_64)
wheel: venv
	tools/build-wheel.sh $(PY) 3.12 x86_64 dist
	$(PY) -m auditwheel show $(WHEEL)

wheels: venv aarch64-deps
	@for v in $(PYTHONS); do for a in x86_64 aarch64; do \
	  tools/build-wheel.sh $(PY) $$v $$a dist || exit 1; done; done
	@ls -1 dist/velkstore-*.whl

install: wheel
	$(PIP) install -q --force-reinstall --no-deps $(WHEEL)

demo: install
	$(PY) examples/demo.py build/demo

# build/wheelhouse: the wheel's own dependencies, for tests/test_install.py's
# offline install into a fresh environment.
pytest: install
	$(PIP) download -q -d build/wheelhouse $(WHEEL)
	$(PY) -m mypy --strict python/velkstore tests/typed_usage.py
	$(PY) -m pytest -q tests --wheel="$$(ls $(WHEEL))" --wheelhouse=build/wheelhouse

# The other CPython versions: each one's wheel, installed offline into a
# fresh environment of that version, builds, looks up, scans and runs the
# command line (tests/test_install.py with --python).  3.11 has its smoke
# run on aarch64 (aarch64-test), so `make test` builds no x86_64 wheel for
# it; `make smoke SMOKE_PYTHONS="3.10 3.11 3.13"` runs that one too.
SMOKE_PYTHONS ?= 3.10 3.13
smoke: venv
	@for v in $(SMOKE_PYTHONS); do \
	  py=$$(tools/find-python.sh $$v) && \
	  wheel=$$(tools/build-wheel.sh $(PY) $$v x86_64 dist) && \
	  $(PIP) download -q --only-binary=:all: --python-version $$v -d build/wheelhouse/$$v $$wheel && \
	  echo "smoke: CPython $$v, $$wheel" && \
	  $(PY) -m pytest -q tests/test_install.py --wheel=$$wheel --wheelhouse=build/wheelhouse/$$v \
	    --python=$$py || exit 1; \
	done

# aarch64 under user-mode emulation (qemu): the core tests cross-built with
# zig, and the CPython 3.11 wheel with Debian's arm64 CPython 3.11
# (tools/aarch64-test.sh).  Debian's arm64 archives of the dependencies come
# through multiarch.
AARCH64_PACKAGES := qemu-user-static libc6:arm64 libdeflate-dev:arm64 libsodium-dev:arm64 \
                    libxxhash-dev:arm64 googletest
aarch64-arch:
	@dpkg --print-foreign-architectures | grep -qx arm64 || \
	  { echo "adding Debian's arm64 architecture (multiarch)"; $(if $(filter 0,$(shell id -u)),,sudo) dpkg --add-architecture arm64; }

aarch64-deps: aarch64-arch
	@tools/install-deps.sh $(DEB_PACKAGES) $(AARCH64_PACKAGES)

aarch64-test: venv aarch64-deps
	tools/aarch64-test.sh $(PY)

# The storage core compiled (not linked) for macOS on x86_64 and arm64 with
# zig: keeps it portable (docs/platforms.md).  Not part of `make test`.
macos-check: venv
	tools/macos-check.sh $(PY)

# The core tests, built in the x86_64 wheel's build directory: they link the
# very core objects the wheels ship (zig's clang, -O3, libc++), compiled once
# for the wheels and the tests.  g++ builds them too, with the sanitizers
# (asan-test).
ZIG_X86 := build/zig/x86_64
core-tests: wheel
	cmake -S . -B $(ZIG_X86) -DVELK_BUILD_CORE_TESTS=ON -Wno-dev >/dev/null
	cmake --build $(ZIG_X86) -j2 --target core_tests
	ctest --test-dir $(ZIG_X86) --output-on-failure -j2

# Ninja compiles every library's objects side by side (the Makefile
# generator compiles zstd alone, one core idle, before the core's objects
# start).  A tree configured with another generator is configured afresh
# (its build files only: a fuzzing corpus in it stays).
NINJA_TREE = grep -qsx 'CMAKE_GENERATOR:INTERNAL=Ninja' $(1)/CMakeCache.txt || \
             rm -rf $(1)/CMakeCache.txt $(1)/CMakeFiles

# Core tests with leak detection, then the Python tests against the same
# sanitizer build of the module (tools/asan-pytest.sh).  Left out of the
# sanitizer run: the tests whose work is Python around calls the others
# already make (the command line in subprocesses, Dask and Spark, the
# README's pipelines), and those that need a wheel; the plain pytest run
# has them all.
ASAN_PYTEST_SKIP := test_cli.py test_cli_io.py test_dask.py test_spark.py test_readme_pipelines.py \
                    test_install.py
asan-test: venv
	@$(call NINJA_TREE,build/asan)
	cmake -S . -B build/asan -G Ninja -DVELK_SANITIZE=ON -DVELK_BUILD_CORE_TESTS=ON \
	      -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/asan -j2
	ASAN_OPTIONS=detect_leaks=1 $(UBSAN_ENV) ctest --test-dir build/asan --output-on-failure -j2
	tools/asan-pytest.sh $(PY) build/asan $(addprefix --ignore=tests/,$(ASAN_PYTEST_SKIP))

fuzz-deps:
	@tools/install-deps.sh $(DEB_PACKAGES) $(FUZZ_PACKAGES)

fuzz-build: fuzz-deps
	@$(call NINJA_TREE,$(FUZZ_DIR))
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 -DVELK_FUZZ=ON \
	      -DVELK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_DIR) -j2 --target fuzz_reader make_corpus
	@mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/artifacts

# Rewrites the seed corpus with the writer (deterministic).
fuzz-corpus: fuzz-build
	$(FUZZ_DIR)/make_corpus tests/fuzz/corpus >/dev/null

# Replays the regression inputs and seeds, then fuzzes for a fixed minute.
fuzz-smoke: fuzz-build
	$(FUZZ_ENV) $(FUZZ_DIR)/fuzz_reader $(FUZZ_FLAGS) $(FUZZ_REPLAY)
	$(FUZZ_ENV) $(FUZZ_DIR)/fuzz_reader $(FUZZ_FLAGS) -max_total_time=60 \
	    $(FUZZ_DIR)/corpus $(FUZZ_SEEDS)

# The long run: make fuzz FUZZ_TIME=seconds [FUZZ_FORKS=processes]
# [FUZZ_ARGS=more libFuzzer flags].  New inputs collect in build/fuzz/corpus,
# failing ones in build/fuzz/artifacts.
fuzz: fuzz-build
	$(FUZZ_ENV) $(FUZZ_DIR)/fuzz_reader $(FUZZ_FLAGS) -max_total_time=$(FUZZ_TIME) \
	    $(if $(filter-out 1,$(FUZZ_FORKS)),-fork=$(FUZZ_FORKS)) $(FUZZ_ARGS) \
	    $(FUZZ_DIR)/corpus $(FUZZ_SEEDS)

# Every Debian package the steps below need, in one apt-get round (each
# step then finds its own already there).
test-deps: aarch64-arch
	@tools/install-deps.sh $(DEB_PACKAGES) $(FUZZ_PACKAGES) $(AARCH64_PACKAGES)

test: test-deps core-tests pytest smoke asan-test fuzz-smoke aarch64-test

# Benchmarks against the usual alternatives (not part of `make test`); writes
# bench/README.md, bench/ratios.png and bench/results.json.  Extra options
# go in BENCH_ARGS, e.g. make bench BENCH_ARGS=--large for the 10M-key part.
BENCH_ARGS ?=
bench: install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	$(PY) bench/run.py $(BENCH_ARGS)

# verify() on the 1M-key text store of the benchmark, side by side with a
# plain read of the file, and per-record CRCs through libdeflate and ISA-L
# (bench/verify_driver.cc).  Not part of `make test`.
VERIFY_STORE := build/bench/text-1m.vlks
verify-bench: install
	@tools/install-deps.sh $(DEB_PACKAGES) libisal-dev
	cmake -S . -B build/rel -DVELK_BUILD_MODULE=OFF -DVELK_BUILD_BENCH=ON \
	      -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/rel -j2 --target verify_driver
	@test -f $(VERIFY_STORE) || $(PY) bench/verify_store.py $(VERIFY_STORE)
	build/rel/verify_driver $(VERIFY_STORE) 15
