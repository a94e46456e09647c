"""`tarnwick check`: each kind of finding on a script made to have it, and silence on the scripts that
are meant to be right (the script corpus, examples, benchmark programs, the documentation's scripts)."""
import glob
import os
import re

import pytest

from tarnwick import checker

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# (source, [(line, column, start of the message)])
CASES = [
    ("pirnt(1)\n", [(1, 1, "'pirnt' is never assigned: it reads nil (did you mean 'print'?)")]),
    ("total = 0\ntotal = totl + 1\n", [(2, 9, "'totl' is never assigned: it reads nil (did you mean 'total'?)")]),
    ("let limit = 3\nfn f(n) { return n > limit }\n", [(2, 22, "'limit' is declared by a top-level let")]),
    ("let k = 3\nsq = fn(x) x * k\n", [(2, 16, "'k' is declared by a top-level let, which a lambda")]),
    ("fn f(n) { return n != nil and n > 0 }\n", [(1, 33, "'and' evaluates both sides: 'n' is used")]),
    ("fn f(a) { return a == nil or a[0] }\n", [(1, 31, "'or' evaluates both sides: 'a' is used")]),
    ("fn f(o) { if o and o.x { } }\n", [(1, 21, "'and' evaluates both sides: 'o' is used")]),
    ("fn add(a, b) { return a + b }\nadd(1)\nadd(1, 2, 3)\n",
     [(2, 4, "'add' takes 2 arguments but is given 1"), (3, 4, "'add' takes 2 arguments but is given 3")]),
    ("fn f() {\n  return 1\n  print(2)\n}\n", [(3, None, "unreachable: this statement comes after 'return'")]),
    ("while 1 {\n  break\n  x = 1\n}\n", [(3, None, "unreachable: this statement comes after 'break'")]),
    ("a = [1, 2]\nfor i in range(0, len(a) / 2) { }\n", [(2, 26, "'/' always gives a float")]),
    # Meant as they are: no finding.
    ("fn greet(p, g) { if g == nil { g = 1 } return p }\ngreet(1)\n", []),
    ("fn f() { x = 1 }\nf()\nprint(x)\nfn g() { return args }\n", []),
    ("let a = 1\nif a { let b = 2 }\nprint(b)\nfor i in [1] { }\nprint(i)\n", []),
    ("fn f(n) { if n != nil { return n > 0 } return n == nil or n }\n", []),
    ("fn range(a, b) { return a / b }\nrange(1 / 2, 1)\n", []),
    ('throw "ignored"\nprint(1)\n', []),
]


@pytest.mark.parametrize("source, expected", CASES)
def test_findings(source, expected):
    found = checker.check(source)
    assert [(f.line, f.column) for f in found] == [(line, column) for line, column, _ in expected]
    for f, (_, _, start) in zip(found, expected):
        assert f.message.startswith(start), f.message


FENCE = re.compile(r"^```tarnwick\n(.*?)^```\n", re.S | re.M)
# Scripts of the language guide that show a pitfall on purpose, with what the checker says about them.
DEMONSTRATIONS = {
    "function reading a top-level let": "'hidden' is declared by a top-level let",
    "call of a function that does not exist": "'missing_function' is never assigned",
    "range with one argument": "range() with one argument",
    "conditional on the right of an assignment": "'=' binds before '? :'",
}


# Scripts of the corpus that exercise on purpose what the checker warns about (reading names never set,
# calls with too few or too many arguments); the corpus's errors/ scripts fail on purpose too.
QUIRK_SCRIPTS = {
    "arrays/indexing.tw", "functions/arguments_against_arity.tw", "functions/arity_is_loose.tw",
    "functions/global_reads_before_and_after_the_store.tw", "functions/implicit_result_and_arity.tw",
    "functions/missing_and_extra_arguments.tw", "builtins/numbers.tw", "control/for_over_range_counts.tw",
}


def corpus():
    scripts = os.path.join(ROOT, "tests", "scripts")
    for path in sorted(glob.glob(os.path.join(scripts, "*", "*.tw"))):
        rel = os.path.relpath(path, scripts)
        if rel.startswith("errors" + os.sep) or rel in QUIRK_SCRIPTS:
            continue
        with open(path, encoding="utf-8") as f:
            yield os.path.relpath(path, ROOT), f.read()
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "*.tw")) +
                       glob.glob(os.path.join(ROOT, "bench", "programs", "*.tw"))):
        with open(path, encoding="utf-8") as f:
            yield os.path.relpath(path, ROOT), f.read()
    for path in sorted(glob.glob(os.path.join(ROOT, "docs", "*.md"))) + [os.path.join(ROOT, "README.md")]:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for m in FENCE.finditer(text):
            yield f"{os.path.relpath(path, ROOT)}:{text.count(chr(10), 0, m.start()) + 1}", m.group(1)


def test_scripts_meant_to_be_right_have_no_findings():
    demonstrated = set()
    unexpected = []
    for name, source in corpus():
        try:
            found = checker.check(source)
        except SyntaxError:
            continue  # the guide's examples of syntax errors
        for f in found:
            kinds = [k for k, start in DEMONSTRATIONS.items() if f.message.startswith(start)]
            if kinds:
                demonstrated.update(kinds)
            else:
                unexpected.append(f"{name}: {f}")
    assert unexpected == []
    assert demonstrated == set(DEMONSTRATIONS)


def test_check_command_reports_with_a_caret_and_exit_status(tmp_path):
    from test_cli import tarnwick
    bad = tmp_path / "bad.tw"
    bad.write_text("x = 1\nprint(y)\n")
    good = tmp_path / "good.tw"
    good.write_text("x = 1\nprint(x)\n")
    r = tarnwick("check", str(good), str(bad))
    assert r.returncode == 1
    assert r.stdout.split("\n")[:3] == [f"{bad}:2:7: 'y' is never assigned: it reads nil",
                                       "  2 | print(y)", "    |       ^"]
    assert tarnwick("check", str(good)).returncode == 0
