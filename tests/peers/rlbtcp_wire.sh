#!/usr/bin/env bash
# The reliable TCP connection between the native build and the Windows
# build under Wine, both ways round: a server of one build and a client of
# the other exchange seeded indexed messages through the native relay,
# which cuts the connection once in the middle of the stream. Each end
# checks order and content; the checksums each prints of what it sent must
# equal the other's of what it received.
#
#   tests/peers/rlbtcp_wire.sh [native-build-dir] [mingw-build-dir]
#
# Exits 0 when both runs pass, 1 on a failure, 77 (skipped) when either
# build lacks tests/rt_rlbtcp_peer(.exe). RLBTCP_WIRE_SEED sets the seed.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
native=${1:-$root/build/default}
mingw=${2:-$root/build/mingw}
npeer=$native/tests/rt_rlbtcp_peer
wpeer=$mingw/tests/rt_rlbtcp_peer.exe
if [[ ! -x $npeer || ! -f $wpeer ]]; then
    echo "rlbtcp-wire: SKIPPED: needs both $npeer and $wpeer (build the default and mingw presets)"
    exit 77
fi
seed=${RLBTCP_WIRE_SEED:-$(( (RANDOM << 15) | RANDOM ))}
count=3000
echo "rlbtcp-wire: seed=$seed count=$count (RLBTCP_WIRE_SEED=$seed repeats this run)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/rlbtcp-wire.XXXXXX") || exit 1
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    rm -rf "$tmp"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# wait_line <file> <seconds> <pattern>
wait_line() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        grep -q "$3" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" "$1" | tail -1; }

# run <name> <server-command...> -- <client-command...>
run() {
    local name=$1; shift
    local server=() client=()
    while [[ $1 != -- ]]; do server+=("$1"); shift; done
    shift
    client=("$@")
    local sport rport
    sport=$(free_port)
    rport=$(free_port)
    "${server[@]}" server "$sport" "$count" "$seed" >"$tmp/$name.server" 2>&1 &
    local spid=$!
    pids+=("$spid")
    if ! wait_line "$tmp/$name.server" 60 'ready port='; then
        echo "rlbtcp-wire: $name: the server did not start"; cat "$tmp/$name.server"; return 1
    fi
    # The cut falls about a third of the way into the client's stream.
    "$npeer" relay "$rport" "$sport" 2000000 120 >"$tmp/$name.relay" 2>&1 &
    local rpid=$!
    pids+=("$rpid")
    wait_line "$tmp/$name.relay" 10 'ready port=' || { echo "rlbtcp-wire: $name: the relay did not start"; return 1; }
    "${client[@]}" client "$rport" "$count" "$seed" >"$tmp/$name.client" 2>&1
    local crc=$?
    wait "$spid"
    local src=$?
    kill "$rpid" 2>/dev/null
    wait "$rpid" 2>/dev/null
    grep -h 'rlbtcp-' "$tmp/$name.server" "$tmp/$name.client" "$tmp/$name.relay" | sed "s/^/  $name: /"
    local ok=1
    [[ $crc -eq 0 && $src -eq 0 ]] || ok=0
    local c_sent s_recv s_sent c_recv cuts
    c_sent=$(field "$tmp/$name.client" sent_sum)
    s_recv=$(field "$tmp/$name.server" recv_sum)
    s_sent=$(field "$tmp/$name.server" sent_sum)
    c_recv=$(field "$tmp/$name.client" recv_sum)
    cuts=$(sed -n 's/.*cuts=\([0-9]*\).*/\1/p' "$tmp/$name.relay" | tail -1)
    if [[ -z $c_sent || $c_sent != "$s_recv" || -z $s_sent || $s_sent != "$c_recv" ]]; then
        echo "rlbtcp-wire: $name: checksums differ"
        ok=0
    fi
    if [[ ${cuts:-0} -ne 1 ]]; then
        echo "rlbtcp-wire: $name: the relay cut ${cuts:-0} times, not once"
        ok=0
    fi
    [[ $ok -eq 1 ]] && echo "rlbtcp-wire: $name: PASS" || echo "rlbtcp-wire: $name: FAIL"
    [[ $ok -eq 1 ]]
}

wine=("$root/scripts/wine-run.sh" "$wpeer")
failed=0
run linux-server-wine-client "$npeer" -- "${wine[@]}" || failed=1
run wine-server-linux-client "${wine[@]}" -- "$npeer" || failed=1
exit $failed
