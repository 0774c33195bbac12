#!/usr/bin/env bash
# Compiles the storage core (not the Python faces) for macOS with zig, to
# keep it portable: every source of src/core, checked for errors and
# warnings (-Werror), for x86_64 and arm64.  Nothing is linked or run.
#
#   tools/macos-check.sh TOOLS_PYTHON
set -euo pipefail
tools_py=$1
root=$(cd "$(dirname "$0")/.." && pwd)
zig=$("$tools_py" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
[ -x "$zig" ] || chmod +x "$zig"
# The dependencies' headers alone (the same on every system), so that no
# Linux header can stand in for a missing macOS one.
deps=$root/build/macos-check/include
rm -rf "$deps"
mkdir -p "$deps"
ln -s /usr/include/libdeflate.h /usr/include/xxhash.h /usr/include/sodium.h /usr/include/sodium "$deps"/
status=0
for target in x86_64-macos aarch64-macos; do
  for src in "$root"/src/core/*/*.cc; do
    "$zig" c++ -target "$target" -std=c++20 -fsyntax-only -Wall -Wextra -Wshadow -Wpedantic -Werror -Wno-unused-command-line-argument \
      -I"$root/src" -isystem "$deps" "$src" || { echo "macos-check: $target: $src" >&2; status=1; }
  done
  [ $status -eq 0 ] && echo "macos-check: the core compiles for $target"
done
exit $status
