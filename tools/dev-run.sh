#!/usr/bin/env bash
# Runs a command against a development build of the modules, without
# building a wheel: the package's Python files linked beside the build's
# `_native` module, and both on PYTHONPATH.
#
#   cmake -S . -B build/dev -DPython_EXECUTABLE=$PWD/.venv/bin/python \
#         -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build/dev -j2
#   tools/dev-run.sh build/dev .venv/bin/python -m pytest -q tests/test_x.py
set -eu
build=$(cd "$1" && pwd)
shift
root=$(cd "$(dirname "$0")/.." && pwd)
pkg=$build/pkg/velkstore
rm -rf "$build/pkg"
mkdir -p "$pkg"
for entry in "$root"/python/velkstore/*; do
  case $entry in
    *.so | */__pycache__) ;;
    *) ln -s "$entry" "$pkg"/ ;;
  esac
done
ln -s "$build"/_native.*.so "$pkg"/
export PYTHONPATH="$build:$build/pkg${PYTHONPATH:+:$PYTHONPATH}"
exec "$@"
