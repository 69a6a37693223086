#!/usr/bin/python3
"""Buffer insertion on many nets over a Dask cluster, with bufins-batch's summary.

    dask_nets.py -b LIB [--scheduler=ADDRESS] [--workers=N] [-m M]
                 [--min-cost | --target=S | --budget=W | --within=D[%]]
                 [--max-cap=V] [--max-slew=S] [--chunk=K] [--summary=FILE] [-q] INPUT...

Solves every net of the INPUTs (net files, and folders: their *.net files
sorted by name, named FOLDER/FILE) with one library and one set of options
on a dask.distributed cluster: by default a LocalCluster of N worker
processes on this machine (N: the machine's cores), or the scheduler at
ADDRESS (tcp://host:8786) of a real cluster. It prints bufins-batch's JSON
Lines summary, one line per net in input order, with the same fields and
values (net, slack, buffers, cost, feasible, status, error), on standard
output or into FILE (written whole at the end), and exits as bufins-batch
does: 0 when every net succeeded, 2 when some net was infeasible or unmet
and none failed, 1 when some net could not be read.

The idea: this process reads the library and the nets' text and ships
them, a chunk of nets per task, so the workers need no shared file system,
only the bufins Python module (on their PYTHONPATH) of the same version.
Each task solves its chunk with bufins.solve_many on the worker's thread
and returns the summary lines; results come back in any order and are
written in input order through a window of chunks in flight (bounded
memory for any number of nets).
"""

import argparse
import json
import os
import sys
import tempfile

import bufins


def net_inputs(operands):
    """(name, path) of every net, in order; a folder gives its *.net files."""
    for op in operands:
        if os.path.isdir(op):
            names = sorted(n for n in os.listdir(op)
                           if len(n) > 4 and n.endswith(".net") and not os.path.isdir(os.path.join(op, n)))
            for n in names:
                path = op + ("" if op.endswith("/") else "/") + n
                yield path, path
        else:
            yield op, op


def solve_chunk(library, items, options):
    """On a worker: the summary lines and warnings of a chunk of (name, text or
    error message) nets."""
    lib = bufins.parse_library(*library)
    lines, warnings, nets, where = [], [], [], []
    for k, (name, text, error) in enumerate(items):
        if error is not None:
            lines.append(bufins.summary(name, OSError(error)))
            continue
        try:
            net = bufins.parse_net(text, name)
            warnings.extend(net.warnings)
            nets.append(net)
            where.append(k)
            lines.append(None)
        except (bufins.InputError, OSError) as e:
            lines.append(bufins.summary(name, e))
    results = bufins.solve_many(nets, lib, jobs=1, errors="return", **options)
    for k, r in zip(where, results):
        lines[k] = bufins.summary(items[k][0], r)
    return [json.dumps(line, separators=(",", ":"), ensure_ascii=False) + "\n" for line in lines], warnings


def parse_args(argv):
    ap = argparse.ArgumentParser(
        prog="dask_nets.py", description="Buffer insertion on many nets over a Dask cluster (bufins-batch's summary).")
    ap.add_argument("-b", "--library", required=True, metavar="FILE", help="the buffer library (required)")
    ap.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler (default: a LocalCluster here)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1, metavar="N",
                    help="worker processes of the LocalCluster (default: the machine's cores)")
    ap.add_argument("-m", "--segments", type=int, default=0, metavar="M", help="cut every wire into M+1 pieces")
    goal = ap.add_mutually_exclusive_group()
    goal.add_argument("--min-cost", action="store_true", help="the best slack at the least cost")
    goal.add_argument("--target", metavar="S", help="the least cost whose slack is at least S")
    goal.add_argument("--budget", metavar="W", help="the best slack of cost at most W")
    goal.add_argument("--within", metavar="D[%]", help="the least cost within D (or P%% of |best|) of the best slack")
    ap.add_argument("--max-cap", metavar="V", help="largest load of any gate without a max_cap of its own")
    ap.add_argument("--max-slew", metavar="S", help="largest slew of any stage")
    ap.add_argument("--chunk", type=int, metavar="K", help="nets per task (default: about 4 tasks per worker, at most 256)")
    ap.add_argument("--summary", metavar="FILE", help="write the JSON lines to FILE instead of standard output")
    ap.add_argument("-q", "--quiet", action="store_true", help="print no warnings")
    ap.add_argument("inputs", nargs="+", metavar="INPUT", help="net files and folders of *.net files")
    a = ap.parse_args(argv)
    options = {"segments": a.segments}
    if a.min_cost:
        options["objective"] = "min_cost"
    for key in ("target", "budget", "within"):
        if getattr(a, key) is not None:
            options["objective"], options["value"] = key, getattr(a, key)
    if options.get("objective") == "budget":
        if not options["value"].isdigit():
            ap.error(f"--budget: '{options['value']}' is not a cost (an integer from 0 up)")
        options["value"] = int(options["value"])
    for key in ("max_cap", "max_slew"):
        if getattr(a, key) is not None:
            options[key] = getattr(a, key)
    if a.workers < 1 or (a.chunk is not None and a.chunk < 1):
        ap.error("--workers and --chunk take a number from 1 up")
    # The options checked once, here, on a net of one sink (a bad value is a
    # usage error, not a failure of every net).
    probe = bufins.Net([0, 1], [0, 0], ["driver", "sink"], [(0, 1)], [0, 1], [0, 1], driver_resistance=1)
    try:
        bufins.solve(probe, bufins.Library([]), **options)
    except ValueError as e:
        ap.error(str(e))
    return a, options


