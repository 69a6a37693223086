#!/usr/bin/env bash
# Benchmark of the slack–cost frontier (bufins --min-cost and friends) beside
# the max-slack flat run it generalises.
#
# Central idea: both are timed in one process on the same tables by
# bench_frontier (Google Benchmark, in-process CPU time of the algorithm
# alone, repeated until the figure is stable), so the ratio compares like with
# like even for runs of a millisecond, where the tool's -t figure reads 0;
# with CALLGRIND=1 the two are also counted in instructions (valgrind), which
# a loaded machine does not disturb. Peak RSS comes from two separate runs of
# the tool (-a flat, then --min-cost) under /usr/bin/time. A second table gives
# the frontier's shape on every public sink set: the flat run's buffer count,
# the least cost at the maximum slack, and the least costs within 1 %, 5 % and
# 10 % of it.
#
# Usage: bench/frontier.sh [quick]      (quick: r1 only, a smoke test)
# Environment: BENCH_WORK (scratch directory, default a fresh mktemp -d),
#              CALLGRIND=1 (also count instructions; slow).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
NETS=${BENCH_NETS:-$ROOT/bench/nets}
BUILD="$ROOT/build-bench"
GEN="$HERE/gen_net.py"
WORK=${BENCH_WORK:-$(mktemp -d -t bufins-frontier.XXXXXX)}
QUICK=${1:-}
mkdir -p "$WORK"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF -DBUFINS_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 --target bufins bench_frontier >/dev/null
BIN="$BUILD/bufins"
BENCH="$BUILD/bench_frontier"
ulimit -s 8192

# Libraries: 1 and 4 types with unit areas, and the 4-type one with areas
# 1, 2, 4, 8 (smallest buffer cheapest).
for t in 1 4; do python3 "$GEN" --types "$t" --lib "$WORK/lib$t.lib"; done
awk 'BEGIN { a[1] = 1; a[2] = 2; a[3] = 4; a[4] = 8 } /^buff/ { n++; print $0 " area=" a[n]; next } { print }' \
  "$WORK/lib4.lib" >"$WORK/lib4a.lib"

net() {  # net NAME gen_net.py-arguments...
  local name=$1
  shift
  [ -f "$WORK/$name.net" ] || python3 "$GEN" "$@" --net "$WORK/$name.net"
}

# instructions NET LIB M ARGS... -> instructions of the algorithm's function
instructions() {
  local net=$1 lib=$2 m=$3 fn=$4 d
  shift 4
  d=$(mktemp -d "$WORK/cg.XXXXXX")
  cp "$net" "$d/n.net"
  (cd "$d" && valgrind --tool=callgrind --callgrind-out-file=cg.out --toggle-collect="$fn" \
     "$BIN" "$@" -m "$m" -f n.net -b "$lib" >/dev/null 2>&1)
  callgrind_annotate "$d/cg.out" 2>/dev/null | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,
  rm -rf "$d"
}

rss() {  # rss NET LIB M ARGS... -> peak RSS in KiB of one run of the tool
  local net=$1 lib=$2 m=$3 d
  shift 3
  d=$(mktemp -d "$WORK/rss.XXXXXX")
  cp "$net" "$d/n.net"
  (cd "$d" && /usr/bin/time -f %M "$BIN" "$@" -m "$m" -f n.net -b "$lib" 2>&1 >/dev/null | tail -n 1)
  rm -rf "$d"
}

echo "### Frontier against the max-slack flat run"
echo
if [ "${CALLGRIND:-0}" = 1 ]; then
  echo "| net | sinks | M | types | areas | flat ms | frontier ms | ratio | flat Minstr | frontier Minstr | instr. ratio | goal | flat RSS MiB | frontier RSS MiB | RSS ratio | points | least cost at max slack |"
  echo "|---|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
else
  echo "| net | sinks | M | types | areas | flat ms | frontier ms | ratio | goal | flat RSS MiB | frontier RSS MiB | RSS ratio | points | least cost at max slack |"
  echo "|---|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
fi

