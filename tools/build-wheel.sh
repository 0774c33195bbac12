#!/usr/bin/env bash
# Builds the wheel for one CPython version and one architecture with zig
# (glibc 2.28 and up, the C++ runtime linked in statically), then has
# auditwheel check it and give it its manylinux tag.
#
#   tools/build-wheel.sh TOOLS_PYTHON VERSION ARCH OUTDIR
#
# TOOLS_PYTHON: an interpreter with ziglang and auditwheel (the .venv's);
# VERSION: 3.10 to 3.13; ARCH: x86_64 or aarch64.  The wheel's interpreter
# needs only its headers: the build runs in a small build environment of
# that version (build/pyenv/VERSION, made once, with scikit-build-core).
# Prints the wheel's path.
set -euo pipefail
tools_py=$1 version=$2 arch=$3 out=$4
root=$(cd "$(dirname "$0")/.." && pwd)
glibc=2.28
case $arch in x86_64 | aarch64) ;; *) echo "build-wheel: unknown architecture $arch" >&2; exit 2 ;; esac

py=$("$root/tools/find-python.sh" "$version")
env_dir=$root/build/pyenv/$version
if [ "$version" = "$("$tools_py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" ]; then
  bpy=$tools_py
else
  bpy=$env_dir/bin/python
  # pip 23.1 or later: the pip bundled with 3.10 and 3.11 knows no -C.
  if [ ! -f "$env_dir/.ready" ]; then
    rm -rf "$env_dir"
    "$py" -m venv "$env_dir"
    "$bpy" -m pip install -q --disable-pip-version-check "pip>=23.1" >&2
    touch "$env_dir/.ready"
  fi
fi
# One copy of scikit-build-core for every version: it clears a build
# directory last configured by another copy of itself, which would undo the
# shared build directory below.  Pure Python, installed with the
# dependencies the oldest supported version needs (named: pip resolves the
# markers of scikit-build-core's own requirements for the running
# interpreter, not for --python-version).
skbuild=$root/build/pyenv/skbuild
if [ ! -f "$skbuild/.ready" ]; then
  rm -rf "$skbuild"
  "$tools_py" -m pip install -q --disable-pip-version-check --target "$skbuild" \
    --only-binary=:all: --python-version 3.10 "scikit-build-core>=0.10" \
    "exceptiongroup>=1.0" "tomli>=1.2.2" "typing-extensions>=4" >&2
  touch "$skbuild/.ready"
fi
zig=$("$tools_py" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
[ -x "$zig" ] || chmod +x "$zig"
nodot=${version/./}
include=$("$bpy" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
raw=$root/build/wheel-raw/$version-$arch
rm -rf "$raw"
mkdir -p "$raw" "$out"
# _PYTHON_HOST_PLATFORM gives the wheel its architecture; the extension
# suffix is the target's, not the building interpreter's.
# One build directory per architecture, shared by every version: the core,
# zstd and GoogleTest do not see the interpreter's headers, so their objects
# are compiled once and only the two modules' sources are compiled again for
# each version (their flags name that version's include directory).
PYTHONPATH=$skbuild _PYTHON_HOST_PLATFORM=linux-$arch "$bpy" -m pip wheel -q --disable-pip-version-check \
  --no-build-isolation --no-deps -w "$raw" "$root" \
  -C build-dir="$root/build/zig/$arch" \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$root/tools/zig-toolchain.cmake" \
  -C cmake.define.VELK_ZIG="$zig" \
  -C cmake.define.VELK_ZIG_TARGET="$arch-linux-gnu.$glibc" \
  -C cmake.define.Python_INCLUDE_DIR="$include" \
  -C cmake.define.VELK_PYTHON_SOABI="cpython-$nodot-$arch-linux-gnu" >&2
wheel=$(ls "$raw"/velkstore-*.whl)
rm -f "$out"/velkstore-*-cp$nodot-cp$nodot-manylinux_*_"$arch".whl
# auditwheel names the oldest glibc whose symbol versions the wheel meets
# (it may be below the one zig built for).
PATH="$(dirname "$tools_py"):$PATH" "$tools_py" -m auditwheel repair --plat auto -w "$out" "$wheel" \
  >/dev/null 2>"$raw/auditwheel.log" || { cat "$raw/auditwheel.log" >&2; exit 1; }
fixed=$(ls "$out"/velkstore-*-cp$nodot-cp$nodot-manylinux_*_"$arch".whl)
floor=$(basename "$fixed" | sed -E 's/.*-manylinux_2_([0-9]+)_.*/\1/')
if [ "$floor" -gt "${glibc#2.}" ]; then
  echo "build-wheel: $fixed needs glibc 2.$floor, newer than $glibc" >&2
  exit 1
fi
if "$tools_py" -m zipfile -l "$fixed" | grep -q '\.libs/'; then
  echo "build-wheel: auditwheel had to copy shared libraries into $fixed; link them statically" >&2
  exit 1
fi
echo "$fixed"
