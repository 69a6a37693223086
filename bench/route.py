#!/usr/bin/env python3
"""Benchmark of bufins-route: routing trees over the public sink lists.

For every public sink list (r1-r5, p1, p2, s1423, s5378, s15850) it builds
the Steiner tree of bufins-route and the median-bipartition tree of
bench/gen_net.py over the same sinks, with the same driver (lower-left corner
of the sinks' box, 100 ohm) and required times (0 ps), and reports:

  * wire lengths: the Steiner tree against the rectilinear minimum spanning
    tree (from the net's header) and against the bipartition tree;
  * bufins-route's processor time to build tree and net (its -v figure, the
    best of three runs), on the sink lists and on 100,000 random pins;
  * the slack and buffer count `bufins -a flat -m 0` reaches on each tree with
    the 4-type benchmark library: Steiner trees without and with --pitch,
    several --alpha, the bipartition tree, and r1's routed tree r1.xg_B0.

Usage: bench/route.py [BUILD_DIR]   (default build-bench; built in Release
when missing). Prints Markdown tables on standard output.
"""

import os
import random
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NETS = os.environ.get("BENCH_NETS", os.path.join(ROOT, "bench", "nets"))
NAMES = ["s1423", "s5378", "r1", "p1", "r2", "s15850", "p2", "r3", "r4", "r5"]
PITCH = 1000.0
ALPHAS = [0.25, 0.5, 1.0]


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw)


def build(build_dir):
    run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DBUFINS_TESTS=OFF"])
    run(["cmake", "--build", build_dir, "-j2", "--target", "bufins", "bufins-route"])


def net_length(path):
    """Total wire length of a net file: rectilinear distances along its edges."""
    place = {}
    edges = []
    with open(path) as f:
        for line in f:
            w = line.split()
            if not w:
                continue
            if line.startswith("driv"):
                place[0] = (float(w[1]), float(w[2]))
            elif line.startswith("sink") or line.startswith("cand"):
                place[int(w[1])] = (float(w[2]), float(w[3]))
            elif line.startswith("edge"):
                edges.append((int(w[1]), int(w[2])))
    return sum(abs(place[a][0] - place[b][0]) + abs(place[a][1] - place[b][1]) for a, b in edges)


def header_figure(path, label):
    with open(path) as f:
        for line in f:
            if line.startswith("#") and label in line:
                return float(re.search(re.escape(label) + r" ([0-9.e+-]+)", line).group(1))
    return None


def route(bin_dir, args, out):
    """Runs bufins-route -v three times; returns the best processor time."""
    best = None
    for _ in range(3):
        r = run([os.path.join(bin_dir, "bufins-route"), "-v", "-o", out] + args)
        t = float(re.search(r"built in ([0-9.]+) s", r.stderr).group(1))
        best = t if best is None else min(best, t)
    return best


def buffer(bin_dir, net, lib):
    r = run([os.path.join(bin_dir, "bufins"), "-f", net, "-b", lib, "-a", "flat", "-m", "0"])
    slack = float(re.search(r"The slack after buffer insertion : *([-0-9.e+]+)", r.stdout).group(1))
    count = int(re.search(r"The number of inserted buffer is : *([0-9]+)", r.stdout).group(1))
    return slack, count


