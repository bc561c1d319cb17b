#!/usr/bin/env bash
# The reliable UDP connection against ENet on the shared loopback anchor:
# runs ../shared/rudp-anchor/run_anchor.sh with both implementations in the
# same run, relay and seeds (the anchor builds ENet's side and its relay,
# installing libenet-dev when missing). Any of the anchor's variables pass
# through, e.g. a quick subset:
#
#   SCEN="l0 l5 p5" REPEATS=1 bench/rudp_anchor.sh
#
# RT_BENCH: the rt_rudp_bench to run (default: build/default's, built when
# missing). The table lands in $OUT/table.md.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
ANCHOR=${ANCHOR:-$ROOT/../shared/rudp-anchor}
BUILD=${BUILD:-/tmp/rudp_build}
RT_BENCH=${RT_BENCH:-$ROOT/build/default/tests/rt_rudp_bench}
if [[ ! -x $RT_BENCH ]]; then
  cmake --preset default >/dev/null
  cmake --build "$ROOT/build/default" --target rt_rudp_bench
fi
export BUILD
IMPLS="enet=$BUILD/enet_bench rt=$RT_BENCH" exec "$ANCHOR/run_anchor.sh"
