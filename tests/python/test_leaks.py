"""Every entry point, run many thousands of times, must leave memory flat.

Python objects are counted by tracemalloc (a leaked reference keeps its object's allocation alive); native
allocations show up in the resident set size.
"""
import gc
import os
import tracemalloc

import pytest

import tarnwick_parser as tp
from tarnwick_vm_engine import VMEngine

PAGE = os.sysconf("SC_PAGE_SIZE")
# AddressSanitizer keeps freed memory in quarantine, so the resident size says nothing under it.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def measure(action, rounds):
    tracemalloc.start()
    # Warm-up, traced too: one-time allocations (caches, free lists, allocator pools) land before the baseline.
    for _ in range(rounds):
        action()
    gc.collect()
    before_py = tracemalloc.get_traced_memory()[0]
    before_rss = rss()
    for _ in range(rounds):
        action()
    gc.collect()
    after_py = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return after_py - before_py, rss() - before_rss


class Boom(Exception):
    pass


def raise_boom(*args):
    raise Boom("x" * 100)


def scenario_run_with_natives():
    tp.set_native_binding("echo", lambda *a: a)
    tp.set_native_binding("boom", raise_boom)
    tp.compile_and_run('let r = echo(1, 2.5, "s", [1, [2]], {k: "v"}, nil, len, 1 < 2) '
                       'let s = f"{r}" boom(r)')


def scenario_conversions_from_python():
    tp.set_native_binding("give", lambda: [b"ab", (1, 2 ** 70, 10 ** 400), {"d": 1}, None, "é", 1.5, True])
    tp.compile_and_run("let x = give() x = give()")


def scenario_source_errors():
    for source in ('"open', "let = 1", "break"):
        try:
            tp.compile_and_run(source)
        except SyntaxError:
            pass
    try:
        tp.compile_and_run(b"bytes")
    except TypeError:
        pass


def scenario_registry():
    tp.set_native_binding("a", lambda: 1)
    tp.set_native_binding("a", lambda: 2)
    tp.set_native_binding("b", [1, 2, 3])
    tp.clear_native_bindings()


def raise_interrupt():
    raise KeyboardInterrupt


def scenario_interrupted_by_native():
    tp.set_native_binding("stop", raise_interrupt)
    try:
        tp.compile_and_run("let a = [1, 2] stop(a)")
    except KeyboardInterrupt:
        pass


def scenario_runtime_error():
    tp.compile_and_run("let a = [1, 2, 3] let o = {x: a} o.y = 1 / 0")


def scenario_engine():
    engine = VMEngine(b"\x00\xff")
    engine.execute()
    engine.state()
    engine.stats()
    engine.enable_jit()
    engine.stats()
    engine.collect_hot_traces_ir()
    engine.reset(b"\x01")
    engine.execute()
    try:
        engine.reset("not bytes")
    except TypeError:
        pass


@pytest.mark.parametrize("scenario", [
    scenario_run_with_natives, scenario_conversions_from_python, scenario_source_errors, scenario_registry,
    scenario_runtime_error, scenario_interrupted_by_native, scenario_engine,
], ids=lambda f: f.__name__[len("scenario_"):])
def test_memory_stays_flat(scenario):
    rounds = 20000
    try:
        py_growth, rss_growth = measure(scenario, rounds)
    finally:
        tp.clear_native_bindings()
    # A leak of one small object per round would show 20000 * ~50 bytes = 1 MB or more.
    assert py_growth < 64 * 1024, f"Python memory grew by {py_growth} bytes over {rounds} rounds"
    assert SANITIZED or rss_growth < 4 * 1024 * 1024, f"RSS grew by {rss_growth} bytes over {rounds} rounds"
