#!/usr/bin/env bash
# System calls the service makes per request under keep-alive load: wrk
# against the running service while strace (every call, by name; slows the
# service down) and perf (tracepoint counts; barely slows it) watch all of
# its threads, one wrk run each.
#
#   bench/syscalls_per_request.sh [path/to/ZVAppLdrSvc]  (default build/release/app/ZVAppLdrSvc)
#   DUR=5 CONNS=50 bench/syscalls_per_request.sh         seconds per run, wrk connections
#
# The service logs only ERROR and WARN, as in bench/http_load.sh. Port 5161
# and the instance lock are shared on this machine: the service runs only
# while /tmp/zv-port5161.lock is held.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SVC_BIN=${1:-$ROOT/build/release/app/ZVAppLdrSvc}
DUR=${DUR:-5}
CONNS=${CONNS:-50}
LOCK=/tmp/zv-port5161.lock
URL=http://127.0.0.1:5161/

die() { echo "syscalls_per_request: $*" >&2; exit 1; }
[[ $DUR =~ ^[0-9]+$ && $DUR -ge 1 && $DUR -le 30 ]] || die "DUR must be 1..30"
[[ -x $SVC_BIN ]] || die "no executable at $SVC_BIN"
. "$ROOT/scripts/install-packages.sh"
install_missing wrk strace curl util-linux iproute2 || die "package installation failed"
command -v perf >/dev/null || echo "syscalls_per_request: perf not found, strace only" >&2
ulimit -n 65536 2>/dev/null || true

TMP=$(mktemp -d /tmp/syscalls_per_request.XXXXXX)
SVC_PID='' FLOCK_PID='' TRACER=''
cleanup() {
    [[ -n $TRACER ]] && kill -INT "$TRACER" 2>/dev/null || true
    if [[ -n $SVC_PID ]] && kill -0 "$SVC_PID" 2>/dev/null; then
        kill -TERM "$SVC_PID"
        for _ in $(seq 100); do kill -0 "$SVC_PID" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$SVC_PID" 2>/dev/null || true
    fi
    [[ -n $FLOCK_PID ]] && { kill "$FLOCK_PID" 2>/dev/null || true; wait "$FLOCK_PID" 2>/dev/null || true; }
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cp "$SVC_BIN" "$TMP/ZVAppLdrSvc"
printf '%s\n' "[LOG]" "LOG_DIR=$TMP/logs" LOG_LEVEL_2=false LOG_LEVEL_3=false LOG_LEVEL_4=false LOG_LEVEL_5=false \
    >"$TMP/config.ini"
(cd "$TMP" && exec flock -w 600 "$LOCK" bash -c './ZVAppLdrSvc -d & echo $! >pid; wait $!') \
    </dev/null >"$TMP/out.txt" 2>&1 &
FLOCK_PID=$!
while [[ ! -s $TMP/pid ]]; do kill -0 "$FLOCK_PID" 2>/dev/null || die "could not take $LOCK"; sleep 0.1; done
SVC_PID=$(cat "$TMP/pid")
for _ in $(seq 100); do curl -sf -o /dev/null "$URL" && break; sleep 0.1; done
[[ $(ss -ltnpH 'sport = :5161') == *"pid=$SVC_PID,"* ]] || { cat "$TMP/out.txt"; die "port 5161 is not the service's"; }
wrk -t1 -c"$CONNS" -d1s "$URL" >/dev/null   # warm-up

requests() { sed -nE 's/^ *([0-9]+) requests in.*/\1/p' "$1"; }

echo "service: $SVC_BIN   wrk -t1 -c$CONNS -d${DUR}s   $(nproc) cores   load $(cut -d' ' -f1-3 /proc/loadavg)"

# strace: calls by name for every thread.
strace -c -f -q -p "$SVC_PID" -o "$TMP/strace.txt" &
TRACER=$!
sleep 1   # attached to every thread
wrk -t1 -c"$CONNS" -d"${DUR}s" "$URL" >"$TMP/wrk-strace.txt"
kill -INT "$TRACER"; wait "$TRACER" 2>/dev/null || true; TRACER=''
n=$(requests "$TMP/wrk-strace.txt")
echo "== strace -c -f: $n requests"
awk -v n="$n" '$1 ~ /^[0-9.]+$/ && NF >= 5 {
        name = $NF; calls = $4
        if (name == "total") { total = calls; next }
        printf "  %-16s %10d calls  %6.2f /request\n", name, calls, calls / n
    }
    END { printf "  %-16s %10d calls  %6.2f /request\n", "TOTAL", total, total / n }' "$TMP/strace.txt" | sort -k4 -rn

if command -v perf >/dev/null; then
    events=raw_syscalls:sys_enter
    for c in epoll_ctl epoll_wait futex read write recvfrom readv sendmsg sendto ioctl poll; do
        events+=",syscalls:sys_enter_$c"
    done
    perf stat -x, -e "$events" -p "$SVC_PID" -o "$TMP/perf.txt" &
    TRACER=$!
    sleep 0.5
    wrk -t1 -c"$CONNS" -d"${DUR}s" "$URL" >"$TMP/wrk-perf.txt"
    kill -INT "$TRACER"; wait "$TRACER" 2>/dev/null || true; TRACER=''
    n=$(requests "$TMP/wrk-perf.txt")
    echo "== perf stat: $n requests ($(sed -nE 's/^Requests\/sec: *//p' "$TMP/wrk-perf.txt") req/s)"
    awk -F, -v n="$n" '$1 ~ /^[0-9]+$/ {
            name = $3; sub(/^(raw_)?syscalls:sys_enter_?/, "", name); if (name == "") name = "ALL"
            printf "  %-16s %10d calls  %6.2f /request\n", name, $1, $1 / n
        }' "$TMP/perf.txt"
fi
