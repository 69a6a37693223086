#!/usr/bin/python3
"""Buffers against slack as the allowed distance from the best slack grows.

    within_sweep.py [-o PICTURE.png] [--steps=N] [--max=P] [-m M] [--lib=FILE] [NET...]

For each net (default: the public clock nets r1-r5 of bench/nets, routed
with bufins-route as in README's quick start) solves --within=P% for P
from 0 to 20 (--max) in N steps, and plots the number of buffers against
the slack reached, one line per net, with matplotlib; writes the picture
(default within_sweep.png). A NET is a net file, or a public sink list,
which is routed first (bufins-route from the build next to this checkout,
or on PATH). Without --lib, a four-type library is made with
bench/gen_net.py.

One frontier answers every P: solve(objective="within") returns the whole
slack-cost frontier, and each P picks a point of it; the script still asks
the engine once per P, as a user sweeping an option would, on a pool of
Python threads (solve releases the GIL, so they use every core).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import bufins

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def route(sinks, folder):
    """A public sink list routed into a net (README's quick start)."""
    tool = os.path.join(ROOT, "build-release", "bufins-route")
    if not os.path.exists(tool):
        tool = os.path.join(ROOT, "build", "bufins-route")
    if not os.path.exists(tool):
        tool = shutil.which("bufins-route") or sys.exit("within_sweep.py: bufins-route not found (build it first)")
    out = os.path.join(folder, os.path.basename(sinks) + ".net")
    subprocess.run([tool, sinks, "--driver-res=200", "--required=1000", "-q", "-o", out], check=True)
    return out


def load_net(path, folder):
    try:
        return bufins.read_net(path)
    except bufins.InputError:
        return bufins.read_net(route(path, folder))  # a sink list, not a net file


def main(argv):
    ap = argparse.ArgumentParser(prog="within_sweep.py", description=__doc__.split("\n")[0])
    ap.add_argument("-o", "--output", default="within_sweep.png", metavar="PICTURE", help="PNG to write")
    ap.add_argument("--steps", type=int, default=21, metavar="N", help="values of P (default 21)")
    ap.add_argument("--max", type=float, default=20.0, metavar="P", help="largest P in percent (default 20)")
    ap.add_argument("-m", "--segments", type=int, default=0, metavar="M", help="bufins -m M")
    ap.add_argument("--lib", metavar="FILE", help="buffer library (default: bench/gen_net.py --types 4)")
    ap.add_argument("nets", nargs="*", metavar="NET")
    a = ap.parse_args(argv)
    if a.steps < 2:
        ap.error("--steps takes a number from 2 up")

    import matplotlib

    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt

    nets = a.nets or [os.path.join(ROOT, "bench", "nets", n) for n in ("r1", "r2", "r3", "r4", "r5")]
    percents = [a.max * k / (a.steps - 1) for k in range(a.steps)]
    with tempfile.TemporaryDirectory() as folder:
        lib_path = a.lib
        if lib_path is None:
            lib_path = os.path.join(folder, "lib4.lib")
            subprocess.run([sys.executable, os.path.join(ROOT, "bench", "gen_net.py"), "--types", "4",
                            "--lib", lib_path], check=True, capture_output=True)
        lib = bufins.read_library(lib_path)
        fig, ax = plt.subplots(figsize=(8, 5.5), dpi=120)
        for path in nets:
            net = load_net(path, folder)
            with ThreadPoolExecutor() as pool:
                results = list(pool.map(lambda p: bufins.solve(net, lib, objective="within", value=f"{p:g}%",
                                                               segments=a.segments), percents))
            slack = [r.slack for r in results]
            buffers = [r.buffers for r in results]
            name = os.path.basename(path)
            ax.plot(slack, buffers, marker="o", markersize=3, label=f"{name} ({net.sinks} sinks)")
            ax.annotate("0%", (slack[0], buffers[0]), textcoords="offset points", xytext=(4, 4), fontsize=7)
            ax.annotate(f"{a.max:g}%", (slack[-1], buffers[-1]), textcoords="offset points", xytext=(4, -10),
                        fontsize=7)
            print(f"{name}: " + ", ".join(f"{p:g}%: {s:.6g} ps, {b} buffers"
                                          for p, s, b in zip(percents[::5], slack[::5], buffers[::5])))
        ax.set_xlabel("slack at the driver (ps)")
        ax.set_ylabel("buffers inserted")
        ax.set_title(f"Fewest buffers within 0 to {a.max:g}% of the best slack (bufins, -m {a.segments})")
        ax.grid(True, alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(a.output)
    print(f"within_sweep.py: wrote {a.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
