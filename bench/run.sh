#!/usr/bin/env bash
# Benchmark of bufins: the list algorithm, the fast candidate-tree algorithm
# and the flat engine on the same nets, optionally beside an older build.
#
# Central idea: build the tool in Release, generate nets of growing size with
# gen_net.py (public clock-net sink sets and random sink sets, two wire
# regimes), run every engine one after the other on every configuration
# (net x buffer types x wire-segmenting coefficient) and print one Markdown
# table row per configuration with the tool's own -t figures (user CPU time of
# the algorithm, peak of its memory counters) and whether all slacks agree.
# With OLD_REV set, that revision is built too (in the scratch directory) and
# its list and fast algorithms run on the same nets in the same pass, so the
# old/new ratios come from one run on one machine state.
#
# A run whose time, extrapolated from the previous coefficient of the same net
# and library (node count to the power 1.9 for the list algorithm, 1.0 for the
# fast one, 1.5 for the flat one), would exceed SKIP_ABOVE seconds is not
# started and shows "—".
#
# Usage: bench/run.sh [quick]     (quick: a small grid for a smoke test)
# Environment: BENCH_WORK (scratch directory, default a fresh mktemp -d),
#              SKIP_ABOVE (seconds, default 60), RUN_TIMEOUT (seconds, default 150),
#              SHORT_RUN (seconds, default 0.02) and REPEATS (default 5): runs
#              under SHORT_RUN are repeated and their times averaged,
#              OLD_REV (a git revision to compare with; default none).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
NETS=${BENCH_NETS:-$ROOT/bench/nets}
BUILD="$ROOT/build-bench"
BIN="$BUILD/bufins"
GEN="$HERE/gen_net.py"
SKIP_ABOVE=${SKIP_ABOVE:-60}
RUN_TIMEOUT=${RUN_TIMEOUT:-150}
SHORT_RUN=${SHORT_RUN:-0.02}
REPEATS=${REPEATS:-5}
OLD_REV=${OLD_REV:-}
WORK=${BENCH_WORK:-$(mktemp -d -t bufins-bench.XXXXXX)}
mkdir -p "$WORK"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target bufins >/dev/null

OLD_BIN=""
if [ -n "$OLD_REV" ]; then
  rm -rf "$WORK/old-src" && mkdir -p "$WORK/old-src"
  git -C "$ROOT" archive "$OLD_REV" | tar -x -C "$WORK/old-src"
  cmake -S "$WORK/old-src" -B "$WORK/old-build" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF >/dev/null
  cmake --build "$WORK/old-build" -j2 --target bufins >/dev/null
  OLD_BIN="$WORK/old-build/bufins"
fi

ulimit -s 8192

for t in 1 4 16 64; do python3 "$GEN" --types "$t" --lib "$WORK/lib$t.lib"; done

FAILURES=0

# time_of OUT -> the algorithm time the tool printed in OUT
time_of() { sed -n 's/^Algorithm time is : \([0-9.eE+-]*\) seconds$/\1/p' "$1"; }

# run_once ENGINE NET LIB M OUT -> the tool's exit status; output in OUT
run_once() {
  local engine=$1 net=$2 lib=$3 m=$4 out=$5
  case $engine in
    list) printf '1\n%s\n' "$m" | timeout "$RUN_TIMEOUT" "$BIN" -f "$net" -b "$lib" -t -o ;;
    fast) printf '2\n%s\n' "$m" | timeout "$RUN_TIMEOUT" "$BIN" -f "$net" -b "$lib" -t -o ;;
    flat) timeout "$RUN_TIMEOUT" "$BIN" -a flat -m "$m" -f "$net" -b "$lib" -t -o </dev/null ;;
    oldlist) printf '1\n%s\n' "$m" | timeout "$RUN_TIMEOUT" "$OLD_BIN" -f "$net" -b "$lib" -t -o ;;
    oldfast) printf '2\n%s\n' "$m" | timeout "$RUN_TIMEOUT" "$OLD_BIN" -f "$net" -b "$lib" -t -o ;;
  esac >"$out" 2>"$WORK/err.txt"
}

