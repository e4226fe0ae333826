#!/usr/bin/env bash
# Account and folders the FTP engine tests and the transfer bench use with vsftpd.
# Idempotent; runs as root.
set -euo pipefail
user=tallowinftp
if ! id "$user" >/dev/null 2>&1; then
    useradd --create-home --shell /bin/bash "$user"
fi
echo "$user:tallowin-test" | chpasswd
# vsftpd's PAM service refuses users listed in /etc/ftpusers and users without a
# listed shell; keep ours out of the first and give it a real shell.
if [[ -f /etc/ftpusers ]] && grep -qx "$user" /etc/ftpusers; then
    sed -i "/^$user\$/d" /etc/ftpusers
fi
usermod --shell /bin/bash "$user"
mkdir -p /var/run/vsftpd/empty
chmod 0755 /var/run/vsftpd/empty
