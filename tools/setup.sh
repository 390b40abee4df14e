#!/usr/bin/env bash
# Installs the Debian packages of the groups named, those that are missing.
#
#   tools/setup.sh [GROUP...]
#
#   package    building the package and running the example (tools/example.sh)
#   keyserver  the test key server of the example's --server run
#   test       everything tools/test.sh needs (the default): the above, the
#              test suites and their oracles, the armhf cross toolchain and
#              emulator, and clang for the fuzz targets
#
# apt's and dpkg's output goes to build/logs/setup.log; the console gets one
# line for each step, and the log's last lines when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/steps.sh

package=(
  build-essential cmake ninja-build pkg-config
  libssl-dev libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev
  python3 python3-dev pybind11-dev
)
keyserver=(python3-cryptography)
# The armhf -dev packages sit beside the native ones (multiarch); the armhf
# run-time packages of the tests are in tools/armhf-packages.txt, extracted
# into a root file system of their own (tools/armhf-root.sh).
test=(
  "${package[@]}" "${keyserver[@]}" clang-format pmccabe
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3-pytest python3-cryptography-vectors
  python3-simplejson python3-arrow python3-attr python3-requests
  python3-sqlalchemy python3-sqlalchemy-utils
  nginx curl
  crossbuild-essential-armhf qemu-user-static mmdebstrap
  libssl-dev:armhf libsqlite3-dev:armhf libcurl4-openssl-dev:armhf libpython3.11-dev:armhf
  libgtest-dev:armhf libgmock-dev:armhf
  clang-14 libclang-rt-14-dev
)

groups=("$@")
((${#groups[@]})) || groups=(test)
wanted=()
for g in "${groups[@]}"; do
  case "$g" in
    package) wanted+=("${package[@]}") ;;
    keyserver) wanted+=("${keyserver[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    *) echo "setup.sh: no package group $g" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

export DEBIAN_FRONTEND=noninteractive
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo env DEBIAN_FRONTEND=noninteractive)
log=build/logs/setup.log
apt=("${sudo[@]}" apt-get -y -o Dpkg::Use-Pty=0)

if printf '%s\n' "${missing[@]}" | grep -q ':armhf$' &&
  ! dpkg --print-foreign-architectures | grep -qx armhf; then
  step "$log" "setup: adding the armhf architecture to dpkg (log: $log)" \
    "${sudo[@]}" dpkg --add-architecture armhf
fi
step "$log" "setup: updating apt's package lists (log: $log)" "${apt[@]}" update
count=$("${apt[@]}" install -s --no-install-recommends "${missing[@]}" 2>/dev/null | grep -c '^Inst ' || true)
step "$log" "setup: installing ${#missing[@]} packages, $count with their dependencies: ${missing[*]}" \
  "${apt[@]}" install --no-install-recommends "${missing[@]}"
