#!/bin/sh
# Starts nginx in the foreground on 127.0.0.1:PORT serving DOCROOT, with every
# path of its own (config, pid, logs, temp files) inside DIR.
#   nginx.sh DIR PORT DOCROOT AUTHUSER AUTHPASS [TLSPORT CERT KEY]
# Locations: / files with ranges and keep-alive; /secret/ Basic auth against a
# generated password file; /redir/* redirects configured here. With TLSPORT,
# the same files are also served with TLS on that port.
set -eu
dir=$1 port=$2 root=$3 user=$4 pass=$5
tls=""
if [ $# -ge 8 ]; then
    tls="server { listen 127.0.0.1:$6 ssl; server_name localhost; root $root;
        ssl_certificate $7; ssl_certificate_key $8; ssl_protocols TLSv1.2 TLSv1.3; }"
fi
mkdir -p "$dir/tmp" "$dir/logs"
printf '%s:{PLAIN}%s\n' "$user" "$pass" >"$dir/htpasswd"
cat >"$dir/nginx.conf" <<CONF
user root;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log warn;
events { worker_connections 64; }
http {
    access_log $dir/logs/access.log;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    default_type application/octet-stream;
    types { text/html html htm; text/plain txt; }
    sendfile on;
    keepalive_timeout 30;
    keepalive_requests 1000;
    server {
        listen 127.0.0.1:$port;
        server_name localhost;
        root $root;
        location /secret/ {
            auth_basic "tallowin";
            auth_basic_user_file $dir/htpasswd;
        }
        location = /redir/abs { return 302 http://127.0.0.1:$port/files/small.txt; }
        location = /redir/rel { return 301 /files/small.txt; }
        location = /redir/twice { return 302 /redir/rel; }
        location = /redir/loop { return 302 /redir/loop; }
        location = /echohost { default_type text/plain; return 200 "\$http_host|\$http_range|\$http_if_modified_since|\$http_user_agent"; }
    }
    $tls
}
CONF
exec /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" -g 'daemon off;'
