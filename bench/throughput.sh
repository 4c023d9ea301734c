#!/usr/bin/env bash
# Whole-run throughput of Mailvane beside references, timed side by side in
# one run over the same files:
#   1. Mailvane (Release build) with -dir over the folder, and the same
#      with -thorough (the reading for list cleaning, which may cost at most
#      a tenth more);
#   2. the read floor: bench/read_floor.cc, one process that lists the folder
#      and opens, fstat's, reads to the end and closes each file, nothing
#      more; no program that reads every message can be faster;
#   3. find DIR -type f -exec cat {} + > /dev/null, a shell-level reference
#      (several processes and a pipe; slower than the read floor);
#   4. Sisimai, a well-known bounce parser (Debian's libsisimai-perl);
#   5. Mailvane over one mailbox (mbox) file holding the same messages, each
#      after a From line and followed by an empty line: reading one file must
#      not be slower than reading the folder's files one by one.
# The folder is built by copying the development corpus (its LF and CRLF
# messages) under unique names until it holds at least the wanted number of
# files. After one warm-up run of each, the three are run in turn, round
# after round; the median of each is reported as messages/s and MB/s, with
# the ratios "Mailvane / read floor", "Mailvane / find -exec cat",
# "Mailvane / Sisimai" (of messages per second) and "-thorough / default"
# (of run times), Mailvane's system calls per
# file (strace -c -f over one run, when strace is there) and its peak resident
# memory over the whole folder. With --baseline, a second Mailvane build (say
# of main) is timed in the same rounds, and "Mailvane / baseline" printed.
# Needs ../shared/corpus beside the repository (development only).
#
# Usage: bench/throughput.sh [--runs N] [--files N] [--build-dir DIR]
#   --runs N         timed runs of each after the warm-up (default 5)
#   --files N        at least this many message files (default 20000)
#   --build-dir DIR  the Release build directory to use (default build-bench)
#   --baseline DIR   also time the mailvane binary built in DIR
#   --no-sisimai     leave out the slowest reference
# MAILVANE_CORPUS names another corpus directory.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
runs=5
target_files=20000
build_dir=build-bench
baseline=
with_sisimai=1
while (($#)); do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --files) target_files="$2"; shift 2 ;;
    --build-dir) build_dir="$2"; shift 2 ;;
    --baseline) baseline="$2"; shift 2 ;;
    --no-sisimai) with_sisimai=0; shift ;;
    *) echo "Usage: bench/throughput.sh [--runs N] [--files N] [--build-dir DIR]" \
            "[--baseline DIR] [--no-sisimai]" >&2
       exit 2 ;;
  esac
done
if ! [[ "$runs" =~ ^[1-9][0-9]*$ && "$target_files" =~ ^[1-9][0-9]*$ ]]; then
  echo "--runs and --files take a positive number" >&2
  exit 2
fi
corpus="${MAILVANE_CORPUS:-$repo/../shared/corpus}"
if [ ! -d "$corpus" ]; then
  echo "No corpus at $corpus; set MAILVANE_CORPUS." >&2
  exit 1
fi

source scripts/setup.sh
mailvane_install_missing time findutils coreutils strace
((with_sisimai)) && mailvane_install_missing libsisimai-perl

