#!/usr/bin/env bash
# The system account the SOCKS tests log in with: dante's username method
# checks user name and password against the system's accounts. Idempotent.
# Keep in step with kSocksUser / kSocksPassword in tests/support/socks_peers.hpp.
set -euo pipefail
user=tallowinsocks
pass='Socks-Test-Pass-7'
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
if ! id -u "$user" >/dev/null 2>&1; then
    $sudo useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
fi
echo "$user:$pass" | $sudo chpasswd
