#!/usr/bin/env bash
# HTTP load on loopback: ZVAppLdrSvc against nginx serving the same body,
# both measured with wrk in the same run, once per log setting.
#
#   bench/http_load.sh [path/to/ZVAppLdrSvc]   (default build/default/app/ZVAppLdrSvc)
#   DUR=10 bench/http_load.sh                   seconds per wrk run (default 5, at most 12)
#   NGINX_PORT=18161                            nginx's port on 127.0.0.1
#
# Needs wrk, nginx, curl, flock and python3. Port 5161 and the service's
# instance lock are shared on this machine, so the service only runs while
# /tmp/zv-port5161.lock is held for 8 x DUR seconds per log setting, which
# DUR <= 12 keeps within about 2 minutes.
# Ratios are service / nginx: below 1 is slower for req/s, above 1 is worse
# for p99, CPU and RSS.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SVC_BIN=${1:-$ROOT/build/default/app/ZVAppLdrSvc}
DUR=${DUR:-5}
NGINX_PORT=${NGINX_PORT:-18161}
LOCK=/tmp/zv-port5161.lock
SVC_URL=http://127.0.0.1:5161/
NGX_URL=http://127.0.0.1:$NGINX_PORT/
SCENARIOS=(close50 ka1 ka50 ka500)

die() { echo "http_load: $*" >&2; exit 1; }
[[ $DUR =~ ^[0-9]+$ && $DUR -ge 1 && $DUR -le 12 ]] || die "DUR must be 1..12 (the port lock is held ~8 x DUR)"
[[ -x $SVC_BIN ]] || die "no executable at $SVC_BIN"
. "$ROOT/scripts/install-packages.sh"
install_missing wrk nginx-light curl util-linux python3 time iproute2 || die "package installation failed"
export PATH=$PATH:/usr/sbin  # nginx
for t in wrk nginx curl flock python3 /usr/bin/time; do command -v "$t" >/dev/null || die "$t not found"; done

# 500 connections need ~1000 descriptors on each side.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
(( $(ulimit -n) >= 2048 )) || die "ulimit -n is $(ulimit -n), need 2048"

TMP=$(mktemp -d /tmp/http_load.XXXXXX)
chmod 755 "$TMP"   # nginx workers run as nobody
RES=$TMP/results
mkdir -p "$RES" "$TMP/svc" "$TMP/nginx"
SVC_PID='' FLOCK_PID='' NGX_PID='' WRK_PID=''
TICK=$(getconf CLK_TCK)

