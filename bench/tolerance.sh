#!/usr/bin/env bash
# Benchmark of the approximate frontier (--cost-tolerance) beside the exact
# frontier and the max-slack flat run, with the SKY130 buffers of
# examples/cells: their areas exactly as the Liberty file gives them (all
# whole placement sites, 1.2512 um^2) and rounded to two decimals (3.75,
# 5.00, 7.51, ...: common unit 0.01), with and without the cells' max_cap=.
#
# Every row also checks the bound: each point of the approximate frontier
# costs at most (1 + E) times the exact least cost at its slack, and the
# approximate maximum slack is the exact one. Times are the algorithm's CPU
# seconds (the JSON report's algorithm_time_s, nanosecond clock) and the
# process's peak RSS, of one run each; a run that exceeds BENCH_TIMEOUT
# seconds is shown as such.
#
# Usage: bench/tolerance.sh [NET...]   (default: r1 r3 r5 r5x16; r5x16 is r5
#        tiled 4 x 4, 49,616 sinks)
# Environment: BENCH_WORK (scratch directory), BENCH_TIMEOUT (default 900),
#              TOLERANCES (default "1% 5%").
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
NETS=${BENCH_NETS:-$ROOT/bench/nets}
BUILD=${BENCH_BUILD:-$ROOT/build-bench}
WORK=${BENCH_WORK:-$(mktemp -d -t bufins-tolerance.XXXXXX)}
TIMEOUT=${BENCH_TIMEOUT:-900}
TOLERANCES=${TOLERANCES:-"1% 5%"}
mkdir -p "$WORK"
if [ -z "${BENCH_BUILD:-}" ]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF >/dev/null
  cmake --build "$BUILD" -j2 --target bufins >/dev/null
fi
BIN="$BUILD/bufins"
ulimit -s 8192

SKY="$ROOT/examples/cells/sky130hd_buffers.lib"
cp "$SKY" "$WORK/exact.lib"
awk '{ if (match($0, /area=[0-9.]+/)) { a = substr($0, RSTART + 5, RLENGTH - 5);
       $0 = substr($0, 1, RSTART - 1) sprintf("area=%.2f", a) substr($0, RSTART + RLENGTH) } print }' \
  "$SKY" >"$WORK/two.lib"
for l in exact two; do sed -E 's/ max_cap=[0-9.e+]+//' "$WORK/$l.lib" >"$WORK/$l-nocap.lib"; done

nets=("$@")
[ ${#nets[@]} -gt 0 ] || nets=(r1 r3 r5 r5x16)
for n in "${nets[@]}"; do
  [ -f "$WORK/$n.net" ] && continue
  case $n in
    r5x16) python3 "$HERE/gen_net.py" --sinks "$NETS/r5" --tile 4 --net "$WORK/$n.net" ;;
    *) python3 "$HERE/gen_net.py" --sinks "$NETS/$n" --net "$WORK/$n.net" ;;
  esac
done

# run NAME ARGS... -> "cpu rss_mib" (or "timeout -"); outputs under $WORK/NAME.*
run() {
  local name=$1
  shift
  if (cd "$WORK" && timeout "$TIMEOUT" "$BIN" -q "$@" --out="$name" -j "$name.json" >"$name.out" 2>"$name.err"); then
    python3 -c 'import json, sys; j = json.load(open(sys.argv[1]))
print("%.4f %.1f" % (j["algorithm_time_s"], j["peak_rss_kib"] / 1024))' "$WORK/$name.json"
  else
    echo "timeout -"
  fi
}

# bound EXACT.csv APPROX.csv E -> "points worst-ratio" (fails when the bound breaks)
bound() {
  python3 - "$@" <<'PY'
import bisect, csv, sys
from decimal import Decimal
def rows(f):
    return [(Decimal(c), float(s)) for c, b, s in list(csv.reader(open(f)))[1:]]
ex, ap, e = rows(sys.argv[1]), rows(sys.argv[2]), Decimal(sys.argv[3])
slacks = [s for c, s in ex]
worst = Decimal(1)
for c, s in ap:
    noise = 1e-9 * max(1.0, abs(s))
    i = bisect.bisect_left(slacks, s - noise)
    assert i < len(ex), ("no exact point reaches", s)
    while i + 1 < len(ex) and slacks[i + 1] <= s + noise:  # exact points a rounding apart: the same slack
        i += 1
    least = ex[i][0]
    assert c <= (1 + e) * least, ("bound broken", c, s, least)
    if least > 0: worst = max(worst, c / least)
assert abs(ap[-1][1] - ex[-1][1]) <= 1e-9 * max(1.0, abs(ex[-1][1])), "maximum slack differs"
print(len(ap), "%.5f" % worst)
PY
}

printf '| net | library | max slack CPU s, MiB | exact --min-cost CPU s, MiB | E | --cost-tolerance CPU s, MiB | CPU / max slack | RSS / max slack | points (exact, approx.) | worst cost ratio |\n'
printf '|---|---|---|---|---|---|---|---|---|---|\n'
for n in "${nets[@]}"; do
  for l in exact-nocap two-nocap exact two; do
    read -r fc fr < <(run "$n-$l-flat" -a flat -m 0 -f "$n.net" -b "$l.lib")
    read -r ec er < <(run "$n-$l-exact" -m 0 -f "$n.net" -b "$l.lib" --min-cost --frontier="$n-$l-exact.csv")
    for e in $TOLERANCES; do
      read -r tc tr < <(run "$n-$l-tol" -m 0 -f "$n.net" -b "$l.lib" --min-cost --cost-tolerance="$e" \
                          --frontier="$n-$l-tol.csv")
      frac=$(python3 -c "print(float('${e%\%}') / 100)")
      check="-"
      if [ "$ec" != timeout ] && [ "$tc" != timeout ]; then
        check=$(bound "$WORK/$n-$l-exact.csv" "$WORK/$n-$l-tol.csv" "$frac")
        check="$(wc -l <"$WORK/$n-$l-exact.csv" | awk '{ print $1 - 1 }'), $check"
      fi
      ratio() { [ "$1" = timeout ] && echo - || python3 -c "print('%.1f' % ($1 / max($2, 1e-6)))"; }
      printf '| %s | %s | %s, %s | %s, %s | %s | %s, %s | %s | %s | %s | %s |\n' "$n" "$l" "$fc" "$fr" "$ec" "$er" "$e" \
        "$tc" "$tr" "$(ratio "$tc" "$fc")" "$(ratio "$tr" "$fr")" "${check% *}" "${check##* }"
    done
  done
done
