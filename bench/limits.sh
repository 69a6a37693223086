#!/usr/bin/env bash
# Benchmark of the flat engine under electrical limits against the same run
# without them, side by side.
#
# Central idea: for every configuration (public sink set, buffer types, wire
# segmenting coefficient M) run the flat engine without limits, read every
# stage's load and worst slew of its solution with bufins-check --stages,
# and take as limits the loads and slews that 10 % of those stages exceed
# (the 90th percentiles; raised to the 95th and 98th when no assignment meets
# them, as on unsegmented nets, whose long wires alone break them). Then run
# the flat engine with --max-slew and --max-cap at those limits, check its
# placement with bufins-check under the same limits, and print both runs'
# algorithm times (-t, short runs repeated and averaged) and, when valgrind
# is installed, the instructions executed inside the two engines' entry
# points (callgrind), which do not scatter.
#
# The nets are those of run.sh but with the driver at the centre of the sinks
# and of 125 ohm (the 16x buffer's): with run.sh's 2000-ohm driver in a corner,
# the driver's own wire breaks any slew limit that binds on the buffers'
# stages.
#
# Usage: bench/limits.sh [quick]     (quick: r1 only)
# Environment: BENCH_WORK (scratch directory), REPEATS (default 5),
#              CALLGRIND (default 1 when valgrind is installed; 0 to skip).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
NETS=${BENCH_NETS:-$ROOT/bench/nets}
BUILD="$ROOT/build-bench"
GEN="$HERE/gen_net.py"
REPEATS=${REPEATS:-5}
WORK=${BENCH_WORK:-$(mktemp -d -t bufins-limits.XXXXXX)}
CALLGRIND=${CALLGRIND:-$(command -v valgrind >/dev/null && echo 1 || echo 0)}
mkdir -p "$WORK"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF -DBUFINS_DRAW=OFF >/dev/null
cmake --build "$BUILD" -j2 --target bufins bufins-check >/dev/null
BIN="$BUILD/bufins"
CHECK="$BUILD/bufins-check"
ulimit -s 8192

NETLIST="r1 r3 r5"
[ "${1:-}" = quick ] && NETLIST="r1"
for t in 1 4 16; do python3 "$GEN" --types "$t" --lib "$WORK/lib$t.lib"; done
for n in $NETLIST; do
  python3 "$GEN" --sinks "$NETS/$n" --driver centre --driver-r 125 --net "$WORK/$n.net"
done

# mean_time ARGS... -> mean algorithm time of REPEATS runs of bufins ARGS -t
mean_time() {
  local sum=0 t k
  for ((k = 0; k < REPEATS; k++)); do
    t=$("$BIN" "$@" -t </dev/null | sed -n 's/^Algorithm time is : \([0-9.]*\) seconds$/\1/p')
    sum=$(awk -v a="$sum" -v b="$t" 'BEGIN { printf "%.6f", a + b }')
  done
  awk -v a="$sum" -v n="$REPEATS" 'BEGIN { printf "%.6f", a / n }'
}

# instructions FUNCTION ARGS... -> instructions executed inside FUNCTION
instructions() {
  local fn=$1
  shift
  valgrind --tool=callgrind --callgrind-out-file="$WORK/cg.out" --toggle-collect="$fn" "$BIN" "$@" \
    </dev/null >/dev/null 2>"$WORK/cg.err"
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$WORK/cg.err"
}

