#!/usr/bin/env bash
# Output comparison of two builds of bufins: a named commit against the
# current working tree.
#
# Central idea: a change that is meant to alter only how the tool stores,
# reads or writes things (not what it computes) must leave every output byte
# as it was. The script builds the named commit (exported with git archive
# into a scratch directory) and the current working tree (uncommitted changes
# included), both in Release, runs both on the same set of nets (the
# list, fast and flat engines, wire-segmenting coefficients 0 and 5, libraries of 1 to 64
# types, all with -o -t -d; public sink sets, random nets, nets with tied
# required times, and the repository's own example and test nets) and
# compares, run by run:
#   - standard output, with the figure of the "Algorithm time is" line masked;
#   - the exit status and standard error;
#   - the placement file (.buf) and the final net file (.finalnet);
#   - the JSON report (-j, its two measurements algorithm_time_s and
#     peak_rss_kib masked) and, for the flat engine, the frontier CSV of the
#     cost options.
# The flat engine runs once plain and once for each option set of FLAT_OPTS
# (the cost options, the limits, and both together). Then bufins-route's nets
# of the public sink sets (with and without --pitch) are compared byte for
# byte.
# Each build runs in its own directory on its own copy of the nets, under the
# same file names, so the outputs can be compared byte for byte.
#
# Usage: bench/compare.sh [-q] [REV [NEW_REV]]
#   REV      the commit to compare against (default: the merge base of HEAD
#            and main, the parent of the first commit of the current branch's
#            change)
#   NEW_REV  a commit to build instead of the working tree
#   -q       quick: only the smallest nets, for a smoke test
# Environment: COMPARE_WORK (scratch directory, default a fresh mktemp -d;
#              kept afterwards when given, removed otherwise),
#              RUN_TIMEOUT (seconds per run, default 300),
#              ALGS (engines to run: 1 list, 2 fast, flat; default "1 2 flat"),
#              FLAT_OPTS (option sets of the flat runs, words joined by ':',
#              '-' for none; default below).
# Prints one line per configuration ("same" or "DIFF: what differs") and a
# summary; exits 1 when any run differs, 2 when a build fails.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
NETS=${BENCH_NETS:-$ROOT/bench/nets}
GEN="$HERE/gen_net.py"
RUN_TIMEOUT=${RUN_TIMEOUT:-300}
ALGS=${ALGS:-1 2 flat}
FLAT_OPTS=${FLAT_OPTS:-- --min-cost:--frontier=f.csv --target=0 --budget=3 --within=20 --within=5% --max-cap=60 --max-slew=300 --max-cap=60:--within=5%:--frontier=f.csv --max-slew=300:--budget=4}

QUICK=0
if [ "${1:-}" = "-q" ]; then
  QUICK=1
  shift
fi
REV=${1:-$(git -C "$ROOT" merge-base HEAD main)}
REV_ID=$(git -C "$ROOT" rev-parse --verify "$REV^{commit}")
NEW_REV=${2:+$(git -C "$ROOT" rev-parse --verify "$2^{commit}")}

if [ -n "${COMPARE_WORK:-}" ]; then
  WORK=$COMPARE_WORK
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d -t bufins-compare.XXXXXX)
  trap 'rm -rf "$WORK"' EXIT
fi

echo "old: $(git -C "$ROOT" log -1 --format='%h %s' "$REV_ID")"
if [ -n "$NEW_REV" ]; then
  echo "new: $(git -C "$ROOT" log -1 --format='%h %s' "$NEW_REV")"
else
  echo "new: the working tree of $ROOT at $(git -C "$ROOT" log -1 --format='%h' HEAD)$(git -C "$ROOT" diff --quiet HEAD -- src CMakeLists.txt || echo ', with uncommitted changes')"
fi

# ---- Builds ----
build() {  # build SOURCE_DIR BUILD_DIR
  if ! { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF &&
         cmake --build "$2" -j2 --target bufins bufins-route; } >"$2.log" 2>&1; then
    echo "build of $1 failed; see $2.log" >&2
    exit 2
  fi
}
export_rev() {  # export_rev REV DIR
  rm -rf "$2"
  mkdir -p "$2"
  git -C "$ROOT" archive "$1" | tar -x -C "$2"
}
export_rev "$REV_ID" "$WORK/src-old"
build "$WORK/src-old" "$WORK/build-old"
if [ -n "$NEW_REV" ]; then
  export_rev "$NEW_REV" "$WORK/src-new"
  build "$WORK/src-new" "$WORK/build-new"
else
  build "$ROOT" "$WORK/build-new"
fi
OLD_BIN="$WORK/build-old/bufins"
NEW_BIN="$WORK/build-new/bufins"