# run ENGINE NET LIB M -> sets R_TIME R_MEM R_SLACK R_NODES R_BUF R_STATUS
# ENGINE: list, fast, flat (this build) or oldlist, oldfast (OLD_REV's build,
# through the prompts, which every version has). A run under SHORT_RUN
# seconds is repeated REPEATS - 1 more times and R_TIME is the mean: the user
# CPU time the tool reads is split from the run time by clock ticks, so a
# single short run can read 0 or a tick too much.
run() {
  local engine=$1 net=$2 lib=$3 m=$4 out rc k t sum
  out="$WORK/out.txt"
  set +e
  run_once "$engine" "$net" "$lib" "$m" "$out"
  rc=$?
  set -e
  R_TIME=$(time_of "$out")
  if [ "$rc" -eq 0 ] && [ -n "$R_TIME" ] && awk -v t="$R_TIME" -v s="$SHORT_RUN" 'BEGIN { exit !(t < s) }'; then
    sum=$R_TIME
    for ((k = 1; k < REPEATS; k++)); do
      set +e
      run_once "$engine" "$net" "$lib" "$m" "$WORK/again.txt"
      set -e
      t=$(time_of "$WORK/again.txt")
      sum=$(awk -v a="$sum" -v b="${t:-0}" 'BEGIN { printf "%.6f", a + b }')
    done
    R_TIME=$(awk -v a="$sum" -v n="$REPEATS" 'BEGIN { printf "%.6f", a / n }')
  fi
  R_MEM=$(sed -n 's/^Maximum memory usage is \([0-9.eE+-]*\)M bytes *$/\1/p' "$out")
  R_SLACK=$(sed -n 's/.*The slack after buffer insertion : *\([^ ]*\)$/\1/p' "$out")
  R_NODES=$(sed -n 's/^The number of nodes \([0-9]*\)$/\1/p' "$out")
  R_BUF=$(sed -n 's/^The number of inserted buffer is : \([0-9]*\)$/\1/p' "$out")
  if [ "$rc" -eq 124 ]; then
    R_STATUS="timeout"
  elif [ "$rc" -ne 0 ] || [ -z "$R_TIME" ] || [ -z "$R_SLACK" ]; then
    R_STATUS="FAILED(rc=$rc)"
    FAILURES=$((FAILURES + 1))
    echo "FAILURE: $engine net $net lib $lib M $m rc $rc: $(head -c 300 "$WORK/err.txt")" >&2
  else
    R_STATUS=ok
  fi
}

# predict PREV_TIME PREV_NODES NODES EXPONENT -> prints 1 when the run should be skipped
predict_skip() {
  awk -v t="$1" -v a="$2" -v b="$3" -v e="$4" -v lim="$SKIP_ABOVE" \
    'BEGIN { if (t == "" || a == "" || a == 0) { print 0; exit } print (t * (b / a) ^ e > lim) ? 1 : 0 }'
}

ENGINES="list fast flat"
[ -n "$OLD_BIN" ] && ENGINES="$ENGINES oldlist oldfast"
declare -A EXPONENT=([list]=1.9 [fast]=1.0 [flat]=1.5 [oldlist]=1.9 [oldfast]=1.0)

header() {
  echo
  echo "### $1"
  echo
  if [ -n "$OLD_BIN" ]; then
    echo "| net | sinks | M | cand. nodes | types | list s | fast s | flat s | best/flat | old list s | old fast s | list old/new | fast old/new | list MB | fast MB | flat MB | slack ps | agree |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|:---:|"
  else
    echo "| net | sinks | M | cand. nodes | types | list s | fast s | flat s | best/flat | list MB | fast MB | flat MB | slack ps | agree |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|:---:|"
  fi
}

# ratio A B -> A/B with two decimals, "n/a" when either is below 1 ms, "—" when either is missing
ratio() {
  if [ -z "$1" ] || [ -z "$2" ]; then echo "—"; return; fi
  awk -v a="$1" -v b="$2" 'BEGIN { if (a < 1e-3 || b < 1e-3) print "n/a"; else printf "%.2f", a / b }'
}

