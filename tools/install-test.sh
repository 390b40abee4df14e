#!/usr/bin/env bash
# install-test.sh: makes the Debian packages of the builds in build/ (the
# machine's own architecture) and, when it exists, build-armhf/ (armhf), then
# unpacks the native one into a temporary root and imports every module of
# the package from there, checking that each module and each of our shared
# libraries come from that root and not from a build tree. The armhf package is imported the
# same way under qemu when tools/armhf-test.sh has made its wrappers.
set -euo pipefail
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

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

native=$(pkg build)
echo "== package $(basename "$native")"
dpkg-deb -x "$native" "$tmp/native"
import_all /usr/bin/python3 "$tmp/native"

if [ -d build-armhf ]; then
  armhf=$(pkg build-armhf)
  echo "== package $(basename "$armhf")"
  dpkg-deb -x "$armhf" "$tmp/armhf"
  if [ -x build-armhf/qemu/python3 ]; then
    import_all "$PWD/build-armhf/qemu/python3" "$tmp/armhf"
  fi
fi
