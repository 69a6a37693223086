"""solve_many: on 2 threads, from nets or paths, exactly the sequential
answers in input order; failures raised in input order or returned in
place."""

import bufins
import pytest


def key(r):
    return (r.slack, r.buffers, r.cost, r.status, r.placement_text(), r.frontier.tolist())


@pytest.mark.parametrize("options", [{}, {"objective": "within", "value": "5%", "segments": 1},
                                     {"max_slew": 400}])
def test_two_jobs_equal_sequential(nets, options):
    names = ["demo", "s1423", "s5378", "r1"] * 3
    lib = bufins.read_library(nets["r1"][1])
    demo_lib = bufins.read_library(nets["demo"][1])
    # One library for all: the demo net with the four-type library.
    objects = [bufins.read_net(nets[n][0]) for n in names]
    sequential = [bufins.solve(n, lib, **options) for n in objects]
    for inputs in (objects, [nets[n][0] for n in names]):
        many = bufins.solve_many(inputs, lib, jobs=2, **options)
        assert [key(r) for r in many] == [key(r) for r in sequential]
    assert key(bufins.solve_many(objects[:1], demo_lib, jobs=1)[0]) == key(bufins.solve(objects[0], demo_lib))


def test_failures_in_input_order(nets, tmp_path):
    bad = tmp_path / "bad.net"
    bad.write_text("driver 0 0 10\nsink 1 5 5 1 100\nedge 0 1\nedge 0 1\n")
    missing = str(tmp_path / "missing.net")
    inputs = [nets["demo"][0], str(bad), missing, nets["s1423"][0]]
    lib = nets["demo"][1]
    with pytest.raises(bufins.InputError, match=r"bad\.net:4: "):
        bufins.solve_many(inputs, lib, jobs=2)
    got = bufins.solve_many(inputs, lib, jobs=2, errors="return")
    assert isinstance(got[1], bufins.InputError) and isinstance(got[2], OSError)
    assert str(got[2]) == f"Cannot open file: {missing}: No such file or directory"
    assert got[3].slack == bufins.solve(bufins.read_net(nets["s1423"][0]), lib).slack
    assert bufins.solve_many([], lib) == []
    with pytest.raises(ValueError, match="jobs: 0"):
        bufins.solve_many(inputs, lib, jobs=0)