# ---- Nets ----
# Every net gets a name; gen_net.py nets run with each generated library,
# a net of the repository with its own library.
IN="$WORK/in"
rm -rf "$IN"
mkdir -p "$IN"
TYPES="1 4 16 64"
for t in $TYPES; do python3 "$GEN" --types "$t" --lib "$IN/lib$t.lib"; done
# Buffers without delay or without resistance: buffered candidates then tie
# in required time with each other and with what they drive.
printf 'buffer 1 0 0\nbuffer 4 0 500\nbuffer 16 0 0\nbuffer 2 10 0\n' >"$IN/libtie.lib"

GEN_NETS=()  # name:libraries
gen() {  # gen NAME "TYPES" gen_net.py-arguments...
  local name=$1 types=$2
  shift 2
  python3 "$GEN" "$@" --net "$IN/$name.net"
  GEN_NETS+=("$name:$types")
}
# With -d the listings grow with nodes x candidates x trace depth: the larger
# nets run with the smaller libraries only.
gen s1423 "$TYPES" --sinks "$NETS/s1423"
gen rnd40 "$TYPES" --random 40 --seed 3
gen rnd30c-dense "$TYPES" --random 30 --seed 4 --dist clustered --scale 0.01
# Ties: equal required times, wires without resistance and capacitance,
# buffers without delay or resistance.
gen s1423-tie "4 tie" --sinks "$NETS/s1423" --req-spread 0
gen rnd40-tie "4 16 tie" --random 40 --seed 5 --req-spread 0 --wire-r 0 --wire-c 0
if [ "$QUICK" -eq 0 ]; then
  gen s1423-dense "1 4" --sinks "$NETS/s1423" --scale 0.01
  gen s5378 "1 4" --sinks "$NETS/s5378"
  gen r1 "1 4" --sinks "$NETS/r1"
  gen rnd100c "1 4 16" --random 100 --seed 2 --dist clustered
  gen rnd60-dense-tie "4 tie" --random 60 --seed 6 --scale 0.01 --req-spread 0
fi

OWN_NETS=()  # name:netfile:libfile
own() { cp "$2" "$IN/$1.net"; cp "$3" "$IN/$1.lib"; OWN_NETS+=("$1"); }
own demo "$ROOT/examples/demo.net" "$ROOT/examples/demo.lib"
# Zero loads, zero wire constants and zero-delay buffers: every buffered
# candidate ties with the unbuffered one.
printf '%s\n' "driver 2184.0 1101.0 223.8383418688183" "sink 63 -930.0 1946.0 0.0 0.0" \
  "sink 47 19.0 4832.0 0.0 0.0" "candidate 60 2636.0 3154.0" "edge 60 63" "edge 0 60" "edge 60 47" >"$WORK/tie0.net"
printf '%s\n' "buffer_1 0.000745852126019268 0.0 482.08691096253364" \
  "buffer_6 38.4 0.0 292.12593493358395" >"$WORK/tie0.lib"
own tie0 "$WORK/tie0.net" "$WORK/tie0.lib"
for n in "$ROOT"/tests/data/*.net; do
  b=$(basename "$n" .net)
  [ -f "$ROOT/tests/data/$b.lib" ] && own "$b" "$n" "$ROOT/tests/data/$b.lib"
done

# ---- Runs ----
ulimit -s 8192
DIFFS=0
RUNS=0

# run BIN DIR NET LIB ALG M: runs in DIR on its copies; leaves out.txt (time
# masked), rc.txt, NET.buf and NET.finalnet there.
run() {
  local bin=$1 dir=$2 net=$3 lib=$4 alg=$5 m=$6 rc
  rm -f "$dir/$net.buf" "$dir/$net.finalnet" "$dir/run.json" "$dir/f.csv" "$dir/json.txt"
  set +e
  # The flat engine is chosen by -a (the prompt knows the list and fast ones).
  if [ "${alg%%:*}" = flat ]; then
    local opts=${alg#flat:}
    [ "$opts" = "-" ] || [ "$opts" = flat ] && opts=""
    # shellcheck disable=SC2086
    (cd "$dir" && printf '%s\n' "$m" |
       timeout "$RUN_TIMEOUT" "$bin" -a flat -f "$net.net" -b "$lib" -o -t -d -j run.json ${opts//:/ } >raw.txt 2>err.txt)
  else
    (cd "$dir" && printf '%s\n%s\n' "$alg" "$m" |
       timeout "$RUN_TIMEOUT" "$bin" -f "$net.net" -b "$lib" -o -t -d -j run.json >raw.txt 2>err.txt)
  fi
  rc=$?
  set -e
  echo "$rc" >"$dir/rc.txt"
  sed 's/^Algorithm time is : .* seconds$/Algorithm time is : (masked) seconds/' "$dir/raw.txt" >"$dir/out.txt"
  rm -f "$dir/raw.txt"
  if [ -f "$dir/run.json" ]; then
    sed -e 's/"algorithm_time_s": .*/"algorithm_time_s": (masked)/' -e 's/"peak_rss_kib": .*/"peak_rss_kib": (masked)/' \
      "$dir/run.json" >"$dir/json.txt"
  fi
}