class Warnings:
    """Warnings on standard error in input order, a hundred at most."""

    def __init__(self, quiet):
        self.quiet, self.shown, self.hidden = quiet, 0, 0

    def print(self, lines):
        for w in lines:
            if self.quiet:
                continue
            if self.shown < 100:
                print(w, file=sys.stderr)
                self.shown += 1
            else:
                self.hidden += 1

    def finish(self):
        if self.hidden:
            print(f"dask_nets.py: {self.hidden} more warnings not shown", file=sys.stderr)


def chunks_of(nets, size):
    """Chunks of (name, text, error) items, the net files read as the chunk is made."""
    chunk = []
    for name, path in nets:
        try:
            with open(path, "rb") as f:
                text, error = f.read(), None
        except OSError as e:
            text, error = None, f"Cannot open file: {path}: {e.strerror}"
        chunk.append((name, text, error))
        if len(chunk) == size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


def run(client, library, nets, options, chunk, out, warnings):
    """Submits the chunks, a window of them in flight, and writes their lines in order."""
    from dask.distributed import as_completed

    lib = client.scatter(library, broadcast=True)
    window = max(8, 2 * len(client.scheduler_info()["workers"]))
    pending, done, next_out, statuses = {}, {}, 0, set()
    chunks = enumerate(chunks_of(nets, chunk))
    running = as_completed()

    def submit():
        for i, items in chunks:
            future = client.submit(solve_chunk, lib, items, options, pure=False)
            pending[future] = i
            running.add(future)
            return True
        return False

    for _ in range(window):
        if not submit():
            break
    for future in running:
        done[pending.pop(future)] = future.result()
        future.release()
        while next_out in done:
            lines, warned = done.pop(next_out)
            warnings.print(warned)
            for line in lines:
                out.write(line)
                statuses.add(json.loads(line)["status"])
            next_out += 1
            submit()
    return statuses


def main(argv):
    args, options = parse_args(argv)
    warnings = Warnings(args.quiet)
    try:
        with open(args.library, "rb") as f:
            library = (f.read(), args.library)
        warnings.print(bufins.parse_library(*library).warnings)
    except OSError as e:
        print(f"Cannot open file: {args.library}: {e.strerror}", file=sys.stderr)
        return 1
    except bufins.InputError as e:
        print(e, file=sys.stderr)
        return 1
    nets = list(net_inputs(args.inputs))
    import logging

    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        client, cluster, workers = Client(args.scheduler), None, None
        workers = max(1, len(client.scheduler_info()["workers"]))
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
        client, workers = Client(cluster), args.workers
    chunk = args.chunk or max(1, min(256, -(-len(nets) // (4 * workers))))
    target = None
    try:
        if args.summary:
            # Whole or not at all: a temporary beside the file, renamed at the end.
            folder = os.path.dirname(args.summary) or "."
            fd, target = tempfile.mkstemp(prefix="." + os.path.basename(args.summary) + ".", dir=folder)
            out = os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape")
        else:
            out = sys.stdout
        statuses = run(client, library, nets, options, chunk, out, warnings)
        out.flush()
        if target:
            out.close()
            os.replace(target, args.summary)
            target = None
    finally:
        if target:
            os.unlink(target)
        client.close()
        if cluster is not None:
            cluster.close()
    warnings.finish()
    if "error" in statuses:
        return 1
    return 2 if statuses & {"unmet", "infeasible"} else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
