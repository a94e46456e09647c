"""The examples exist and the host program prints its recorded output (examples/host.expected). The
scripts' own outputs (examples/NAME.expected) are checked with the script corpus, by test_scripts.py."""
import glob
import os
import subprocess
import sys

import tarnwick_parser

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")
MODULE_DIR = os.path.dirname(os.path.realpath(tarnwick_parser.__file__))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, ROOT]))

SCRIPTS = sorted(os.path.basename(p) for p in glob.glob(os.path.join(EXAMPLES, "*.tw")))


def expected(name):
    with open(os.path.join(EXAMPLES, os.path.splitext(name)[0] + ".expected"), encoding="utf-8") as f:
        return f.read()


def test_the_tour_and_the_required_examples_exist():
    assert {"tour.tw", "report.tw", "life.tw", "shapes.tw"} <= set(SCRIPTS)


def test_host_program_prints_its_expected_output():
    r = subprocess.run([sys.executable, os.path.join(EXAMPLES, "host.py")],
                       capture_output=True, text=True, env=ENV, timeout=120)
    assert r.stderr == ""
    assert r.returncode == 0
    assert r.stdout == expected("host.py")