# bench NAME SINKS-ARGS SCALE "TYPES" "COEFFS"
bench() {
  local name=$1 src=$2 scale=$3 types=$4 coeffs=$5 net t m e
  net="$WORK/$name-x$scale.net"
  # shellcheck disable=SC2086
  python3 "$GEN" $src --scale "$scale" --net "$net"
  local sinks cand
  sinks=$(grep -c '^sink ' "$net")
  cand=$(grep -c '^candidate ' "$net")
  for t in $types; do
    # per engine: last time and node estimate (for the extrapolation), skipped flag
    declare -A last_t=() last_n=() skipped=()
    for m in $coeffs; do
      declare -A tm=() mem=() cell=() slk=()
      local nodes_est nodes="" agree="yes" ref="" best=""
      nodes_est=$((cand + (cand + sinks) * m))
      for e in $ENGINES; do
        if [ "${skipped[$e]:-0}" = 1 ] || [ "$(predict_skip "${last_t[$e]:-}" "${last_n[$e]:-}" "$nodes_est" "${EXPONENT[$e]}")" = 1 ]; then
          skipped[$e]=1; cell[$e]="—"; mem[$e]="—"; continue
        fi
        run "$e" "$net" "$WORK/lib$t.lib" "$m"
        if [ "$R_STATUS" = ok ]; then
          tm[$e]=$R_TIME; slk[$e]=$R_SLACK; cell[$e]=$R_TIME; mem[$e]=$R_MEM
          last_t[$e]=$R_TIME; last_n[$e]=$nodes_est; nodes=${nodes:-$R_NODES}
          if [ -n "$nodes" ] && [ "$nodes" != "$R_NODES" ]; then
            echo "NODE COUNT MISMATCH: net $net M $m $e $R_NODES against $nodes" >&2
          fi
        else
          cell[$e]=$R_STATUS; mem[$e]="—"; skipped[$e]=1
        fi
      done
      for e in $ENGINES; do
        [ -n "${slk[$e]:-}" ] || continue
        if [ -z "$ref" ]; then ref=${slk[$e]}; continue; fi
        if [ "$(awk -v a="$ref" -v b="${slk[$e]}" 'BEGIN {
            d = a - b; if (d < 0) d = -d; m = (a < 0 ? -a : a); if ((b < 0 ? -b : b) > m) m = (b < 0 ? -b : b)
            if (m < 1) m = 1; print (d <= 1e-9 * m) ? "yes" : "NO" }')" = NO ]; then
          agree="NO"; FAILURES=$((FAILURES + 1))
          echo "DISAGREEMENT: net $net lib$t M $m $e ${slk[$e]} against $ref" >&2
        fi
      done
      [ -n "$ref" ] || agree="—"
      # the faster of the list and fast algorithms, against the flat engine
      if [ -n "${tm[list]:-}" ] && [ -n "${tm[fast]:-}" ]; then
        best=$(awk -v a="${tm[list]}" -v b="${tm[fast]}" 'BEGIN { print (a < b) ? a : b }')
      else
        best=${tm[list]:-${tm[fast]:-}}
      fi
      local row="| $name | $sinks | $m | ${nodes:-$nodes_est} | $t | ${cell[list]} | ${cell[fast]} | ${cell[flat]} | $(ratio "$best" "${tm[flat]:-}")"
      if [ -n "$OLD_BIN" ]; then
        row="$row | ${cell[oldlist]} | ${cell[oldfast]} | $(ratio "${tm[oldlist]:-}" "${tm[list]:-}") | $(ratio "${tm[oldfast]:-}" "${tm[fast]:-}")"
      fi
      echo "$row | ${mem[list]} | ${mem[fast]} | ${mem[flat]} | ${ref:-—} | $agree |"
      unset tm mem cell slk
    done
    unset last_t last_n skipped
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
