#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, run and test the server: libsodium for the
# password hashes, the sqlite3 shell the README uses to edit virtual servers, fail2ban to check
# the security log's filter, the MariaDB client library for the MariaDB/MySQL back-end and the
# MariaDB server its tests start privately (with Galera, rsync for a node's state transfer and
# ss to find free ports for the test cluster), chromium and Node for the browser test,
# libsystemd for the service notifications, Qt for the desktop shell with Xvfb, trayer and
# xdpyinfo for its test; nc for the README's query session, promtool (prometheus) to lint the
# metrics page, lintian and dpkg-dev for the Debian packages; ccache so the
# install-from-source test and the sanitizer builds reuse what the first build compiled. Idempotent. Installing needs root: as another user the script asks
# sudo, and only when a package is missing.
set -euo pipefail

packages=(
  build-essential g++ clang libclang-rt-14-dev cmake ninja-build pkg-config ccache
  libsqlite3-dev libsimpleini-dev libicu-dev zlib1g-dev libcpp-httplib-dev libsodium-dev libssl-dev libabsl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  sqlite3 fail2ban
  libmariadb-dev mariadb-server galera-4 rsync iproute2
  chromium nodejs
  libsystemd-dev systemd
  qt6-base-dev xvfb trayer x11-utils
  netcat-openbsd prometheus lintian dpkg-dev
)
# The browser test drives chromium from Node. Debian's nodejs needs its npm package; a Node
# installed from elsewhere may bring npm itself and conflict with Debian's.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "install-deps.sh: run as root to install: ${missing[*]}" >&2
      exit 1
    fi
    as_root=(sudo)
  fi
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
