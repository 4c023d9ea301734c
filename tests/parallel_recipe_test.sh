#!/usr/bin/env bash
# The README's recipe for many folders at once: GNU parallel runs one
# Mailvane per folder, each into an output file of its own, and the files
# are concatenated. Over the development corpus (../shared/corpus, on
# development machines and in CI only) the concatenated rows must equal those
# of a single -recursive run over the same folders: sorted, with the stamps
# masked and the single run's column 2 cut to the path below each folder, as
# each job names its rows.
#
# Usage: tests/parallel_recipe_test.sh MAILVANE_EXE. Exits 77 (skipped) when
# the corpus or GNU parallel is missing.
set -euo pipefail
mailvane=$(realpath "$1")
corpus="$(dirname "$0")/../../shared/corpus/maildir"
if [ ! -d "$corpus" ]; then
  echo "skipped: no corpus at $corpus"
  exit 77
fi
if ! command -v parallel >/dev/null; then
  echo "skipped: GNU parallel is not installed"
  exit 77
fi
corpus=$(realpath "$corpus")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# The recipe, as the README writes it.
mkdir -p rows
find "$corpus" -mindepth 1 -maxdepth 1 -type d |
  parallel -j "$(nproc)" "$mailvane" -quiet -dir {} -recursive -out rows/{#}.csv >jobs.log
cat rows/*.csv >bounces.csv

"$mailvane" -quiet -dir "$corpus" -recursive -out single.csv >single.log

mask() { sed -E 's#^"[^"]*"#"STAMP"#' "$1" | sort; }
# The single run names bsd/x.eml where the job over bsd names x.eml.
cut_folder() { sed -E 's#^("[^"]*",")[^/"]*/#\1#' "$1" | mask /dev/stdin; }
jobs=$(grep -c 'Read [0-9]* messages' jobs.log)
rows=$(wc -l <bounces.csv)
if [ "$rows" -eq 0 ] || ! cmp -s <(mask bounces.csv) <(cut_folder single.csv); then
  echo "FAILED: the jobs' rows differ from the single run's"
  diff <(mask bounces.csv) <(cut_folder single.csv) | head -n 20
  exit 1
fi
echo "parallel recipe: $jobs jobs wrote the $rows rows of the single run"
