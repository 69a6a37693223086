#!/usr/bin/env bash
# Benchmark of bufins: the list algorithm (answer 1) against the fast
# candidate-tree algorithm (answer 2) on the same nets.
#
# Central idea: build the tool in Release, generate nets of growing size with
# gen_net.py (public clock-net sink sets and random sink sets, two wire
# regimes), run both algorithms one after the other on every configuration
# (net x buffer types x wire-segmenting coefficient) and print one Markdown
# table row per configuration with the tool's own -t figures (user CPU time of
# the algorithm, peak of its memory counters) and whether the two slacks agree.
#
# A run whose time, extrapolated from the previous coefficient of the same net
# and library (node count to the power 1.9 for the list algorithm, 1.0 for the
# fast one: the exponents seen between M = 5, 10 and 20 on these nets), would
# exceed SKIP_ABOVE seconds is not started and shows "—".
#
# Usage: bench/run.sh [quick]     (quick: a small grid for a smoke test)
# Environment: BENCH_WORK (scratch directory, default a fresh mktemp -d),
#              SKIP_ABOVE (seconds, default 60), RUN_TIMEOUT (seconds, default 150).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
NETS=/work/shared/bench-nets
BUILD="$ROOT/build-bench"
BIN="$BUILD/bufins"
GEN="$HERE/gen_net.py"
SKIP_ABOVE=${SKIP_ABOVE:-60}
RUN_TIMEOUT=${RUN_TIMEOUT:-150}
WORK=${BENCH_WORK:-$(mktemp -d /tmp/bufins-bench.XXXXXX)}
mkdir -p "$WORK"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target bufins >/dev/null

ulimit -s 8192

for t in 1 4 16 64; do python3 "$GEN" --types "$t" --lib "$WORK/lib$t.lib"; done

FAILURES=0

# run ALG NET LIB M -> sets R_TIME R_MEM R_SLACK R_NODES R_BUF R_STATUS
run() {
  local alg=$1 net=$2 lib=$3 m=$4 out rc
  out="$WORK/out.txt"
  set +e
  printf '%s\n%s\n' "$alg" "$m" | timeout "$RUN_TIMEOUT" "$BIN" -f "$net" -b "$lib" -t -o >"$out" 2>"$WORK/err.txt"
  rc=$?
  set -e
  R_TIME=$(sed -n 's/^Algorithm time is : \([0-9.eE+-]*\) seconds$/\1/p' "$out")
  R_MEM=$(sed -n 's/^Maximum memory usage is \([0-9.eE+-]*\)M bytes *$/\1/p' "$out")
  R_SLACK=$(sed -n 's/^The slack after buffer insertion : *\([^ ]*\)$/\1/p' "$out")
  R_NODES=$(sed -n 's/^The number of nodes \([0-9]*\)$/\1/p' "$out")
  R_BUF=$(sed -n 's/^The number of inserted buffer is : \([0-9]*\)$/\1/p' "$out")
  if [ "$rc" -eq 124 ]; then
    R_STATUS="timeout"
  elif [ "$rc" -ne 0 ] || [ -z "$R_TIME" ] || [ -z "$R_SLACK" ]; then
    R_STATUS="FAILED(rc=$rc)"
    FAILURES=$((FAILURES + 1))
    echo "FAILURE: alg $alg net $net lib $lib M $m rc $rc: $(head -c 300 "$WORK/err.txt")" >&2
  else
    R_STATUS=ok
  fi
}

# predict PREV_TIME PREV_NODES NODES EXPONENT -> prints 1 when the run should be skipped
predict_skip() {
  awk -v t="$1" -v a="$2" -v b="$3" -v e="$4" -v lim="$SKIP_ABOVE" \
    'BEGIN { if (t == "" || a == "" || a == 0) { print 0; exit } print (t * (b / a) ^ e > lim) ? 1 : 0 }'
}

header() {
  echo
  echo "### $1"
  echo
  echo "| net | sinks | M | cand. nodes | types | list s | fast s | list/fast | list MB | fast MB | slack ps | agree |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|:---:|"
}

