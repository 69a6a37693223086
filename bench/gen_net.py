#!/usr/bin/env python3
"""Benchmark net and buffer-library generator for bufins.

Central idea: take a set of sink positions (a public clock-net sink list, or
random / clustered points drawn from a seed), build a binary routing tree over
them by recursive median bipartition, put a candidate (Steiner) node at every
merge point, hang the tree below a driver, and write it in the tool's net file
format, together with a library of 1, 4, 16 or 64 buffer types.

Units written to the files (the tool divides capacitances by 1000 internally,
so resistance x capacitance comes out in ps):
  coordinates   micrometres (the sink list's coordinate unit is taken as 1 um)
  resistance    ohm (wire: ohm per um)
  capacitance   fF  (wire: fF per um)
  time          ps  (required arrival times, intrinsic buffer delays)

Standard library only.
"""

import argparse
import math
import random
import sys

# ---------------------------------------------------------------------------
# Sink sources


def read_sink_list(path):
    """Parse a public sink list: NumPins, PerUnitResistance (ohm/unit),
    PerUnitCapacitance (F/unit), then Sink / Coordinate / Capacitive Load (F)
    / optional Downstream_Delay (s) records.  Returns (sinks, r, c) with sinks
    as (x, y, cap_fF, downstream_ps), r in ohm/um and c in fF/um."""
    sinks = []
    r_unit = c_unit = None
    cur = None
    with open(path) as f:
        for raw in f:
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            key, _, val = line.partition(":")
            key = key.strip()
            words = val.split()
            if key == "PerUnitResistance":
                r_unit = float(words[0])
            elif key == "PerUnitCapacitance":
                c_unit = float(words[0]) * 1e15
            elif key == "Sink":
                cur = [None, None, 0.0, 0.0]
                sinks.append(cur)
            elif key == "Coordinate" and cur is not None:
                cur[0], cur[1] = float(words[0]), float(words[1])
            elif key == "Capacitive Load" and cur is not None:
                cur[2] = float(words[0]) * 1e15
            elif key == "Downstream_Delay" and cur is not None:
                cur[3] = float(words[0]) * 1e12
    if not sinks or any(s[0] is None for s in sinks):
        sys.exit("gen_net: %s: no sinks or a sink without coordinates" % path)
    return [tuple(s) for s in sinks], r_unit, c_unit


def random_sinks(n, seed, dist, clusters):
    """n sinks in a square whose side grows with sqrt(n) (about 2000 um per
    sqrt(sink), the density of the larger public sets), loads 30-80 fF.
    dist 'uniform' spreads them evenly; 'clustered' draws them around
    `clusters` random centres with a normal spread of 1/20 of the side."""
    rng = random.Random(seed)
    side = 2000.0 * math.sqrt(n)
    centres = [(rng.uniform(0.1, 0.9) * side, rng.uniform(0.1, 0.9) * side) for _ in range(clusters)]
    sinks = []
    for _ in range(n):
        if dist == "uniform":
            x, y = rng.uniform(0, side), rng.uniform(0, side)
        else:
            cx, cy = rng.choice(centres)
            x = min(max(rng.gauss(cx, side / 20.0), 0.0), side)
            y = min(max(rng.gauss(cy, side / 20.0), 0.0), side)
        sinks.append((round(x, 1), round(y, 1), float(rng.randint(30, 80)), 0.0))
    return sinks


# ---------------------------------------------------------------------------
# Topology


def median(values):
    v = sorted(values)
    m = len(v) // 2
    return v[m] if len(v) % 2 else 0.5 * (v[m - 1] + v[m])


