#!/usr/bin/env bash
# Reading, writing and start-up of bufins beside an earlier commit, in one run.
#
# Central idea: input and output are most of the work on small nets and a
# large part on big ones, so their cost is measured where a user pays it,
# whole runs and whole files, with both builds side by side on the same
# files in the same session (times on a shared machine drift; instruction
# counts do not):
#   - start-up: a 3-sink net through `bufins -a flat -m 0`, CPU time (user +
#     system, the least of 30 runs: a short run's time comes in clock ticks
#     and the machine may be shared) and minor page faults (/usr/bin/time
#     -v); /bin/true beside it, measured the same way in the same run;
#   - the JSON report: instructions (callgrind) of r5 at M = 0 with and
#     without -j;
#   - the readers and the final net writers on a net of a million nodes (r5
#     segmented with M = 160 and written back, 63 MB): bench_io's CPU time
#     (the least of 5 repetitions) of the model reader (what the flat engines
#     and the library read), the same with the copy into the global tables
#     (list and fast engines), the tables' writer (temporary and rename) and
#     the model's writer (the file opened afresh), against `cat FILE >
#     /dev/null` and `cat FILE > COPY` (CPU time, the least of 10); and the
#     two parts of a writer's cost apart: the tables' writer into /dev/null
#     (formatting, no page cache) and the file's own bytes written through an
#     output without formatting (what the kernel alone costs);
#   - bufins-route on r5: instructions, and the share spent formatting
#     figures ("%.15g").
#
# Usage: bench/io.sh [OLD_REV]    (default: the merge base of HEAD and main)
# Environment: IO_WORK (scratch directory, kept when given; default a fresh
# mktemp -d, removed afterwards). Needs valgrind, /usr/bin/time and
# libbenchmark-dev. Prints Markdown tables on standard output.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
NETS=${BENCH_NETS:-$ROOT/bench/nets}
REV=${1:-$(git -C "$ROOT" merge-base HEAD main)}
REV_ID=$(git -C "$ROOT" rev-parse --verify "$REV^{commit}")
if [ -n "${IO_WORK:-}" ]; then
  WORK=$IO_WORK
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d -t bufins-io.XXXXXX)
  trap 'rm -rf "$WORK"' EXIT
fi

build() {  # build SOURCE_DIR BUILD_DIR
  if ! { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF -DBUFINS_BENCH=ON &&
         cmake --build "$2" -j2 --target bufins bufins-route bench_io; } >"$2.log" 2>&1; then
    echo "build of $1 failed; see $2.log" >&2
    exit 2
  fi
}
rm -rf "$WORK/src-old"
mkdir -p "$WORK/src-old"
git -C "$ROOT" archive "$REV_ID" | tar -x -C "$WORK/src-old"
# The benchmark program of this tree, so that both sides measure the same way.
cp "$ROOT/bench/bench_io.cpp" "$WORK/src-old/bench/bench_io.cpp"
build "$WORK/src-old" "$WORK/build-old"
build "$ROOT" "$WORK/build-new"
OLD=$WORK/build-old
NEW=$WORK/build-new

cd "$WORK"
python3 "$HERE/gen_net.py" --random 3 --seed 1 --net n3.net
python3 "$HERE/gen_net.py" --types 4 --lib lib4.lib
python3 "$HERE/gen_net.py" --sinks "$NETS/r5" --net r5.net
: >empty.lib
"$NEW/bufins" -a list -m 160 -q -f r5.net -b empty.lib --out=big >/dev/null

