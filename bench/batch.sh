#!/usr/bin/env bash
# bench/batch.sh: nets per minute of bufins-batch against one process per net.
#
# Builds bufins, bufins-route and bufins-batch in Release (build-bench/),
# writes N sub-samples of 10 to 60 sinks of the public sink lists
# (bench/batch_nets.py) and routes each into a net file with bufins-route
# --required=1000 (one process per net, timed: the routing script), with a
# library of 4 buffer types (bench/gen_net.py). Then, for M = 0 and 5, with
# and without routing, side by side in one run:
#   script   one bufins process per net (with routing: bufins-route, then
#            bufins), over the first SCRIPT_NETS nets, as a shell loop would;
#   batch    bufins-batch over all N nets from a list file, -J1 and -J2,
#            summary only, and -J2 writing every net's .buf and .finalnet.
# Last, peak RSS of bufins-batch -J2 over RSS_NETS nets from one list file
# (the N nets repeated), unless RSS_NETS=0.
# Every timed cell is the fastest of REPEATS runs (the runs of a column
# alternate with the other columns' runs): a run of 10,000 small nets lasts
# half a second, where one slow scheduling moment moves a single figure by
# 10 %.
# Prints Markdown tables on standard output. Knobs: N (10000), SCRIPT_NETS
# (1000), RSS_NETS (1000000), REPEATS (3), BATCH_WORK (scratch folder,
# default mktemp).
set -euo pipefail
cd "$(dirname "$0")/.."
N=${N:-10000}
SCRIPT_NETS=${SCRIPT_NETS:-1000}
RSS_NETS=${RSS_NETS:-1000000}
REPEATS=${REPEATS:-3}
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUFINS_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target bufins bufins-route bufins-batch >/dev/null
if [ -n "${BATCH_WORK:-}" ]; then
  work=$BATCH_WORK
  mkdir -p "$work"
else
  work=$(mktemp -d -t bufins-batch.XXXXXX)
  trap 'rm -rf "$work"' EXIT
fi
bufins=$build/bufins route=$build/bufins-route batch=$build/bufins-batch
lib=$work/lib4.lib