def build_tree(points):
    """Recursive bipartition of the sink numbers 1..n: split the set at the
    median of the longer side of its bounding box (ties: x), recurse on both
    halves and join them at a new candidate node placed at the coordinate-wise
    median of the subtree's sinks.  A single sink is a leaf.  Returns
    (root index, candidates [(index, x, y)], edges [(parent, child)])."""
    n = len(points)
    candidates = []
    edges = []
    next_index = [n + 1]

    def rec(ids):
        if len(ids) == 1:
            return ids[0]
        xs = [points[i - 1][0] for i in ids]
        ys = [points[i - 1][1] for i in ids]
        axis = 0 if (max(xs) - min(xs)) >= (max(ys) - min(ys)) else 1
        ids = sorted(ids, key=lambda i: (points[i - 1][axis], points[i - 1][1 - axis], i))
        half = len(ids) // 2
        left = rec(ids[:half])
        right = rec(ids[half:])
        me = next_index[0]
        next_index[0] += 1
        candidates.append((me, median(xs), median(ys)))
        edges.append((me, left))
        edges.append((me, right))
        return me

    sys.setrecursionlimit(10000)
    root = rec(list(range(1, n + 1)))
    if root <= n:  # one sink: still give the driver a candidate child
        me = n + 1
        candidates.append((me, points[0][0], points[0][1]))
        edges.append((me, root))
        root = me
    return root, candidates, edges


# ---------------------------------------------------------------------------
# Library

# Unit-size (1x) buffer: input capacitance, output resistance; the intrinsic
# delay grows slowly with size (more internal stages load).
UNIT_CIN_FF = 1.0
UNIT_ROUT_OHM = 2000.0
BASE_DELAY_PS = 20.0
DELAY_PER_DOUBLING_PS = 1.5


def library(types):
    """`types` buffer sizes spread geometrically over 1x..64x (a single type is
    8x).  Input cap grows and output resistance falls in proportion to size.
    Listed by decreasing output resistance (growing size)."""
    if types == 1:
        sizes = [8.0]
    else:
        sizes = [64.0 ** (i / (types - 1)) for i in range(types)]
    rows = []
    for s in sizes:
        rows.append((UNIT_CIN_FF * s, BASE_DELAY_PS + DELAY_PER_DOUBLING_PS * math.log2(s), UNIT_ROUT_OHM / s, s))
    rows.sort(key=lambda r: -r[2])
    return rows


# ---------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    src = ap.add_mutually_exclusive_group()
    src.add_argument("--sinks", help="public sink list file (r1..r5, p1, p2, s1423, ...)")
    src.add_argument("--random", type=int, metavar="N", help="N random sinks")
    ap.add_argument("--seed", type=int, default=1, help="seed for random sinks and required times (default 1)")
    ap.add_argument("--dist", choices=("uniform", "clustered"), default="uniform")
    ap.add_argument("--clusters", type=int, default=8, help="cluster count for --dist clustered (default 8)")
    ap.add_argument("--wire-r", type=float, help="wire resistance, ohm/um (default: the sink list's, else 0.003)")
    ap.add_argument("--wire-c", type=float, help="wire capacitance, fF/um (default: the sink list's, else 0.02)")
    ap.add_argument("--tile", type=int, default=1, metavar="K",
                    help="repeat the sink set K x K times side by side (default 1), for nets of many sinks")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiply all sink coordinates by this factor (default 1: one unit = 1 um)")
    ap.add_argument("--driver", choices=("centre", "corner"), default="centre",
                    help="driver at the centre of the sinks' bounding box or at its lower-left corner")
    ap.add_argument("--driver-r", type=float, default=UNIT_ROUT_OHM,
                    help="driver output resistance, ohm (default %g, the weakest buffer's)" % UNIT_ROUT_OHM)
    ap.add_argument("--req", type=float, default=0.0, help="base required arrival time, ps (default 0)")
    ap.add_argument("--req-spread", type=float, default=200.0,
                    help="required times are base + uniform[0, spread) ps minus the sink's downstream delay (default 200)")
    ap.add_argument("--types", type=int, default=4, choices=(1, 4, 16, 64), help="buffer types in the library")
    ap.add_argument("--net", help="net file to write (needs --sinks or --random)")
    ap.add_argument("--lib", help="library file to write (optional)")
    a = ap.parse_args()
    if not a.net and not a.lib:
        ap.error("nothing to write: give --net and/or --lib")
    if a.net and not (a.sinks or a.random is not None):
        ap.error("--net needs a sink source: --sinks FILE or --random N")
    if a.lib:
        write_library(a.lib, a.types)
    if a.net:
        write_net(a)


