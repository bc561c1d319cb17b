#!/usr/bin/env bash
# The HTTP client channel against libcurl's easy interface, one run:
# keep-alive GETs to a local nginx on one reused connection, and connection
# set-ups through the peer rig's dante (SOCKS5, no auth) to the same nginx.
# Ratios are client / libcurl (rate: above 1 is faster; CPU: above 1 costs
# more). CPU is the whole bench process's (all threads) per request.
#
#   bench/http_client_bench.sh [path/to/rt_http_client_bench]   (default build/default/bench/...)
#   N=20000 M=1000 NGINX_PORT=18162 bench/http_client_bench.sh
#
# Needs nginx and curl; the SOCKS part needs the rig running
# (../shared/peers/start_peers.sh, or a ctest run's fixture) and is skipped
# with a note otherwise.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/default/bench/rt_http_client_bench}
N=${N:-20000}
M=${M:-1000}
NGINX_PORT=${NGINX_PORT:-18162}
PEERS=${RT_PEERS_DIR:-$ROOT/../shared/peers}

die() { echo "http_client_bench: $*" >&2; exit 1; }
[[ -x $BIN ]] || die "no executable at $BIN (build the target rt_http_client_bench)"
. "$ROOT/scripts/install-packages.sh"
install_missing nginx-light curl libcurl4-openssl-dev || die "package installation failed"
export PATH=$PATH:/usr/sbin

TMP=$(mktemp -d)
NGX_PID=
cleanup() {
    [[ -n $NGX_PID ]] && kill "$NGX_PID" 2>/dev/null && wait "$NGX_PID" 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT

mkdir -p "$TMP/tmp"
cat >"$TMP/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $TMP/nginx.pid;
error_log $TMP/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    keepalive_requests 1000000;
    client_body_temp_path $TMP/tmp;
    server {
        listen 127.0.0.1:$NGINX_PORT;
        location / { default_type text/plain; return 200 'rtpeers open ok\n'; }
    }
}
CONF
[[ -z $(ss -ltnH "sport = :$NGINX_PORT") ]] || die "port $NGINX_PORT is in use (set NGINX_PORT)"
nginx -p "$TMP" -c "$TMP/nginx.conf" -e "$TMP/error.log" </dev/null >"$TMP/out.txt" 2>&1 &
NGX_PID=$!
for ((i = 0; i < 50; i++)); do
    curl -sf -o /dev/null "http://127.0.0.1:$NGINX_PORT/" && break
    sleep 0.1
done

SOCKS=
if [[ -f $PEERS/ports.env ]]; then
    SOCKS=$(sed -n 's/^SOCKS_NOAUTH=\([0-9]*\).*/\1/p' "$PEERS/ports.env")
    if ! curl -sf -o /dev/null --socks5 "127.0.0.1:$SOCKS" "http://127.0.0.1:$NGINX_PORT/"; then
        echo "http_client_bench: dante is not answering on $SOCKS (start the rig): SOCKS part skipped"
        SOCKS=
    fi
fi
echo "nginx $(nginx -v 2>&1 | sed 's/.*\///'), libcurl $(curl-config --version | cut -d' ' -f2), $(nproc) cores," \
    "load $(cut -d' ' -f1-3 /proc/loadavg), N=$N M=$M"
XDG_DATA_HOME=$TMP "$BIN" "$NGINX_PORT" ${SOCKS:-0} "$N" "$M"
