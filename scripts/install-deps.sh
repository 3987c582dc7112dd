#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test the server. Idempotent; run
# as root (or through sudo).
set -euo pipefail

packages=(
  build-essential g++ clang cmake ninja-build pkg-config
  libsqlite3-dev libsimpleini-dev libicu-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
