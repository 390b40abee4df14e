#!/usr/bin/env bash
# Fails when a C++ source of the tree deviates from .clang-format; every
# source under core/, python/, tests/, bench/, examples/ and fuzz/ is held to it,
# new ones included. Fix with: clang-format -i FILE...
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(find core python tests bench examples fuzz -type f \
  \( -name '*.cpp' -o -name '*.h' \) -not -path '*/build*' | sort)
clang-format --dry-run -Werror "${files[@]}"