# cpu COMMAND...: the least CPU time (ms, user + system) of $RUNS runs
# (default 5), standard output to $CPU_OUT (default /dev/null).
cpu() {
  python3 - "$@" <<'EOF'
import os, sys
out = os.environ.get("CPU_OUT", "/dev/null")
best = None
for _ in range(int(os.environ.get("RUNS", "5"))):
    fa = [(os.POSIX_SPAWN_OPEN, 1, out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    pid = os.posix_spawnp(sys.argv[1], sys.argv[1:], os.environ, file_actions=fa)
    _, status, ru = os.wait4(pid, 0)
    t = ru.ru_utime + ru.ru_stime
    best = t if best is None else min(best, t)
print("%.2f" % (best * 1000))
EOF
}
faults() { /usr/bin/time -v "$@" 2>&1 >/dev/null | sed -n 's/.*Minor (reclaiming a frame) page faults: //p'; }
instructions() { valgrind --tool=callgrind --callgrind-out-file=cg.out "$@" 2>&1 >/dev/null | sed -n 's/.*refs: *//p' | tr -d ,; }
# share FUNCTION: inclusive instructions of the functions matching FUNCTION in cg.out
share() { callgrind_annotate --inclusive=yes cg.out 2>/dev/null | grep -E "$1" | head -1 | awk '{gsub(",", "", $1); print $1}'; }
bench_cpu() {  # bench_cpu BUILD BENCHMARK: least CPU ms of 5 repetitions
  BUFINS_BENCH_NET=big.finalnet "$1/bench_io" --benchmark_filter="^$2\$" --benchmark_repetitions=5 \
    --benchmark_format=csv 2>/dev/null | awk -F, '$1 ~ /"'"$2"'"$/ {print $4}' | sort -g | head -1
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "old: $(git -C "$ROOT" log -1 --format='%h %s' "$REV_ID" | cut -c1-80)"
echo "new: the working tree at $(git -C "$ROOT" log -1 --format='%h' HEAD)"
echo
echo "### Start-up: a 3-sink net, \`bufins -a flat -m 0\` (CPU ms: least of 30; minor page faults)"
echo
echo "| program | old CPU ms | new CPU ms | old faults | new faults |"
echo "|---|---|---|---|---|"
run3() { echo "$1" -a flat -m 0 -f n3.net -b lib4.lib --out=o3; }
echo "| bufins, 3 sinks | $(RUNS=30 cpu $(run3 "$OLD/bufins")) | $(RUNS=30 cpu $(run3 "$NEW/bufins")) | $(faults $(run3 "$OLD/bufins")) | $(faults $(run3 "$NEW/bufins")) |"
echo "| /bin/true | $(RUNS=30 cpu /bin/true) | | $(faults /bin/true) | |"
echo
echo "### The JSON report: r5 (3,101 sinks), 4 types, \`-a flat -m 0\` (instructions, millions)"
echo
echo "| build | without -j | with -j | with / without |"
echo "|---|---|---|---|"
for side in old new; do
  B=$OLD
  [ $side = new ] && B=$NEW
  a=$(instructions "$B/bufins" -a flat -m 0 -f r5.net -b lib4.lib --out=r5)
  b=$(instructions "$B/bufins" -a flat -m 0 -f r5.net -b lib4.lib --out=r5 -j r5.json)
  echo "| $side | $(awk -v a="$a" 'BEGIN{printf "%.1f", a/1e6}') | $(awk -v a="$b" 'BEGIN{printf "%.1f", a/1e6}') | $(ratio "$b" "$a") |"
done
echo
SIZE=$(stat -c %s big.finalnet)
echo "### A million-node net ($(grep -c '^candidate' big.finalnet) candidates, $((SIZE / 1000000)) MB): CPU ms, least of 5"
echo
CAT=$(RUNS=10 cpu cat big.finalnet)
CATW=$(RUNS=10 CPU_OUT=copy.net cpu cat big.finalnet)
echo "| step | old ms | new ms | cat ms | new / cat |"
echo "|---|---|---|---|---|"
row() {  # row LABEL BENCHMARK CAT_MS CAT_LABEL
  local o n
  o=$(bench_cpu "$OLD" "$2")
  n=$(bench_cpu "$NEW" "$2")
  echo "| $1 | $o | $n | $3 ($4) | $(ratio "$n" "$3") |"
}
row "read_net_model (the model, tree checks included)" BM_ReadNet "$CAT" "cat FILE > /dev/null"
row "read_net (the same and the global tables)" BM_ReadNetTables "$CAT" "cat FILE > /dev/null"
row "final net writer, tables (temporary, rename)" BM_WriteFinalNet "$CATW" "cat FILE > COPY"
row "final net writer, model (file opened afresh)" BM_WriteFinalNetModel "$CATW" "cat FILE > COPY"
row "the tables' writer into /dev/null (the formatting alone)" BM_WriteFinalNetNull "$CATW" "cat FILE > COPY"
row "the file's own bytes through an output (the kernel alone)" BM_WriteBytes "$CATW" "cat FILE > COPY"
echo
echo "### bufins-route on r5 (instructions, millions; formatting: \"%.15g\" figures, inclusive)"
echo
echo "| build | total | formatting | share |"
echo "|---|---|---|---|"
t=$(instructions "$OLD/bufins-route" "$NETS/r5" --driver-res=200 --required=1000 -o route.net)
f=$(share 'format_general15|route::figure')
echo "| old | $(awk -v a="$t" 'BEGIN{printf "%.1f", a/1e6}') | $(awk -v a="$f" 'BEGIN{printf "%.1f", a/1e6}') | $(awk -v a="$f" -v b="$t" 'BEGIN{printf "%.1f%%", 100*a/b}') |"
t=$(instructions "$NEW/bufins-route" "$NETS/r5" --driver-res=200 --required=1000 -o route.net)
f=$(share 'format_general15')
echo "| new | $(awk -v a="$t" 'BEGIN{printf "%.1f", a/1e6}') | $(awk -v a="$f" 'BEGIN{printf "%.1f", a/1e6}') | $(awk -v a="$f" -v b="$t" 'BEGIN{printf "%.1f%%", 100*a/b}') |"
