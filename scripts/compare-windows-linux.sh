#!/usr/bin/env bash
# Runs the Linux build and the Windows build (under Wine) over the same
# folders of messages and checks that both write the same CSV rows, byte for
# byte once the stamps are masked, and print the same per-message report.
# Rows and reports are compared file by file, since the two systems list a
# directory in different orders.
#
# The folders are examples/ and, where it exists (development machines and
# CI only), every folder of ../shared/corpus on its own: file names repeat
# across its folders.
#
# Usage: scripts/compare-windows-linux.sh [LINUX_BUILD_DIR [WINDOWS_BUILD_DIR]]
# (defaults build and build-win; each is configured when it has no cache yet
# and brought up to date). Exits 1 when any folder differs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
mailvane_install_missing g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  wine64

linux_dir="${1:-build}"
windows_dir="${2:-build-win}"
if [ ! -f "$linux_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$linux_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$linux_dir" -j"$(nproc)" --target mailvane >/dev/null
if [ ! -f "$windows_dir/CMakeCache.txt" ]; then
  cmake -S . -B "$windows_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$windows_dir" -j"$(nproc)" --target mailvane >/dev/null

export WINEPREFIX="$PWD/$windows_dir/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=
wine=/usr/lib/wine/wine64
linux_exe="$PWD/$linux_dir/mailvane"
windows_exe="$PWD/$windows_dir/Mailvane.exe"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# CSV rows with the stamp masked, grouped by file name (column 2) with each
# file's rows in their own order. Fails on text that is not a whole row.
rows_by_file() {
  perl -e '
    binmode STDIN; binmode STDOUT;
    local $/; my $csv = <STDIN>; my %rows; my $end = 0;
    my $field = q{"(?:[^"]|"")*"};
    while ($csv =~ /\G"[^"]*"(,$field)((?:,$field){4})\r\n/gc) {
      push @{$rows{$1}}, qq{"MM/DD/YY HH:MM:SS"$1$2\r\n};
      $end = pos($csv);
    }
    die "not a whole row at byte $end\n" if $end != length $csv;
    print @{$rows{$_}} for sort keys %rows;'
}

# The console after the banner, as LF lines with stamps masked and the
# directory cut from each message's path, in blocks of one message each,
# sorted. Windows writes CRLF and "\" to the console.
report_by_file() {
  perl -e '
    binmode STDIN; binmode STDOUT;
    local $/; my $text = <STDIN>;
    $text =~ s/\r\n/\n/g;
    $text =~ s/\A.*?-out filename \[-append\]\n\n//s;
    $text =~ s{^\[\d\d/\d\d/\d\d \d\d:\d\d:\d\d\] }{[stamp] }mg;
    $text =~ s{^(\[stamp\] (?:Parsing eml|Unable to read eml from) ).*[\\/]}{$1}mg;
    print sort split /(?=^\[stamp\] Parsing eml )/m, $text;'
}

folders=("$PWD/examples")
if [ -d ../shared/corpus ]; then
  shared=$(cd ../shared/corpus && pwd)
  while IFS= read -r folder; do
    if [ -n "$(find "$folder" -maxdepth 1 -type f -print -quit)" ]; then
      folders+=("$folder")
    fi
  done < <(find "$shared" -type d | sort)
else
  echo "No ../shared/corpus: comparing examples/ only"
fi

differ=0
for folder in "${folders[@]}"; do
  out="$scratch/out"
  rm -rf "$out" && mkdir "$out"
  "$linux_exe" -dir "$folder" -out "$out/linux.csv" </dev/null >"$out/linux.txt"
  # Z: is the host's root under Wine.
  "$wine" "$windows_exe" -dir "Z:${folder//\//\\}" -out "Z:${out//\//\\}\\windows.csv" \
    </dev/null >"$out/windows.txt"
  for side in linux windows; do
    rows_by_file <"$out/$side.csv" >"$out/$side.rows"
    report_by_file <"$out/$side.txt" >"$out/$side.report"
  done
  files=$(grep -c '^\[stamp\] Parsing eml ' "$out/linux.report" || true)
  rows=$(grep -c $'\r$' "$out/linux.rows" || true)
  if cmp -s "$out/linux.rows" "$out/windows.rows" &&
     cmp -s "$out/linux.report" "$out/windows.report"; then
    echo "same:   $folder ($files files, $rows rows)"
  else
    differ=$((differ + 1))
    echo "DIFFER: $folder ($files files, $rows rows)"
    diff "$out/linux.rows" "$out/windows.rows" | head -20 || true
    diff "$out/linux.report" "$out/windows.report" | head -20 || true
  fi
done
echo "${#folders[@]} folders compared, $differ differ"
[ "$differ" -eq 0 ]
