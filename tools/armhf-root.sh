#!/usr/bin/env bash
# armhf-root.sh ROOT: makes the armhf root file system in which the tests run
# under qemu-arm-static, holding the packages of tools/armhf-packages.txt with
# their dependencies (extracted, not installed: nothing runs inside it). The
# root is kept; it is made again only when the package list changes.
set -euo pipefail
cd "$(dirname "$0")/.."

root=${1:?usage: armhf-root.sh ROOT}
list=tools/armhf-packages.txt
packages=$(grep -v -e '^#' -e '^$' "$list" | paste -sd, -)
stamp="$root.stamp"
want=$(sha256sum "$list" | cut -d' ' -f1)

if [ -d "$root" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  echo "armhf root: $root is up to date"
  exit 0
fi

# The machine's own apt sources: deb822 where it has them, else the classic file.
sources=/etc/apt/sources.list.d/debian.sources
[ -f "$sources" ] || sources=/etc/apt/sources.list
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")

rm -rf "$root" "$stamp"
mkdir -p "$(dirname "$root")"
echo "armhf root: making $root ($suite, $packages)"
mmdebstrap --quiet --variant=extract --architectures=armhf --include="$packages" \
  "$suite" "$root" "$sources" </dev/null
# qemu looks a path up in the root first: without a /dev of its own, the
# emulated programs use the host's devices (a pseudo-terminal from the
# root's ptmx node would not be the host's).
rm -rf "$root/dev"
echo "$want" >"$stamp"
