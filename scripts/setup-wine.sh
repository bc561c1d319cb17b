#!/usr/bin/env bash
# Creates or refreshes the Wine prefix that the Windows test executables run
# in, headless: null graphics driver (hidden windows still work), no crash
# dialog. Idempotent; returns at once when the prefix is ready.
#
#   scripts/setup-wine.sh [build-dir]      prefix: <build-dir>/wineprefix
#   WINEPREFIX=/path scripts/setup-wine.sh  prefix given directly
#
# Safe to call from parallel test processes: the first one builds the prefix
# under a lock, the others wait for it.
set -euo pipefail

WINE=${WINE64:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER64:-/usr/lib/wine/wineserver64}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [[ -z "${WINEPREFIX:-}" ]]; then
    WINEPREFIX=$(realpath -m "${1:-$root/build/mingw}")/wineprefix
fi
export WINEPREFIX
stamp=$WINEPREFIX/.rt-ready
# Bumped when the settings below change, so existing prefixes are updated.
recipe=1

ready() { [[ -f $stamp && "$(<"$stamp")" == "$recipe $("$WINE" --version)" ]]; }

ready && exit 0

[[ -x $WINE ]] || { echo "setup-wine.sh: $WINE not found (install wine64)" >&2; exit 1; }
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
ready && exit 0

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

log=$(dirname "$WINEPREFIX")/wineprefix-setup.log
# Wine's helper processes inherit stdio; keep them away from the caller's pipes.
{
    "$WINE" wineboot -u
    "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    # -k makes the server write the registry to disk; -w waits until it is gone.
    "$WINESERVER" -k || true
    "$WINESERVER" -w
} </dev/null >"$log" 2>&1 || { echo "setup-wine.sh: failed, see $log" >&2; exit 1; }

echo "$recipe $("$WINE" --version)" >"$stamp"
