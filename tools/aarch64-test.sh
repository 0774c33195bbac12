#!/usr/bin/env bash
# aarch64 under user-mode emulation (qemu), from this x86_64 machine:
#  1. the core's GoogleTest suite, cross-built with zig in the aarch64
#     wheels' build directory, run by ctest;
#  2. the CPython 3.11 aarch64 wheel, with its dependencies' aarch64 wheels,
#     run by Debian's arm64 CPython 3.11 (unpacked into build/aarch64/root,
#     never installed over the system's own) through tests/smoke.py.
#
#   tools/aarch64-test.sh TOOLS_PYTHON
#
# TOOLS_PYTHON: the .venv's interpreter (ziglang, auditwheel, pip).
set -euo pipefail
tools_py=$1
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/aarch64
qemu=$(command -v qemu-aarch64-static || command -v qemu-aarch64) ||
  { echo "aarch64-test: no qemu-aarch64 (Debian: qemu-user-static)" >&2; exit 1; }
zig=$("$tools_py" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
[ -x "$zig" ] || chmod +x "$zig"

sysroot=$work/root
if [ ! -f "$sysroot/.ok" ]; then
  rm -rf "$sysroot" "$work/debs"
  mkdir -p "$work/debs" "$sysroot"
  # The interpreter, its standard library and the libraries they load.
  (cd "$work/debs" && apt-get download -q=2 python3.11-minimal:arm64 libpython3.11-minimal:arm64 \
      libpython3.11-stdlib:arm64 libc6:arm64 libgcc-s1:arm64 libexpat1:arm64 zlib1g:arm64 \
      libffi8:arm64 libbz2-1.0:arm64 liblzma5:arm64 libuuid1:arm64 libssl3:arm64 libcrypt1:arm64)
  for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
  touch "$sysroot/.ok"
fi
wheel=$("$root/tools/build-wheel.sh" "$tools_py" 3.11 aarch64 "$root/dist")

# The core tests in the wheel's build directory, on the core objects the
# wheel was linked from.
echo "aarch64-test: core tests (zig, qemu)"
cmake -S "$root" -B "$root/build/zig/aarch64" -DVELK_BUILD_CORE_TESTS=ON -Wno-dev >/dev/null
cmake --build "$root/build/zig/aarch64" -j2 --target core_tests
ctest --test-dir "$root/build/zig/aarch64" --output-on-failure -j2

echo "aarch64-test: CPython 3.11 wheel (Debian's arm64 CPython under qemu)"
site=$work/site
rm -rf "$site"
# pip takes each --platform literally (manylinux_2_28 does not admit 2_26):
# the wheel's own tag, and the older ones its dependencies' wheels carry.
tag=$(basename "$wheel" .whl)
tag=${tag##*-}
tag=${tag%%.*}
"$tools_py" -m pip install -q --disable-pip-version-check --target "$site" --only-binary=:all: \
  --python-version 3.11 --implementation cp --abi cp311 \
  --platform "$tag" --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 \
  --platform manylinux2014_aarch64 "$wheel"
cd "$work"
PYTHONPATH=$site PYTHONNOUSERSITE=1 "$qemu" -L "$sysroot" "$sysroot/usr/bin/python3.11" \
  "$root/tests/smoke.py" "$work/smoke"
