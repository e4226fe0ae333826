#!/bin/sh
# Starts tinyproxy in the foreground on 127.0.0.1:PORT with a generated
# config inside DIR; with USER and PASS it requires Basic proxy authentication.
#   tinyproxy.sh DIR PORT [USER PASS]
set -eu
dir=$1 port=$2
mkdir -p "$dir"
{
    echo "Port $port"
    echo "Listen 127.0.0.1"
    echo "Timeout 60"
    echo "MaxClients 20"
    echo "Allow 127.0.0.1"
    echo "LogFile \"$dir/tinyproxy.log\""
    echo "LogLevel Info"
    echo "PidFile \"$dir/tinyproxy.pid\""
    echo "DisableViaHeader Yes"
    if [ $# -ge 4 ]; then echo "BasicAuth $3 $4"; fi
} >"$dir/tinyproxy.conf"
exec tinyproxy -d -c "$dir/tinyproxy.conf"
