#!/usr/bin/env bash
# Fails when a C++ source file differs from what clang-format makes of it
# under the project's .clang-format.
# Usage: check-format.sh <source dir>
set -euo pipefail
cd "$1"
find src tests fuzz bench -name '*.cpp' -o -name '*.h' | sort |
  xargs clang-format --dry-run -Werror
echo "formatting is consistent"
