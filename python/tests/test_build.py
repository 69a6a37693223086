"""Nets and libraries from Python data: a net built from arrays (in any node
order, from lists or numpy) is the net read from its file; bad arrays raise
ValueError or TypeError naming what is wrong; the reader's structural checks
(a cycle, an unknown node) apply; warnings are kept or raised; nets,
libraries and results of pickled nets are the originals."""

import pickle

import bufins
import numpy as np
import pytest


def arrays_of(net):
    return dict(x=net.x, y=net.y, kind=net.kind, edges=net.edges, load=net.load, required=net.required,
                index=net.index, driver_resistance=net.driver_resistance, wire_resistance=net.wire_resistance,
                wire_capacitance=net.wire_capacitance)


@pytest.mark.parametrize("name", ["demo", "r1"])
def test_net_from_arrays_is_the_net_read(nets, name):
    net_path, lib_path = nets[name]
    read = bufins.read_net(net_path)
    lib = bufins.read_library(lib_path)
    a = arrays_of(read)
    built = bufins.Net(**a)
    assert built.text() == read.text()
    # Lists, kind names, and the nodes shuffled: the reader's order comes back.
    names = {bufins.DRIVER: "driver", bufins.SINK: "sink", bufins.CANDIDATE: "candidate"}
    perm = np.random.default_rng(5).permutation(len(read))
    shuffled = bufins.Net(list(a["x"][perm]), list(a["y"][perm]), [names[k] for k in a["kind"][perm]],
                          [tuple(e) for e in a["edges"]], list(a["load"][perm]), list(a["required"][perm]),
                          index=list(a["index"][perm]), driver_resistance=a["driver_resistance"],
                          wire_resistance=a["wire_resistance"], wire_capacitance=a["wire_capacitance"])
    assert sorted(shuffled.index) == sorted(read.index)
    for objective, value in (("max_slack", None), ("within", "5%")):
        r1 = bufins.solve(read, lib, objective=objective, value=value, segments=1)
        r2 = bufins.solve(built, lib, objective=objective, value=value, segments=1)
        r3 = bufins.solve(shuffled, lib, objective=objective, value=value, segments=1)
        assert r1.slack == r2.slack == r3.slack
        assert r1.placement_text() == r2.placement_text()
        assert (r1.frontier == r3.frontier).all()
    # Pickled: the same net and the same answers.
    again = pickle.loads(pickle.dumps(read))
    assert again.text() == read.text()
    assert bufins.solve(again, lib).placement_text() == bufins.solve(read, lib).placement_text()
    assert pickle.loads(pickle.dumps(lib)).types[0].name == lib.types[0].name


def small(**change):
    a = dict(x=[0, 10, 5], y=[0, 0, 0], kind=["driver", "sink", "candidate"], edges=[(0, 2), (2, 1)],
             load=[0, 10, 0], required=[0, 500, 0], driver_resistance=100, wire_resistance=0.1,
             wire_capacitance=0.2)
    a.update(change)
    return a


@pytest.mark.parametrize("change,error,text", [
    (dict(y=[0, 0]), ValueError, "net: y has 2 entries, x has 3"),
    (dict(load=[0, 1]), ValueError, "net: load has 2 entries, x has 3"),
    (dict(x=[0, float("nan"), 5]), ValueError, r"net: x\[1\] is not a finite number"),
    (dict(required=[0, np.inf, 0]), ValueError, r"net: required\[1\] is not a finite number"),
    (dict(load=[0, -1, 0]), ValueError, r"net: load\[1\] must not be negative"),
    (dict(x=[0, 1e70, 5]), ValueError, r"net: x\[1\] is out of range"),
    (dict(kind=["driver", "sink", "steiner"]), ValueError, r"kind\[2\] is 'steiner'"),
    (dict(kind=["sink", "sink", "candidate"]), ValueError, "0 nodes are of kind driver"),
    (dict(kind=[0, 2, 7]), ValueError, r"kind\[2\] is 7"),
    (dict(edges=[(0, 2), (2, 1), (1, 2)]), ValueError, "net: edge leaves sink 1"),
    (dict(edges=[(0, 2), (2, 9)]), ValueError, "net: edge names node 9, which no node line defines"),
    (dict(edges=[0, 2, 2, 1]), ValueError, r"shape \(E, 2\)"),
    (dict(load=None), ValueError, "the sinks need load= and required="),
    (dict(driver_resistance=-1), ValueError, "driver_resistance is not a finite non-negative number"),
    (dict(x="abc"), TypeError, "x is not an array of numbers"),
    (dict(index=[3, 1, 2]), ValueError, "the driver's node number is 3"),
    (dict(index=[0, 1, 1]), ValueError, "node index 1 is already used"),
])
def test_bad_arrays_raise(change, error, text):
    with pytest.raises(error, match=text):
        bufins.Net(**small(**change))


def test_a_cycle_raises():
    # Candidates 2 -> 3 -> 4 -> 2 hang off nothing: the reader's cycle check.
    a = small(x=[0, 10, 5, 6, 7], y=[0] * 5, kind=["driver", "sink", "candidate", "candidate", "candidate"],
              load=[0, 10, 0, 0, 0], required=[0, 500, 0, 0, 0],
              edges=[(0, 1), (2, 3), (3, 4), (4, 2)])
    with pytest.raises(bufins.InputError, match="net: edge closes a cycle through node"):
        bufins.Net(**a)


