"""What an embedding host relies on: scripts that exhaust memory or recursion, values nested a million
deep, natives that re-enter the modules, and threads, all end in a returned text or a Python exception,
never in a crash."""
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tarnwick_parser as tp
from tarnwick_vm_engine import VMEngine

SANITIZED = bool(os.environ.get("TARNWICK_SANITIZED"))


@pytest.fixture(autouse=True)
def clean_registry():
    tp.clear_native_bindings()
    yield
    tp.clear_native_bindings()


def in_small_stack_thread(fn, stack=512 * 1024):
    """Runs fn on a thread whose native stack is far too small for recursion over a million levels."""
    result, errors = [], []

    def body():
        try:
            result.append(fn())
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    old = threading.stack_size(stack)
    try:
        t = threading.Thread(target=body)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    assert errors == []
    return result[0]


@pytest.mark.parametrize("source, expected", [
    ("let a = range(0, 10000000000)", "Runtime error: Line 1: Out of memory"),
    ("let s = \"xxxxxxxx\"\nwhile true {\n  s = f\"{s}{s}\"\n}", "Runtime error: Line 3: Out of memory"),
    ("fn f(n) { return f(n + 1) }\nf(0)", "Runtime error: Line 1: Stack overflow"),
    ("class A { fn m(self) { return self.m() } }\n{__class__: \"A\"}.m()", "Runtime error: Line 1: Stack overflow"),
], ids=["huge-range", "string-doubling", "recursion", "method-recursion"])
def test_exhausting_scripts_end_with_a_runtime_error(source, expected):
    assert tp.compile_and_run(source) == expected
    # The engine is as good as new afterwards.
    assert tp.compile_and_run("print(len(range(0, 1000)))") == "nil"


def test_recursion_just_inside_the_ceiling_has_its_result():
    seen = []
    tp.set_native_binding("note", seen.append)
    assert tp.compile_and_run(
        "fn down(n) { if n == 0 { return 0 } return down(n - 1) + 1 }\nnote(down(100000))") == "nil"
    assert seen == [100000]


def test_million_deep_values_cross_the_bridge_both_ways_on_a_small_stack():
    got = []
    tp.set_native_binding("take", lambda v: got.append(v) or len(got))
    source = """
let a = []
let o = {}
let i = 0
while i < 1000000 { a = [a]; o = {n: o}; i = i + 1 }
take(a)
take(o)
str(a) == str(o)
"""
    assert in_small_stack_thread(lambda: tp.compile_and_run(source)) == "nil"
    depth, x = 0, got[0]
    while x:
        x, depth = x[0], depth + 1
    assert depth == 1000000
    depth, x = 0, got[1]
    while x:
        x, depth = x["n"], depth + 1
    assert depth == 1000000

    # And back: a Python list nested a million deep becomes a script value, walked and freed by the VM.
    tp.set_native_binding("give", lambda: got[0])
    seen = []
    tp.set_native_binding("note", seen.append)
    walk = "let x = give()\nlet d = 0\nwhile len(x) > 0 { x = x[0]; d = d + 1 }\nnote(d)\nnote(len(str(give())))"
    assert in_small_stack_thread(lambda: tp.compile_and_run(walk)) == "nil"
    assert seen == [1000000, 2000002]
    got.clear()
    gc.collect()


@pytest.mark.parametrize("stack", [None, 1024 * 1024], ids=["main-thread", "1MiB-thread"])
def test_natives_that_re_enter_without_end_stop_before_the_stack_runs_out(stack):
    results = []

    def again():
        r = tp.compile_and_run("again()")
        results.append(r)
        return r

    tp.set_native_binding("again", again)
    if stack is None:
        assert tp.compile_and_run("again()") == "nil"
    else:
        assert in_small_stack_thread(lambda: tp.compile_and_run("again()"), stack) == "nil"
    # The deepest level failed, with Python's recursion error or the engine's native stack guard, whichever
    # came first; every level returned normally.
    assert len(results) > 10
    failed = [r for r in results if r != "nil"]
    assert len(failed) == 1
    if stack is None:
        assert "Native error: RecursionError" in failed[0] or failed[0] == "Runtime error: Stack overflow"
    else:
        assert failed[0] == "Runtime error: Stack overflow"


