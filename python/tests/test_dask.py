"""examples/python/dask_nets.py on a LocalCluster of 2 worker processes, 200
small routed nets (with a malformed net, a missing file and a net whose load
no gate may drive among them): the summary lines of bufins-batch, in input
order (compared with bufins-batch itself when the build has it, else with
bufins.solve net by net), and its exit status. The run has a time limit, so
that a stuck cluster fails the test instead of holding the suite."""

import json
import os
import random
import subprocess
import sys

import bufins
import pytest
from conftest import BUILD, ROOT, program

OPTIONS = ["-m", "1", "--min-cost", "--max-cap=100000"]


@pytest.fixture(scope="module")
def folder(tmp_path_factory, nets):
    d = tmp_path_factory.mktemp("dask")
    rng = random.Random(29)
    route = program("bufins-route")
    paths = []
    for k in range(200):
        pins = d / f"pins{k:03d}"
        sinks = rng.randint(2, 25)
        lines = ["wire_res_per_unit 0.003", "wire_cap_per_unit 0.02", "driver 0 0 200"]
        for s in range(1, sinks + 1):
            load = 1e6 if k == 150 and s == 1 else rng.uniform(5, 50)
            lines.append(f"sink {s} {rng.uniform(0, 20000):.1f} {rng.uniform(0, 20000):.1f} {load:.3f} "
                         f"{rng.uniform(800, 1200):.1f}")
        pins.write_text("\n".join(lines) + "\n")
        net = d / f"n{k:03d}.net"
        subprocess.run([route, str(pins), "-q", "-o", str(net)], check=True, capture_output=True)
        paths.append(str(net))
    paths[40] = str(d / "missing.net")
    (d / "bad.net").write_text("driver 0 0 10\nsink 1 5 5 1 100\nedge 0 1\nedge 0 1\n")
    paths[90] = str(d / "bad.net")
    return d, paths, nets["r1"][1]


def test_dask_script_equals_bufins_batch(folder):
    d, paths, lib = folder
    env = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    summary = d / "summary.jsonl"
    proc = subprocess.run([sys.executable, str(ROOT / "examples/python/dask_nets.py"), "-b", lib, "--workers=2",
                           "-q", f"--summary={summary}", *OPTIONS, *paths],
                          capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 1, proc.stderr
    got = summary.read_text().splitlines()
    assert len(got) == 200
    batch = BUILD / "bufins-batch"
    if batch.exists():
        want = subprocess.run([str(batch), "-b", lib, "-q", "-J", "2", *OPTIONS, *paths], capture_output=True,
                              text=True, timeout=300)
        assert want.returncode == proc.returncode
        assert got == want.stdout.splitlines()
    else:
        library = bufins.read_library(lib)
        options = dict(segments=1, objective="min_cost", max_cap=100000)
        for path, line in zip(paths, got):
            try:
                outcome = bufins.solve(bufins.read_net(path), library, **options)
            except (bufins.InputError, OSError) as e:
                outcome = e
            assert line == json.dumps(bufins.summary(path, outcome), separators=(",", ":"), ensure_ascii=False)
    lines = [json.loads(line) for line in got]
    assert [line["net"] for line in lines] == paths
    assert lines[40]["status"] == "error" and lines[40]["error"] == f"Cannot open file: {paths[40]}: No such file or directory"
    assert lines[90]["status"] == "error" and lines[90]["error"].startswith(f"{paths[90]}:4: ")
    assert lines[150]["status"] == "infeasible" and lines[150]["slack"] is None
    assert sum(line["status"] == "ok" for line in lines) == 197


def test_dask_script_input_forms(folder):
    """A multi-net file (a net with a bad name and the malformed net among its
    nets), a net on standard input and a list file: bufins-batch's lines."""
    d, paths, lib = folder
    multi = d / "multi.nets"
    text = "# nets 0-99\n\n"
    for k, path in enumerate(paths[:100]):
        if k == 40:
            bad_line = text.count("\n") + 1
        text += f"net {'bad/name' if k == 40 else f'm{k:03d}'}\n" + (open(path).read() if k != 40 else "")
    multi.write_text(text)
    listing = d / "nets.list"
    listing.write_text("\n".join(paths[101:]) + "\n\n")
    stdin = open(paths[100]).read()
    args = ["-b", lib, "-q", *OPTIONS, str(multi), "-", f"--nets={listing}"]
    env = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    proc = subprocess.run([sys.executable, str(ROOT / "examples/python/dask_nets.py"), "--workers=2", *args],
                          input=stdin, capture_output=True, text=True, env=env, timeout=300)
    got = proc.stdout.splitlines()
    assert len(got) == 200, proc.stderr
    lines = [json.loads(line) for line in got]
    assert lines[40]["error"] == f"{multi}:{bad_line}: net line: the name 'bad/name' holds a '/'"
    assert lines[90]["error"].startswith(f"{multi}:") and lines[100]["net"] == "-"
    batch = BUILD / "bufins-batch"
    if batch.exists():
        want = subprocess.run([str(batch), "-J", "2", *args], input=stdin, capture_output=True, text=True,
                              timeout=300)
        assert proc.returncode == want.returncode
        for a, b in zip(got, want.stdout.splitlines()):
            assert a == b
