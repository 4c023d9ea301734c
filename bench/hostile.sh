#!/usr/bin/env bash
# Time and peak memory of Mailvane (Release build) on each hostile input of
# tests/hostile/hostile_inputs.h: the inputs the hostile-input tests check
# and the one that reaches a regex library limit. Each input is generated in a
# scratch directory, run alone with "-eml INPUT -out out.csv" under
# /usr/bin/time -v, and removed again.
#
# Prints per input: its size, the wall-clock time, seconds per MiB, the peak
# resident set size and its ratio to the input size (a run over an empty
# message gives the fixed part, printed first), the rows written and
# whether the message was analysed or given up ("Unable to analyse eml").
#
# Usage: bench/hostile.sh [NAME...]   (default: every input)
#   MAILVANE_BUILD_DIR  the Release build directory to use (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

source scripts/setup.sh
mailvane_install_missing time

build_dir="${MAILVANE_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target mailvane >/dev/null
mailvane="$repo/$build_dir/mailvane"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mailvane-hostile-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
c++ -std=c++20 -O2 -I"$repo/tests" -o "$scratch/hostile_gen" bench/hostile_gen.cc

if (($#)); then
  names=("$@")
else
  mapfile -t names < <("$scratch/hostile_gen" --list)
fi

echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)," \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
: >"$scratch/empty.eml"
(cd "$scratch" && /usr/bin/time -v -o time.txt "$mailvane" -eml empty.eml -out out.csv >/dev/null)
echo "Peak resident size of a run over an empty message: $(awk -F': ' \
  '/Maximum resident set size/ {printf "%.1f MiB", $2 / 1024}' "$scratch/time.txt")"
printf '%-34s %9s %9s %9s %10s %7s %7s  %s\n' \
  input MiB seconds "s/MiB" "peak MiB" "x size" rows outcome
for name in "${names[@]}"; do
  "$scratch/hostile_gen" "$scratch" "$name" >/dev/null
  bytes=$(stat -c %s "$scratch/$name")
  rm -f "$scratch/out.csv"
  (cd "$scratch" && /usr/bin/time -v -o time.txt "$mailvane" -eml "$name" -out out.csv >console.txt)
  seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' \
    "$scratch/time.txt")
  peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$scratch/time.txt")
  rows=$(grep -c $'\r$' "$scratch/out.csv" || true)
  if grep -q "Unable to analyse eml" "$scratch/console.txt"; then
    outcome="given up: $(grep -o 'Unable to analyse eml [^(]*(.\{0,40\}' "$scratch/console.txt" |
      sed 's/.*(//')..."
  else
    outcome=analysed
  fi
  awk -v n="$name" -v b="$bytes" -v s="$seconds" -v k="$peak_kb" -v r="$rows" -v o="$outcome" \
    'BEGIN { mib = b / 1048576; printf "%-34s %9.2f %9.2f %9.3f %10.1f %7.1f %7d  %s\n",
             n, mib, s, s / mib, k / 1024, (k * 1024) / b, r, o }'
  rm -f "$scratch/$name"
done
