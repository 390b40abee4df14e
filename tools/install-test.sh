#!/usr/bin/env bash
# install-test.sh: checks velna as users install it, from the builds in build/
# (the machine's own architecture) and, when it exists, build-armhf/ (armhf).
#
# - The Debian package: made with cpack and unpacked into a scratch root;
#   every module of the package is imported from there, and each module and
#   each of our shared libraries must come from that root, not from a build
#   tree (the armhf package too, under qemu, when tools/armhf-test.sh has made
#   its wrappers). Then the example application (the local store) runs from
#   the package's files laid over /usr, with no PYTHONPATH.
# - cmake --install --prefix /usr/local: the example application runs from
#   there the same way, and the README's outside CMake project builds
#   examples/encrypt_bytes.cpp against the installed libvelna with
#   find_package(velna) and runs it.
#
# Nothing is installed on the machine itself: the installed files are laid
# over /usr by an overlay mount in a mount namespace of the test's own, which
# ends with it.
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

# installed ROOT COMMAND...: runs COMMAND (a shell command) in a mount
# namespace where ROOT/usr is laid over /usr, as if ROOT's files had been
# installed, with no PYTHONPATH and from a folder outside the source tree.
installed() {
  local root=$1
  shift
  local userns=()
  [ "$(id -u)" -eq 0 ] || userns=(--map-root-user)
  (cd "$tmp" && env -u PYTHONPATH unshare --mount --propagation private "${userns[@]}" \
    sh -euc 'mount -t overlay overlay -o "lowerdir=$1/usr:/usr" /usr; cmd=$2; shift 2; exec sh -euc "$cmd" sh "$@"' \
    sh "$root" "$@")
}

# main_job ROOT SITE: the example application of tools/example.sh (local
# store, two processes) with the package installed from ROOT, where the
# interpreter must find it in SITE.
main_job() {
  local root=$1 site=$2 out=$tmp/main-job.out
  installed "$root" '
    where=$(/usr/bin/python3 -c "import velna; print(velna.__file__)")
    case "$where" in "$1"/velna/*) ;; *) echo "velna imported from $where, not $1" >&2; exit 1 ;; esac
    store=$(mktemp -d)
    /usr/bin/python3 "$2/examples/share_file.py" --root "$store/store" grant
    /usr/bin/python3 "$2/examples/share_file.py" --root "$store/store" open
    rm -rf "$store"' "$site" "$repo" >"$out" 2>&1 || { cat "$out"; return 1; }
  grep -qx "checksum matches the original" "$out" || { cat "$out"; return 1; }
  echo "main job ran from $site: $(grep '^opened ' "$out")"
}

native=$(pkg build)
echo "== package $(basename "$native")"
dpkg-deb -x "$native" "$tmp/deb"
import_all /usr/bin/python3 "$tmp/deb"
main_job "$tmp/deb" /usr/lib/python3/dist-packages

echo "== cmake --install build --prefix /usr/local"
DESTDIR="$tmp/local" cmake --install build --prefix /usr/local >"$tmp/install.log" ||
  { cat "$tmp/install.log"; exit 1; }
site=$(/usr/bin/python3 -c 'import sys; print("/usr/local/lib/python%d.%d/dist-packages" % sys.version_info[:2])')
main_job "$tmp/local" "$site"

# The outside project is the README's own CMakeLists.txt.
mkdir -p "$tmp/app"
sed -n '/^```cmake$/,/^```$/{/^```/d;p}' README.md >"$tmp/app/CMakeLists.txt"
grep -q 'find_package(velna' "$tmp/app/CMakeLists.txt" || { echo "README.md has no CMake project" >&2; exit 1; }
cp examples/encrypt_bytes.cpp "$tmp/app/"
installed "$tmp/local" '
  cmake -S "$1" -B "$1/build" -G Ninja >"$1/build.log" 2>&1 && ninja -C "$1/build" >>"$1/build.log" 2>&1 ||
    { cat "$1/build.log"; exit 1; }
  "$1/build/encrypt_bytes"' "$tmp/app" >"$tmp/app.out"
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
