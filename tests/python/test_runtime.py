"""tarnwick.Runtime: state that persists, calls both ways, errors, limits, interrupts, threads and I/O."""
import gc
import os
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc

import pytest
import tarnwick
import tarnwick_parser as tp

# The sanitizer's quarantine keeps freed memory mapped: process memory says nothing there.
SANITIZED = bool(os.environ.get("TARNWICK_SANITIZED"))

LIB = """
fn area(w, h) { return w * h }
fn inner(x) { return x * "s" }
fn middle(x) { return inner(x) + 1 }
fn outer(x) { return middle(x) }
fn apply(f, x) { return f(x) }
class Shape { fn describe(self) { return f"{self.name} of {self.area()}" } }
class Square extends Shape { fn area(self) { return self.side * self.side } }
fn square(n) { return {__class__: "Square", name: "square", side: n} }
total = 0
let scratch = 5
"""


@pytest.fixture
def rt():
    runtime = tarnwick.Runtime()
    runtime.run(LIB, name="lib.tw")
    return runtime


def test_functions_classes_and_globals_persist_but_top_level_lets_do_not(rt):
    assert rt.call("area", 3, 4) == 12
    rt.run("total = total + area(2, 5)")
    rt.run("total = total + 1")
    assert rt.globals["total"] == 11
    assert "scratch" not in rt.globals
    assert rt.run("fn late() { return scratch }") is None
    assert rt.call("late") is None
    assert sorted(rt.globals) == ["Shape", "Square", "apply", "area", "inner", "late", "middle", "outer", "square",
                                  "total"]


def test_calls_methods_and_callbacks_cross_both_ways(rt):
    sq = rt.call("square", 3)
    assert sq == {"__class__": "Square", "name": "square", "side": 3}
    assert rt.call_method(sq, "describe") == "square of 9"
    area = rt.globals["area"]
    assert area(6, 7) == 42 and area.__name__ == "area" and area.runtime is rt
    assert rt.call(area, 2, 2) == 4
    # A script function passed to a native is called back while the script runs.
    rt.register("twice", lambda f, x: f(f(x)))
    rt.run("fn inc(x) { return x + 1 }  fn via(x) { return twice(inc, x) * 10 }")
    assert rt.call("via", 1) == 30
    # A Python callable given back as an argument is the script function again.
    assert rt.call("apply", rt.globals["inc"], 41) == 42
    bound = rt.run("result = square(2).describe") or rt.globals["result"]
    assert repr(bound).startswith("<tarnwick method") and bound() == "square of 4"


@pytest.mark.parametrize("value,expected", [
    ({"a": 1, "b": [2, (3, 4)]}, {"a": 1, "b": [2, [3, 4]]}),
    ((1, "x", None, 2.5), [1, "x", None, 2.5]),
    ({}, {}),
    (True, 1),  # booleans are ints in the language
])
def test_values_round_trip_through_globals(rt, value, expected):
    rt.globals["v"] = value
    assert rt.globals["v"] == expected
    assert rt.run("w = v") is None and rt.globals["w"] == expected


def test_globals_view_and_conversion_errors(rt):
    g = rt.globals
    g["fresh"] = 1
    assert "fresh" in g and g["fresh"] == 1 and len(g) == len(list(g))
    del g["fresh"]
    assert "fresh" not in g and rt.run("seen = fresh") is None and "seen" not in g
    with pytest.raises(KeyError):
        g["missing"]
    with pytest.raises(KeyError):
        del g["missing"]
    with pytest.raises(TypeError, match="str keys"):
        g["bad"] = {1: 2}
    with pytest.raises(TypeError, match="str keys"):
        rt.call("area", {("t",): 1}, 2)
    with pytest.raises(NameError):
        rt.call("nope")
    with pytest.raises(TypeError):
        rt.call("total")
    assert rt.call("area", 2, 3) == 6  # still usable


def test_shared_values_convert_once():
    rt = tarnwick.Runtime()
    rt.run("let a = [1]  for i in range(0, 40) { a = [a, a] }  deep = a")
    t = time.perf_counter()
    v = rt.globals["deep"]
    assert time.perf_counter() - t < 5
    for _ in range(40):
        assert v[0] is v[1]
        v = v[0]
    assert v == [1]
    # The same on the way in: a Python structure with sharing converts without blowing up.
    x = [1]
    for _ in range(40):
        x = [x, x]
    rt.globals["back"] = x
    assert rt.run("n = len(back)") is None and rt.globals["n"] == 2


