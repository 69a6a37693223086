"""bufins.solve against the bufins program: for every objective, with and
without segmentation, on the example net and the routed public nets, the
same slack line, buffer count, cost, placement file, final net file, exit
status and message."""

import bufins
import pytest

# (program options, solve() keywords)
OBJECTIVES = [
    ((), {}),
    (("--min-cost",), {"objective": "min_cost"}),
    (("--target=300",), {"objective": "target", "value": 300}),
    (("--target=1e6",), {"objective": "target", "value": 1e6}),
    (("--budget=3",), {"objective": "budget", "value": 3}),
    (("--within=30",), {"objective": "within", "value": 30}),
    (("--within=5%",), {"objective": "within", "value": "5%"}),
    (("--max-cap=40",), {"max_cap": 40}),
    (("--max-slew=400",), {"max_slew": 400}),
    (("--max-slew=400", "--within=5%"), {"max_slew": 400, "objective": "within", "value": "5%"}),
    (("--max-slew=1",), {"max_slew": 1}),
    (("--within=5%", "--cost-tolerance=20%"), {"objective": "within", "value": "5%", "cost_tolerance": "20%"}),
]


# p1's frontier takes half a second a run: unsegmented only.
@pytest.mark.parametrize("name,segments", [(n, m) for n in ("demo", "s1423", "s5378", "r1", "p1") for m in (0, 2)
                                           if (n, m) != ("p1", 2)])
def test_same_as_the_program(nets, run_bufins, name, segments):
    net_path, lib_path = nets[name]
    net = bufins.read_net(net_path)
    lib = bufins.read_library(lib_path)
    for options, kw in OBJECTIVES:
        r = bufins.solve(net, lib, segments=segments, **kw)
        cli = run_bufins(net_path, lib_path, segments, options)
        where = f"{name} -m {segments} {' '.join(options)}"
        if not r.feasible:
            assert r.status == "infeasible", where
            assert cli.status == 2 and cli.err == r.message + "\n", where
            continue
        assert cli.status == (0 if r.goal_met else 2), where
        assert cli.slack_text == format(r.slack, "10.10g"), where
        assert cli.buffers == r.buffers == len(r.placements), where
        if cli.cost is not None:
            assert cli.cost == r.cost, where
        assert cli.buf == r.placement_text(), where
        assert cli.finalnet == r.final_net_text(), where
        if r.status == "unmet":
            assert cli.err == r.message + "\n", where
        else:
            assert r.message is None and cli.err == "", where


def test_errors_carry_the_programs_messages(tmp_path, run_bufins, nets):
    lib = nets["demo"][1]
    bad = tmp_path / "bad.net"
    bad.write_text("driver 0 0 10\nsink 1 5 5 1 100\nedge 0 1\nedge 0 1\n")
    cli = run_bufins(str(bad), lib)
    with pytest.raises(bufins.InputError) as e:
        bufins.read_net(str(bad))
    assert cli.status == 1 and cli.err == str(e.value) + "\n"
    assert e.value.line == 4 and e.value.file == str(bad)
    assert e.value.message in str(e.value)
    missing = str(tmp_path / "missing.net")
    cli = run_bufins(missing, lib)
    with pytest.raises(OSError) as e:
        bufins.read_net(missing)
    assert cli.err == str(e.value) + "\n"
    # The same text through parse_net.
    with pytest.raises(bufins.InputError, match=r"^bad\.net:4: "):
        bufins.parse_net(bad.read_text(), "bad.net")
