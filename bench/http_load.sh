#!/usr/bin/env bash
# HTTP load on loopback: ZVAppLdrSvc against nginx serving the same body,
# both measured with wrk in the same run, once per log setting.
#
#   bench/http_load.sh [path/to/ZVAppLdrSvc]   (default build/default/app/ZVAppLdrSvc)
#   DUR=10 bench/http_load.sh                   seconds per wrk run (default 5, at most 12)
#   NGINX_PORT=18161                            nginx's port on 127.0.0.1
#
# Needs wrk, nginx, curl, flock, perf and python3. Port 5161 and the
# service's instance lock are shared on this machine, so the service only runs
# while /tmp/zv-port5161.lock is held for about 8 x (DUR + 1) seconds per log
# setting, which DUR <= 12 keeps within about 2 minutes.
# Ratios are service / nginx: below 1 is slower for req/s, above 1 is worse
# for p99, CPU, RSS, system calls and context switches.
#
# First table per log setting: req/s and p99 latency from wrk; "CPUus/req" is
# the serving process's user + system CPU (all its threads; nginx: its one
# worker) divided by the requests wrk completed; "srv CPU%" the same per second
# of the run; "wrk CPU%" the client's (a "*" marks a saturated client).
# Second table, same runs, per request:
#   syscalls/req   system calls entered by the serving process, all threads,
#                  counted by perf on the raw_syscalls:sys_enter tracepoint
#                  (strace -c -f if perf cannot: then the servers run slower
#                  and the first table's figures are not the real ones);
#   vol.cs/req     voluntary context switches, summed over
#                  /proc/PID/task/*/status: the server blocked (waited);
#   invol.cs/req   involuntary ones: it was runnable and lost its core;
#   log lines/req  lines the service wrote to its log during the run.
# Counting system calls costs every process on the machine a little on each
# call, wrk and both servers alike, while it runs.
# Last, "aims": the targets for the WARN-only log, keep-alive with 50 and 500
# connections, the default log against WARN-only, and one request per
# connection, each with its measured value and met/missed. The idle
# wake-ups are measured by bench/idle_wakeups.sh.
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
[[ $DUR =~ ^[0-9]+$ && $DUR -ge 1 && $DUR -le 12 ]] || die "DUR must be 1..12 (the port lock is held ~8 x (DUR + 1) s per log setting)"
[[ -x $SVC_BIN ]] || die "no executable at $SVC_BIN"
. "$ROOT/scripts/install-packages.sh"
install_missing wrk nginx-light curl util-linux python3 time iproute2 linux-perf || die "package installation failed"
export PATH=$PATH:/usr/sbin  # nginx
for t in wrk nginx curl flock python3 /usr/bin/time; do command -v "$t" >/dev/null || die "$t not found"; done
# System calls are counted by perf on a tracepoint (hardware counters are not
# needed); where perf cannot, strace counts them, which slows the servers.
SC_TOOL=perf
if ! perf stat -e raw_syscalls:sys_enter -x, -o /dev/null true >/dev/null 2>&1; then
    install_missing strace || die "package installation failed"
    command -v strace >/dev/null || die "neither perf nor strace can count system calls"
    SC_TOOL=strace
    echo "http_load: perf cannot count raw_syscalls:sys_enter here: strace -c -f counts the system calls," \
        "and the servers run slower under it (req/s, p99 and CPU are not the real figures)" >&2
fi

# 500 connections need ~1000 descriptors on each side.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
(( $(ulimit -n) >= 2048 )) || die "ulimit -n is $(ulimit -n), need 2048"

