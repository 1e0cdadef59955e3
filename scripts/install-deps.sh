#!/usr/bin/env bash
# Installs everything needed to build and test the manager on a fresh Debian machine.
# Run as root; safe to run again: it only calls apt-get when a package is missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config clang-format
  libgtest-dev googletest libbenchmark-dev
  libzthread-dev libtinyxml-dev libminizip-dev zlib1g-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
