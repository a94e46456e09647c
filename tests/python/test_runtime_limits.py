"""A runtime's max_memory holds on every route by which a script (or its host) can take memory, the error is
MemoryLimitExceeded, and the runtime stays usable. The hostile routes run in a child process with a time
limit, which reports how far its peak RSS rose during the run."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

import tarnwick

SANITIZED = bool(os.environ.get("TARNWICK_SANITIZED")) or "asan" in os.environ.get("LD_PRELOAD", "")
MB = 1 << 20

CHILD = textwrap.dedent("""
    import json, resource, sys, time, tarnwick
    MB = 1 << 20
    limit, setup, source = json.loads(sys.stdin.read())
    rt = tarnwick.Runtime(max_memory=limit) if limit else tarnwick.Runtime()
    exec(setup)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.monotonic()
    try:
        rt.run(source)
        outcome = "ok"
    except tarnwick.ScriptError as e:
        outcome = type(e).__name__ + ": " + e.message
    seconds = time.monotonic() - start
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
    usable = rt.run("fn two() { return 2 }") is None and rt.call("two") == 2
    print(json.dumps({"outcome": outcome, "grown": grown, "seconds": seconds, "usable": usable,
                      "used": rt.memory_used}))
""")


def run_child(limit, source, setup="", timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", CHILD], input=json.dumps([limit, setup, source]), capture_output=True,
                       text=True, timeout=timeout, env=env)
    assert r.returncode == 0, r.stderr[-2000:]
    return json.loads(r.stdout.splitlines()[-1])


def bound(limit):
    return max(2 * limit, limit + 16 * MB)


SHARED = "let a = range(0, 1000)\nlet i = 0\nwhile i < 22 { a = [a, a]\n i = i + 1 }\n"
BODY = "\n".join(f"  let x{k} = {k}" for k in range(200))
ASSIGNS = "x = y + z * 2\n" * 400_000

ROUTES = {
    # Each copy of a 6 MB array is refused before it is made.
    "copy on write": (8 * MB, "", "let a = range(0, 400000)\nlet o = {}\nlet i = 0\n"
                                  "while true { let b = a\n b[0] = i\n o[str(i)] = b\n i = i + 1 }"),
    "native list": (8 * MB, "rt.register('f', lambda: list(range(100000)))",
                    "let o = {}\nlet i = 0\nwhile true { o[str(i)] = f()\n i = i + 1 }"),
    "str of shared": (64 * MB, "", SHARED + "s = str(a)"),
    "f-string of shared": (64 * MB, "", SHARED + 's = f"<{a}>"'),
    "key of shared": (64 * MB, "", SHARED + "o = {}\no[a] = 1"),
    "locals per frame": (8 * MB, "", "fn f(n) {\n" + BODY + "\n  return f(n + 1) + x1\n}\nf(0)"),
    "deep recursion": (4 * MB, "", "fn f(n) { if n == 1000000 { return 0 }\n return f(n + 1) }\nf(0)"),
    "compiling": (64 * MB, "", ASSIGNS),
}


@pytest.mark.parametrize("route", sorted(ROUTES))
def test_each_route_stops_at_the_limit(route):
    limit, setup, source = ROUTES[route]
    r = run_child(limit, source, setup)
    assert r["outcome"].startswith("MemoryLimitExceeded"), r
    if not SANITIZED:  # peak RSS under AddressSanitizer says nothing about the limit
        assert r["grown"] <= bound(limit), r
    assert r["usable"], r
    assert r["used"] < limit, r


@pytest.mark.parametrize("expr", ["s = str(a)", 's = f"<{a}>"', "o = {}\no[a] = 1"])
def test_a_rendering_past_the_ceiling_is_refused_before_it_is_built(expr):
    # Without a limit the value ceiling still holds, and the text (4 GB here) is never started.
    r = run_child(0, SHARED + expr)
    assert r["outcome"].startswith("ScriptError: Line") and r["outcome"].endswith("Out of memory"), r
    if not SANITIZED:
        assert r["grown"] < 64 * MB and r["seconds"] < 5, r


def test_a_rendering_within_the_limit_is_exact():
    rt = tarnwick.Runtime(max_memory=64 * MB)
    value = [[1, -2.5, "x" * 40, None, True, False, {"k": [3]}] for _ in range(3000)]
    rt.globals["v"] = value
    rt.run("s = str(v)\nn = len(s)")
    text = rt.globals["s"]
    assert len(text) == rt.globals["n"] > 64 * 1024
    assert text.startswith('[[1, -2.5, ' + "x" * 40 + ', nil, 1, 0, {k: [3]}], [1, ')
    assert text.count("{k: [3]}") == 3000


def test_the_call_stack_counts_in_memory_used():
    rt = tarnwick.Runtime(max_memory=64 * MB)
    seen = []
    rt.register("probe", lambda: seen.append(rt.memory_used))
    rt.run("fn f(n) { if n == 0 { probe()\n return 0 }\n return f(n - 1) }")
    rt.call("f", 1)
    rt.call("f", 100_000)
    assert seen[1] - seen[0] > 100_000 * 16  # a frame and a register at least per call
    assert rt.memory_used < 256 * 1024  # given back when the call ends


def test_host_values_count_against_the_limit():
    rt = tarnwick.Runtime(max_memory=16 * MB)
    rt.run("fn size(x) { return len(x) }")
    big = "x" * (64 * MB)
    with pytest.raises(tarnwick.MemoryLimitExceeded):
        rt.globals["g"] = big
    assert "g" not in rt.globals
    with pytest.raises(tarnwick.MemoryLimitExceeded):
        rt.globals["g"] = [1] * (2 * MB)
    with pytest.raises(tarnwick.MemoryLimitExceeded):
        rt.call("size", big)
    rt.globals["g"] = "x" * MB  # what fits is taken
    assert rt.call("size", rt.globals["g"]) == MB


def test_an_error_keeps_every_global():
    rt = tarnwick.Runtime(max_memory=8 * MB)
    rt.run("keep = 5\no = {}\na = range(0, 300000)")
    with pytest.raises(tarnwick.MemoryLimitExceeded):
        rt.run("let i = 0\nwhile true { o[str(i)] = i\n i = i + 1 }")
    assert rt.globals["keep"] == 5
    assert len(rt.globals["o"]) > 1000
    # The copy itself refused: the array the global held is still there.
    with pytest.raises(tarnwick.MemoryLimitExceeded):
        rt.run("b = a\na[0] = 7")
    assert len(rt.globals["a"]) == 300000 and rt.globals["a"][0] == 0


@pytest.mark.parametrize("keyword", ["max_memory", "max_instructions"])
@pytest.mark.parametrize("value", [0.5, 1000.25])
def test_fractional_counts_are_refused(keyword, value):
    with pytest.raises(ValueError, match="whole number"):
        tarnwick.Runtime(**{keyword: value})


def test_whole_float_counts_are_limits():
    rt = tarnwick.Runtime(max_instructions=1000.0)
    with pytest.raises(tarnwick.InstructionLimitExceeded):
        rt.run("while true { }")
