#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy (bug-prone code, performance,
# functions of at most 70 lines) over every source file under src/ that the
# Linux build compiles, and the headers they include from src/, with every
# finding an error. A finding that is right to leave carries a NOLINT comment
# saying why, where it is. Installs clang-tidy when missing; CI runs it.
#
# Usage: scripts/check-tidy.sh [BUILD_DIR]   (default build-tidy; configured
# only, nothing is built)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
mailvane_install_missing clang-tidy

build_dir="${1:-build-tidy}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DMAILVANE_BUILD_TESTS=OFF \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# .clang-tidy makes every finding an error, so that clang-tidy fails on it.
run-clang-tidy -p "$build_dir" -quiet -j "$(nproc)" \
  "$PWD/src/.*\\.cc\$" >"$build_dir/tidy.log" 2>&1 || {
  grep -E "(warning|error):" "$build_dir/tidy.log" | sort -u
  echo "clang-tidy: findings above (full log: $build_dir/tidy.log)"
  exit 1
}
echo "clang-tidy: no findings in src/"