def test_library_from_python_data(nets):
    read = bufins.read_library(nets["demo"][1])
    types = [(t.name, t.input_cap, t.intrinsic_delay, t.output_resistance, t.area) for t in read.types]
    as_tuples = bufins.Library(types)
    as_dicts = bufins.Library([dict(zip(("name", "input_cap", "intrinsic_delay", "output_resistance", "area"), t))
                               for t in types])
    as_objects = bufins.Library([bufins.BufferType(*t) for t in types])
    net = bufins.read_net(nets["demo"][0])
    want = bufins.solve(net, read, objective="min_cost")
    for lib in (as_tuples, as_dicts, as_objects):
        got = bufins.solve(net, lib, objective="min_cost")
        assert (got.slack, got.placement_text()) == (want.slack, want.placement_text())
    limited = bufins.Library([bufins.BufferType("b", 1, 10, 50, area=2, max_cap=30)])
    assert limited.types[0].max_cap == 30 and limited.types[0].area == 2
    with pytest.raises(ValueError, match=r"library: type 1 \(b\): input_cap is not a finite non-negative"):
        bufins.Library([("b", -1, 10, 50)])
    with pytest.raises(ValueError, match="area -1 is not an integer from 0"):
        bufins.Library([("b", 1, 10, 50, -1)])
    with pytest.raises(ValueError, match="unknown field size"):
        bufins.Library([dict(name="b", input_cap=1, intrinsic_delay=1, output_resistance=1, size=3)])
    with pytest.raises(ValueError, match="the limit is 64"):
        bufins.Library([("b", 1, 1, 1)] * 65)


def test_decimal_areas(nets, tmp_path, run_bufins):
    """Areas with decimals: a library read from a file and one built from str,
    float and Decimal areas solve alike; costs are exact Decimals with the
    library's decimals, equal to what the bufins program prints; budgets are
    rounded down to them; types and libraries pickle with their decimals."""
    import decimal
    lines = open(nets["demo"][1]).read().split("\n")
    areas = ["3.75", "5.00", "7.51"]
    text = "\n".join(line + f" area={areas.pop(0)}" if line.startswith("buff") else line for line in lines)
    (tmp_path / "d.lib").write_text(text)
    read = bufins.read_library(tmp_path / "d.lib")
    assert read.area_decimals == 2 and [t.area for t in read.types] == [decimal.Decimal(a) for a in
                                                                        ("3.75", "5.00", "7.51")]
    t = read.types
    built = bufins.Library([(t[0].name, t[0].input_cap, t[0].intrinsic_delay, t[0].output_resistance, "3.75"),
                            (t[1].name, t[1].input_cap, t[1].intrinsic_delay, t[1].output_resistance, 5),
                            bufins.BufferType(t[2].name, t[2].input_cap, t[2].intrinsic_delay,
                                              t[2].output_resistance, area=7.51)])
    assert built.area_decimals == 2
    net = bufins.read_net(nets["demo"][0])
    for lib in (read, built, pickle.loads(pickle.dumps(read))):
        r = bufins.solve(net, lib, segments=3, objective="budget", value=16.265)
        assert r.cost == decimal.Decimal("16.26") and str(r.cost) == "16.26"
        assert r.frontier["cost"].dtype == np.float64 and 16.26 in r.frontier["cost"]
    cli = run_bufins(nets["demo"][0], str(tmp_path / "d.lib"), 3, ["--budget=16.265"])
    assert cli.status == 0 and cli.cost_text == "16.26" and cli.cost == r.cost
    assert bufins.BufferType("b", 1, 1, 1, area=np.int64(3)).area == 3  # numpy numbers as Python's
    assert bufins.BufferType("b", 1, 1, 1, area=np.float32(0.5)).area == decimal.Decimal("0.5")
    for bad in ("1e3", 1.2345678, "1000000000.5"):
        with pytest.raises(ValueError, match="is not an integer from 0"):
            bufins.BufferType("b", 1, 1, 1, area=bad)


def test_warnings_kept_or_raised(tmp_path):
    p = tmp_path / "warn.net"
    p.write_text("driver 0 0 10\nsink 1 5 5 1 100\nedge 0 1\n")
    net = bufins.read_net(p)
    assert net.warnings[0] == f"{p}: warning: no wire resistance line (wire_res_per_unit): 0 is used"
    with pytest.raises(bufins.InputError, match="warning: no wire resistance line") as e:
        bufins.read_net(p, strict=True)
    assert len(e.value.warnings) == 2
    lib = bufins.parse_library("# nothing\n", "empty.lib")
    assert len(lib) == 0 and "no buffer type read" in lib.warnings[0]


def test_bad_options_raise(nets):
    net = bufins.read_net(nets["demo"][0])
    lib = bufins.read_library(nets["demo"][1])
    for kw, text in [(dict(objective="fast"), "is not one of max_slack"),
                     (dict(objective="target"), "needs value="),
                     (dict(objective="within", value="-5%"), "is not a distance from the best slack"),
                     (dict(objective="within", value="x%"), "is not a distance from the best slack"),
                     (dict(objective="budget", value=-2.5), "is not a cost"),
                     (dict(objective="max_slack", value=3), "takes no value"),
                     (dict(max_slew=-1), "is not a limit"),
                     (dict(segments=-1), "must not be negative")]:
        with pytest.raises(ValueError, match=text):
            bufins.solve(net, lib, **kw)
    with pytest.raises(bufins.InputError, match="the wire segmenting coefficient|segment"):
        bufins.solve(net, lib, segments=2_000_000_000)
    # frontier=True with max_slack: the best slack at its least cost.
    r = bufins.solve(net, lib, frontier=True)
    assert r.slack == pytest.approx(bufins.solve(net, lib).slack, rel=1e-12) and len(r.frontier) > 1
    assert r.frontier[r.chosen]["slack"] == r.slack
