"""The documentation's examples are run: a `tarnwick` block in docs/language.md prints exactly the `output`
block after it and ends with the `error` block's text (or nil); every `python` block in docs/embedding.md
runs without failing."""
import os
import re
import subprocess
import sys

import pytest

import tarnwick_parser

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.dirname(os.path.realpath(tarnwick_parser.__file__))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, ROOT]))

FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.S | re.M)

# Runs one script in a fresh process; the script's print output is the process's standard output and
# the run's result (or the syntax error's text) goes to standard error.
DRIVER = """
import sys, tarnwick_parser
try:
    result = tarnwick_parser.compile_and_run(sys.argv[1])
except SyntaxError as e:
    result = str(e)
sys.stderr.write(result)
"""


def blocks(name):
    with open(os.path.join(ROOT, "docs", name), encoding="utf-8") as f:
        text = f.read()
    found = []
    for m in FENCE.finditer(text):
        line = text.count("\n", 0, m.start()) + 1
        found.append((m.group(1), m.group(2), line, m.start(), m.end()))
    return text, found


def language_cases():
    text, found = blocks("language.md")
    cases = []
    for i, (lang, body, line, _, end) in enumerate(found):
        if lang != "tarnwick":
            continue
        case = {"source": body, "output": None, "error": None}
        j, at = i + 1, end
        while j < len(found) and found[j][0] in ("output", "error") and not text[at:found[j][3]].strip():
            case[found[j][0]] = found[j][1]
            at = found[j][4]
            j += 1
        cases.append(pytest.param(case, id=f"language.md:{line}"))
    return cases




@pytest.mark.parametrize("case", language_cases())
def test_language_guide_example(case):
    r = subprocess.run([sys.executable, "-c", DRIVER, case["source"]], capture_output=True, text=True,
                       env=ENV, timeout=60)
    assert r.returncode == 0, r.stderr
    if case["output"] is None and case["error"] is None:
        # Illustrations without recorded output must still be valid programs that run cleanly.
        assert r.stderr == "nil"
        return
    assert r.stdout == (case["output"] or "")
    assert r.stderr == (case["error"].rstrip("\n") if case["error"] else "nil")


@pytest.mark.parametrize("body", [pytest.param(b, id=f"embedding.md:{line}")
                                  for lang, b, line, _, _ in blocks("embedding.md")[1] if lang == "python"])
def test_embedding_guide_example(body):
    r = subprocess.run([sys.executable, "-c", body], capture_output=True, text=True, env=ENV, timeout=60)
    assert r.returncode == 0, r.stderr
