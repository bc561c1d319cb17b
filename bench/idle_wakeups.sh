#!/usr/bin/env bash
# Wake-ups of the idle service: no traffic, no timer due. Starts the service
# in the console (-d) from a temporary folder with its own config.ini and log
# folder, waits until it answers and SETTLE seconds more, then counts the
# voluntary context switches of each of its threads over SECS seconds. A
# thread that blocks and is woken again counts one voluntary switch, so
# voluntary switches per second are its wake-ups per second.
#
#   bench/idle_wakeups.sh [path/to/ZVAppLdrSvc]            native (default build/default/app/ZVAppLdrSvc)
#   bench/idle_wakeups.sh --wine [path/to/ZVAppLdrSvc.exe]  the Windows build under Wine
#                                                          (default build/mingw/app/ZVAppLdrSvc.exe)
#   SECS=10 SETTLE=2                                       counting window and wait before it, in seconds
#
# Under Wine the .exe is a Linux process (wine64-preloader) whose threads are
# counted the same way. Wine's server and its helper processes (services.exe,
# explorer.exe, ...) are not the service: their wake-ups are printed apart.
# A wait inside Wine can take more than one switch (a round trip to
# wineserver blocks too), so under Wine the count is an upper bound.
# The Wine prefix is <build dir of the .exe>/wineprefix (scripts/setup-wine.sh),
# or $WINEPREFIX when set.
#
# Columns: "wake-ups/s" is voluntary switches per second, "preempted/s"
# involuntary ones (the thread was runnable and lost the core; not a wake-up).
# The aim is fewer than 1 wake-up per second for the whole service.
#
# Port 5161 and the instance lock are shared on this machine: the service
# only runs while /tmp/zv-port5161.lock is held (about SETTLE + SECS + 5 s).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECS=${SECS:-10}
SETTLE=${SETTLE:-2}
LOCK=/tmp/zv-port5161.lock
SVC_URL=http://127.0.0.1:5161/

die() { echo "idle_wakeups: $*" >&2; exit 1; }
WINE=0
if [[ ${1:-} == --wine ]]; then
    WINE=1
    SVC_BIN=${2:-$ROOT/build/mingw/app/ZVAppLdrSvc.exe}
else
    [[ ${1:-} != -* ]] || die "usage: idle_wakeups.sh [--wine] [executable]"
    SVC_BIN=${1:-$ROOT/build/default/app/ZVAppLdrSvc}
fi
[[ $SECS =~ ^[0-9]+$ && $SECS -ge 1 && $SECS -le 60 ]] || die "SECS must be 1..60"
[[ $SETTLE =~ ^[0-9]+$ && $SETTLE -le 60 ]] || die "SETTLE must be 0..60"
[[ -f $SVC_BIN ]] || die "no executable at $SVC_BIN"
SVC_BIN=$(realpath "$SVC_BIN")

. "$ROOT/scripts/install-packages.sh"
pkgs=(curl util-linux iproute2 procps)
((WINE)) && pkgs+=(wine64)
install_missing "${pkgs[@]}" || die "package installation failed"
for t in curl flock ss; do command -v "$t" >/dev/null || die "$t not found"; done

if ((WINE)); then
    if [[ -z ${WINEPREFIX:-} ]]; then
        dir=$(dirname "$SVC_BIN")
        while [[ $dir != / && ! -f $dir/CMakeCache.txt ]]; do dir=$(dirname "$dir"); done
        [[ -f $dir/CMakeCache.txt ]] || dir=$ROOT/build/mingw
        WINEPREFIX=$dir/wineprefix
    fi
    export WINEPREFIX
    # Made before taking the lock: a new prefix takes seconds.
    "$ROOT/scripts/setup-wine.sh" || die "could not set up the Wine prefix $WINEPREFIX"
fi

TMP=$(mktemp -d /tmp/idle_wakeups.XXXXXX)
mkdir -p "$TMP/svc"
SVC_PID='' FLOCK_PID=''

