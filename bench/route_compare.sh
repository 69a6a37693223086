#!/usr/bin/env bash
# bench/route_compare.sh: the routing of two builds compared byte for byte.
#
# For changes to the routing layer (src/route) that must not change what it
# computes: the Steiner trees' tie-breaking (sort orders, which of equal gains
# goes first) is part of the output, so a faster construction has to give the
# very same nets. The script builds REV (exported with git archive) and the
# working tree in Release and runs both builds' bufins-route on
#   - N random sub-samples of the public sink lists (bench/batch_nets.py, 10
#     to 60 sinks) and SMALL sub-samples of 1 to 12 sinks;
#   - PINS random pin files of 1 to 12 pins (the exact and the 1-Steiner
#     trees) and of 13 to 200 pins (edge substitution), on coarse grids so
#     that lengths tie often, on fine ones, and far from the origin;
# each without options and with --alpha 0, 0.3 and 1, with and without
# --pitch; then bufins-batch --route's summaries (-m 0 and 5, and with
# --alpha=0.3 --pitch) over the sub-samples; last, bufins-route on random
# pin sets of BIG pins (uniform and clustered), timed (processor seconds)
# as well as compared. Every net file, standard error and exit status must
# be equal.
#
# Usage: bench/route_compare.sh [REV]   (default: the merge base of HEAD and main)
# Environment: N (2000), SMALL (300), PINS (400), BIG ("1000 100000"),
#              ROUTE_WORK (scratch folder, kept when given; default mktemp).
# Prints one line per group and exits 1 on any difference, 2 when a build fails.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
N=${N:-2000}
SMALL=${SMALL:-300}
PINS=${PINS:-400}
BIG=${BIG:-1000 100000}
REV=${1:-$(git -C "$ROOT" merge-base HEAD main)}
REV_ID=$(git -C "$ROOT" rev-parse --verify "$REV^{commit}")
if [ -n "${ROUTE_WORK:-}" ]; then
  WORK=$ROUTE_WORK
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d -t bufins-route-compare.XXXXXX)
  trap 'rm -rf "$WORK"' EXIT
fi
echo "old: $(git -C "$ROOT" log -1 --format='%h %s' "$REV_ID")"
echo "new: the working tree at $(git -C "$ROOT" log -1 --format='%h' HEAD)"

build() {  # build SOURCE_DIR BUILD_DIR
  if ! { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF &&
         cmake --build "$2" -j2 --target bufins-route bufins-batch; } >"$2.log" 2>&1; then
    echo "build of $1 failed; see $2.log" >&2
    exit 2
  fi
}
rm -rf "$WORK/src-old"
mkdir -p "$WORK/src-old"
git -C "$ROOT" archive "$REV_ID" | tar -x -C "$WORK/src-old"
build "$WORK/src-old" "$WORK/build-old"
build "$ROOT" "$WORK/build-new"

# ---- Inputs ----
in=$WORK/in
rm -rf "$in"
mkdir -p "$in"
"$HERE/batch_nets.py" "$N" "$in/lists" --seed 28
"$HERE/batch_nets.py" "$SMALL" "$in/small" --seed 29 --min 1 --max 12
/usr/bin/env python3 - "$in" "$PINS" $BIG <<'EOF'
import os, random, sys
out, count, big = sys.argv[1], int(sys.argv[2]), [int(b) for b in sys.argv[3:]]
def pin_file(path, pts, rng):
    lines = ["wire_res_per_unit 0.1", "wire_cap_per_unit 0.2", ""]
    d = pts[0]
    lines.append("driver %s %s 150" % d)
    for i, (x, y) in enumerate(pts[1:]):
        lines.append("sink %d %s %s %d %d" % (i + 1, x, y, rng.randint(5, 50), rng.randint(0, 3) * 100))
    open(path, "w").write("\n".join(lines) + "\n")
