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

tools/setup.sh
tools/build.sh

export PYTHONPATH="$PWD/build/python"
root="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap cleanup EXIT

options=(--root "$root/store")
if [ -n "$server" ]; then
  /usr/bin/python3 tests/python/keyserver.py --port-file "$root/port" &
  pid=$!
  for _ in $(seq 100); do [ -s "$root/port" ] && break; sleep 0.1; done
  options+=(--server "http://127.0.0.1:$(cat "$root/port")/")
fi

/usr/bin/python3 examples/share_file.py "${options[@]}" "${file[@]}" grant
/usr/bin/python3 examples/share_file.py "${options[@]}" open