stop_pid() {  # pid, seconds to wait before SIGKILL
    local pid=$1 i
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < $2 * 10; i++)); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    echo "http_load: pid $pid ignored SIGTERM, killing" >&2
    kill -KILL "$pid" 2>/dev/null || true
}
cleanup() {
    # WRK_PID is /usr/bin/time, which does not pass signals on to wrk.
    [[ -n $WRK_PID ]] && stop_pid "$(pgrep -P "$WRK_PID" | head -1)" 1
    stop_pid "$WRK_PID" 1
    stop_pid "$SVC_PID" 10
    stop_pid "$FLOCK_PID" 2   # still waiting for the lock if the service never started
    stop_pid "$NGX_PID" 5
    wait 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

LOG_EW='^\$[0-9 :.]+ [0-9]+ (ERROR|WARN):'
# ERROR/WARN lines and bytes the service logged since log_mark: only the new
# bytes of each file are read, the default log grows by hundreds of MB. The
# log cycles through ten files, truncating the oldest, so a file that shrank
# is new.
log_mark() { wc -c "$TMP"/svc/logs/* 2>/dev/null | grep -v ' total$' >"$TMP/svc/mark" || true; }
log_new() {
    local f off
    for f in "$TMP"/svc/logs/*; do
        off=$(awk -v f="$f" '$2 == f { print $1 }' "$TMP/svc/mark")
        (( ${off:-0} <= $(stat -c %s "$f") )) || off=0
        tail -c +$((${off:-0} + 1)) "$f"
    done | LC_ALL=C awk '{ b += length($0) + 1 } $4 == "ERROR:" || $4 == "WARN:" { n++ } END { print n + 0, b + 0 }'
}
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
svc_diag() {
    echo "--- service stdout/stderr:"; cat "$TMP/svc/out.txt" "$TMP/svc/err.txt" 2>/dev/null
    echo "--- log tail:"; tail -n 20 "$(ls -t "$TMP"/svc/logs/* 2>/dev/null | head -1)" 2>/dev/null || true
}

# Copies the service beside a config.ini with the given [LOG] lines and starts
# it under the port lock.
start_svc() {
    local i
    cp "$SVC_BIN" "$TMP/svc/ZVAppLdrSvc"
    rm -rf "$TMP/svc/logs" "$TMP/svc/pid"
    { echo "[LOG]"; echo "LOG_DIR=$TMP/svc/logs"; printf '%s\n' "$@"; } >"$TMP/svc/config.ini"
    (cd "$TMP/svc" && exec flock -w 600 "$LOCK" bash -c "./ZVAppLdrSvc -d & echo \$! >pid; wait \$!") \
        </dev/null >"$TMP/svc/out.txt" 2>"$TMP/svc/err.txt" &
    FLOCK_PID=$!
    while [[ ! -s $TMP/svc/pid ]]; do
        kill -0 "$FLOCK_PID" 2>/dev/null || die "could not take $LOCK"; sleep 0.1
    done
    SVC_PID=$(cat "$TMP/svc/pid")
    for ((i = 0; i < 100; i++)); do
        kill -0 "$SVC_PID" 2>/dev/null || { svc_diag; die "the service exited at start"; }
        curl -sf -o /dev/null "$SVC_URL" && break; sleep 0.1
    done
    # Someone ignoring the lock could own the port: make sure it is ours.
    [[ $(ss -ltnpH 'sport = :5161') == *"pid=$SVC_PID,"* ]] || { svc_diag; die "port 5161 is not the service's"; }
}
stop_svc() {
    stop_pid "$SVC_PID" 10
    wait "$FLOCK_PID" 2>/dev/null || true
    SVC_PID='' FLOCK_PID=''
}

start_nginx() {  # body file
    local body i
    body=$(<"$1")
    [[ $body != *'$'* ]] || die "the body has a '\$', which nginx would expand"
    body=${body//\\/\\\\}; body=${body//\'/\\\'}
    mkdir -p "$TMP/nginx/tmp"
    cat >"$TMP/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $TMP/nginx/nginx.pid;
error_log $TMP/nginx/error.log warn;
worker_rlimit_nofile 65536;
events { worker_connections 4096; }
http {
    access_log off;
    keepalive_requests 1000000;
    client_body_temp_path $TMP/nginx/tmp;
    server {
        listen 127.0.0.1:$NGINX_PORT backlog=1024;
        location / { default_type application/javascript; return 200 '$body'; }
    }
}
EOF
    [[ -z $(ss -ltnH "sport = :$NGINX_PORT") ]] || die "port $NGINX_PORT is in use (set NGINX_PORT)"
    nginx -p "$TMP/nginx" -c "$TMP/nginx/nginx.conf" -e "$TMP/nginx/error.log" </dev/null \
        >"$TMP/nginx/out.txt" 2>&1 &
    NGX_PID=$!
    for ((i = 0; i < 50; i++)); do
        kill -0 "$NGX_PID" 2>/dev/null || { cat "$TMP/nginx/out.txt" "$TMP/nginx/error.log"; die "nginx exited"; }
        curl -sf -o /dev/null "$NGX_URL" && break; sleep 0.1
    done
    NGX_WORKER=$(pgrep -P "$NGX_PID" | head -1)
    [[ -n $NGX_WORKER ]] || die "nginx has no worker"
}

# One wrk run against pid's server; results go to $RES/<setting>/<scenario>.<server>.*
run_wrk() {  # setting scenario server pid url
    local out=$RES/$1/$2.$3 pid=$4 url=$5 args c0 rss=0 r
    case $2 in
        ka1) args=(-t1 -c1) ;; ka50) args=(-t1 -c50) ;; ka500) args=(-t2 -c500) ;;
        close50) args=(-t1 -c50 -H 'Connection: close') ;;
    esac
    [[ $3 == svc ]] && log_mark
    c0=$(cpu_ticks "$pid")
    /usr/bin/time -f '%U %S %e' -o "$out.time" wrk "${args[@]}" -d "${DUR}s" --latency "$url" >"$out.wrk" 2>&1 &
    WRK_PID=$!
    while kill -0 "$WRK_PID" 2>/dev/null; do
        r=$(rss_kb "$pid" 2>/dev/null) && ((r > rss)) && rss=$r
        sleep 0.2
    done
    wait "$WRK_PID" || echo "wrk exited $? ($1 $2 $3)" >>"$RES/failures"
    WRK_PID=''
    kill -0 "$pid" 2>/dev/null || { echo "== $3 died in $1 $2"; cat "$out.wrk"; svc_diag; die "$3 died"; }
    echo "$(($(cpu_ticks "$pid") - c0)) $TICK $rss" >"$out.cpu"
    [[ $3 == svc ]] && sleep 1 && log_new >"$out.log"   # the main thread logs the last closes late
    printf '  %-8s %-6s %s\n' "$2" "$3" "$(grep -E 'Requests/sec' "$out.wrk" | tr -s ' ')"
}

bench_setting() {  # name, [LOG] lines...
    local name=$1 s; shift
    mkdir -p "$RES/$name"
    echo "== log setting: $name"
    start_svc "$@"
    if [[ -z $NGX_PID ]]; then
        curl -sf -D "$TMP/svc.head" -o "$TMP/body" "$SVC_URL" || die "no answer from the service"
        start_nginx "$TMP/body"
        curl -sf -D "$TMP/nginx.head" "$NGX_URL" | cmp -s - "$TMP/body" || die "nginx serves a different body"
    fi
    echo "$(rss_kb "$SVC_PID") $(rss_kb "$NGX_WORKER")" >"$RES/$name/idle_rss"
    # Warm both up so the first scenario does not pay for first-touch allocation.
    wrk -t1 -c50 -d1s "$SVC_URL" >/dev/null; wrk -t1 -c50 -d1s "$NGX_URL" >/dev/null
    for s in "${SCENARIOS[@]}"; do
        run_wrk "$name" "$s" svc "$SVC_PID" "$SVC_URL"
        run_wrk "$name" "$s" nginx "$NGX_WORKER" "$NGX_URL"
    done
    du -sb "$TMP/svc/logs" | cut -f1 >"$RES/$name/log_bytes"
    { cat "$TMP"/svc/logs/* 2>/dev/null | grep -acE "$LOG_EW" || true; } >"$RES/$name/log_errwarn"
    { grep -ahE "$LOG_EW" "$TMP"/svc/logs/* 2>/dev/null | cut -d' ' -f4- \
        | sed 's/0x[0-9a-f]*/0x../g; s/\(m_dwSize\|m_Tid\)=[0-9]*/\1=N/g' | sort | uniq -c | sort -rn | head -6 || true; } \
        >"$RES/$name/log_errwarn_top"
    cat "$TMP/svc/out.txt" "$TMP/svc/err.txt" >"$RES/$name/svc_output"
    stop_svc
}

echo "service: $SVC_BIN   DUR=${DUR}s   nginx $(nginx -v 2>&1 | sed 's/.*\///')   $(nproc) cores   load $(cut -d' ' -f1-3 /proc/loadavg)"
bench_setting defaults
bench_setting warn_and_error LOG_LEVEL_2=false LOG_LEVEL_3=false LOG_LEVEL_4=false LOG_LEVEL_5=false
echo "response heads: service $(wc -c <"$TMP/svc.head") bytes, nginx $(wc -c <"$TMP/nginx.head") bytes, body $(wc -c <"$TMP/body") bytes"

python3 - "$RES" "$DUR" <<'EOF'
import os, re, sys
res, dur = sys.argv[1], float(sys.argv[2])
UNIT = {'us': 1, 'ms': 1e3, 's': 1e6}

def wrk(path):
    t = open(path).read()
    g = lambda pat, d=0: float(m.group(1)) if (m := re.search(pat, t)) else d
    p99 = re.search(r'^\s+99%\s+([\d.]+)(us|ms|s)\b', t, re.M)
    sock = re.search(r'connect (\d+), read (\d+), write (\d+), timeout (\d+)', t)
    return {'rps': g(r'Requests/sec:\s+([\d.]+)'), 'req': g(r'(\d+) requests in'),
            'p99': float(p99.group(1)) * UNIT[p99.group(2)] if p99 else float('nan'),
            'err': '/'.join(sock.groups()) if sock else '0/0/0/0', 'non2xx': int(g(r'Non-2xx or 3xx responses: (\d+)'))}

def run(setting, scen, server):
    base = f'{res}/{setting}/{scen}.{server}'
    r = wrk(base + '.wrk')
    ticks, hz, rss = map(int, open(base + '.cpu').read().split())
    u, s, e = map(float, open(base + '.time').read().split()[-3:])
    if os.path.exists(base + '.log'):
        r['logew'], r['logbytes'] = map(int, open(base + '.log').read().split())
    r.update(cpu_us=ticks / hz * 1e6 / r['req'] if r['req'] else float('nan'),
             srv_pct=ticks / hz / dur * 100, wrk_pct=(u + s) / e * 100, rss=rss)
    return r

ratio = lambda a, b: f'{a / b:.2f}' if b else '-'
num = lambda v: f'{v:.0f}' if v >= 100 else f'{v:.1f}'
THREADS = {'ka500': 2}
for setting in sorted(os.listdir(res), key=lambda n: n != 'defaults'):
    d = f'{res}/{setting}'
    if not os.path.isdir(d):
        continue
    print(f'\n=== log: {setting}   (ratio = service / nginx; errors = connect/read/write/timeout, non-2xx)')
    print(f"{'scenario':9}{'req/s svc':>11}{'nginx':>9}{'ratio':>7} |{'p99us svc':>10}{'nginx':>8}{'ratio':>7} |"
          f"{'CPUus/req svc':>14}{'nginx':>7}{'ratio':>7} |{'srv CPU% svc':>13}{'ngx':>5} |{'wrk CPU% svc':>13}{'ngx':>5} |"
          f" errors svc ; nginx | svc log E/W")
    for scen in ('ka1', 'ka50', 'ka500', 'close50'):
        a, b = run(setting, scen, 'svc'), run(setting, scen, 'nginx')
        sat = lambda r: '*' if r['wrk_pct'] >= 90 * THREADS.get(scen, 1) else ' '
        err = lambda r: f"{r['err']},{r['non2xx']}"
        print(f"{scen:9}{a['rps']:11.0f}{b['rps']:9.0f}{ratio(a['rps'], b['rps']):>7} |"
              f"{num(a['p99']):>10}{num(b['p99']):>8}{ratio(a['p99'], b['p99']):>7} |"
              f"{a['cpu_us']:14.1f}{b['cpu_us']:7.1f}{ratio(a['cpu_us'], b['cpu_us']):>7} |"
              f"{a['srv_pct']:13.0f}{b['srv_pct']:5.0f} |{a['wrk_pct']:12.0f}{sat(a)}{b['wrk_pct']:4.0f}{sat(b)} |"
              f" {err(a)} ; {err(b)} | {a['logew']}")
    i_svc, i_ngx = map(int, open(f'{d}/idle_rss').read().split())
    p_svc, p_ngx = run(setting, 'ka500', 'svc')['rss'], run(setting, 'ka500', 'nginx')['rss']
    print(f'RSS KiB (nginx: worker)  idle: svc {i_svc}, nginx {i_ngx}, ratio {ratio(i_svc, i_ngx)}'
          f'   |  500 conn max: svc {p_svc}, nginx {p_ngx}, ratio {ratio(p_svc, p_ngx)}')
    runs = [run(setting, s, 'svc') for s in ('ka1', 'ka50', 'ka500', 'close50')]
    lb = sum(r['logbytes'] for r in runs)
    print(f"service log: {lb / 1e6:.1f} MB written in the runs ({lb / max(sum(r['req'] for r in runs), 1):.0f} B/request); "
          f"{int(open(f'{d}/log_bytes').read()) / 1e6:.1f} MB left, with "
          f"{open(f'{d}/log_errwarn').read().strip() or 0} ERROR/WARN lines, most frequent:")
    for line in open(f'{d}/log_errwarn_top'):
        print('   ', line.rstrip())
    out = open(f'{d}/svc_output').read().strip()
    if out:
        print('service stdout/stderr:', out.replace('\n', ' | ')[:300])
print('\n* = wrk used >= 90% of its threads\' cores: the client is the limit there, compare CPU us/request.')
if os.path.exists(f'{res}/failures'):
    print('wrk failures:\n' + open(f'{res}/failures').read()); sys.exit(1)
EOF
