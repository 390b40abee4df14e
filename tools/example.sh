#!/usr/bin/env bash
# Installs what is missing, builds, and runs the example application: two
# users share an encrypted file. The first process registers both users and
# shares the file as the first; a second process opens it as the second user,
# so nothing passes between them but the files of the local store.
#
#   tools/example.sh [--server] [FILE]
#
# --server keeps the accounts on the test key server (started on 127.0.0.1
# for the run) instead of the local store.
#
# It installs (tools/setup.sh) and builds (tools/build.sh package) only what
# the package and the example need, with apt's and the compiler's output in
# build/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

server=""
file=()
for arg in "$@"; do
  case "$arg" in
    --server) server=1 ;;
    *) file=(--file "$arg") ;;
  esac
done

groups=(package)
[ -z "$server" ] || groups+=(keyserver)
tools/setup.sh "${groups[@]}"
tools/build.sh package

export PYTHONPATH="$PWD/build/python"
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT

options=(--root "$root/store")
if [ -n "$server" ]; then
  # The test key server prints its port, then serves until its input closes.
  coproc KEYSERVER { exec /usr/bin/python3 tests/python/keyserver.py; }
  read -r port <&"${KEYSERVER[0]}"
  options+=(--server "http://127.0.0.1:$port/" --api-key test-api-key)
fi

/usr/bin/python3 examples/share_file.py "${options[@]}" "${file[@]}" grant
/usr/bin/python3 examples/share_file.py "${options[@]}" open
