#!/usr/bin/env bash
# System calls per log line: runs rt_log_lines under strace with no lines and
# with N lines, for batches of 1 and 100 lines, and prints the difference per
# line (start-up and exit cancel out) with the calls that make it up.
#
#   bench/log_syscalls.sh [path/to/rt_log_lines]   (default build/default/bench/rt_log_lines)
#   N=20000 bench/log_syscalls.sh                  lines per run
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/default/bench/rt_log_lines}
N=${N:-20000}
[[ -x $BIN ]] || { echo "log_syscalls: no executable at $BIN" >&2; exit 1; }
command -v strace >/dev/null || { echo "log_syscalls: strace not found" >&2; exit 1; }
TMP=$(mktemp -d /tmp/log_syscalls.XXXXXX)
trap 'rm -rf "$TMP"' EXIT

# "name count" per system call of one run.
calls() {  # lines batch tag
    strace -f -qq -c -U name,calls -o "$TMP/$3.strace" "$BIN" "$1" "$2" "$TMP/$3" >/dev/null
    awk 'NR > 2 && $1 !~ /^-/ && $1 != "total" { print $1, $2 }' "$TMP/$3.strace"
}

for batch in 1 100; do
    calls 0 "$batch" "empty$batch" >"$TMP/a"
    calls "$N" "$batch" "full$batch" >"$TMP/b"
    awk -v n="$N" -v batch="$batch" '
        FNR == NR { base[$1] = $2; next }
        { d = $2 - base[$1]; total += d; if (d / n >= 0.0005) parts = parts sprintf(" %s %.3f", $1, d / n) }
        END { printf "LOG_BUFFER_LINE=%-3d %.3f system calls per line:%s\n", batch, total / n, parts }' "$TMP/a" "$TMP/b"
done
