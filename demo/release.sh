# A release of the sample client as a vendor publishes it, for the demos (sourced, not run):
#   make_release_key <host bin dir> <work dir>
# makes the vendor's key pair <work>/release.key with solrelease and sets public_key (the key for
# PublicKey in solupdate.ini);
#   publish_release <host bin dir> <work dir> <version>
# makes, from <work>/release-1.0.0.0 and <work>/release-<version>, an incremental and a full package
# with mkhpatch, writes the update description that offers them, signs it with that key, and
# serves <work>/www from nginx on a free port of 127.0.0.1. It sets base (the server's address)
# and nginx_pid.

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

make_release_key() {
    public_key="$("$1/solrelease" keygen "$2/release.key" | sed -n 's/^PublicKey=//p')"
    [ -n "$public_key" ] || { echo "solrelease keygen gave no public key" >&2; return 1; }
}

publish_release() {
    local bin="$1" work="$2" version="$3"
    local port
    mkdir -p "$work/www/packages" "$work/nginx"
    "$bin/mkhpatch" "$work/release-1.0.0.0" "$work/release-$version" "$work/www/packages/client-1.0.0.0-$version.pkg"
    "$bin/mkhpatch" --full "$work/release-$version" "$work/www/packages/client-$version-full.pkg"
    ls -l "$work/www/packages" | sed 's/^/  /'

    port="$(free_port)"
    base="http://127.0.0.1:$port"
    cat > "$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/body; proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi; uwsgi_temp_path $work/nginx/uwsgi; scgi_temp_path $work/nginx/scgi;
  types { application/json json; text/html html; }
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/www; }
}
EOF
    cat > "$work/www/update.json" <<EOF
{
  "strategy": { "force": false },
  "config": {
    "name": "sample client",
    "version": "$version",
    "title": "Sample client $version",
    "content": { "cn": "示例客户端 $version：更快，更稳。", "en": "Sample client $version: faster and steadier." },
    "product_url": "$base/index.html",
    "expires": "$(date -u -d '+30 days' +%Y-%m-%dT%H:%M:%SZ)",
    "package": {
      "upgrade_packages": [
        { "download_url": "$base/packages/client-1.0.0.0-$version.pkg", "version_required": "1.0.0.0" }
      ],
      "full_package": { "download_url": "$base/packages/client-$version-full.pkg" }
    }
  }
}
EOF
    echo "<html><body>Sample client downloads</body></html>" > "$work/www/index.html"

    "$bin/solrelease" hash "$work/www/update.json" "$work/www/packages"
    "$bin/solrelease" sign "$work/release.key" "$work/www/update.json"
    "$bin/solrelease" verify "$public_key" "$work/www/update.json" | sed 's/^/  /'
    echo "  public key (PublicKey in solupdate.ini): $public_key"
    python3 - "$work/www/update.json" <<'EOF'
import json, sys
package = json.load(open(sys.argv[1], encoding="utf-8"))["config"]["package"]
for entry in package["upgrade_packages"] + [package["full_package"]]:
    print("  %s: %d bytes, sha256 %s" % (entry["download_url"].rsplit("/", 1)[1], entry["size"], entry["sha256"]))
EOF
    /usr/sbin/nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
    nginx_pid=$!
    for _ in $(seq 100); do curl -sf -o /dev/null "$base/update.json" && break; sleep 0.1; done
    # Another server on the port (a parallel run took it too) must not pass for this one.
    if ! kill -0 "$nginx_pid" 2> /dev/null || ! curl -sf -o /dev/null "$base/update.json"; then
        echo "nginx did not serve $work/www" >&2
        kill "$nginx_pid" 2> /dev/null || true
        return 1
    fi
    echo "  serving $work/www at $base"
}

# What the master received over its local socket, one message a line, its payload unfolded.
print_master_messages() {
    python3 - "$1" <<'EOF'
import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    message = json.loads(line)
    print("   ", json.dumps(message, ensure_ascii=False))
    payload = json.loads(message.get("data", "{}"))
    for key, value in payload.items():
        print("      %s: %s" % (key, json.dumps(value, ensure_ascii=False)))
EOF
}