def main():
    build_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-bench")
    build(build_dir)
    work = tempfile.mkdtemp(prefix="bufins-route-bench.")
    lib = os.path.join(work, "lib4.lib")
    run([sys.executable, os.path.join(ROOT, "bench", "gen_net.py"), "--types", "4", "--lib", lib])

    print("### Wire length and time (driver at the lower-left corner of the sinks' box)\n")
    print("| net | sinks | MST | Steiner | vs MST | bipartition | Steiner vs bipartition | route s |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    gains, slack_rows = [], []
    for name in NAMES:
        src = os.path.join(NETS, name)
        steiner = os.path.join(work, name + ".net")
        t = route(build_dir, [src], steiner)
        mst = header_figure(steiner, "rectilinear minimum spanning tree")
        st = header_figure(steiner, "Wire length")
        bip = os.path.join(work, name + ".bip.net")
        run([sys.executable, os.path.join(ROOT, "bench", "gen_net.py"), "--sinks", src, "--driver", "corner",
             "--driver-r", "100", "--req-spread", "0", "--net", bip])
        bl = net_length(bip)
        sinks = sum(1 for line in open(steiner) if line.startswith("sink"))
        gains.append(1 - st / mst)
        print("| %s | %d | %.0f | %.0f | %.2f%% | %.0f | %.2f%% | %.4f |" %
              (name, sinks, mst, st, 100 * (1 - st / mst), bl, 100 * (1 - st / bl), t))
        row = [name, buffer(build_dir, steiner, lib)]
        pitched = os.path.join(work, name + ".p.net")
        route(build_dir, [src, "--pitch=%g" % PITCH], pitched)
        row.append(buffer(build_dir, pitched, lib))
        for a in ALPHAS:
            out = os.path.join(work, "%s.a%g.net" % (name, a))
            route(build_dir, [src, "--pitch=%g" % PITCH, "--alpha=%g" % a], out)
            row.append(buffer(build_dir, out, lib))
        row.append(buffer(build_dir, bip, lib))
        slack_rows.append(row)
    print("\nMean length gain over the rectilinear MST: %.2f%%\n" % (100 * sum(gains) / len(gains)))

    # 100,000 random pins in a square of side 2000 * sqrt(n), as gen_net.py draws them.
    rng = random.Random(1)
    n = 100000
    side = 2000.0 * n ** 0.5
    pins = os.path.join(work, "random100k.pins")
    with open(pins, "w") as f:
        f.write("wire_res_per_unit 0.003\nwire_cap_per_unit 0.02\ndriver 0 0 100\n")
        for i in range(1, n + 1):
            f.write("sink %d %.1f %.1f %d 0\n" % (i, rng.uniform(0, side), rng.uniform(0, side), rng.randint(30, 80)))
    out = os.path.join(work, "random100k.net")
    t = route(build_dir, [pins], out)
    print("100,000 random pins: %.3f s (wire length %.4g, %.2f%% below the MST)\n" %
          (t, header_figure(out, "Wire length"),
           100 * (1 - header_figure(out, "Wire length") / header_figure(out, "rectilinear minimum spanning tree"))))

    print("### Slack (ps) and buffers of `bufins -a flat -m 0`, 4 buffer types\n")
    head = ["Steiner", "Steiner, pitch %g" % PITCH] + ["alpha %g, pitch %g" % (a, PITCH) for a in ALPHAS] + ["bipartition"]
    print("| net | " + " | ".join(head) + " |")
    print("|---|" + "---:|" * len(head))
    for row in slack_rows:
        print("| %s | " % row[0] + " | ".join("%.1f (%d)" % cell for cell in row[1:]) + " |")
    xg = os.path.join(work, "r1.xg.net")
    route(build_dir, [os.path.join(NETS, "r1.xg_B0"), "--loads=" + os.path.join(NETS, "r1")], xg)
    xgp = os.path.join(work, "r1.xgp.net")
    route(build_dir, [os.path.join(NETS, "r1.xg_B0"), "--loads=" + os.path.join(NETS, "r1"), "--pitch=%g" % PITCH], xgp)
    s0, b0 = buffer(build_dir, xg, lib)
    s1, b1 = buffer(build_dir, xgp, lib)
    print("\nr1.xg_B0 (routed zero-skew tree, length %.0f, driver at its source): %.1f (%d); with pitch %g: %.1f (%d)" %
          (header_figure(xg, "Wire length"), s0, b0, PITCH, s1, b1))
    # The Steiner trees of r1 with the driver at that same source.
    with open(xg) as f:
        source = next(line.split()[1:3] for line in f if line.startswith("driver"))
    cells = []
    for a in [0.0] + ALPHAS:
        out = os.path.join(work, "r1.src%g.net" % a)
        route(build_dir, [os.path.join(NETS, "r1"), "--driver=%s,%s" % tuple(source), "--pitch=%g" % PITCH,
                          "--alpha=%g" % a], out)
        slack, count = buffer(build_dir, out, lib)
        cells.append("alpha %g: %.1f (%d), length %.0f" % (a, slack, count, header_figure(out, "Wire length")))
    print("\nr1 Steiner trees with the driver at that source, pitch %g: %s" % (PITCH, "; ".join(cells)))


if __name__ == "__main__":
    main()
