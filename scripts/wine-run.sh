#!/usr/bin/env bash
# Runs a Windows executable under Wine and returns its exit code; ctest uses
# it as CMAKE_CROSSCOMPILING_EMULATOR.
#
#   scripts/wine-run.sh <exe> [args...]
#
# The prefix is $WINEPREFIX or <build-dir>/wineprefix, the build dir being the
# nearest folder above the exe that holds a CMakeCache.txt. It is created on
# first use (scripts/setup-wine.sh).
#
# WINE_KEEP_TZ=1 passes TZ through unchanged (see below).
set -uo pipefail

[[ $# -ge 1 ]] || { echo "usage: wine-run.sh <exe> [args...]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINE=${WINE64:-/usr/lib/wine/wine64}
exe=$1
shift

if [[ -z "${WINEPREFIX:-}" ]]; then
    dir=$(cd "$(dirname "$exe")" && pwd)
    while [[ $dir != / && ! -f $dir/CMakeCache.txt ]]; do dir=$(dirname "$dir"); done
    [[ -f $dir/CMakeCache.txt ]] || dir=$(cd "$here/.." && pwd)/build/mingw
    WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX
[[ -f $WINEPREFIX/.rt-ready ]] || "$here/setup-wine.sh" || exit 1

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# Wine hands TZ to the Windows side too, where the C runtime parses it the
# Windows way: an IANA name such as Asia/Shanghai is misread there while
# Wine's own clock uses it correctly. The POSIX rule at the end of the zone
# file (e.g. CST-8) means the same to both.
if [[ -n "${TZ:-}" && "${WINE_KEEP_TZ:-0}" != 1 ]]; then
    zone=${TZ#:}
    if [[ ! $zone =~ [0-9] && -f /usr/share/zoneinfo/$zone ]]; then
        rule=$(tail -n 1 "/usr/share/zoneinfo/$zone" 2>/dev/null | tr -d '\0')
        [[ -n $rule ]] && export TZ=$rule
    fi
fi

# wineserver and the helpers Wine starts (services.exe, explorer.exe, ...)
# inherit stdout/stderr and outlive the exe by seconds. Writing to files and
# streaming them until the exe ends keeps them off the caller's pipes, so ctest
# does not wait for them.
tmp=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
pid=
cleanup() {
    [[ -n $pid ]] && kill "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
: >"$tmp/out"
: >"$tmp/err"

"$WINE" "$exe" "$@" >"$tmp/out" 2>"$tmp/err" &
pid=$!
tail -s 0.1 --pid="$pid" -n +1 -f "$tmp/out" &
tout=$!
tail -s 0.1 --pid="$pid" -n +1 -f "$tmp/err" >&2 &
terr=$!
wait "$pid"
rc=$?
pid=
wait "$tout" "$terr"
rm -rf "$tmp"
exit "$rc"