rng = random.Random(28)
os.makedirs(os.path.join(out, "pins"))
for i in range(count):
    n = rng.randint(2, 13) if i % 2 == 0 else rng.randint(14, 201)  # pins, driver included
    kind = i % 4
    if kind == 0:    # coarse grid: many equal lengths, shared places
        side = rng.randint(2, 4 + n // 3)
        pts = [(rng.randint(0, side), rng.randint(0, side)) for _ in range(n)]
    elif kind == 1:  # collinear runs and a coarse grid
        pts = [(rng.randint(0, 6) * 5, rng.randint(0, 40)) if rng.random() < 0.5 else (rng.randint(0, 40), 7)
               for _ in range(n)]
    elif kind == 2:  # fine coordinates
        pts = [(round(rng.uniform(-500, 500), 3), round(rng.uniform(0, 900), 3)) for _ in range(n)]
    else:            # far from the origin for their spread: rounding is at its largest
        pts = [(round(1e7 + rng.uniform(0, 40), 4), round(-3e6 + rng.uniform(0, 30), 4)) for _ in range(n)]
    pin_file(os.path.join(out, "pins", "p%04d" % i), pts, rng)
os.makedirs(os.path.join(out, "big"))
for n in big:
    side = 2000.0 * n ** 0.5
    pts = [(round(rng.uniform(0, side), 2), round(rng.uniform(0, side), 2)) for _ in range(n)]
    pin_file(os.path.join(out, "big", "u%d" % n), pts, rng)
    centres = [(rng.uniform(0, side), rng.uniform(0, side)) for _ in range(8)]
    pts = []
    for _ in range(n):
        cx, cy = rng.choice(centres)
        pts.append((round(rng.gauss(cx, side / 20), 2), round(rng.gauss(cy, side / 20), 2)))
    pin_file(os.path.join(out, "big", "c%d" % n), pts, rng)
EOF

# ---- bufins-route, net by net ----
# route SIDE GROUP PITCH: every input of the group with every option set.
route() {
  local side=$1 group=$2 pitch=$3 bin=$WORK/build-$1/bufins-route
  local dir=$WORK/$side/$group
  rm -rf "$dir"
  mkdir -p "$dir"
  for f in "$in/$group"/*; do
    local b
    b=$(basename "$f")
    for opts in "" "--alpha=0" "--alpha=0.3" "--alpha=1" "--pitch=$pitch" "--alpha=0.3 --pitch=$pitch" "--alpha=1 --pitch=$pitch"; do
      local tag=${opts// /_}
      tag=${tag:-plain}
      set +e
      # shellcheck disable=SC2086
      "$bin" --required=1000 $opts "$f" -o "$dir/$b.$tag.net" 2>"$dir/$b.$tag.err"
      echo $? >"$dir/$b.$tag.rc"
      set -e
    done
  done
}
export -f route
export WORK in
DIFFS=0
check() {  # check WHAT OLD NEW
  if diff -rq "$2" "$3" >"$WORK/diff.txt" 2>&1; then
    printf '%-44s same (%s files)\n' "$1" "$(find "$2" -type f | wc -l)"
  else
    DIFFS=$((DIFFS + 1))
    printf '%-44s DIFF: %s files differ, e.g. %s\n' "$1" "$(wc -l <"$WORK/diff.txt")" "$(head -1 "$WORK/diff.txt")"
  fi
}
for kind_count in "lists 2000" "small 2000" "pins 3"; do
  set -- $kind_count
  printf '%s\n' old new | xargs -P2 -I{} bash -c "route {} $1 $2"
  check "bufins-route $1 (7 option sets)" "$WORK/old/$1" "$WORK/new/$1"
done

# ---- bufins-batch --route summaries ----
ls -d "$in"/lists/* "$in"/small/* >"$WORK/list"
"$HERE/gen_net.py" --types 4 --lib "$WORK/lib4.lib" >/dev/null
for opts in "-m 0" "-m 5" "-m 5 --alpha=0.3 --pitch=3000" "-m 0 --alpha=1"; do
  for side in old new; do
    mkdir -p "$WORK/$side/batch"
    set +e
    # shellcheck disable=SC2086
    "$WORK/build-$side/bufins-batch" -q -J2 -b "$WORK/lib4.lib" --route --required=1000 $opts \
      --nets="$WORK/list" >"$WORK/$side/batch/sum${opts// /}.jsonl" 2>"$WORK/$side/batch/err${opts// /}"
    echo $? >"$WORK/$side/batch/rc${opts// /}"
    set -e
  done
done
check "bufins-batch --route summaries (4 option sets)" "$WORK/old/batch" "$WORK/new/batch"

# ---- Large pin sets, timed ----
cpu() {  # processor seconds of a command, its output discarded
  /usr/bin/env python3 -c '
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.2f" % (r.ru_utime + r.ru_stime))' "$@"
}
for f in "$in"/big/*; do
  b=$(basename "$f")
  for opts in "" "--alpha=0.3"; do
    t=""
    for side in old new; do
      mkdir -p "$WORK/$side/big"
      # shellcheck disable=SC2086
      t="$t $side $(cpu "$WORK/build-$side/bufins-route" --required=1000 $opts "$f" -o "$WORK/$side/big/$b${opts}.net") s"
    done
    printf 'bufins-route %-8s %-12s:%s\n' "$b" "${opts:-(alpha 0)}" "$t"
  done
done
check "bufins-route large pin sets" "$WORK/old/big" "$WORK/new/big"
[ "$DIFFS" -eq 0 ]
