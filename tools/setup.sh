#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libssl-dev libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev
  python3 python3-dev pybind11-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3-pytest python3-cryptography python3-cryptography-vectors
  python3-simplejson python3-arrow python3-attr python3-requests
  python3-sqlalchemy python3-sqlalchemy-utils
  nginx curl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