TMP=$(mktemp -d /tmp/http_load.XXXXXX)
chmod 755 "$TMP"   # nginx workers run as nobody
RES=$TMP/results
mkdir -p "$RES" "$TMP/svc" "$TMP/nginx"
SVC_PID='' FLOCK_PID='' NGX_PID='' WRK_PID='' SC_PID=''
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
    [[ -n $SC_PID ]] && kill -INT "$SC_PID" 2>/dev/null
    stop_pid "$SC_PID" 2
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
    done | LC_ALL=C awk '{ b += length($0) + 1 } $4 == "ERROR:" || $4 == "WARN:" { n++ } END { print n + 0, b + 0, NR }'
}
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
# Voluntary and involuntary context switches of all of pid's threads.
ctx_switches() {
    { cat /proc/"$1"/task/*/status 2>/dev/null || true; } \
        | awk '/^voluntary_ctxt_switches/ { v += $2 } /^nonvoluntary_ctxt_switches/ { n += $2 } END { print v + 0, n + 0 }'
}
# Counts the system calls of pid (all its threads) into file until sc_stop.
# perf starts with its counter off and acknowledges turning it on, so the
# count covers exactly the time between sc_start and sc_stop.
sc_start() {  # pid file
    local a
    if [[ $SC_TOOL == perf ]]; then
        rm -f "$TMP/perf.ctl" "$TMP/perf.ack"; mkfifo "$TMP/perf.ctl" "$TMP/perf.ack"
        perf stat --per-thread -D -1 --control "fifo:$TMP/perf.ctl,$TMP/perf.ack" -e raw_syscalls:sys_enter \
            -p "$1" -x, -o "$2" </dev/null 2>"$2.err" &
        SC_PID=$!
        exec 7<>"$TMP/perf.ctl" 8<>"$TMP/perf.ack"
        echo enable >&7
        read -r -t 30 -u 8 a && [[ $a == ack ]] || { cat "$2.err" >&2; die "perf did not start counting"; }
    else
        strace -c -f -p "$1" -o "$2" </dev/null 2>"$2.err" &
        SC_PID=$!
        for ((a = 0; a < 100; a++)); do grep -q attached "$2.err" && break; sleep 0.1; done
    fi
}
sc_stop() {
    local a
    if [[ $SC_TOOL == perf ]]; then
        echo disable >&7
        read -r -t 30 -u 8 a || echo "perf did not acknowledge the end of a count" >>"$RES/failures"
        exec 7>&- 8>&-
    fi
    kill -INT "$SC_PID" 2>/dev/null || true
    wait "$SC_PID" 2>/dev/null || true
    SC_PID=''
}
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
    local out=$RES/$1/$2.$3 pid=$4 url=$5 args c0 cs0 rss=0 r
    case $2 in
        ka1) args=(-t1 -c1) ;; ka50) args=(-t1 -c50) ;; ka500) args=(-t2 -c500) ;;
        close50) args=(-t1 -c50 -H 'Connection: close') ;;
    esac
    [[ $3 == svc ]] && log_mark
    ls "/proc/$pid/task" | wc -l >"$out.threads"
    sc_start "$pid" "$out.sys"
    c0=$(cpu_ticks "$pid") cs0=$(ctx_switches "$pid")
    /usr/bin/time -f '%U %S %e' -o "$out.time" wrk "${args[@]}" -d "${DUR}s" --latency "$url" >"$out.wrk" 2>&1 7>&- 8>&- &
    WRK_PID=$!
    while kill -0 "$WRK_PID" 2>/dev/null; do
        r=$(rss_kb "$pid" 2>/dev/null) && ((r > rss)) && rss=$r
        sleep 0.2
    done
    wait "$WRK_PID" || echo "wrk exited $? ($1 $2 $3)" >>"$RES/failures"
    WRK_PID=''
    kill -0 "$pid" 2>/dev/null || { echo "== $3 died in $1 $2"; cat "$out.wrk"; svc_diag; die "$3 died"; }
    echo "$(($(cpu_ticks "$pid") - c0)) $TICK $rss" >"$out.cpu"
    echo "$cs0 $(ctx_switches "$pid")" >"$out.cs"
    sc_stop
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

echo "service: $SVC_BIN   DUR=${DUR}s   nginx $(nginx -v 2>&1 | sed 's/.*\///')   $(nproc) cores   load $(cut -d' ' -f1-3 /proc/loadavg)   system calls: $SC_TOOL"
bench_setting defaults
bench_setting warn_and_error LOG_LEVEL_2=false LOG_LEVEL_3=false LOG_LEVEL_4=false LOG_LEVEL_5=false
echo "response heads: service $(wc -c <"$TMP/svc.head") bytes, nginx $(wc -c <"$TMP/nginx.head") bytes, body $(wc -c <"$TMP/body") bytes"

python3 - "$RES" "$DUR" "$SC_TOOL" <<'EOF'
import math, os, re, sys
res, dur, sc_tool = sys.argv[1], float(sys.argv[2]), sys.argv[3]
UNIT = {'us': 1, 'ms': 1e3, 's': 1e6}
NAN = float('nan')
SCENARIOS = ('ka1', 'ka50', 'ka500', 'close50')
WARN_ONLY, DEFAULT = 'warn_and_error', 'defaults'

def wrk(path):
    t = open(path).read()
    g = lambda pat, d=0: float(m.group(1)) if (m := re.search(pat, t)) else d
    p99 = re.search(r'^\s+99%\s+([\d.]+)(us|ms|s)\b', t, re.M)
    sock = re.search(r'connect (\d+), read (\d+), write (\d+), timeout (\d+)', t)
    return {'rps': g(r'Requests/sec:\s+([\d.]+)'), 'req': g(r'(\d+) requests in'),
            'p99': float(p99.group(1)) * UNIT[p99.group(2)] if p99 else NAN,
            'err': '/'.join(sock.groups()) if sock else '0/0/0/0', 'non2xx': int(g(r'Non-2xx or 3xx responses: (\d+)'))}

def syscalls(path):
    """(system calls, threads counted) from perf stat --per-thread -x, or strace -c."""
    n, threads = 0, 0
    try:
        text = open(path).read()
    except OSError:
        return NAN, 0
    for line in text.splitlines():
        f = line.split(',')
        if sc_tool == 'perf' and len(f) > 3 and f[3] == 'raw_syscalls:sys_enter':
            threads += 1
            n += int(f[1]) if f[1].isdigit() else 0
        elif sc_tool == 'strace' and line.split() and line.split()[-1] == 'total':
            n, threads = int(line.split()[3]), -1
    return (n if threads else NAN), threads

def run(setting, scen, server, cache={}):
    key = (setting, scen, server)
    if key in cache:
        return cache[key]
    base = f'{res}/{setting}/{scen}.{server}'
    r = wrk(base + '.wrk')
    ticks, hz, rss = map(int, open(base + '.cpu').read().split())
    u, s, e = map(float, open(base + '.time').read().split()[-3:])
    v0, n0, v1, n1 = map(int, open(base + '.cs').read().split())
    r['logew'] = r['logbytes'] = r['loglines'] = 0
    if os.path.exists(base + '.log'):
        r['logew'], r['logbytes'], r['loglines'] = map(int, open(base + '.log').read().split())
    sc, r['sc_threads'] = syscalls(base + '.sys')
    r['threads'] = int(open(base + '.threads').read())
    per = lambda v: v / r['req'] if r['req'] else NAN
    r.update(cpu_us=per(ticks / hz * 1e6), srv_pct=ticks / hz / dur * 100, wrk_pct=(u + s) / e * 100, rss=rss,
             sc=per(sc), vcs=per(v1 - v0), ivcs=per(n1 - n0), lines=per(r['loglines']))
    cache[key] = r
    return r

ratio = lambda a, b: f'{a / b:.2f}' if b and not math.isnan(a) and not math.isnan(b) else '-'
num = lambda v: f'{v:.0f}' if v >= 100 else f'{v:.1f}'
small = lambda v: '-' if math.isnan(v) else f'{v:.0f}' if v >= 100 else f'{v:.2f}' if v >= 0.1 or v == 0 else f'{v:.3f}'
THREADS = {'ka500': 2}
settings = [n for n in sorted(os.listdir(res), key=lambda n: n != DEFAULT) if os.path.isdir(f'{res}/{n}')]
for setting in settings:
    d = f'{res}/{setting}'
    print(f'\n=== log: {setting}   (ratio = service / nginx; errors = connect/read/write/timeout, non-2xx)')
    print(f"{'scenario':9}{'req/s svc':>11}{'nginx':>9}{'ratio':>7} |{'p99us svc':>10}{'nginx':>8}{'ratio':>7} |"
          f"{'CPUus/req svc':>14}{'nginx':>7}{'ratio':>7} |{'srv CPU% svc':>13}{'ngx':>5} |{'wrk CPU% svc':>13}{'ngx':>5} |"
          f" errors svc ; nginx | svc log E/W")
    for scen in SCENARIOS:
        a, b = run(setting, scen, 'svc'), run(setting, scen, 'nginx')
        sat = lambda r: '*' if r['wrk_pct'] >= 90 * THREADS.get(scen, 1) else ' '
        err = lambda r: f"{r['err']},{r['non2xx']}"
        print(f"{scen:9}{a['rps']:11.0f}{b['rps']:9.0f}{ratio(a['rps'], b['rps']):>7} |"
              f"{num(a['p99']):>10}{num(b['p99']):>8}{ratio(a['p99'], b['p99']):>7} |"
              f"{a['cpu_us']:14.1f}{b['cpu_us']:7.1f}{ratio(a['cpu_us'], b['cpu_us']):>7} |"
              f"{a['srv_pct']:13.0f}{b['srv_pct']:5.0f} |{a['wrk_pct']:12.0f}{sat(a)}{b['wrk_pct']:4.0f}{sat(b)} |"
              f" {err(a)} ; {err(b)} | {a['logew']}")
    print(f"{'per req':9}{'syscalls svc':>13}{'nginx':>7}{'ratio':>7} |{'vol.cs svc':>11}{'nginx':>7}{'ratio':>7} |"
          f"{'invol.cs svc':>13}{'nginx':>7}{'ratio':>7} |{'log lines svc':>14}")
    for scen in SCENARIOS:
        a, b = run(setting, scen, 'svc'), run(setting, scen, 'nginx')
        print(f"{scen:9}{small(a['sc']):>13}{small(b['sc']):>7}{ratio(a['sc'], b['sc']):>7} |"
              f"{small(a['vcs']):>11}{small(b['vcs']):>7}{ratio(a['vcs'], b['vcs']):>7} |"
              f"{small(a['ivcs']):>13}{small(b['ivcs']):>7}{ratio(a['ivcs'], b['ivcs']):>7} |{small(a['lines']):>14}")
    if sc_tool == 'perf':
        counted = sorted({(run(setting, s, 'svc')['sc_threads'], run(setting, s, 'svc')['threads']) for s in SCENARIOS})
        print('system calls: perf counted ' + ', '.join(f'{c} of the service\'s {t} threads' for c, t in counted)
              + ' (nginx: its worker)')
    else:
        print('system calls: strace -c -f (all threads); the servers ran slower under it')
    i_svc, i_ngx = map(int, open(f'{d}/idle_rss').read().split())
    p_svc, p_ngx = run(setting, 'ka500', 'svc')['rss'], run(setting, 'ka500', 'nginx')['rss']
    print(f'RSS KiB (nginx: worker)  idle: svc {i_svc}, nginx {i_ngx}, ratio {ratio(i_svc, i_ngx)}'
          f'   |  500 conn max: svc {p_svc}, nginx {p_ngx}, ratio {ratio(p_svc, p_ngx)}')
    runs = [run(setting, s, 'svc') for s in SCENARIOS]
    lb = sum(r['logbytes'] for r in runs)
    nreq = max(sum(r['req'] for r in runs), 1)
    print(f"service log: {lb / 1e6:.1f} MB, {sum(r['loglines'] for r in runs)} lines written in the runs "
          f"({lb / nreq:.0f} B, {sum(r['loglines'] for r in runs) / nreq:.2f} lines/request); "
          f"{int(open(f'{d}/log_bytes').read()) / 1e6:.1f} MB left, with "
          f"{open(f'{d}/log_errwarn').read().strip() or 0} ERROR/WARN lines, most frequent:")
    for line in open(f'{d}/log_errwarn_top'):
        print('   ', line.rstrip())
    out = open(f'{d}/svc_output').read().strip()
    if out:
        print('service stdout/stderr:', out.replace('\n', ' | ')[:300])
print('\n* = wrk used >= 90% of its threads\' cores: the client is the limit there, compare CPU us/request.')

# The aims: each with its measured value and whether it is met.
if WARN_ONLY in settings and DEFAULT in settings:
    rows = []
    def aim(scen, what, value, limit, ok, note=''):
        met = 'met' if ok else 'missed' if not math.isnan(value) else 'n/a'
        rows.append((scen, what, value, limit, met, note))
    for scen in ('ka50', 'ka500'):
        a, b = run(WARN_ONLY, scen, 'svc'), run(WARN_ONLY, scen, 'nginx')
        r = lambda x, y: x / y if y else NAN
        v = r(a['cpu_us'], b['cpu_us']); aim(scen, 'WARN-only: CPU/request, x nginx', v, '<= 1.2', v <= 1.2)
        v = r(a['rps'], b['rps']); aim(scen, 'WARN-only: req/s, x nginx', v, '>= 0.8', v >= 0.8)
        v = a['sc']; aim(scen, 'WARN-only: system calls/request', v, '<= 3', v <= 3)
        v = r(a['p99'], b['p99']); aim(scen, 'WARN-only: p99 latency, x nginx', v, '<= 1', v <= 1)
    for scen in ('ka50', 'ka500'):
        w, dflt = run(WARN_ONLY, scen, 'svc'), run(DEFAULT, scen, 'svc')
        v = dflt['cpu_us'] / w['cpu_us'] if w['cpu_us'] else NAN
        aim(scen, 'default log: CPU/request, x WARN-only', v, '<= 1.25', v <= 1.25)
        lim = w['sc'] + dflt['lines']
        aim(scen, 'default log: system calls/request', dflt['sc'], f'<= {lim:.2f}', dflt['sc'] <= lim,
            f"WARN-only {w['sc']:.2f} + {dflt['lines']:.2f} log lines")
    for setting, name in ((WARN_ONLY, 'WARN-only'), (DEFAULT, 'default log')):
        a, b = run(setting, 'close50', 'svc'), run(setting, 'close50', 'nginx')
        v = a['rps'] / b['rps'] if b['rps'] else NAN
        aim('close50', f'{name}: req/s, x nginx', v, '>= 1', v >= 1)
    print(f'\n=== aims (DUR={dur:.0f}s, one run each: noisy)')
    print(f"{'scenario':9}{'measure':40}{'value':>8}  {'aim':<9}{'':7}")
    for scen, what, value, limit, met, note in rows:
        print(f"{scen:9}{what:40}{'-' if math.isnan(value) else f'{value:.3g}':>8}  {limit:<9}{met:7}{'  (' + note + ')' if note else ''}")
    print(f"{'idle':9}{'wake-ups/s, natively and under Wine':40}{'':>8}  {'< 1':<9}see bench/idle_wakeups.sh")
    if sc_tool != 'perf':
        print('(system calls counted with strace: the servers ran slower, so the CPU, req/s and p99 aims are not judged fairly)')
if os.path.exists(f'{res}/failures'):
    print('wrk failures:\n' + open(f'{res}/failures').read()); sys.exit(1)
EOF
