#!/usr/bin/env bash
# Installs what is missing, builds, and runs the example application.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh
tools/build.sh
PYTHONPATH="$PWD/build/python" /usr/bin/python3 examples/encrypt_file.py "$@"