stop_pid() {  # pid, seconds to wait before SIGKILL
    local pid=$1 i
    [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for ((i = 0; i < $2 * 10; i++)); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    echo "idle_wakeups: pid $pid ignored SIGTERM, killing" >&2
    kill -KILL "$pid" 2>/dev/null || true
}
cleanup() {
    stop_pid "$SVC_PID" 10
    stop_pid "$FLOCK_PID" 5   # still waiting for the lock if the service never started
    wait 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
svc_diag() {
    echo "--- service output:"; cat "$TMP/svc/out.txt" 2>/dev/null
    echo "--- log tail:"; tail -n 20 "$(ls -t "$TMP"/svc/logs/* 2>/dev/null | head -1)" 2>/dev/null || true
}

# The service's copy, its config.ini and its log folder (a Z: path for Wine).
exe=$TMP/svc/$(basename "$SVC_BIN")
cp "$SVC_BIN" "$exe"
if ((WINE)); then log_dir="Z:${TMP//\//\\}\\svc\\logs"; else log_dir=$TMP/svc/logs; fi
printf '[LOG]\nLOG_DIR=%s\n' "$log_dir" >"$TMP/svc/config.ini"

if ((WINE)); then
    (cd "$TMP/svc" && exec flock -w 600 "$LOCK" "$ROOT/scripts/wine-run.sh" "$exe" -d) \
        </dev/null >"$TMP/svc/out.txt" 2>&1 &
    FLOCK_PID=$!
    # wine-run.sh starts the loader, which becomes the .exe's process: the
    # one whose first argument is our copy's path.
    for ((i = 0; i < 1200; i++)); do
        for p in $(pgrep -g "$(ps -o pgid= "$FLOCK_PID" 2>/dev/null | tr -d ' ')" 2>/dev/null); do
            [[ $(tr '\0' '\n' 2>/dev/null <"/proc/$p/cmdline" | head -1) == "$exe" ]] && SVC_PID=$p && break
        done
        [[ -n $SVC_PID ]] && break
        kill -0 "$FLOCK_PID" 2>/dev/null || { svc_diag; die "the service did not start"; }
        sleep 0.5
    done
else
    (cd "$TMP/svc" && exec flock -w 600 "$LOCK" bash -c "exec ./$(basename "$exe") -d") \
        </dev/null >"$TMP/svc/out.txt" 2>&1 &
    FLOCK_PID=$!
    # flock runs bash as its child, which execs the service.
    for ((i = 0; i < 1200; i++)); do
        p=$(pgrep -P "$FLOCK_PID" | head -1 || true)
        [[ -n $p && $(readlink "/proc/$p/exe" 2>/dev/null) == "$exe" ]] && SVC_PID=$p && break
        kill -0 "$FLOCK_PID" 2>/dev/null || { svc_diag; die "the service did not start"; }
        sleep 0.5
    done
fi
[[ -n $SVC_PID ]] || die "could not find the service's process"
for ((i = 0; i < 150; i++)); do
    kill -0 "$SVC_PID" 2>/dev/null || { svc_diag; die "the service exited at start"; }
    curl -sf -o /dev/null "$SVC_URL" && break; sleep 0.2
done
curl -sf -o /dev/null "$SVC_URL" || { svc_diag; die "the service does not answer on $SVC_URL"; }
# Wine's server for this prefix works in /tmp/.../server-<dev>-<inode of the prefix>.
WS_PID='' HELPERS=()
if ((WINE)); then
    ws_dir=server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")
    for p in $(pgrep -x wineserver64; pgrep -x wineserver); do
        [[ $(readlink "/proc/$p/cwd" 2>/dev/null) == */"$ws_dir" ]] && WS_PID=$p
    done
    for p in $(pgrep -f '^[A-Z]:\\windows\\'); do
        tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && HELPERS+=("$p")
    done
fi

# Someone ignoring the lock could own the port: make sure it is ours (under
# Wine the server holds the sockets of its processes).
owner=$SVC_PID; ((WINE)) && owner=$WS_PID
[[ -n $owner && $(ss -ltnpH 'sport = :5161') == *"pid=$owner,"* ]] || {
    svc_diag; ss -ltnpH 'sport = :5161'; die "port 5161 is not the service's"; }
sleep "$SETTLE"

# pid label: one line per thread "pid label tid comm voluntary involuntary".
snapshot() {
    local pid=$1 label=$2 t
    for t in /proc/"$pid"/task/*; do
        awk -v pid="$pid" -v label="$label" -v tid="${t##*/}" -v comm="$(tr ' ' '_' 2>/dev/null <"$t/comm")" \
            '/^voluntary_ctxt_switches/ { v = $2 } /^nonvoluntary_ctxt_switches/ { n = $2 }
             END { if (v != "") print pid, label, tid, comm, v, n }' "$t/status" 2>/dev/null || true
    done
}
snap_all() {
    snapshot "$SVC_PID" service
    [[ -n $WS_PID ]] && snapshot "$WS_PID" wineserver
    local p
    for p in "${HELPERS[@]}"; do snapshot "$p" "helper:$(tr ' ' '_' 2>/dev/null <"/proc/$p/comm")"; done
    return 0
}
snap_all >"$TMP/before"
sleep "$SECS"
snap_all >"$TMP/after"
kill -0 "$SVC_PID" 2>/dev/null || { svc_diag; die "the service exited during the count"; }

mode=native; ((WINE)) && mode="Wine $("${WINE64:-/usr/lib/wine/wine64}" --version 2>/dev/null)"
echo "service: $SVC_BIN ($mode)   pid $SVC_PID   ${SECS}s counted after ${SETTLE}s idle   $(nproc) cores   load $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v secs="$SECS" -v wine="$WINE" '
    NR == FNR { b[$3] = $5 " " $6; bc[$3] = $4; bl[$3] = $2; next }
    {
        split(b[$3], o, " "); known = ($3 in b)
        dv = $5 - (known ? o[1] : 0); dn = $6 - (known ? o[2] : 0)
        if ($2 == "service") {
            printf "  %-8s %-16s %10.1f %12.1f%s\n", $3, $4, dv / secs, dn / secs, known ? "" : "   (started during the count)"
            sv += dv; sn += dn; st++
        } else if ($2 == "wineserver") { wv += dv; wn += dn; wt++; wp = $1 }
        else { h = substr($2, 8); hv[h] += dv; hn[h] += dn; hc[h]++ }
        seen[$3] = 1
    }
    function aim(v) { return v / secs < 1 ? "met" : "missed" }
    BEGIN { printf "  %-8s %-16s %10s %12s\n", "tid", "thread", "wake-ups/s", "preempted/s" }
    END {
        for (t in b) if (!(t in seen) && bl[t] == "service") printf "  %-8s %-16s (ended during the count, not counted)\n", t, bc[t]
        printf "  %-8s %-16s %10.1f %12.1f   (%d threads; aim < 1 wake-up/s: %s)\n", "total", "service", sv / secs, sn / secs, st, aim(sv)
        if (wine) {
            if (wt) printf "  not the service: wineserver (pid %s, %d threads) %.1f wake-ups/s, %.1f preempted/s\n", wp, wt, wv / secs, wn / secs
            else print "  not the service: wineserver of this prefix not found"
            line = ""
            for (h in hv) line = line sprintf("%s %s%s %.1f", line == "" ? "" : ";", h, hc[h] > 1 ? "(" hc[h] " threads)" : "", hv[h] / secs)
            if (line != "") print "  not the service either, Wine processes of this prefix, wake-ups/s:" line
        }
    }' "$TMP/before" "$TMP/after"