echo "Building Mailvane (Release) in $build_dir"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target mailvane >/dev/null
mailvane="$repo/$build_dir/mailvane"
case "$build_dir" in /*) mailvane="$build_dir/mailvane" ;; esac

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mailvane-bench-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
c++ -std=c++20 -O2 -o "$scratch/read_floor" bench/read_floor.cc
if [ -n "$baseline" ]; then
  case "$baseline" in /*) baseline_bin="$baseline/mailvane" ;; *) baseline_bin="$repo/$baseline/mailvane" ;; esac
  [ -x "$baseline_bin" ] || { echo "No mailvane in $baseline" >&2; exit 1; }
fi
folder="$scratch/mail"
mkdir "$folder"

# Sources: every message file with LF or CRLF line ends (the CR-only copies
# in maildir/mac are left out; Mailvane reads such a file as one line).
mapfile -t sources < <(find "$corpus" -type f -name '*.eml' ! -path '*/maildir/mac/*' | sort)
if ((${#sources[@]} == 0)); then
  echo "No .eml files under $corpus" >&2
  exit 1
fi
copies=$(( (target_files + ${#sources[@]} - 1) / ${#sources[@]} ))
n=0
for ((c = 0; c < copies; c++)); do
  for src in "${sources[@]}"; do
    printf -v name 'm%06d.eml' "$n"
    cp "$src" "$folder/$name"
    n=$((n + 1))
  done
done
bytes=$(find "$folder" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
# The mailbox: each file in listing order after a From line, and an empty
# line after it (a line feed first where the file lacks a final one).
mailbox="$scratch/mail.mbox"
find "$folder" -type f -print0 | xargs -0 perl -e '
  binmode STDOUT;
  for my $name (@ARGV) {
    open my $in, "<:raw", $name or die "$name: $!";
    local $/; my $text = <$in>;
    $text .= "\n" unless $text =~ /\n\z/;
    print "From MAILER-DAEMON Thu Apr 29 23:34:45 2015\n", $text, "\n";
  }' >"$mailbox"
echo "Folder: $n messages, $bytes bytes (${#sources[@]} corpus files x $copies)"
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); load before:$(uptime | sed 's/.*load average://')"

median() { sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
# Wall-clock seconds of one command, to the nanosecond.
elapsed() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.4f\n", (e - s) / 1e9}'
}

# Console output goes to /dev/null, the rows to a file in the scratch
# directory (outside the scanned folder).
run_mailvane() { "$mailvane" -dir "$folder" -out "$scratch/out.csv" >/dev/null; }
run_thorough() { "$mailvane" -dir "$folder" -out "$scratch/thorough.csv" -thorough >/dev/null; }
run_baseline() { "$baseline_bin" -dir "$folder" -out "$scratch/base.csv" >/dev/null; }
run_readfloor() { "$scratch/read_floor" "$folder" >/dev/null; }
run_findcat() { find "$folder" -type f -exec cat {} + >/dev/null; }
run_mailbox() { "$mailvane" -eml "$mailbox" -out "$scratch/mbox.csv" >/dev/null; }
run_sisimai() { perl -MSisimai -e 'Sisimai->make($ARGV[0])' "$folder" >/dev/null 2>&1; }

# Warm-up: fills the page cache and the tools' own caches. It also checks
# that each one did its work on this folder.
run_mailvane
rows=$(wc -l <"$scratch/out.csv")
echo "Warm-up: Mailvane wrote $rows rows; read floor: $("$scratch/read_floor" "$folder")"
run_findcat
run_thorough
echo "Warm-up: Mailvane -thorough wrote $(wc -l <"$scratch/thorough.csv") rows"
run_mailbox
echo "Warm-up: Mailvane over the mailbox wrote $(wc -l <"$scratch/mbox.csv") rows"
tools=(mailvane thorough readfloor findcat mailbox)
if [ -n "$baseline" ]; then
  run_baseline
  echo "Warm-up: baseline wrote $(wc -l <"$scratch/base.csv") rows"
  tools+=(baseline)
fi
if ((with_sisimai)); then
  sisimai_results=$(perl -MSisimai -e 'my $r = Sisimai->make($ARGV[0]); print scalar(@{$r || []})' "$folder" 2>/dev/null)
  echo "Warm-up: Sisimai gave $sisimai_results results"
  tools+=(sisimai)
fi
declare -A times
for ((r = 1; r <= runs; r++)); do
  line="Run $r/$runs:"
  for tool in "${tools[@]}"; do
    t=$(elapsed "run_$tool")
    times[$tool]+="$t "
    line+=" $tool ${t}s"
  done
  echo "$line"
done

printf '\n%-10s %10s %12s %10s\n' tool "median s" "messages/s" "MB/s"
declare -A med
for tool in "${tools[@]}"; do
  med[$tool]=$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | median)
  awk -v t="$tool" -v s="${med[$tool]}" -v n="$n" -v b="$bytes" \
    'BEGIN {printf "%-10s %10.3f %12.0f %10.1f\n", t, s, n / s, b / s / 1e6}'
done

peak_kb=$(/usr/bin/time -v "$mailvane" -dir "$folder" -out "$scratch/out.csv" 2>&1 >/dev/null |
  awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
echo
ratio() { awk -v m="${med[mailvane]}" -v o="${med[$2]}" -v l="$1" 'BEGIN {printf "Mailvane / %s: %.2f\n", l, o / m}'; }
ratio "read floor" readfloor
ratio "find -exec cat" findcat
# Above 1: the mailbox is read faster than the folder of files.
awk -v m="${med[mailvane]}" -v o="${med[mailbox]}" \
  'BEGIN {printf "Mailvane over one mailbox / over the folder: %.2f\n", m / o}'
[ -n "$baseline" ] && ratio baseline baseline
((with_sisimai)) && ratio Sisimai sisimai
awk -v m="${med[mailvane]}" -v t="${med[thorough]}" 'BEGIN {printf "Mailvane -thorough / default (time): %.3f\n", t / m}'
if command -v strace >/dev/null; then
  strace -c -f -U calls,name -o "$scratch/strace.txt" \
    "$mailvane" -dir "$folder" -out "$scratch/out.csv" >/dev/null
  calls=$(awk '$2 == "total" {print $1}' "$scratch/strace.txt")
  awk -v c="$calls" -v n="$n" 'BEGIN {printf "Mailvane system calls: %d, %.2f per file\n", c, c / n}'
fi
awk -v kb="$peak_kb" 'BEGIN {printf "Mailvane peak resident memory: %.1f MB (%d kB)\n", kb / 1024, kb}'
echo "Load after:$(uptime | sed 's/.*load average://')"
