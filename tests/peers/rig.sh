#!/usr/bin/env bash
# Starts or stops the real-peer rig (HTTP origins and proxies on loopback)
# around the peer tests: ctest runs "start" once before them and "stop"
# once after them.
#   rig.sh start <rig-dir> <required ON|OFF> <marker-file>
#   rig.sh stop <rig-dir> <marker-file>
# RT_PEERS_DIR in the environment overrides <rig-dir>. A rig that is already
# up (every port of its ports.env listening) is used as it is and left
# running, since someone else started it; one that "start" started (the
# marker file says so) is stopped by "stop". Where the rig cannot run,
# "start" exits 77 (ctest: skipped) with the reason, unless the rig is
# required (CI is set, or <required> is ON): then it fails.
set -u
action=${1:?usage: rig.sh start|stop <rig-dir> ...}
dir=${RT_PEERS_DIR:-${2:?rig dir}}

cannot() {
  echo "peer rig: cannot run: $*"
  if [ "$required" = ON ]; then
    echo "peer rig: the peers are required here (CI or RT_REQUIRE_PEERS), so this fails"
    exit 1
  fi
  echo "peer rig: the peer tests will skip"
  exit 77
}

all_listening() {
  local ports p
  ports=$(sed -nE 's/^[A-Z_]+=([0-9]+)([[:space:]].*)?$/\1/p' "$dir/ports.env" 2>/dev/null)
  [ -n "$ports" ] || return 1
  for p in $ports; do
    ss -Hltn "sport = :$p" 2>/dev/null | grep -q . || return 1
  done
}

case $action in
  start)
    required=${3:-OFF}
    marker=${4:?marker file}
    [ -n "${CI:-}" ] && required=ON
    rm -f "$marker"
    [ -f "$dir/start_peers.sh" ] || cannot "no $dir/start_peers.sh (set RT_PEERS_DIR to the rig's folder)"
    if all_listening; then
      echo "peer rig: already running; used as it is and left running"
      exit 0
    fi
    [ "$(id -u)" = 0 ] || cannot "the rig must run as root (it installs packages and starts daemons)"
    bash "$dir/start_peers.sh" || cannot "$dir/start_peers.sh failed"
    echo "$dir" >"$marker"
    ;;
  stop)
    marker=${3:?marker file}
    [ -f "$marker" ] || { echo "peer rig: not started by these tests; left as it is"; exit 0; }
    rm -f "$marker"
    [ -f "$dir/stop_peers.sh" ] || exit 0
    bash "$dir/stop_peers.sh"
    ;;
  *)
    echo "rig.sh: unknown action '$action'" >&2
    exit 2
    ;;
esac
