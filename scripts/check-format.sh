#!/usr/bin/env bash
# Checks that every C++ file in the repository is laid out as .clang-format
# says (Debian 12's clang-format 14); lists the files that are not and exits
# non-zero. With --fix, rewrites them instead. Tables laid out by hand are
# fenced with "// clang-format off" and "// clang-format on".
#
# Usage: scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
mailvane_install_missing clang-format

mapfile -t files < <(git ls-files '*.cc' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if ((${#unformatted[@]})); then
  echo "Not laid out as .clang-format says (fix: scripts/check-format.sh --fix):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "All ${#files[@]} C++ files are formatted."
