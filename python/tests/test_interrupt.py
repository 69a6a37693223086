"""Ctrl-C during a long run: solve and solve_many stop within a fraction of a
second with KeyboardInterrupt (the engines run without the GIL; the waiting
thread looks for signals and cancels them)."""

import os
import signal
import subprocess
import sys
import time

import pytest
from conftest import BUILD

SCRIPT = """
import sys, bufins
net = bufins.read_net(sys.argv[1]).segmented(60)
lib = bufins.read_library(sys.argv[2])
print("ready", flush=True)
if sys.argv[3] == "solve":
    bufins.solve(net, lib, objective="min_cost")
else:
    bufins.solve_many([net] * 8, lib, jobs=2, objective="min_cost")
print("finished", flush=True)
"""


@pytest.mark.parametrize("call", ["solve", "solve_many"])
def test_ctrl_c_stops_a_long_run(nets, call):
    net, lib = nets["r1"]
    env = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    p = subprocess.Popen([sys.executable, "-c", SCRIPT, net, lib, call], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=env)
    assert p.stdout.readline() == "ready\n"
    time.sleep(0.5)
    p.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, err = p.communicate(timeout=60)
    assert "KeyboardInterrupt" in err and "finished" not in out
    assert time.monotonic() - sent < 5
