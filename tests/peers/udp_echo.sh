#!/usr/bin/env bash
# A UDP echo on 127.0.0.1 for the connector suites (socat), around them as
# a ctest fixture:
#   udp_echo.sh start <port> <pid-file>   (exit 77, skipped, without socat)
#   udp_echo.sh stop <pid-file>
set -u
case ${1:?usage: udp_echo.sh start|stop ...} in
  start)
    port=${2:?port} pidfile=${3:?pid file}
    command -v socat >/dev/null || { echo "udp echo: socat is not installed; the UDP case will skip"; exit 77; }
    # Each peer gets a child that sends back what it receives.
    socat -T 30 UDP4-LISTEN:"$port",bind=127.0.0.1,reuseaddr,fork PIPE </dev/null >/dev/null 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 50); do
      ss -Hlun "sport = :$port" 2>/dev/null | grep -q . && exit 0
      sleep 0.1
    done
    echo "udp echo: socat did not bind 127.0.0.1:$port"
    exit 1
    ;;
  stop)
    pidfile=${2:?pid file}
    [ -f "$pidfile" ] || exit 0
    pid=$(cat "$pidfile")
    # The listener and its per-peer children.
    pkill -P "$pid" 2>/dev/null
    kill "$pid" 2>/dev/null
    rm -f "$pidfile"
    ;;
esac
