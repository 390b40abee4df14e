#!/usr/bin/env bash
# armhf-root.sh ROOT: makes the armhf root file system in which the tests run
# under qemu-arm-static, holding the packages of tools/armhf-packages.txt with
# their dependencies (extracted, not installed: nothing runs inside it). The
# root is kept; it is made again only when the package list changes.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/steps.sh

root=${1:?usage: armhf-root.sh ROOT}
list=tools/armhf-packages.txt
packages=$(grep -v -e '^#' -e '^$' "$list" | paste -sd, -)
stamp="$root.stamp"
want=$(sha256sum "$list" | cut -d' ' -f1)

if [ -d "$root" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  echo "armhf root: $root is up to date"
  exit 0
fi

# Every apt source of the machine, whatever the files' names and formats
# (mmdebstrap reads each file by its suffix: .list one-line, .sources deb822).
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ ! -s "$f" ] || sources+=("$f")
done
if ((${#sources[@]} == 0)); then
  echo "armhf root: apt has no sources in /etc/apt/sources.list or /etc/apt/sources.list.d/" >&2
  exit 1
fi
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")

rm -rf "$root" "$stamp"
mkdir -p "$(dirname "$root")"
log=build/logs/armhf-root.log
rm -f "$log"
step "$log" "armhf root: making $root ($suite, from ${sources[*]}; log: $log)" \
  mmdebstrap --variant=extract --architectures=armhf --include="$packages" \
  "$suite" "$root" "${sources[@]}"
# qemu looks a path up in the root first: without a /dev of its own, the
# emulated programs use the host's devices (a pseudo-terminal from the
# root's ptmx node would not be the host's).
rm -rf "$root/dev"
echo "$want" >"$stamp"
