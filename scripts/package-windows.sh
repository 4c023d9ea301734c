#!/usr/bin/env bash
# Cross-builds Mailvane.exe (Release, statically linked) and packs it with
# the README and the example messages into a zip:
#   BUILD_DIR/packages/Mailvane-<version>-win64.zip
# Installs what is missing. Pass a build directory (default
# build-win-package); the tests are not built there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
mailvane_install_missing g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64

build_dir="${1:-build-win-package}"
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DMAILVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target mailvane
(cd "$build_dir" && cpack -G ZIP)
ls -l "$build_dir"/packages/*.zip
