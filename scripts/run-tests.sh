#!/usr/bin/env bash
# Installs what is missing, builds Mailvane with its tests (Release) and runs
# every test. Pass a build directory and extra CMake options to build a
# variant, e.g.: scripts/run-tests.sh build-asan -DMAILVANE_SANITIZE=address,undefined
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
# GNU parallel for the test of the README's recipe for many folders.
mailvane_install_missing parallel

build_dir="${1:-build}"
shift || true
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DMAILVANE_BUILD_TESTS=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