def write_library(path, types):
    with open(path, "w") as f:
        f.write("# bufins benchmark library: %d types, 1x..64x; input cap (fF), intrinsic delay (ps), "
                "output resistance (ohm)\n" % types)
        for cin, delay, rout, size in library(types):
            f.write("buffer_%gx %.6g %.6g %.6g\n" % (round(size, 3), cin, delay, rout))


def write_net(a):
    if a.sinks:
        sinks, r_unit, c_unit = read_sink_list(a.sinks)
    else:
        if a.random < 1:
            sys.exit("gen_net: --random needs at least one sink")
        sinks, r_unit, c_unit = random_sinks(a.random, a.seed, a.dist, a.clusters), None, None
    r0 = a.wire_r if a.wire_r is not None else (r_unit if r_unit is not None else 0.003)
    c0 = a.wire_c if a.wire_c is not None else (c_unit if c_unit is not None else 0.02)

    if a.tile < 1:
        sys.exit("gen_net: --tile needs K >= 1")
    if a.tile > 1:
        # Copies side by side, one bounding box apart (plus 1 %), in rows.
        w = max(s[0] for s in sinks) - min(s[0] for s in sinks)
        h = max(s[1] for s in sinks) - min(s[1] for s in sinks)
        sinks = [(x + i * 1.01 * w, y + j * 1.01 * h, cap, down)
                 for j in range(a.tile) for i in range(a.tile) for x, y, cap, down in sinks]
    if a.scale != 1.0:
        sinks = [(x * a.scale, y * a.scale, cap, down) for x, y, cap, down in sinks]
    n = len(sinks)
    # Candidates are numbered up to 2n - 1; the tool numbers segment nodes
    # from 50000 + (n - 1) on, so the two ranges stay apart while n < 50000.
    if n >= 50000:
        sys.exit("gen_net: %d sinks would number candidates into the segment nodes' range (n < 50000)" % n)
    points = [(s[0], s[1]) for s in sinks]
    root, candidates, edges = build_tree(points)

    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    if a.driver == "centre":
        drv = (0.5 * (min(xs) + max(xs)), 0.5 * (min(ys) + max(ys)))
    else:
        drv = (min(xs), min(ys))

    rng = random.Random(a.seed * 7919 + 17)
    with open(a.net, "w") as f:
        f.write("# bufins benchmark net: %d sinks, %d candidate nodes (um, ohm, fF, ps)\n" % (n, len(candidates)))
        f.write("wire_res_per_unit %.6g\n" % r0)
        f.write("wire_cap_per_unit %.6g\n" % c0)
        f.write("driver %.3f %.3f %.6g\n" % (drv[0], drv[1], a.driver_r))
        f.write("number_of_sinks %d\n" % n)
        for i, (x, y, cap, down) in enumerate(sinks, start=1):
            req = a.req + (rng.uniform(0.0, a.req_spread) if a.req_spread > 0 else 0.0) - down
            f.write("sink %d %.3f %.3f %.6g %.6g\n" % (i, x, y, cap, req))
        f.write("number_of_candidate_nodes %d\n" % len(candidates))
        for idx, x, y in sorted(candidates):
            f.write("candidate %d %.3f %.3f\n" % (idx, x, y))
        f.write("edge 0 %d\n" % root)
        # Edges in creation order: each parent's left child edge precedes its right.
        for p, c in edges:
            f.write("edge %d %d\n" % (p, c))


if __name__ == "__main__":
    main()
