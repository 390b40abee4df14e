#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format pmccabe
  libssl-dev libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev
  python3 python3-dev pybind11-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3-pytest python3-cryptography python3-cryptography-vectors
  python3-simplejson python3-arrow python3-attr python3-requests
  python3-sqlalchemy python3-sqlalchemy-utils
  nginx curl
)

# The armhf cross-build and its emulated test run (tools/armhf-test.sh), the
# fuzz targets (tools/fuzz.sh). The armhf -dev packages sit beside the native
# ones (multiarch); the armhf run-time packages of the tests are in
# tools/armhf-packages.txt, extracted into a root file system of their own.
packages+=(
  crossbuild-essential-armhf qemu-user-static mmdebstrap
  libssl-dev:armhf libsqlite3-dev:armhf libcurl4-openssl-dev:armhf libpython3.11-dev:armhf
  libgtest-dev:armhf libgmock-dev:armhf
  clang-14 libclang-rt-14-dev
)
foreign_arch=""
dpkg --print-foreign-architectures | grep -qx armhf || foreign_arch=armhf

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  [ -z "$foreign_arch" ] || $sudo dpkg --add-architecture "$foreign_arch"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
