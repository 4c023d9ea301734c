#!/usr/bin/env bash
# Installs the Debian 12 packages Mailvane needs to build and test, only
# those that are missing. Sourced by the other scripts; run as root.
set -euo pipefail

mailvane_packages=(g++ make cmake libboost-regex1.81-dev googletest libgtest-dev
                   libbenchmark-dev)

mailvane_install_missing() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

mailvane_install_missing "${mailvane_packages[@]}"
