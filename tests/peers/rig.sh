#!/usr/bin/env bash
# Starts or stops the real-peer rig (HTTP origins and proxies on loopback)
# around the peer tests: ctest runs "start" once before them and "stop"
# once after them.
#   rig.sh start <rig-dir> <required ON|OFF>
#   rig.sh stop <rig-dir>
# RT_PEERS_DIR in the environment overrides <rig-dir>. Where the rig cannot
# run, "start" exits 77 (ctest: skipped) with the reason, unless the rig is
# required (CI is set, or <required> is ON): then it fails.
set -u
action=${1:?usage: rig.sh start|stop <rig-dir> [ON|OFF]}
dir=${RT_PEERS_DIR:-${2:?rig dir}}
required=${3:-OFF}
[ -n "${CI:-}" ] && required=ON

cannot() {
  echo "peer rig: cannot run: $*"
  if [ "$required" = ON ]; then
    echo "peer rig: the peers are required here (CI or RT_REQUIRE_PEERS), so this fails"
    exit 1
  fi
  echo "peer rig: the peer tests will skip"
  exit 77
}

case $action in
  start)
    [ -f "$dir/start_peers.sh" ] || cannot "no $dir/start_peers.sh (set RT_PEERS_DIR to the rig's folder)"
    [ "$(id -u)" = 0 ] || cannot "the rig must run as root (it installs packages and starts daemons)"
    bash "$dir/start_peers.sh" || cannot "$dir/start_peers.sh failed"
    ;;
  stop)
    [ -f "$dir/stop_peers.sh" ] || exit 0
    bash "$dir/stop_peers.sh"
    ;;
  *)
    echo "rig.sh: unknown action '$action'" >&2
    exit 2
    ;;
esac
