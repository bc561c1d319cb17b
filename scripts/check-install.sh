#!/usr/bin/env bash
# Checks what a native build installs: `cmake --install` into a temporary
# prefix, a program of someone else's built against the installed framework,
# and the Debian package made by CPack.
#   scripts/check-install.sh <build-dir>
set -euo pipefail
build=$(cd "${1:?usage: check-install.sh <build-dir>}" && pwd)
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
status=0
for f in bin/ZVAppLdrSvc bin/config.ini.sample lib/systemd/system/ZVAppLdrSvc.service \
         include/rtutil/RtThreadManager.h include/rtutil/RtOsService.h lib/cmake/rtutil/rtutilConfig.cmake; do
  [ -e "$tmp/prefix/$f" ] || { echo "check-install: $f was not installed"; status=1; }
done
# Headers only the implementations use (some need the system's) stay private.
for f in include/rtutil/posix include/rtutil/win32 include/rtutil/RtOsSockAddr.h include/rtutil/RtOsCalendar.h; do
  [ ! -e "$tmp/prefix/$f" ] || { echo "check-install: $f is private but was installed"; status=1; }
done
ls "$tmp"/prefix/lib*/librtutil.* >/dev/null 2>&1 || { echo "check-install: the framework library was not installed"; status=1; }

# The consumer includes every installed header beside the system's own.
if cmake -S tests/package -B "$tmp/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" >"$tmp/consumer.log" 2>&1 &&
   cmake --build "$tmp/consumer" >>"$tmp/consumer.log" 2>&1; then
  out=$("$tmp/consumer/rt_consumer" 2>&1) && grep -q "event ran on the network thread" <<<"$out" \
    || { echo "check-install: the consumer program failed:"; echo "$out"; status=1; }
else
  echo "check-install: the consumer program does not build against the installed framework:"
  grep -E 'error|Error' "$tmp/consumer.log" | head -20
  status=1
fi

(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null 2>&1)
deb=$(ls "$tmp"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
for f in bin/ZVAppLdrSvc lib/systemd/system/ZVAppLdrSvc.service include/rtutil/RtThreadManager.h; do
  grep -q "$f" <<<"$contents" || { echo "check-install: $f is missing from $(basename "$deb")"; status=1; }
done
[ $status = 0 ] && echo "check-install: installed files, consumer program and $(basename "$deb") are fine"
exit $status
