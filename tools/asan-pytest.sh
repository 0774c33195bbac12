#!/usr/bin/env bash
# Runs the Python tests against the sanitizer build of the module.
#
#   tools/asan-pytest.sh PYTHON BUILD_DIR [pytest arguments]
#
# The interpreter is not instrumented, so g++'s ASan runtime is preloaded
# into it (and, through the inherited environment, into every interpreter a
# test starts).  Leak detection is off: CPython does not free everything at
# exit.  Reports go to files under BUILD_DIR/reports, so one from a
# subprocess whose exit status a test ignores still fails the run.
set -u
py=$1
build=$(cd "$2" && pwd)
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
reports=$build/reports
rm -rf "$reports"
mkdir -p "$reports"

export LD_PRELOAD
LD_PRELOAD=$(g++ -print-file-name=libasan.so)
# The package with the sanitizer build of its own module (tools/dev-run.sh
# links its Python files beside that module and puts both on PYTHONPATH,
# as absolute paths, since tests run subprocesses in other directories).
run=("$root/tools/dev-run.sh" "$build")
# Python objects from malloc, so overruns into them are seen too.
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

# A wrong path would silently test the uninstrumented module.
"${run[@]}" "$py" -c 'import sys, _velkstore, velkstore._native as n
sys.exit(not (_velkstore.__file__.startswith(sys.argv[1]) and n.__file__.startswith(sys.argv[1])))' "$build" ||
  { echo "asan-pytest: _velkstore or velkstore._native is not imported from $build" >&2; exit 1; }

status=0
"${run[@]}" "$py" -m pytest -q "$@" "$root/tests" || status=$?
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/* >&2
  echo "asan-pytest: sanitizer reports above (kept in $reports)" >&2
  status=1
fi
exit "$status"
