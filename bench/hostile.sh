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
# Last comes a mailbox (mbox) file of at least 2 GiB of bounces with one
# message of 8 MiB among them, read with -quiet: being read one message at a
# time, it must peak within 64 MiB plus six times its largest message, like
# any single message, whatever the file's size ("within limit" says so).
#
# Usage: bench/hostile.sh [NAME...]   (default: every input, and the mailbox
#   as mailbox-2gb.mbox)
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

with_mailbox=1
if (($#)); then
  names=()
  with_mailbox=0
  for name in "$@"; do
    if [ "$name" = mailbox-2gb.mbox ]; then with_mailbox=1; else names+=("$name"); fi
  done
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
for name in ${names[@]+"${names[@]}"}; do
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

((with_mailbox)) || exit 0
# A bounce of about 1.9 KiB, written 1,150,000 times, with the 8 MiB message
# (a bounce whose returned message is one long run of short lines) halfway.
name=mailbox-2gb.mbox
perl -e '
  binmode STDOUT;
  my $from = "From MAILER-DAEMON Thu Apr 29 23:34:45 2015\n";
  my $body = "This is the mail system.\n\n" . ("550 5.1.1 <user\@example.org>: Recipient address rejected\n" x 30);
  my $large = "Returned text line of a large message, kept as it was\n" x 152000;
  for my $i (1 .. 1150000) {
    print $from, "From: MAILER-DAEMON\@example.org\nTo: list\@example.com\n",
      "Subject: Undelivered Mail Returned to Sender $i\nX-Failed-Recipients: user$i\@example.org\n\n",
      $body, ($i == 575000 ? $large : ""), "\n";
  }' >"$scratch/$name"
bytes=$(stat -c %s "$scratch/$name")
largest=$(awk 'BEGIN {size = 0; most = 0}
  /^From MAILER-DAEMON / && previous == "" { if (size > most) most = size; size = 0 }
  { size += length($0) + 1; previous = $0 }
  END { if (size > most) most = size; print most }' "$scratch/$name")
rm -f "$scratch/out.csv"
(cd "$scratch" && /usr/bin/time -v -o time.txt "$mailvane" -quiet -eml "$name" -out out.csv >console.txt)
seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ {
    n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' \
  "$scratch/time.txt")
peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$scratch/time.txt")
rows=$(grep -c $'\r$' "$scratch/out.csv" || true)
awk -v n="$name" -v b="$bytes" -v s="$seconds" -v k="$peak_kb" -v r="$rows" -v l="$largest" \
  'BEGIN { mib = b / 1048576; limit = 64 + 6 * l / 1048576;
           printf "%-34s %9.2f %9.2f %9.3f %10.1f %7.3f %7d  %s (largest message %.1f MiB, limit %.1f MiB)\n",
             n, mib, s, s / mib, k / 1024, (k * 1024) / b, r,
             (k / 1024 <= limit ? "within limit" : "OVER LIMIT"), l / 1048576, limit }'
tail -n 1 "$scratch/console.txt"
rm -f "$scratch/$name"