FAILURES=0
echo "| net | M | types | stages | limit pct | max-slew | max-cap fF | over slew | over cap | slack free | slack limited | buffers free/limited | free s | limited s | time ratio | free Minstr | limited Minstr | instr ratio |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for n in $NETLIST; do
  for types in 4 1 16; do
    for m in 0 5 10; do
      [ "$types" != 4 ] && [ "$m" != 5 ] && continue
      net="$WORK/$n.net"
      lib="$WORK/lib$types.lib"
      base="$WORK/$n-$types-$m"
      "$BIN" -a flat -m "$m" -f "$net" -b "$lib" --out="$base-free" </dev/null >"$base-free.txt"
      "$CHECK" --stages "$base-free.finalnet" "$lib" "$base-free.buf" |
        sed -n 's/^  stage .* : load \([^ ]*\) slew \([^ ]*\)$/\1 \2/p' >"$base.stages"
      stages=$(wc -l <"$base.stages")
      chosen=""
      for pct in 90 95 98; do
        read -r cap slew < <(sort -g "$base.stages" | awk -v p="$pct" '{ l[NR] = $1 } END { print l[int(NR * p / 100) + 1] }' |
          paste - <(awk '{ print $2 }' "$base.stages" | sort -g | awk -v p="$pct" '{ s[NR] = $1 } END { print s[int(NR * p / 100) + 1] }'))
        limits=(--max-slew="$slew" --max-cap="$cap")
        set +e
        "$BIN" -m "$m" -f "$net" -b "$lib" --out="$base-lim" "${limits[@]}" </dev/null >"$base-lim.txt" 2>"$base-lim.err"
        rc=$?
        set -e
        if [ "$rc" -eq 0 ]; then
          chosen=$pct
          break
        fi
      done
      if [ -z "$chosen" ]; then
        echo "| $n | $m | $types | $stages | infeasible at the 98th percentile | | | | | | | | | | | | | |"
        continue
      fi
      over_slew=$(awk -v s="$slew" '$2 > s { k++ } END { printf "%.0f%%", 100 * k / NR }' "$base.stages")
      over_cap=$(awk -v c="$cap" '$1 > c { k++ } END { printf "%.0f%%", 100 * k / NR }' "$base.stages")
      s_free=$(sed -n 's/.*The slack after buffer insertion : *//p' "$base-free.txt")
      s_lim=$(sed -n 's/.*The slack after buffer insertion : *//p' "$base-lim.txt")
      b_free=$(sed -n 's/^The number of inserted buffer is : //p' "$base-free.txt")
      b_lim=$(sed -n 's/^The number of inserted buffer is : //p' "$base-lim.txt")
      if ! "$CHECK" --slack "$s_lim" "${limits[@]}" "$base-lim.finalnet" "$lib" "$base-lim.buf" >/dev/null 2>"$WORK/check.err"; then
        echo "FAILURE: $n M $m types $types: bufins-check rejects the limited placement: $(cat "$WORK/check.err")" >&2
        FAILURES=$((FAILURES + 1))
      fi
      t_free=$(mean_time -a flat -m "$m" -f "$net" -b "$lib" --out="$base-free")
      t_lim=$(mean_time -m "$m" -f "$net" -b "$lib" --out="$base-lim" "${limits[@]}")
      ratio=$(awk -v a="$t_lim" -v b="$t_free" 'BEGIN { if (b < 1e-4) print "n/a"; else printf "%.2f", a / b }')
      i_free="" i_lim="" i_ratio=""
      if [ "$CALLGRIND" = 1 ]; then
        i_free=$(instructions 'flat(Node*)' -a flat -m "$m" -f "$net" -b "$lib" --out="$base-free")
        i_lim=$(instructions 'FlatLimited::run(Node*)' -m "$m" -f "$net" -b "$lib" --out="$base-lim" "${limits[@]}")
        i_ratio=$(awk -v a="$i_lim" -v b="$i_free" 'BEGIN { printf "%.2f", a / b }')
        i_free=$(awk -v a="$i_free" 'BEGIN { printf "%.1f", a / 1e6 }')
        i_lim=$(awk -v a="$i_lim" 'BEGIN { printf "%.1f", a / 1e6 }')
      fi
      echo "| $n | $m | $types | $stages | $chosen | $slew | $cap | $over_slew | $over_cap | $s_free | $s_lim | $b_free / $b_lim | $t_free | $t_lim | $ratio | $i_free | $i_lim | $i_ratio |"
    done
  done
done
echo
echo "Failures: $FAILURES"
[ "$FAILURES" -eq 0 ]