def test_natives_belong_to_their_runtime():
    tp.set_native_binding("shared", lambda: "registry")
    try:
        a = tarnwick.Runtime(natives={"who": lambda: "a"})
        b = tarnwick.Runtime()
        b.register("who", lambda: "b")
        assert a.run("r = who()") is None and a.globals["r"] == "a"
        assert b.run("r = who()") is None and b.globals["r"] == "b"
        c = tarnwick.Runtime()
        assert c.run("r = [typeof(who), typeof(shared)]") is None and c.globals["r"] == ["nil", "nil"]
        assert a.natives.keys() == {"who"} and "who" not in list(a.globals) and a.globals["who"]() == "a"
    finally:
        tp.clear_native_bindings()


def test_script_error_carries_message_line_stack_and_stays_usable(rt):
    with pytest.raises(tarnwick.ScriptError) as info:
        rt.call("outer", 2)
    e = info.value
    assert e.message == "Line 3: Type error: cannot apply mul to int and string"
    assert e.line == 3 and e.filename == "lib.tw"
    assert [(s.function, s.line) for s in e.stack] == [("outer", 5), ("middle", 4), ("inner", 3)]
    assert str(e).splitlines()[-1] == '  File "lib.tw", line 3, in inner'
    with pytest.raises(tarnwick.ScriptError) as info:
        rt.run("let x = 1\nouter(x)", name="main.tw")
    assert [(s.file, s.function) for s in info.value.stack][0] == ("main.tw", "<main>")
    assert rt.call("area", 1, 2) == 2 and rt.globals["total"] == 0


def test_native_exception_is_the_cause_with_its_traceback(rt):
    def fails(x):
        raise ValueError(f"bad {x}")

    rt.register("fails", fails)
    with pytest.raises(tarnwick.ScriptError, match="Native error: ValueError: bad 3") as info:
        rt.run("fails(3)")
    cause = info.value.__cause__
    assert isinstance(cause, ValueError) and cause.__traceback__ is not None
    assert "fails" in [f.name for f in __import__("traceback").extract_tb(cause.__traceback__)]


@pytest.mark.parametrize("source,line,offset", [
    ("let x = (1 print(x)", 1, 12),
    ("fn f() {\n  return 1 +\n}", 3, 1),
    ("break", 1, None),
])
def test_syntax_errors_are_syntax_errors_with_positions(rt, source, line, offset):
    with pytest.raises(tarnwick.ScriptSyntaxError) as info:
        rt.run(source, name="bad.tw")
    e = info.value
    assert isinstance(e, SyntaxError) and e.filename == "bad.tw" and e.lineno == line and e.offset == offset
    assert e.text == source.splitlines()[line - 1]
    assert rt.call("area", 2, 2) == 4


@pytest.mark.parametrize("kwargs,source,error", [
    ({"max_instructions": 50_000}, "while 1 { }", tarnwick.InstructionLimitExceeded),
    ({"timeout": 0.2}, "fn spin() { while 1 { } }  spin()", tarnwick.TimeLimitExceeded),
    ({"max_memory": 8 << 20}, 'let a = range(0, 400000) for i in range(0, 400000) { a[i] = f"{i} and some padding" }',
     tarnwick.MemoryLimitExceeded),
    ({"max_memory": 8 << 20}, "big = range(0, 5000000)", tarnwick.MemoryLimitExceeded),
])
def test_each_limit_stops_the_run_and_the_runtime_is_reused(kwargs, source, error):
    rt = tarnwick.Runtime(**kwargs)
    rt.run("fn f(n) { return n + 1 }  kept = 7")
    start = time.monotonic()
    with pytest.raises(error) as info:
        rt.run(source)
    assert isinstance(info.value, tarnwick.LimitExceeded) and time.monotonic() - start < 10
    assert rt.call("f", 1) == 2 and rt.globals["kept"] == 7
    assert rt.run("after = f(kept)") is None and rt.globals["after"] == 8


