# Sourced by scripts that need a real web server on 127.0.0.1.
#
#   start_nginx <work dir> <document root>
#
# Starts nginx in the foreground of a background job with its own configuration in <work dir>,
# on a free port of 127.0.0.1, and waits until it answers. Sets NGINX_PORT and NGINX_PID;
# stop_nginx ends it. The caller's EXIT trap should call stop_nginx.

start_nginx() {
    local work=$1 www=$2
    mkdir -p "$work/tmp" "$www"
    NGINX_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    uwsgi_temp_path $work/tmp/uwsgi;
    scgi_temp_path $work/tmp/scgi;
    types { application/json json; application/octet-stream bin pkg; }
    server {
        listen 127.0.0.1:$NGINX_PORT;
        root $www;
    }
}
CONF
    nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf" -g 'daemon off;' &
    NGINX_PID=$!
    local _
    for _ in $(seq 50); do
        curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/" && return 0
        sleep 0.1
    done
    echo "nginx did not start (see $work/error.log)" >&2
    return 1
}

stop_nginx() {
    [ -n "${NGINX_PID:-}" ] || return 0
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    NGINX_PID=
}
