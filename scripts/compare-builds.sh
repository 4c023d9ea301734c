#!/usr/bin/env bash
# Runs two Mailvane executables over the same folders of messages and checks
# that they write the same CSV rows and print the same console text, byte for
# byte once the stamps are masked, and end with the same exit status. Used to
# show that a change which is not about results leaves every row as it was:
# build the tree before the change somewhere, then
#
#   scripts/compare-builds.sh OLD_EXE NEW_EXE [OPTION...]
#
# The OPTIONs (say -thorough) are given to NEW_EXE only, to see what an
# option changes. The folders are examples/ and, where it exists
# (development machines and CI only), every folder of ../shared/corpus on
# its own, since file names repeat across its folders. Prints one line per
# folder that differs and a count; exits 1 when any folder differs.
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -ge 2 ] || { echo "usage: $0 OLD_EXE NEW_EXE [OPTION...]" >&2; exit 2; }
old_exe=$(realpath "$1")
new_exe=$(realpath "$2")
shift 2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Stamps in rows ("MM/DD/YY HH:MM:SS" as the first field) and on console
# lines ("[MM/DD/YY HH:MM:SS] ") are masked; the banner's build number is
# left alone, both builds print their own.
mask() {
  sed -E 's#^"[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"#"STAMP"#;
          s#^\[[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\] #[STAMP] #' "$1"
}

folders=("$PWD/examples")
if [ -d ../shared/corpus ]; then
  while IFS= read -r folder; do
    if [ -n "$(find "$folder" -maxdepth 1 -type f -print -quit)" ]; then
      folders+=("$folder")
    fi
  done < <(find "$(cd ../shared/corpus && pwd)" -type d | sort)
fi

differ=0
for folder in "${folders[@]}"; do
  status_old=0
  status_new=0
  "$old_exe" -dir "$folder" -out "$scratch/old.csv" >"$scratch/old.log" || status_old=$?
  "$new_exe" -dir "$folder" -out "$scratch/new.csv" "$@" >"$scratch/new.log" || status_new=$?
  # The banner's first line names the build; everything after it is compared.
  if ! cmp -s <(mask "$scratch/old.csv") <(mask "$scratch/new.csv") ||
    ! cmp -s <(mask "$scratch/old.log" | tail -n +2) <(mask "$scratch/new.log" | tail -n +2) ||
    [ "$status_old" != "$status_new" ]; then
    differ=$((differ + 1))
    echo "DIFFER: $folder (exit $status_old / $status_new)"
    diff <(mask "$scratch/old.csv") <(mask "$scratch/new.csv") | head -n 20 || true
  fi
done
echo "${#folders[@]} folders compared, $differ differ"
[ "$differ" -eq 0 ]
