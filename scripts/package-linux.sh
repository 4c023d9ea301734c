#!/usr/bin/env bash
# Builds mailvane (Release) and packs it, with its man page, the README and
# the example messages, into a Debian package for /usr:
#   BUILD_DIR/packages/mailvane_<version>_<arch>.deb
# Installs what is missing (dpkg-dev finds the package's dependencies).
# Pass a build directory (default build-package); the tests are not built
# there. Install the result with: apt-get install ./BUILD_DIR/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
mailvane_install_missing dpkg-dev

build_dir="${1:-build-package}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DMAILVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target mailvane
(cd "$build_dir" && cpack -G DEB)
ls -l "$build_dir"/packages/*.deb
