#!/usr/bin/env bash
# Runs the browser check against a freshly started service, for ctest.
#   tests/browser/run_browser_check.sh <path-to-ZVAppLdrSvc>
# Exit codes: 0 passed, 1 failed, 77 skipped (no Chromium; ctest's
# SKIP_RETURN_CODE).
# The service runs from a temp copy so that its config.ini (and with it the
# log folder) is ours and not the user's. It listens on the fixed port 5161
# and allows one instance per machine, so the run holds the machine-wide
# lock that every other run of the service takes too (ZV_PORT_LOCK; set it
# empty when the caller already holds it). Within one ctest run the
# RESOURCE_LOCK keeps it apart from the other service tests as well.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
exe=${1:-}
url=http://127.0.0.1:5161/
chromium=${CHROMIUM:-/usr/bin/chromium}
lock=${ZV_PORT_LOCK-/tmp/zv-port5161.lock}

if [ -z "$exe" ] || [ ! -x "$exe" ]; then
    echo "usage: $0 <path-to-ZVAppLdrSvc>  (got '${exe}')" >&2
    exit 1
fi
if [ ! -x "$chromium" ]; then
    echo "browser check: SKIPPED: no browser at $chromium"
    exit 77
fi
command -v curl >/dev/null || { echo "browser check: FAILED: curl is needed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-browser-svc.XXXXXX") || exit 1
svc_pid=""
lock_pid=""
check_pid=""

# Waits up to $2 tenths of a second for process $1 to end; 0 if it did.
wait_gone() {
    local i
    for ((i = 0; i < $2; i++)); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 0.1
    done
    return 1
}

stop_service() {
    [ -n "$svc_pid" ] || return 0
    kill -TERM "$svc_pid" 2>/dev/null
    # It stops in order within about 4 s; past 10 s something is stuck.
    if ! wait_gone "$svc_pid" 100; then
        echo "warning: the service did not stop within 10 s after SIGTERM; killing it"
        kill -KILL "$svc_pid" 2>/dev/null
    fi
    wait "$svc_pid" 2>/dev/null
    svc_rc=$?
    svc_pid=""
}

# shellcheck disable=SC2317  # runs from the EXIT trap
cleanup() {
    [ -n "$lock_pid" ] && kill "$lock_pid" 2>/dev/null
    [ -n "$check_pid" ] && kill "$check_pid" 2>/dev/null && wait "$check_pid"
    stop_service
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -n "$lock" ]; then
    exec 9>>"$lock" || { echo "browser check: FAILED: cannot open $lock"; exit 1; }
    waited=$SECONDS
    # In the background so that a TERM while waiting ends the script at
    # once; the lock belongs to the shared fd 9 and outlives that child.
    flock -w 300 9 &
    lock_pid=$!
    wait "$lock_pid"
    lock_rc=$?
    lock_pid=""
    if [ $lock_rc != 0 ]; then
        echo "browser check: FAILED: $lock stayed taken for 300 s"
        exit 1
    fi
    # So that a slow run shows where its time went.
    waited=$((SECONDS - waited))
    [ $waited -lt 2 ] || echo "waited ${waited} s for $lock"
fi

mkdir -p "$work/logs"
cp "$exe" "$work/ZVAppLdrSvc" || { echo "browser check: FAILED: cannot copy $exe"; exit 1; }
printf '[LOG]\nLOG_DIR=%s\n' "$work/logs" >"$work/config.ini"

# Someone else's instance would answer in place of ours and pass for it.
if curl -s -o /dev/null -m 1 "$url"; then
    echo "browser check: FAILED: something already answers on $url; stop it first"
    exit 1
fi

# Starts the service and waits up to 10 s for it to answer: 0 when it does,
# 2 when it could not bind the port, 1 on any other failure.
start_service() {
    # -d runs it in this console; stdin from /dev/null because after a
    # failed start it waits for a key. It gets no copy of the lock's fd 9,
    # so that a leftover process cannot hold the lock past this script.
    "$work/ZVAppLdrSvc" -d </dev/null >"$work/service.out" 2>&1 9>&- &
    svc_pid=$!
    local i
    for ((i = 0; i < 100; i++)); do
        curl -s -o /dev/null -m 1 "$url" && return 0
        kill -0 "$svc_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$svc_pid" 2>/dev/null; then
        echo "browser check: FAILED: the service did not answer on $url within 10 s"
        return 1
    fi
    wait "$svc_pid"
    svc_pid=""
    grep -qs "Address already in use" "$work"/logs/* && return 2
    echo "browser check: FAILED: the service exited before answering on $url"
    tail -5 "$work/service.out" | sed 's/^/  /'
    return 1
}

# The port can be taken for a while by something that does not answer
# HTTP: a test that only binds it, or a build that cannot rebind while the
# last instance's connections linger in TIME-WAIT. Wait that out.
deadline=$((SECONDS + 75))
while :; do
    start_service
    rc=$?
    [ $rc = 0 ] && break
    [ $rc = 1 ] && exit 1
    if [ $SECONDS -ge $deadline ]; then
        echo "browser check: FAILED: port 5161 stayed in use for 75 s (the service could not bind it)"
        ss -Htan "( sport = :5161 )" 2>/dev/null | awk '{print "  " $1}' | sort | uniq -c
        exit 1
    fi
    [ -n "${announced:-}" ] || echo "port 5161 is in use; retrying for up to 75 s"
    announced=1
    rm -f "$work"/logs/*
    sleep 1
done

"$here/jsonp_check.sh" "$url" 9>&- &
check_pid=$!
wait "$check_pid"
check_rc=$?
check_pid=""

svc_rc=0
stop_service
[ $svc_rc -eq 0 ] || echo "warning: the service exited with code $svc_rc after SIGTERM"

# Only a sanity check that LOG_DIR was honoured and the service traced.
if ! grep -qF "[ZVAppLdrService]" "$work"/logs/* 2>/dev/null; then
    echo "warning: no log file with [ZVAppLdrService] lines in $work/logs"
fi

exit $check_rc