def test_limits_apply_per_call_and_reject_bad_values():
    rt = tarnwick.Runtime(max_instructions=10_000)
    rt.run("fn loop(n) { let i = 0 while i < n { i = i + 1 } return i }")
    assert rt.call("loop", 100) == 100
    with pytest.raises(tarnwick.InstructionLimitExceeded):
        rt.call("loop", 10**9)
    assert rt.call("loop", 100) == 100
    for bad in ({"timeout": 0}, {"max_memory": -1}):
        with pytest.raises(ValueError):
            tarnwick.Runtime(**bad)


def test_watchdog_thread_interrupts_a_worker_thread_run():
    rt = tarnwick.Runtime()
    outcome = []

    def work():
        try:
            rt.run("fn spin() { while 1 { } }  spin()")
        except tarnwick.Interrupted as e:
            outcome.append(e.stack[-1].function)

    worker = threading.Thread(target=work)
    worker.start()
    time.sleep(0.2)  # the main thread gets to run while the script does
    rt.interrupt()
    worker.join(10)
    assert not worker.is_alive() and outcome == ["spin"]
    assert rt.run("x = 1") is None  # an interrupt with no run in progress is dropped


def test_signal_handler_interrupts_a_main_thread_run():
    rt = tarnwick.Runtime()
    old = signal.signal(signal.SIGALRM, lambda *_: rt.interrupt())
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(tarnwick.Interrupted):
            rt.run("while 1 { }")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_ctrl_c_in_the_main_thread_while_a_worker_runs_compile_and_run():
    code = textwrap.dedent("""
        import os, signal, sys, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import tarnwick_parser
        threading.Thread(target=lambda: tarnwick_parser.compile_and_run("while 1 { }"), daemon=True).start()
        time.sleep(0.2)
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(10)
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted")
        sys.stdout.flush()
        os._exit(0)
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert r.stdout.strip() == "interrupted", r.stderr


def test_output_and_input_callables():
    printed, prompts = [], []
    answers = iter(["ada", None])

    def ask(prompt):
        prompts.append(prompt)
        return next(answers)

    rt = tarnwick.Runtime(output=printed.append, input=ask)
    rt.run('let n = input("name? ")  print("hi ", n)  print(input())')
    assert printed == ['"hi ""ada"\n', "nil\n"] and prompts == ['"name? "', ""]

    def broken(_):
        raise OSError("disk full")

    rt2 = tarnwick.Runtime(output=broken)
    with pytest.raises(tarnwick.ScriptError, match="OSError: disk full") as info:
        rt2.run("print(1)")
    assert isinstance(info.value.__cause__, OSError)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_control_flow_exceptions_from_natives_propagate(exc):
    def stop():
        raise exc()

    rt = tarnwick.Runtime(natives={"stop": stop})
    with pytest.raises(exc):
        rt.run("stop()")
    assert rt.run("y = 2") is None and rt.globals["y"] == 2


def test_one_runtime_from_two_threads_is_serialised_and_re_entry_refused():
    rt = tarnwick.Runtime()
    rt.run("count = 0  fn bump(n) { let i = 0 while i < n { count = count + 1 i = i + 1 } return count }")
    threads = [threading.Thread(target=lambda: [rt.call("bump", 2000) for _ in range(20)]) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert rt.globals["count"] == 4 * 20 * 2000
    rt.register("again", lambda: rt.run("1"))
    with pytest.raises(tarnwick.ScriptError) as info:
        rt.run("again()")
    assert isinstance(info.value.__cause__, RuntimeError)


def test_closed_runtime_refuses_use():
    with tarnwick.Runtime() as rt:
        rt.run("fn f() { return 1 }")
        f = rt.globals["f"]
    with pytest.raises(RuntimeError, match="closed"):
        f()
    with pytest.raises(RuntimeError, match="closed"):
        rt.run("1")


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_no_growth_over_many_calls():
    rt = tarnwick.Runtime()
    rt.run('fn f(x, s) { return [x + 1, f"{s}!", {k: x}] }')
    for _ in range(2000):
        rt.call("f", 1, "a")
    gc.collect()
    tracemalloc.start()
    before_py = tracemalloc.get_traced_memory()[0]
    before_rss = rss_kib()
    for i in range(20_000 if SANITIZED else 100_000):
        rt.call("f", i, "a")
    gc.collect()
    grown_py = tracemalloc.get_traced_memory()[0] - before_py
    tracemalloc.stop()
    assert grown_py < 64 * 1024
    if not SANITIZED:
        assert rss_kib() - before_rss < 8 * 1024
    assert rt.memory_used < 64 * 1024