compare() {  # compare NET LIB ALG M
  local net=$1 lib=$2 alg=$3 m=$4 what=""
  run "$OLD_BIN" "$WORK/old" "$net" "$lib" "$alg" "$m"
  run "$NEW_BIN" "$WORK/new" "$net" "$lib" "$alg" "$m"
  RUNS=$((RUNS + 1))
  cmp -s "$WORK/old/rc.txt" "$WORK/new/rc.txt" || what="$what exit status ($(cat "$WORK/old/rc.txt") vs $(cat "$WORK/new/rc.txt"));"
  if ! cmp -s "$WORK/old/out.txt" "$WORK/new/out.txt"; then
    local line
    line=$(cmp "$WORK/old/out.txt" "$WORK/new/out.txt" 2>&1 | sed -n 's/.* line \([0-9]*\).*/\1/p' || true)
    what="$what stdout (from line $line);"
  fi
  cmp -s "$WORK/old/err.txt" "$WORK/new/err.txt" || what="$what stderr;"
  for ext in buf finalnet json.txt f.csv; do
    local a="$WORK/old/$net.$ext" b="$WORK/new/$net.$ext"
    case $ext in json.txt | f.csv) a="$WORK/old/$ext" b="$WORK/new/$ext" ;; esac
    if [ -f "$a" ] || [ -f "$b" ]; then
      if ! [ -f "$a" ] || ! [ -f "$b" ]; then
        what="$what .$ext exists in one run only;"
      elif ! cmp -s "$a" "$b"; then
        what="$what .$ext;"
      fi
    fi
  done
  local slack
  slack=$(sed -n 's/^The slack after buffer insertion : *//p' "$WORK/new/out.txt")
  if [ -z "$what" ]; then
    printf '%-16s %-16s alg %s M %s: same (slack %s)\n' "$net" "$lib" "$alg" "$m" "$slack"
  else
    DIFFS=$((DIFFS + 1))
    printf '%-16s %-16s alg %s M %s: DIFF:%s slack %s -> %s\n' "$net" "$lib" "$alg" "$m" "$what" \
      "$(sed -n 's/^The slack after buffer insertion : *//p' "$WORK/old/out.txt")" "$slack"
  fi
}

# The engines of ALGS, the flat one once per option set.
configurations() {
  local a o
  for a in $ALGS; do
    if [ "$a" = flat ]; then
      for o in $FLAT_OPTS; do echo "flat:$o"; done
    else
      echo "$a"
    fi
  done
}

for side in old new; do
  rm -rf "${WORK:?}/$side"
  mkdir -p "$WORK/$side"
  cp "$IN"/* "$WORK/$side/"
done

for entry in "${GEN_NETS[@]}"; do
  net=${entry%%:*}
  for t in ${entry#*:}; do
    for m in 0 5; do
      for alg in $(configurations); do compare "$net" "lib$t.lib" "$alg" "$m"; done
    done
  done
done
for net in "${OWN_NETS[@]}"; do
  for m in 0 5; do
    for alg in $(configurations); do compare "$net" "$net.lib" "$alg" "$m"; done
  done
done

# ---- bufins-route: its nets of the public sink sets ----
ROUTE_SETS="s1423 s5378 r1"
[ "$QUICK" -eq 0 ] && ROUTE_SETS="$ROUTE_SETS p1 r3 r5"
for set in $ROUTE_SETS; do
  for pitch in "" "--pitch=200"; do
    what=""
    RUNS=$((RUNS + 1))
    for side in old new; do
      set +e
      # shellcheck disable=SC2086
      "$WORK/build-$side/bufins-route" "$NETS/$set" --driver-res=200 --required=1000 $pitch \
        -o "$WORK/$side/route.net" 2>"$WORK/$side/route.err"
      echo $? >"$WORK/$side/route.rc"
      set -e
    done
    cmp -s "$WORK/old/route.rc" "$WORK/new/route.rc" || what="$what exit status;"
    cmp -s "$WORK/old/route.net" "$WORK/new/route.net" || what="$what net;"
    cmp -s "$WORK/old/route.err" "$WORK/new/route.err" || what="$what stderr;"
    if [ -z "$what" ]; then
      printf 'bufins-route %-8s %-12s: same\n' "$set" "${pitch:-no pitch}"
    else
      DIFFS=$((DIFFS + 1))
      printf 'bufins-route %-8s %-12s: DIFF:%s\n' "$set" "${pitch:-no pitch}" "$what"
    fi
  done
done

echo "$RUNS configurations, $DIFFS with differences"
[ "$DIFFS" -eq 0 ]