row() {  # row NAME SINKS LIB M GOAL
  local name=$1 sinks=$2 lib=$3 m=$4 goal=$5 json types areas
  json="$WORK/bench.json"
  BUFINS_BENCH_NET="$WORK/$name.net" BUFINS_BENCH_LIB="$WORK/$lib.lib" BUFINS_BENCH_M="$m" \
    "$BENCH" --benchmark_min_time=0.3 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_format=json >"$json" 2>/dev/null
  types=$(grep -c '^buff' "$WORK/$lib.lib")
  areas=$([ "$lib" = lib4a ] && echo "1,2,4,8" || echo "1")
  local fr fl
  fl=$(rss "$WORK/$name.net" "$WORK/$lib.lib" "$m" -a flat)
  fr=$(rss "$WORK/$name.net" "$WORK/$lib.lib" "$m" --min-cost)
  local cg=""
  if [ "${CALLGRIND:-0}" = 1 ]; then
    local a b
    a=$(instructions "$WORK/$name.net" "$WORK/$lib.lib" "$m" 'flat(Node*)' -a flat)
    b=$(instructions "$WORK/$name.net" "$WORK/$lib.lib" "$m" 'CostFrontier::run(Node*, int)' --min-cost)
    cg=$(awk -v a="$a" -v b="$b" 'BEGIN { printf "| %.1f | %.1f | %.1fx ", a / 1e6, b / 1e6, b / a }')
  fi
  python3 - "$json" "$name" "$sinks" "$m" "$types" "$areas" "$goal" "$fl" "$fr" "$cg" <<'EOF'
import json, sys
path, name, sinks, m, types, areas, goal, fl, fr, cg = sys.argv[1:]
runs = {b["run_name"]: b for b in json.load(open(path))["benchmarks"] if b.get("aggregate_name") == "median"}
flat, front = runs["BM_Flat"], runs["BM_Frontier"]
ratio = front["cpu_time"] / flat["cpu_time"]
rss_ratio = float(fr) / float(fl)
print(f"| {name} | {sinks} | {m} | {types} | {areas} | {flat['cpu_time']:.3f} | {front['cpu_time']:.2f} | "
      f"{ratio:.1f}x {cg}| {goal} | {float(fl) / 1024:.1f} | {float(fr) / 1024:.1f} | {rss_ratio:.1f}x | "
      f"{int(front['points'])} | {int(front['cost_max'])} |")
EOF
}

sinks_of() { sed -n 's/^number_of_sinks \([0-9]*\)$/\1/p' "$WORK/$1.net"; }

NETS_MAIN="r1 r3 r5"
[ "$QUICK" = quick ] && NETS_MAIN="r1"
for n in $NETS_MAIN; do net "$n" --sinks "$NETS/$n"; done
for n in $NETS_MAIN; do
  for lib in lib1 lib4; do
    row "$n" "$(sinks_of "$n")" "$lib" 0 "10x"
    row "$n" "$(sinks_of "$n")" "$lib" 5 "15x"
  done
  row "$n" "$(sinks_of "$n")" lib4a 0 "30x"
done
if [ "$QUICK" != quick ]; then
  net r5x16 --sinks "$NETS/r5" --tile 4
  for lib in lib1 lib4; do row r5x16 "$(sinks_of r5x16)" "$lib" 0 "30x"; done
  net r5-dense --sinks "$NETS/r5" --scale 0.01
  row r5-dense "$(sinks_of r5-dense)" lib4 0 "—"
fi

echo
echo "### Frontier shape on the public sink sets (4 types, unit areas)"
echo
echo "| net | sinks | M | flat run's buffers | least cost at max slack | share | cost within 1 % | within 5 % | within 10 % | max slack ps |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
SHAPE_NETS="s1423 s5378 p1 r1 s15850 r2 p2 r3 r4 r5"
[ "$QUICK" = quick ] && SHAPE_NETS="r1"
for n in $SHAPE_NETS; do
  net "$n" --sinks "$NETS/$n"
  for m in 0 5; do
    d=$(mktemp -d "$WORK/shape.XXXXXX")
    cp "$WORK/$n.net" "$d/n.net"
    flat_buffers=$(cd "$d" && "$BIN" -a flat -m "$m" -f n.net -b "$WORK/lib4.lib" | sed -n 's/^The number of inserted buffer is : //p')
    (cd "$d" && "$BIN" --min-cost --frontier=f.csv -m "$m" -f n.net -b "$WORK/lib4.lib" >/dev/null)
    python3 - "$d/f.csv" "$n" "$(sinks_of "$n")" "$m" "$flat_buffers" <<'EOF'
import csv, sys
path, name, sinks, m, flat = sys.argv[1:]
pts = [(int(r["cost"]), float(r["slack"])) for r in csv.DictReader(open(path))]
best = pts[-1][1]
within = lambda share: next(c for c, s in pts if s >= best - share * abs(best))
print(f"| {name} | {sinks} | {m} | {flat} | {pts[-1][0]} | {100.0 * pts[-1][0] / int(flat):.0f} % | "
      f"{within(0.01)} | {within(0.05)} | {within(0.10)} | {best:.2f} |")
EOF
    rm -rf "$d"
  done
done
