#!/usr/bin/env bash
# Checks what a mingw build installs: `cmake --install` into a temporary
# prefix, then a program of someone else's cross-built against the installed
# framework (every installed header beside <winsock2.h>, <ws2tcpip.h> and
# <windows.h>, in either order) and run under Wine.
#   scripts/check-install-mingw.sh <mingw-build-dir>
# The Wine prefix is <mingw-build-dir>/wineprefix, made on first use.
set -euo pipefail
build=$(cd "${1:?usage: check-install-mingw.sh <mingw-build-dir>}" && pwd)
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
status=0
for f in bin/ZVAppLdrSvc.exe bin/config.ini.sample include/rtutil/RtMessageBlock.h lib/cmake/rtutil/rtutilConfig.cmake; do
  [ -e "$tmp/prefix/$f" ] || { echo "check-install-mingw: $f was not installed"; status=1; }
done
# Headers only the implementations use (some need the system's) stay private.
for f in include/rtutil/posix include/rtutil/win32 include/rtutil/RtOsSockAddr.h include/rtutil/RtOsCalendar.h; do
  [ ! -e "$tmp/prefix/$f" ] || { echo "check-install-mingw: $f is private but was installed"; status=1; }
done

# The toolchain confines package searches to the mingw sysroot, so the
# package is named by its folder instead of a prefix path.
config=$(dirname "$(ls "$tmp"/prefix/lib*/cmake/rtutil/rtutilConfig.cmake 2>/dev/null | head -1)")
if cmake -S tests/package -B "$tmp/consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
         -Drtutil_DIR="$config" >"$tmp/consumer.log" 2>&1 &&
   cmake --build "$tmp/consumer" >>"$tmp/consumer.log" 2>&1; then
  out=$(WINEPREFIX="$build/wineprefix" scripts/wine-run.sh "$tmp/consumer/rt_consumer.exe" 2>&1) &&
    grep -q "event ran on the network thread" <<<"$out" \
    || { echo "check-install-mingw: the consumer program failed:"; echo "$out"; status=1; }
else
  echo "check-install-mingw: the consumer program does not build against the installed framework:"
  grep -E 'error|Error' "$tmp/consumer.log" | head -20
  status=1
fi
[ $status = 0 ] && echo "check-install-mingw: installed files and the consumer program are fine"
exit $status
