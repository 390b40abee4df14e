#!/usr/bin/env bash
# install-test.sh: checks velna as users install it, from the builds in build/
# (the machine's own architecture) and, when it exists, build-armhf/ (armhf).
#
# - The Debian package: made with cpack and unpacked into a scratch root;
#   every module of the package is imported from there, and each module and
#   each of our shared libraries must come from that root, not from a build
#   tree (the armhf package too, under qemu, when tools/armhf-test.sh has made
#   its wrappers). Then the example application (the local store) runs from
#   the package's files, the interpreter finding the package by itself.
# - cmake --install --prefix /usr/local: the example application runs from
#   there the same way, and the README's outside CMake project builds
#   examples/encrypt_bytes.cpp against the installed libvelna with
#   find_package(velna) and runs it.
#
# Nothing is installed on the machine itself (see installed() below), so it
# needs no privileges and runs in a chroot as well.
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
repo=$PWD

pkg() {  # pkg BUILD_DIR: makes the package, prints its path
  (cd "$1" && cpack -G DEB -B "$PWD/package" >/dev/null)
  ls "$1"/package/velna_*.deb
}

# import_all PYTHON ROOT: imports every module found under ROOT's package
# folder with PYTHON, from ROOT alone.
import_all() {
  local python=$1 root=$2 site
  site=$(cd "$root" && find . -type f -path '*/velna/__init__.py' | head -1)
  site=$(realpath "$root/$(dirname "$(dirname "$site")")")
  (cd "$tmp" && env -u PYTHONPATH PYTHONPATH="$site" PYTHONNOUSERSITE=1 "$python" - "$site" "$root" <<'PY'
import importlib, os, sys
site, root = sys.argv[1], os.path.realpath(sys.argv[2])
names = []
for dirpath, _, files in os.walk(os.path.join(site, "velna")):
    for f in files:
        if f.endswith(".py") or f.endswith(".so"):
            rel = os.path.relpath(os.path.join(dirpath, f.split(".")[0]), site)
            name = rel.replace(os.sep, ".")
            names.append(name[: -len(".__init__")] if name.endswith(".__init__") else name)
for name in sorted(set(names)):
    module = importlib.import_module(name)
    where = os.path.realpath(module.__file__)
    assert where.startswith(root + os.sep), f"{name} loaded from {where}"
libs = sorted({line.split()[-1] for line in open("/proc/self/maps") if "/libvelna" in line})
assert libs and all(os.path.realpath(l).startswith(root + os.sep) for l in libs), libs
print(f"imported {len(set(names))} modules from {site}; libraries: {', '.join(libs)}")
PY
  )
}

# installed ROOT SITE: runs the example application of tools/example.sh
# (local store, two processes) as if ROOT's files had been installed, with
# the interpreter finding the package in SITE (a path below /usr) on its own.
# A copy of Debian's interpreter in ROOT/usr/bin, with a link to the standard
# library beside it, has ROOT/usr as its prefix: its site folders are those
# it has under /usr, moved into ROOT, and nothing else (the system's own
# dist-packages among them). No PYTHONPATH; run from a scratch folder.
installed() {
  local root=$1 site=$2 out=$tmp/main-job.out python version
  version=$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  python=$root/usr/bin/python3
  mkdir -p "$root/usr/bin" "$root/usr/lib"
  cp "$(readlink -f /usr/bin/python3)" "$python"
  ln -sfn "/usr/lib/python$version" "$root/usr/lib/python$version"
  (
    cd "$tmp" && unset PYTHONPATH PYTHONHOME
    where=$("$python" -c 'import velna; print(velna.__file__)')
    [ "$where" = "$root$site/velna/__init__.py" ] || { echo "velna imported from $where, not $root$site"; exit 1; }
    store=$(mktemp -d)
    "$python" "$repo/examples/share_file.py" --root "$store/store" grant
    "$python" "$repo/examples/share_file.py" --root "$store/store" open
    rm -rf "$store"
  ) >"$out" 2>&1 || { cat "$out"; return 1; }
  grep -qx "checksum matches the original" "$out" || { cat "$out"; return 1; }
  echo "main job ran from $site: $(grep '^opened ' "$out")"
}

native=$(pkg build)
echo "== package $(basename "$native")"
dpkg-deb -x "$native" "$tmp/deb"
import_all /usr/bin/python3 "$tmp/deb"
installed "$tmp/deb" /usr/lib/python3/dist-packages

echo "== cmake --install build --prefix /usr/local"
DESTDIR="$tmp/local" cmake --install build --prefix /usr/local >"$tmp/install.log" ||
  { cat "$tmp/install.log"; exit 1; }
site=$(/usr/bin/python3 -c 'import sys; print("/usr/local/lib/python%d.%d/dist-packages" % sys.version_info[:2])')
installed "$tmp/local" "$site"

# The outside project is the README's own CMakeLists.txt.
mkdir -p "$tmp/app"
sed -n '/^```cmake$/,/^```$/{/^```/d;p}' README.md >"$tmp/app/CMakeLists.txt"
grep -q 'find_package(velna' "$tmp/app/CMakeLists.txt" || { echo "README.md has no CMake project" >&2; exit 1; }
cp examples/encrypt_bytes.cpp "$tmp/app/"
(
  cd "$tmp/app"
  cmake -S . -B build -G Ninja -DCMAKE_PREFIX_PATH="$tmp/local/usr/local" && ninja -C build
) >"$tmp/app.log" 2>&1 || { cat "$tmp/app.log"; exit 1; }
"$tmp/app/build/encrypt_bytes" >"$tmp/app.out"
# The program prints the message it decrypted and that message's SHA-384.
message=$(sed -n 1p "$tmp/app.out")
[ "$(sed -n 2p "$tmp/app.out")" = "$(printf '%s' "$message" | sha384sum | cut -d' ' -f1)" ] ||
  { cat "$tmp/app.out"; exit 1; }
echo "encrypt_bytes.cpp built with find_package(velna) against /usr/local: \"$message\""

if [ -d build-armhf ]; then
  armhf=$(pkg build-armhf)
  echo "== package $(basename "$armhf")"
  dpkg-deb -x "$armhf" "$tmp/armhf"
  if [ -x build-armhf/qemu/python3 ]; then
    import_all "$PWD/build-armhf/qemu/python3" "$tmp/armhf"
  fi
fi