bench/batch_nets.py "$N" "$work/sinks"
bench/gen_net.py --types 4 --lib "$lib"
ls -d "$work"/sinks/* > "$work/sinks.list"
mkdir -p "$work/nets" "$work/out"
route_all() {
  while read -r s; do "$route" -q --required=1000 "$s" -o "$work/nets/$(basename "$s").net"; done < "$work/sinks.list"
}
export -f route_all

calc() { awk "BEGIN { printf \"$1\", $2 }"; }
per_min() { calc %d "$1 * 60 / $2"; }
# "WALL CPU": wall and processor seconds (user + system, children included) of
# a command, its output discarded. On a machine shared with other work the
# processor time is the steadier figure.
# (python3 measures: the set-up line installs it, and its getrusage sees the
# command's children.) Also the peak RSS in KiB, third.
measure() {
  python3 -c '
import resource, subprocess, sys, time
t = time.monotonic()
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
e = time.monotonic() - t
r = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f %.3f %d" % (e, r.ru_utime + r.ru_stime, r.ru_maxrss))' "$@"
}
# "WALL CPU" of the fastest by the wall clock of the commands' repeated runs,
# one output line per command: best_of CMD1 -- CMD2 -- ... runs CMD1, CMD2,
# ... in turn, REPEATS times over.
best_of() {
  local cmds=() cur=() i r
  for a in "$@"; do
    if [ "$a" = -- ]; then cmds+=("$(printf '%q ' "${cur[@]}")"); cur=(); else cur+=("$a"); fi
  done
  cmds+=("$(printf '%q ' "${cur[@]}")")
  local best=()
  for ((r = 0; r < REPEATS; r++)); do
    for i in "${!cmds[@]}"; do
      read -r wall cpu _ < <(eval "measure ${cmds[$i]}")
      if [ -z "${best[$i]:-}" ] || awk "BEGIN { exit !($wall < ${best[$i]%% *}) }"; then best[$i]="$wall $cpu"; fi
    done
  done
  for i in "${!cmds[@]}"; do echo "${best[$i]}"; done
}
# Milliseconds of processor time per net.
ms_per() { calc %.2f "$2 * 1000 / $1"; }
script_plain() {
  while read -r f; do "$bufins" -a flat -m "$1" -q -f "$f" -b "$lib" --out="$work/out/one" >/dev/null; done < "$work/nets.few"
}
export -f script_plain
script_route() {
  while read -r s; do
    "$route" -q --required=1000 "$s" -o "$work/out/one.net"
    "$bufins" -a flat -m "$1" -q -f "$work/out/one.net" -b "$lib" --out="$work/out/one" >/dev/null
  done < "$work/sinks.few"
}
export -f script_route
export bufins route lib work
read -r route_s _ _ < <(measure bash -c route_all)
ls -d "$work"/nets/*.net > "$work/nets.list"
head -n "$SCRIPT_NETS" "$work/nets.list" > "$work/nets.few"
head -n "$SCRIPT_NETS" "$work/sinks.list" > "$work/sinks.few"
echo "bufins-batch benchmark: $N nets of 10-60 sinks (sub-samples of the public sink lists), 4 buffer types, $(nproc) cores"
echo
echo "Routing the $N sink lists with one bufins-route process each: $(printf %.1f "$route_s") s ($(per_min "$N" "$route_s") nets/min)."
echo
echo "| M | routing | script: one process per net | batch -J1 | batch -J2 | -J2 / -J1 | -J2 / script | -J2 with .buf and .finalnet |"
echo "|---|---|---|---|---|---|---|---|"
# Each cell: nets per minute (wall clock), and processor milliseconds per net.
for M in 0 5; do
  for routing in no yes; do
    if [ "$routing" = no ]; then
      script=(bash -c 'script_plain "$0"' "$M")
      list=$work/nets.list
      extra=()
    else
      script=(bash -c 'script_route "$0"' "$M")
      list=$work/sinks.list
      extra=(--route --required=1000)
    fi
    rm -rf "$work/files"
    {
      read -r s sc
      read -r j1 c1
      read -r j2 c2
      read -r j2f c2f
    } < <(best_of "${script[@]}" \
      -- "$batch" -q -J1 -m "$M" -b "$lib" "${extra[@]}" --nets="$list" \
      -- "$batch" -q -J2 -m "$M" -b "$lib" "${extra[@]}" --nets="$list" \
      -- "$batch" -q -J2 -m "$M" -b "$lib" "${extra[@]}" --nets="$list" --out-dir="$work/files" --final-nets)
    script_rate=$(per_min "$SCRIPT_NETS" "$s")
    r1=$(per_min "$N" "$j1") r2=$(per_min "$N" "$j2") r2f=$(per_min "$N" "$j2f")
    echo "| $M | $routing | $script_rate ($(ms_per "$SCRIPT_NETS" "$sc") ms) | $r1 ($(ms_per "$N" "$c1") ms) | $r2 ($(ms_per "$N" "$c2") ms) | $(calc %.2f "$j1 / $j2") | $(calc %.1f "$r2 / $script_rate") | $r2f ($(ms_per "$N" "$c2f") ms) |"
  done
done
echo
echo "(nets per minute by the wall clock, and in parentheses processor milliseconds per net, of the fastest of $REPEATS runs each; the script column over the first $SCRIPT_NETS nets, the batch columns over all $N)"

if [ "$RSS_NETS" -gt 0 ]; then
  : > "$work/many.list"
  reps=$(( (RSS_NETS + N - 1) / N ))
  for _ in $(seq "$reps"); do cat "$work/nets.list"; done | head -n "$RSS_NETS" > "$work/many.list"
  rss_run=("$batch" -q -J2 -m 0 -b "$lib" --nets="$work/many.list" --summary="$work/many.jsonl")
  if [ -x /usr/bin/time ]; then
    # GNU time (Debian's package time) sees the program alone; python's child
    # figure would include the interpreter's pages from before the exec.
    /usr/bin/time -f "%e %M" -o "$work/rss" "${rss_run[@]}"
    read -r secs kib < "$work/rss"
  else
    read -r secs _ kib < <(measure "${rss_run[@]}")
  fi
  echo
  echo "Peak RSS over $RSS_NETS nets from one list file (-J2, M = 0): $((kib / 1024)) MiB; $(printf %.1f "$secs") s ($(per_min "$RSS_NETS" "$secs") nets/min); $(wc -l < "$work/many.jsonl") summary lines."
fi
