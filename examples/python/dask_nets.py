#!/usr/bin/python3
"""Buffer insertion on many nets over a Dask cluster, with bufins-batch's summary.

    dask_nets.py -b LIB [--scheduler=ADDRESS] [--workers=N] [-m M]
                 [--min-cost | --target=S | --budget=W | --within=D[%]]
                 [--max-cap=V] [--max-slew=S] [--chunk=K] [--summary=FILE] [-q]
                 [--nets=FILE]... [INPUT...]

Solves every net of the INPUTs (net files; folders: their *.net files
sorted by name, named FOLDER/FILE; multi-net files: nets behind `net NAME`
lines, named NAME; `-`: standard input) and of the list files given with
--nets (one net file a line, `-`: standard input), in bufins-batch's order
(the INPUTs, then the lists), with one library and one set of options
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


def read_lines(f):
    """The lines of a binary stream as bufins-batch reads them: without the
    newline and one carriage return before it; a last line without a newline
    counts."""
    for raw in f:
        line = raw[:-1] if raw.endswith(b"\n") else raw
        yield line[:-1] if line.endswith(b"\r") else line


def text_of(b):
    return b.decode("utf-8", "surrogateescape")


def net_name(line):
    """The NAME of a `net NAME` line (bytes), "" when none is given; None
    for another line."""
    if not line.startswith(b"net") or len(line) < 4 or line[3:4] not in (b" ", b"\t"):
        return None
    return text_of(line[3:].lstrip(b" \t").rstrip(b" \t\r\f\v"))


def bad_name(name):
    """What is wrong with a net's name as a file name, or ""."""
    if not name:
        return "net line: no name after 'net'"
    if " " in name or "\t" in name:
        return f"net line: the name '{name}' holds a blank"
    if "/" in name:
        return f"net line: the name '{name}' holds a '/'"
    if name in (".", ".."):
        return f"net line: '{name}' is not a name"
    return ""


class Item:
    """One net of the run: its summary name, the file its messages name, the
    lines of that file above its text (a net of a multi-net file), and where
    its text is: a path to read, the text itself, or an error found before
    reading."""

    def __init__(self, name, file=None, offset=0, path=None, text=None, error=None):
        self.name, self.file, self.offset = name, file if file is not None else name, offset
        self.path, self.text, self.error = path, text, error


def single(path):
    return Item(path, path=path)


def file_items(op):
    """The nets of one operand that is a file: a multi-net file's nets
    (behind `net NAME` lines, its first line neither blank nor a comment being
    one), or the file as one net; `-` is standard input."""
    stdin = op == "-"
    try:
        f = sys.stdin.buffer if stdin else open(op, "rb")
    except OSError:
        yield single(op)  # reported when read, as bufins-batch does
        return
    try:
        lines = enumerate(read_lines(f), 1)
        peeked = []
        for number, line in lines:
            if line.strip(b" \t\r\f\v")[:1] not in (b"", b"#"):
                name = net_name(line)
                if name is not None:
                    yield from multi_items(op, lines, name, number)
                    return
                peeked.append(line)
                break
            peeked.append(line)
        if not stdin:
            yield single(op)
            return
        text = b"".join(line + b"\n" for line in peeked) + b"".join(line + b"\n" for _, line in lines)
        yield Item("-", text=text)
    finally:
        if not stdin:
            f.close()


def multi_items(file, lines, name, number):
    """The nets of a multi-net file from its first `net` line on."""
    while name is not None:
        text, next_name, next_number = [], None, None
        for k, line in lines:
            found = net_name(line)
            if found is not None:
                next_name, next_number = found, k
                break
            text.append(line + b"\n")
        why = bad_name(name)
        yield Item(name, file, number, text=b"".join(text), error=f"{file}:{number}: {why}" if why else None)
        name, number = next_name, next_number


def net_items(operands, lists):
    """Every net in bufins-batch's order: the operands (net files, folders'
    *.net files sorted by name, multi-net files, `-`), then the paths of the
    list files, one a line (open streams, `-` being standard input)."""
    for op in operands:
        if op != "-" and os.path.isdir(op):
            try:
                names = sorted(n for n in os.listdir(op)
                               if len(n) > 4 and n.endswith(".net") and not os.path.isdir(os.path.join(op, n)))
            except OSError as e:
                yield Item(op, error=f"Cannot open file: {op}: {e.strerror}")
                continue
            for n in names:
                yield single(op + ("" if op.endswith("/") else "/") + n)
        else:
            yield from file_items(op)
    for stream in lists:
        for line in read_lines(stream):
            if line.strip(b" \t\f\v"):
                yield single(text_of(line))


def renumber(text, file, offset):
    """The place "FILE:LINE:" at the start of a message moved down by offset
    lines (a net cut out of a multi-net file is numbered from its net line)."""
    prefix = file + ":"
    if offset == 0 or not text.startswith(prefix):
        return text
    rest = text[len(prefix):]
    digits = len(rest) - len(rest.lstrip("0123456789"))
    if digits == 0 or rest[digits:digits + 1] != ":":
        return text
    return prefix + str(int(rest[:digits]) + offset) + rest[digits:]


def solve_chunk(library, items, options):
    """On a worker: the summary lines and warnings of a chunk of (name, file,
    offset, text, error) nets."""
    lib = bufins.parse_library(*library)
    lines, warnings, nets, where = [], [], [], []
    for k, (name, file, offset, text, error) in enumerate(items):
        if error is not None:
            lines.append(bufins.summary(name, OSError(error)))
            continue
        try:
            net = bufins.parse_net(text, file)
            warnings.extend(renumber(w, file, offset) for w in net.warnings)
            nets.append(net)
            where.append(k)
            lines.append(None)
        except bufins.InputError as e:
            lines.append(bufins.summary(name, OSError(renumber(str(e), file, offset))))
        except OSError as e:
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
    ap.add_argument("--nets", action="append", default=[], metavar="FILE",
                    help="a list file of net files, one path a line ('-': standard input)")
    ap.add_argument("inputs", nargs="*", metavar="INPUT",
                    help="net files, folders of *.net files, multi-net files ('net NAME' lines), '-'")
    a = ap.parse_args(argv)
    if not a.inputs and not a.nets:
        ap.error("no INPUT and no --nets list given")
    if (a.inputs + a.nets).count("-") > 1:
        ap.error("'-' (standard input) may stand for one input file only")
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
    """Chunks of (name, file, offset, text, error) items, the net files read
    as the chunk is made."""
    chunk = []
    for item in nets:
        text, error = item.text, item.error
        if item.path is not None and error is None:
            try:
                with open(item.path, "rb") as f:
                    text = f.read()
            except OSError as e:
                error = f"Cannot open file: {item.path}: {e.strerror}"
        chunk.append((item.name, item.file, item.offset, text, error))
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
    lists = []
    for name in args.nets:
        try:
            lists.append(sys.stdin.buffer if name == "-" else open(name, "rb"))
        except OSError as e:
            print(f"Cannot open file: {name}: {e.strerror}", file=sys.stderr)
            return 1
    # The default chunk size needs the count of nets: the items are listed
    # first (a multi-net file's texts with them); with --chunk they stream.
    nets = net_items(args.inputs, lists)
    if not args.chunk:
        nets = list(nets)
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
