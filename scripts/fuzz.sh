#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, address and undefined-behaviour
# sanitizers) in build-fuzz when needed and runs each for the given number of
# seconds, one after the other.
#
# Each target's corpus lives in build-fuzz/corpus/TARGET and grows from run to
# run; it is seeded from fuzz/seeds/TARGET, examples/, the kept regression
# inputs in tests/data/fuzz-regressions/TARGET and, when it lies beside the
# repository (development and CI only), ../shared/corpus. Crashing inputs go
# to build-fuzz/artifacts/TARGET/. Exits non-zero when a target found
# something.
#
# Usage: scripts/fuzz.sh TARGET|all SECONDS [extra libFuzzer options...]
#   e.g. scripts/fuzz.sh all 20        scripts/fuzz.sh fuzz_message 600
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

if (($# < 2)); then
  echo "Usage: scripts/fuzz.sh fuzz_message|fuzz_headers|fuzz_reports|fuzz_searches|all SECONDS [libFuzzer options...]" >&2
  exit 2
fi
which=$1
seconds=$2
shift 2

source scripts/setup.sh
mailvane_install_missing clang libclang-rt-14-dev

all_targets=(fuzz_message fuzz_headers fuzz_reports fuzz_searches)
if [ "$which" = all ]; then
  targets=("${all_targets[@]}")
else
  targets=("$which")
fi

# Longest input per target: whole messages need room for several 8192-byte
# blocks; header blocks and report parts are shorter, and single lines for
# the searches shorter still.
declare -A max_len=([fuzz_message]=65536 [fuzz_headers]=16384 [fuzz_reports]=8192
  [fuzz_searches]=2048)

build_dir="${MAILVANE_FUZZ_BUILD_DIR:-build-fuzz}"
# -O1 with assertions kept: fuzzing wants asserts live and stacks readable.
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DMAILVANE_BUILD_FUZZERS=ON \
  -DMAILVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "${targets[@]}"

# Copies every regular file under $1 into $2, named after its path below $1
# so that equal base names from different folders do not collide.
seed_from() {
  local from=$1 to=$2 file name
  [ -d "$from" ] || return 0
  while IFS= read -r -d '' file; do
    name=${file#"$from"/}
    cp -n "$file" "$to/seed-${name//\//-}"
  done < <(find "$from" -type f -print0)
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  if [ -z "${max_len[$target]:-}" ]; then
    echo "Unknown fuzz target: $target" >&2
    exit 2
  fi
  corpus="$build_dir/corpus/$target"
  artifacts="$build_dir/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  seed_from "$repo/fuzz/seeds/$target" "$corpus"
  seed_from "$repo/examples" "$corpus"
  seed_from "$repo/tests/data/fuzz-regressions/$target" "$corpus"
  seed_from "$repo/../shared/corpus" "$corpus"

  echo "== $target for ${seconds}s ($(find "$corpus" -type f | wc -l) corpus files)"
  if ! "$build_dir/fuzz/$target" "$corpus" \
      -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      -timeout=10 -rss_limit_mb=2560 -dict="$repo/fuzz/mail.dict" \
      -artifact_prefix="$artifacts/" -print_final_stats=1 "$@"; then
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "Fuzzing found problems in: ${failed[*]} (inputs in $build_dir/artifacts/)" >&2
  exit 1
fi
echo "Fuzzing found nothing in: ${targets[*]}"
