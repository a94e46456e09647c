"""examples/cluster.py on a LocalCluster of two worker processes: a Program shipped once to each worker,
whose one Runtime (made by a worker plugin, with the host's natives) scores every order it is given."""
import importlib.util
import os
import signal
import subprocess
import sys

import pytest

import tarnwick_parser

if importlib.util.find_spec("distributed") is None:
    pytest.skip("Dask distributed is not installed (Debian: python3-distributed)", allow_module_level=True)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")
MODULE_DIR = os.path.dirname(os.path.realpath(tarnwick_parser.__file__))


def test_cluster_example_prints_its_expected_output():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, ROOT]))
    # Its own session, so that a run that hangs is killed with the worker processes it started.
    proc = subprocess.Popen([sys.executable, os.path.join(EXAMPLES, "cluster.py")], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=240)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail("examples/cluster.py did not finish within 240 s")
    assert proc.returncode == 0, err
    with open(os.path.join(EXAMPLES, "cluster.expected"), encoding="utf-8") as f:
        assert out == f.read()
    if not os.environ.get("TARNWICK_SANITIZED"):
        assert err == ""
