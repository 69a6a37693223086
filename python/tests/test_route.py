"""bufins.route against bufins-route: for a pin file, sink lists with every
routing option, and a routed tree with its loads, the net equals the one
read back from bufins-route's file (final net text, warnings), route_text is
that file byte for byte, and errors carry bufins-route's messages."""

import subprocess

import bufins
import numpy as np
import pytest
from conftest import ROOT, program

NETS = ROOT / "bench/nets"

# (bufins-route options, route() keywords)
CASES = [
    ("s1423", (), {}),
    ("r1", ("--required=1000", "--alpha=0.5"), {"required": 1000, "alpha": 0.5}),
    ("p1", ("--pitch=333.3", "--driver=10,20", "--driver-res=250"), {"pitch": 333.3, "driver": (10, 20),
                                                                   "driver_res": 250}),
    ("s5378", ("--cap-unit=1e-12", "--wire-res=0.1", "--wire-cap=0.2", "--alpha=1"),
     {"cap_unit": 1e-12, "wire_res": 0.1, "wire_cap": 0.2, "alpha": 1}),
]


def same(a, b):
    """The two nets hold the same values, to the last bit."""
    for field in ("index", "kind", "x", "y", "load", "required", "edges"):
        if not np.array_equal(getattr(a, field), getattr(b, field)):
            return False
    return all(getattr(a, f) == getattr(b, f) for f in
               ("driver_resistance", "driver_max_cap", "wire_resistance", "wire_capacitance"))


def route_program(tmp_path, source, options):
    out = tmp_path / "out.net"
    proc = subprocess.run([program("bufins-route"), str(source), *options, "-o", str(out)],
                          capture_output=True, text=True)
    return proc, out


@pytest.mark.parametrize("name,options,kw", CASES)
def test_same_as_bufins_route(tmp_path, name, options, kw):
    source = NETS / name
    proc, out = route_program(tmp_path, source, options)
    assert proc.returncode == 0, proc.stderr
    net = bufins.route(source, **kw)
    read = bufins.read_net(out)
    assert same(net, read)
    assert bufins.route_text(source, **kw) == out.read_text()
    assert [w + "\n" for w in net.warnings] == proc.stderr.splitlines(keepends=True)
    # From text: the same net.
    assert same(bufins.route(text=source.read_text(), name=name, **kw), net)
    lib = bufins.parse_library("b1 10 30 600\nb2 40 40 150\n")
    assert bufins.solve(net, lib, segments=1).slack == bufins.solve(read, lib, segments=1).slack


def test_pin_file_and_routed_tree(tmp_path):
    pins = "wire_res_per_unit 0.05\nwire_cap_per_unit 0.2\ndriver 0 0 100\n" + \
        "".join(f"sink {k} {k * 37 % 101} {k * 53 % 97} {k % 7 + 1} {-k}\n" for k in range(1, 30))
    (tmp_path / "pins").write_text(pins)
    proc, out = route_program(tmp_path, tmp_path / "pins", ("--pitch=20",))
    assert proc.returncode == 0, proc.stderr
    assert same(bufins.route(tmp_path / "pins", pitch=20), bufins.read_net(out))
    proc, out = route_program(tmp_path, NETS / "r1.xg_B0", (f"--loads={NETS / 'r1'}", "--alpha=0.3"))
    assert proc.returncode == 0, proc.stderr
    net = bufins.route(NETS / "r1.xg_B0", loads=NETS / "r1", alpha=0.3)
    assert same(net, bufins.read_net(out))
    assert net.warnings == ["bufins-route: a routed tree is kept as routed: --alpha has no effect"]


def test_errors(tmp_path):
    with pytest.raises(bufins.InputError, match="^in: no sink line: a pin file needs at least one sink$"):
        bufins.route(text="driver 0 0 1\n", name="in")
    with pytest.raises(bufins.InputError, match="carries no sink loads"):
        bufins.route(NETS / "r1.xg_B0")
    with pytest.raises(OSError, match="Cannot open file"):
        bufins.route(tmp_path / "missing")
    with pytest.raises(ValueError, match="alpha must be a number from 0 to 1"):
        bufins.route(NETS / "r1", alpha=2)
    with pytest.raises(TypeError):
        bufins.route()
    with pytest.raises(bufins.InputError, match="warning"):
        bufins.route(NETS / "r1", cap_unit=1, strict=True)
