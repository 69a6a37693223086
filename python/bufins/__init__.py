"""bufins: timing-driven buffer insertion on one net under the Elmore delay model.

The Python face of the bufins C++ library (the flat engine family of the
``bufins`` program, ``-a flat``): read or build nets and buffer libraries,
solve them for the best slack or for the fewest buffers near it, and get
the placements, the slack-cost frontier and the stages back as numpy
arrays.

    import bufins
    net = bufins.read_net("top.net")
    lib = bufins.read_library("lib4.lib")
    r = bufins.solve(net, lib, segments=2, objective="within", value="5%")
    r.slack, r.buffers, r.cost, r.placements, r.frontier

    results = bufins.solve_many(["a.net", "b.net"], lib, jobs=8)

    net = bufins.route("r1", required=1000, alpha=0.5)   # pins or a sink list

Every figure equals what the ``bufins`` program prints for the same files
and options; errors raise with the program's messages (bufins.InputError, a
ValueError, or OSError for a file that cannot be opened). The engines run
without the GIL, so threads (and solve_many's own thread pool) use every
core. Net, Library and BufferType pickle, for Dask and multiprocessing
(see examples/python/dask_nets.py).
"""

from ._bufins import (
    CANDIDATE,
    DRIVER,
    MINUS_INFINITY,
    SINK,
    BufferType,
    InputError,
    Library,
    Net,
    Result,
    __version__,
    parse_library,
    parse_net,
    read_library,
    read_net,
    route,
    route_text,
    solve,
    solve_many,
)

__all__ = [
    "CANDIDATE",
    "DRIVER",
    "MINUS_INFINITY",
    "SINK",
    "BufferType",
    "InputError",
    "Library",
    "Net",
    "Result",
    "__version__",
    "parse_library",
    "parse_net",
    "read_library",
    "read_net",
    "route",
    "route_text",
    "solve",
    "solve_many",
    "summary",
]


def summary(name, outcome):
    """The bufins-batch summary line of one net, as a dict in its field order.

    ``outcome`` is the net's Result, or the exception its reading or solving
    raised (bufins.InputError, OSError). The fields are those of
    ``bufins-batch``: net, slack, buffers, cost (null when not solved),
    feasible (solved with a finite slack), status ("ok", "unmet",
    "infeasible", "error") and error (null, or the program's message).
    ``json.dumps(summary(...), separators=(",", ":"), ensure_ascii=False)``
    gives the very line bufins-batch prints.
    """
    if isinstance(outcome, BaseException):
        return {"net": name, "slack": None, "buffers": None, "cost": None,
                "feasible": False, "status": "error", "error": str(outcome)}
    if outcome.status == "infeasible":
        return {"net": name, "slack": None, "buffers": None, "cost": None,
                "feasible": False, "status": "infeasible", "error": outcome.message}
    return {"net": name, "slack": outcome.slack, "buffers": outcome.buffers, "cost": outcome.cost,
            "feasible": outcome.slack > MINUS_INFINITY, "status": outcome.status,
            "error": outcome.message}