@pytest.mark.parametrize("stack", [
    pytest.param(128 * 1024, marks=pytest.mark.skipif(SANITIZED, reason="sanitizer frames need a larger reserve")),
    256 * 1024,
], ids=["128KiB-thread", "256KiB-thread"])
def test_threads_with_small_stacks_run_ordinary_scripts(stack):
    seen = []
    tp.set_native_binding("note", seen.append)
    tp.set_native_binding("inner", lambda: tp.compile_and_run("note(\"inner\")"))
    source = ("fn fib(n) { if n < 2 { return n } return fib(n - 1) + fib(n - 2) }\n"
              "note(f\"{fib(15)} {[1, [2]]}\")\ninner()\nprint(1)")
    assert in_small_stack_thread(lambda: tp.compile_and_run(source), stack) == "nil"
    assert seen == ["610 [1, [2]]", "inner"]
    assert in_small_stack_thread(lambda: VMEngine(b"\x00\xff").execute(), stack) == "nil"

    # Only natives nesting runs without end reach the guard.
    results = []
    tp.set_native_binding("again", lambda: results.append(tp.compile_and_run("again()")) or results[-1])
    assert in_small_stack_thread(lambda: tp.compile_and_run("again()"), stack) == "nil"
    assert [r for r in results if r != "nil"] == ["Runtime error: Stack overflow"]


def test_natives_re_entering_both_modules_and_clearing_the_registry_mid_run():
    engines = []

    def busy(n):
        # Builds and runs an engine, replaces itself, clears the registry and runs a nested program.
        engine = VMEngine(b"\x00\xff")
        assert engine.execute() == "nil"
        engines.append(engine)
        tp.set_native_binding("busy", lambda n: -1)
        tp.clear_native_bindings()
        return tp.compile_and_run(f"{n} + 1") == "nil"

    tp.set_native_binding("busy", busy)
    seen = []
    tp.set_native_binding("note", seen.append)
    # The run keeps its snapshot: busy and note stay callable after the registry has been cleared.
    assert tp.compile_and_run("let i = 0\nwhile i < 5 { note(busy(i)); i = i + 1 }") == "nil"
    assert seen == [1, 1, 1, 1, 1]
    assert tp.compile_and_run("busy(1)") == "nil"  # cleared for later runs: an unknown call gives nil
    assert all(e.state() == "Halted" for e in engines)


def test_threads_running_programs_and_engines_while_bindings_change():
    errors = []
    barrier = threading.Barrier(4)
    shared = VMEngine(b"\x01")

    def worker(n):
        barrier.wait()
        try:
            for i in range(200):
                if n == 0:
                    tp.set_native_binding("val", lambda i=i: i)
                elif n == 1 and i % 3 == 0:
                    tp.clear_native_bindings()
                r = tp.compile_and_run("fn f(n) { if n == 0 { return 0 } return f(n - 1) } f(200) val()")
                assert r == "nil"
                try:
                    out = shared.execute()
                    assert out in ("Error: Stack underflow", "nil")
                    shared.reset(b"\x01")
                except RuntimeError as exc:  # another thread holds the engine: refused, never a crash
                    assert str(exc) in ("Already borrowed", "Already mutably borrowed")
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit allows")
def test_real_allocation_failures_raise_memory_error_or_end_the_run():
    # Under an address-space limit allocations really fail: in the front end that is a MemoryError, in a
    # running script the run's "Out of memory"; the interpreter survives both.
    code = textwrap.dedent("""
        import resource
        import tarnwick_parser as tp
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        try:
            tp.compile_and_run("x;" * 30_000_000)
        except MemoryError:
            print("MemoryError")
        print(tp.compile_and_run('let s = "xxxxxxxx"\\nwhile true { s = f"{s}{s}" }'))
        print(tp.compile_and_run("print(1)"))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["MemoryError", "Runtime error: Line 2: Out of memory", "1", "nil"]


def test_a_time_budget_is_seen_inside_heavy_iterations():
    # Each iteration builds a 20-million-element range: the back edge alone comes far too rarely.
    def too_long(signum, frame):
        raise TimeoutError("budget")

    old = signal.signal(signal.SIGALRM, too_long)
    start = time.monotonic()
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(TimeoutError):
            tp.compile_and_run("while 1 { let r = range(0, 20000000) }")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert time.monotonic() - start < 5
    import tarnwick
    rt = tarnwick.Runtime(timeout=0.2)
    for source in ["while 1 { let r = range(0, 20000000) }",
                   # one instruction: rendering a value of 16 million shared leaves
                   "let a = [1]  for i in range(0, 24) { a = [a, a] }  let s = str(a)"]:
        start = time.monotonic()
        with pytest.raises(tarnwick.TimeLimitExceeded):
            rt.run(source)
        assert time.monotonic() - start < 5


def test_ctrl_c_while_input_waits_ends_the_run():
    code = textwrap.dedent("""
        import os, signal, sys, threading, time
        signal.signal(signal.SIGINT, signal.default_int_handler)
        import tarnwick_parser
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            tarnwick_parser.compile_and_run("let n = 0 while 1 { input() n = n + 1 }")
            print("returned")
        except KeyboardInterrupt:
            print("interrupted")
    """)
    reader, writer = os.pipe()  # standard input that never has a line
    try:
        r = subprocess.run([sys.executable, "-c", code], stdin=reader, capture_output=True, text=True,
                           timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    finally:
        os.close(reader)
        os.close(writer)
    assert r.stdout.strip() == "interrupted", r.stderr
