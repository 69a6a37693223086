"""Shared fixtures of the bufins Python tests: the build's programs, and a
session folder with the public sink sets routed into nets and a four-type
library, made with the build's bufins-route and bench/gen_net.py exactly as
README's quick start makes them.

BUFINS_BUILD_DIR names the build (ctest sets it, with PYTHONPATH pointing at
its python/ folder); without it the tests use build/ of the checkout.
"""

import decimal
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("BUFINS_BUILD_DIR", ROOT / "build"))
if str(BUILD / "python") not in sys.path:
    sys.path.insert(0, str(BUILD / "python"))

PUBLIC = ["s1423", "s5378", "r1", "p1"]


def program(name):
    path = BUILD / name
    if not path.exists():
        pytest.skip(f"{name} is not built in {BUILD}")
    return str(path)


@pytest.fixture(scope="session")
def nets(tmp_path_factory):
    """{name: (net path, library path)}: the example and the routed public nets."""
    d = tmp_path_factory.mktemp("nets")
    out = {"demo": (str(ROOT / "examples/demo.net"), str(ROOT / "examples/demo.lib"))}
    lib = d / "lib4.lib"
    subprocess.run([sys.executable, str(ROOT / "bench/gen_net.py"), "--types", "4", "--lib", str(lib)],
                   check=True, capture_output=True)
    for name in PUBLIC:
        net = d / f"{name}.net"
        subprocess.run([program("bufins-route"), str(ROOT / "bench/nets" / name), "--driver-res=200",
                        "--required=1000", "-q", "-o", str(net)], check=True, capture_output=True)
        out[name] = (str(net), str(lib))
    return out


class Run:
    """One run of the bufins program: status, standard output and error, and
    the figures of its report lines."""

    def __init__(self, proc, base):
        self.status = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr
        m = re.search(r"The slack after buffer insertion : (.*)\n", self.out)
        self.slack_text = m.group(1) if m else None
        m = re.search(r"The number of inserted buffer is : (\d+)", self.out)
        self.buffers = int(m.group(1)) if m else None
        m = re.search(r"The cost of the inserted buffers is : ([0-9.]+)", self.out)
        self.cost_text = m.group(1) if m else None  # with the library's decimals
        self.cost = (int(self.cost_text) if "." not in self.cost_text else decimal.Decimal(self.cost_text)) if m else None
        self.buf = Path(base + ".buf").read_text() if Path(base + ".buf").exists() else None
        self.finalnet = Path(base + ".finalnet").read_text() if Path(base + ".finalnet").exists() else None


@pytest.fixture
def run_bufins(tmp_path):
    counter = iter(range(1 << 30))

    def run(net, lib, segments=0, options=()):
        base = str(tmp_path / f"cli{next(counter)}")
        proc = subprocess.run([program("bufins"), "-a", "flat", "-q", "-m", str(segments), "-f", net, "-b", lib,
                               f"--out={base}", *options], capture_output=True, text=True)
        return Run(proc, base)

    return run
