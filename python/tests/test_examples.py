"""examples/python/within_sweep.py writes its PNG (one net, three steps)."""

import os
import subprocess
import sys

from conftest import BUILD, ROOT


def test_within_sweep_writes_a_png(nets, tmp_path):
    net, lib = nets["s1423"]
    png = tmp_path / "sweep.png"
    env = dict(os.environ, PYTHONPATH=str(BUILD / "python"))
    proc = subprocess.run([sys.executable, str(ROOT / "examples/python/within_sweep.py"), "-o", str(png),
                           "--steps=3", f"--lib={lib}", net], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "0%:" in proc.stdout
