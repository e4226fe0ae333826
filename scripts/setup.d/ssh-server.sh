#!/usr/bin/env bash
# The SFTP tests start their own sshd; the system's service stays off, and
# sshd's privilege separation folder is there for them. Idempotent; runs as root.
set -euo pipefail
if command -v systemctl >/dev/null 2>&1 && [[ -d /run/systemd/system ]]; then
    systemctl disable --now ssh.service ssh.socket >/dev/null 2>&1 || true
elif [[ -x /etc/init.d/ssh ]]; then
    /etc/init.d/ssh stop >/dev/null 2>&1 || true
    update-rc.d ssh disable >/dev/null 2>&1 || true
fi
mkdir -p /run/sshd
chmod 0755 /run/sshd
