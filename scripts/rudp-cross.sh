#!/usr/bin/env bash
# A native reliable UDP peer and a Wine one, both ways, through the lossy
# relay at 5% loss with duplication and reordering: every message once, in
# order and intact (rt_rudp_bench checks and reports it).
#
#   scripts/rudp-cross.sh <native build dir> <mingw build dir>
#
# Exits 77 (skipped) unless both builds have rt_rudp_bench.
set -uo pipefail
cd "$(dirname "$0")/.."
native=${1:-build/default}
mingw=${2:-build/mingw}
nb=$native/tests/rt_rudp_bench
wb=$mingw/tests/rt_rudp_bench.exe
relay=$native/tests/rt_udp_relay
for f in "$nb" "$wb" "$relay"; do
  [[ -x $f || -f $f ]] || { echo "rudp-cross: $f missing, skipped"; exit 77; }
done
export WINEPREFIX=${WINEPREFIX:-$PWD/$mingw/wineprefix}
count=${COUNT:-3000}
fail=0
run_case() {  # <name> <server cmd...> -- <client cmd...>
  local name=$1 port=$2 server=$3 client=$4
  local args=(--mode bulk --count "$count" --size 1500 --time-cap 60 --mtu 1200 --window 65536 --warmup 0)
  local out
  out=$(mktemp)
  $server server --port "$port" "${args[@]}" >"$out" 2>/dev/null &
  local spid=$!
  "$relay" --listen $((port + 1)) --server "$port" --loss 0.05 --dup 0.05 --reorder 0.05 --seed 7 --seconds 90 >/dev/null &
  local rpid=$!
  sleep 2
  $client client --port $((port + 1)) "${args[@]}" >/dev/null 2>&1
  wait "$spid"
  kill "$rpid" 2>/dev/null
  wait "$rpid" 2>/dev/null
  local line
  line=$(grep '^RESULT' "$out")
  rm -f "$out"
  echo "== [rudp $name] $line"
  if [[ $line != *"msgs=$count "* || $line != *" dups=0 ooo=0 corrupt=0 complete=1"* ]]; then
    fail=1
  fi
}
run_case "linux server, wine client" 47900 "$nb" "scripts/wine-run.sh $wb"
run_case "wine server, linux client" 47910 "scripts/wine-run.sh $wb" "$nb"
exit $fail
