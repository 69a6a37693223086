#!/usr/bin/python3
"""What the Python module costs over the C++ library.

    python_overhead.py BUILD [--batch=BUFINS_BATCH] [--nets=N] [--jobs=J]

1. Per solve: one 30-sink net (bench/gen_net.py --random 30 --seed 1, four
   buffer types) solved for the best slack again and again, best of five
   rounds, through bufins.solve and through the C++ API (bench/api_loop.cpp,
   the target bench_api_loop of BUILD, built here when missing).
2. Throughput: N nets (copies of 40 generated nets of 10 to 400 sinks, as
   files) with --min-cost -m 1, through bufins.solve_many(paths, jobs=J)
   and through bufins-batch -J J (BUILD/bufins-batch, or --batch), in nets
   per minute; each twice, alternating, the better run kept.

BUILD/python must hold the module (PYTHONPATH is set here). Results go to
standard output, for bench/results.md.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--batch")
    ap.add_argument("--nets", type=int, default=4000)
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import bufins

    work = tempfile.mkdtemp(prefix="bufins-pybench.")
    gen = [sys.executable, os.path.join(HERE, "gen_net.py")]
    lib = os.path.join(work, "lib4.lib")
    net30 = os.path.join(work, "n30.net")
    subprocess.run(gen + ["--random", "30", "--seed", "1", "--types", "4", "--net", net30, "--lib", lib], check=True)

    # 1. Per solve.
    loop = os.path.join(build, "python", "bench_api_loop")
    subprocess.run(["cmake", "--build", build, "--target", "bench_api_loop"], check=True, capture_output=True)
    solves, rounds = 5000, 5
    cpp_ns = float(subprocess.run([loop, net30, lib, str(solves), str(rounds)], check=True, capture_output=True,
                                  text=True).stdout.split()[0])
    net = bufins.read_net(net30)
    library = bufins.read_library(lib)
    solve = bufins.solve
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter_ns()
        for _ in range(solves):
            solve(net, library)
        best = min(best, (time.perf_counter_ns() - t0) / solves)
    cpp_again = float(subprocess.run([loop, net30, lib, str(solves), str(rounds)], check=True, capture_output=True,
                                     text=True).stdout.split()[0])
    cpp_ns = min(cpp_ns, cpp_again)
    print(f"per solve, 30-sink net ({len(net)} nodes), best of {rounds} x {solves}:")
    print(f"  C++ API        {cpp_ns / 1000:8.2f} us")
    print(f"  bufins.solve   {best / 1000:8.2f} us   (+{100 * (best - cpp_ns) / cpp_ns:.1f}%)")

    # 2. Throughput.
    distinct = []
    for k in range(40):
        sinks = 10 + (k * 390) // 39
        path = os.path.join(work, f"g{k:02d}.net")
        subprocess.run(gen + ["--random", str(sinks), "--seed", str(k + 2), "--net", path], check=True)
        distinct.append(path)
    paths = [distinct[i % len(distinct)] for i in range(a.nets)]
    listing = os.path.join(work, "nets.txt")
    with open(listing, "w") as f:
        f.write("\n".join(paths) + "\n")
    batch = a.batch or os.path.join(build, "bufins-batch")
    has_batch = os.path.exists(batch)
    py_best = batch_best = float("inf")
    for _ in range(2):
        t0 = time.perf_counter()
        bufins.solve_many(paths, library, jobs=a.jobs, objective="min_cost", segments=1)
        py_best = min(py_best, time.perf_counter() - t0)
        if has_batch:
            t0 = time.perf_counter()
            subprocess.run([batch, "-b", lib, "-q", "-J", str(a.jobs), "-m", "1", "--min-cost", f"--nets={listing}"],
                           check=True, stdout=subprocess.DEVNULL)
            batch_best = min(batch_best, time.perf_counter() - t0)
    print(f"throughput, {a.nets} nets of 10-400 sinks, --min-cost -m 1, {a.jobs} threads:")
    print(f"  solve_many     {60 * a.nets / py_best:10.0f} nets/minute ({py_best:.2f} s)")
    if has_batch:
        print(f"  bufins-batch   {60 * a.nets / batch_best:10.0f} nets/minute ({batch_best:.2f} s)"
              f"   (solve_many {100 * (batch_best - py_best) / batch_best:+.1f}%)")
    else:
        print("  bufins-batch   not built")


if __name__ == "__main__":
    main()
