#!/usr/bin/env python3
"""Sub-samples of the public sink lists for the bufins-batch benchmark.

Writes COUNT sink lists into FOLDER (s00000, s00001, ...), each a random
sample of 10 to 60 sinks (--min, --max) of one of the public lists in
bench/nets (r1-r5, p1, p2, s1423, s5378, s15850), renumbered from 0, in the
public list format that bufins-route and bufins-batch --route read. The
same seed gives the same files. Standard library only.

    bench/batch_nets.py 10000 FOLDER [--seed 1] [--min 10] [--max 60]
"""

import argparse
import os
import random
import re

LISTS = ["r1", "r2", "r3", "r4", "r5", "p1", "p2", "s1423", "s5378", "s15850"]


def load(path):
    text = open(path).read()
    first = text.index("Sink :")
    head = text[:first]
    sinks = re.split(r"(?m)^(?=Sink :)", text[first:])
    return head, [s for s in sinks if s.strip()]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("count", type=int)
    ap.add_argument("folder")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--min", type=int, default=10)
    ap.add_argument("--max", type=int, default=60)
    a = ap.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    nets = os.environ.get("BENCH_NETS", os.path.join(here, "nets"))
    sources = {name: load(os.path.join(nets, name)) for name in LISTS}
    rng = random.Random(a.seed)
    os.makedirs(a.folder, exist_ok=True)
    width = max(5, len(str(a.count - 1)))
    for i in range(a.count):
        name = rng.choice(LISTS)
        head, sinks = sources[name]
        k = rng.randint(a.min, min(a.max, len(sinks)))
        chosen = rng.sample(sinks, k)
        out = [re.sub(r"NumPins : \d+", "NumPins : %d" % k, head)]
        for n, s in enumerate(chosen):
            out.append(re.sub(r"^Sink : \d+", "Sink : %d" % n, s).rstrip("\n") + "\n")
        with open(os.path.join(a.folder, "s%0*d" % (width, i)), "w") as f:
            f.write("".join(out))


if __name__ == "__main__":
    main()
