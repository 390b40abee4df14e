#!/usr/bin/env bash
# armhf-test.sh: cross-builds velna for 32-bit ARM (armhf) into build-armhf/
# and runs the core's GoogleTest suite and the Python API's pytest suite
# there under qemu-arm-static, with the armhf root file system of
# tools/armhf-root.sh (kept in build-armhf/root). Needs the packages of
# tools/setup.sh. Without binfmt, a process started from an emulated one is
# run by the host's kernel as it stands, so every armhf program is reached
# through a small wrapper script that starts qemu (build-armhf/qemu/).
#
# Tests that cannot run here are skipped by name, and pytest prints why:
# - pytest marker "no_emulation" (under qemu-user) and "oracle_64bit_time"
#   (over an interpreter with a 32-bit time_t), see tests/python/conftest.py;
# - the GoogleTest filter below ($core_skip); tests that need a process of
#   their own run alone ($core_alone).
# VELNA_WERROR=1 turns compiler warnings into errors, as in tools/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

out=build-armhf
jobs=${VELNA_JOBS:-$(nproc 2>/dev/null || echo 8)}
root=$PWD/$out/root
qemu=$PWD/$out/qemu

# Core tests that cannot run under qemu-user, each with its reason (none now):
core_skip=""
# Core tests that run in a process of their own, each with its reason:
# - Random.RefusesCountsAboveTheLimit reserves 2 GiB + 1 byte of address
#   space in one piece; under qemu-user a 32-bit process has such a hole only
#   before the rest of the suite has mapped its memory.
core_alone=(Random.RefusesCountsAboveTheLimit)

tools/armhf-root.sh "$root"

echo "== armhf build"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DVELNA_ARMHF_ROOT="$root" \
  -DPython_EXECUTABLE=/usr/bin/python3 -DVELNA_BENCH=OFF --no-warn-unused-cli \
  -DVELNA_WERROR="${VELNA_WERROR:-OFF}" >/dev/null
ninja -C "$out" -j"$jobs"

# Wrappers. qemu's -0 hands the wrapper's own path to the program as argv[0],
# so a program that starts itself again (a GoogleTest death test, Python's
# sys.executable) comes back through the wrapper. PYTHONHOME points the
# emulated interpreter at the root's own library folders by their host
# paths: qemu 7.2 does not redirect statx() into the root, so a module that
# exists only in the root would not be found under /usr. The host's
# interpreter, for helper servers, is given a clean environment.
mkdir -p "$qemu"
cat >"$qemu/python3" <<WRAP
#!/bin/sh
export PYTHONHOME="$root/usr"
exec qemu-arm-static -L "$root" -0 "\$0" "$root/usr/bin/python3" "\$@"
WRAP
cat >"$qemu/host-python3" <<'WRAP'
#!/bin/sh
unset PYTHONHOME PYTHONPATH
exec /usr/bin/python3 "$@"
WRAP
cat >"$qemu/velna_core_tests" <<WRAP
#!/bin/sh
exec qemu-arm-static -L "$root" -0 "\$0" "$PWD/$out/bin/velna_core_tests" "\$@"
WRAP
chmod +x "$qemu"/*

echo "== armhf core tests (qemu-arm-static)"
excluded=$(IFS=:; echo "${core_alone[*]}${core_skip:+:$core_skip}")
"$qemu/velna_core_tests" --gtest_brief=1 --gtest_filter="-$excluded"
for t in "${core_alone[@]}"; do
  "$qemu/velna_core_tests" --gtest_brief=1 --gtest_filter="$t"
done

echo "== armhf Python tests (qemu-arm-static)"
VELNA_HOST_PYTHON="$qemu/host-python3" VELNA_EMULATED=1 PYTHONPATH="$PWD/$out/python" \
  "$qemu/python3" -m pytest -q -rs -p no:cacheprovider tests/python