# bench NAME SINKS-ARGS SCALE "TYPES" "COEFFS"
bench() {
  local name=$1 src=$2 scale=$3 types=$4 coeffs=$5 net t m
  net="$WORK/$name-x$scale.net"
  # shellcheck disable=SC2086
  python3 "$GEN" $src --scale "$scale" --net "$net"
  local sinks
  sinks=$(grep -c '^sink ' "$net")
  for t in $types; do
    local lt="" ln="" ft="" fn="" skipped_l=0 skipped_f=0
    for m in $coeffs; do
      # candidate nodes after segmentation, for the extrapolation: wires x M added
      local cand nodes_est
      cand=$(grep -c '^candidate ' "$net")
      nodes_est=$((cand + (cand + sinks) * m))
      local l_cell f_cell lm_cell fm_cell slack agree nodes ratio
      local l_time="" f_time="" l_slack="" f_slack="" l_nodes="" f_nodes=""
      if [ "$skipped_l" = 1 ] || [ "$(predict_skip "$lt" "$ln" "$nodes_est" 1.9)" = 1 ]; then
        skipped_l=1; l_cell="—"; lm_cell="—"
      else
        run 1 "$net" "$WORK/lib$t.lib" "$m"
        if [ "$R_STATUS" = ok ]; then
          l_time=$R_TIME; l_slack=$R_SLACK; l_nodes=$R_NODES; l_cell=$R_TIME; lm_cell=$R_MEM
          lt=$R_TIME; ln=$nodes_est
        else
          l_cell=$R_STATUS; lm_cell="—"; skipped_l=1
        fi
      fi
      if [ "$skipped_f" = 1 ] || [ "$(predict_skip "$ft" "$fn" "$nodes_est" 1.0)" = 1 ]; then
        skipped_f=1; f_cell="—"; fm_cell="—"
      else
        run 2 "$net" "$WORK/lib$t.lib" "$m"
        if [ "$R_STATUS" = ok ]; then
          f_time=$R_TIME; f_slack=$R_SLACK; f_nodes=$R_NODES; f_cell=$R_TIME; fm_cell=$R_MEM
          ft=$R_TIME; fn=$nodes_est
        else
          f_cell=$R_STATUS; fm_cell="—"; skipped_f=1
        fi
      fi
      nodes=${l_nodes:-${f_nodes:-$nodes_est}}
      if [ -n "$l_time" ] && [ -n "$f_time" ]; then
        ratio=$(awk -v a="$l_time" -v b="$f_time" 'BEGIN { if (a < 1e-3 || b < 1e-3) print "n/a"; else printf "%.2f", a / b }')
        agree=$(awk -v a="$l_slack" -v b="$f_slack" 'BEGIN {
          d = a - b; if (d < 0) d = -d; m = (a < 0 ? -a : a); if ((b < 0 ? -b : b) > m) m = (b < 0 ? -b : b)
          if (m < 1) m = 1; print (d <= 1e-9 * m) ? "yes" : "NO" }')
        if [ "$agree" = NO ]; then
          FAILURES=$((FAILURES + 1))
          echo "DISAGREEMENT: net $net lib$t M $m list $l_slack fast $f_slack" >&2
        fi
        if [ -n "$l_nodes" ] && [ -n "$f_nodes" ] && [ "$l_nodes" != "$f_nodes" ]; then
          echo "NODE COUNT MISMATCH: net $net M $m list $l_nodes fast $f_nodes" >&2
        fi
      else
        ratio="—"; agree="—"
      fi
      slack=${l_slack:-${f_slack:-—}}
      echo "| $name | $sinks | $m | $nodes | $t | $l_cell | $f_cell | $ratio | $lm_cell | $fm_cell | $slack | $agree |"
    done
  done
}

START=$(date +%s)
if [ "${1:-}" = quick ]; then
  header "Smoke test"
  bench s1423 "--sinks $NETS/s1423" 1 "1 4" "0 5"
  bench rnd200 "--random 200 --seed 1" 0.01 "4" "0 5"
else
  COEFFS="0 5 10 20"
  header "Native coordinates (1 unit = 1 um, the sink list's own wire R and C), 4 buffer types"
  for s in s1423 s5378 p1 r1 s15850 r2 p2 r3 r4 r5; do
    bench "$s" "--sinks $NETS/$s" 1 "4" "$COEFFS"
  done
  bench rnd5000 "--random 5000 --seed 1" 1 "4" "$COEFFS"

  header "Dense: coordinates x 0.01 (same per-um wire R and C), 4 buffer types"
  for s in s1423 s5378 p1 r1 s15850 r2 p2 r3 r4 r5; do
    bench "$s" "--sinks $NETS/$s" 0.01 "4" "$COEFFS"
  done
  bench rnd1000 "--random 1000 --seed 1" 0.01 "4" "$COEFFS"
  bench rnd5000 "--random 5000 --seed 1" 0.01 "4" "$COEFFS"
  bench rnd5000c "--random 5000 --seed 2 --dist clustered" 0.01 "4" "$COEFFS"

  header "Library size: 1, 16, 64 buffer types (4 types: tables above); -dense = coordinates x 0.01"
  bench r1 "--sinks $NETS/r1" 1 "1 16 64" "0 5 10"
  bench r5 "--sinks $NETS/r5" 1 "1 16 64" "0 5 10"
  bench r1-dense "--sinks $NETS/r1" 0.01 "1 16 64" "0 5 10"
  bench r5-dense "--sinks $NETS/r5" 0.01 "1 16 64" "0 5 10"
fi
END=$(date +%s)
echo
echo "Wall time of the benchmark: $((END - START)) s; failures or disagreements: $FAILURES"
[ "$FAILURES" -eq 0 ]
