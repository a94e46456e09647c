"""Calls from the host into script functions: the values made on the way are charged to the runtime that
made them (with and without a memory limit, on the calling thread and on others), every argument count
reaches its function, and arguments and results keep their types."""

import threading

import pytest

import tarnwick

LIBRARY = """
fn add1(x) { return x + 1 }
fn make(n) { let a = range(0, n) for i in range(0, n) { a[i] = str(i * 1000003) } return a }
fn keep(n) { kept = make(n) return len(kept) }
fn drop() { kept = nil return 0 }
fn count(a, b, c, d, e, f, g) { return [a, b, c, d, e, f, g] }
fn same(x) { return x }
"""


def runtime(**kw):
    rt = tarnwick.Runtime(**kw)
    rt.run(LIBRARY)
    for _ in range(3):  # the first calls leave what a function keeps once it has run (its call sites)
        rt.call("make", 10)
        rt.call("keep", 10)
        rt.call("drop")
    return rt


@pytest.mark.parametrize("limit", [None, 64 << 20])
def test_memory_used_holds_across_many_calls(limit):
    rt = runtime(max_memory=limit)
    base = rt.memory_used
    for _ in range(300):
        rt.call("make", 50)  # made, returned, converted and freed
        rt.call("add1", 1)
    assert rt.memory_used == base
    assert rt.call("keep", 2000) == 2000
    held = rt.memory_used
    assert held > base + 2000 * 16  # the kept array and its strings are the runtime's
    rt.call("drop")
    assert rt.memory_used == base


def test_values_freed_by_another_runtime_are_not_charged_here():
    a, b = runtime(), runtime()
    base_a, base_b = a.memory_used, b.memory_used
    a.call("keep", 1000)
    for _ in range(50):
        b.call("make", 100)
    assert b.memory_used == base_b
    a.call("drop")
    assert a.memory_used == base_a


def test_memory_used_holds_for_calls_from_worker_threads():
    rt = runtime()
    base = rt.memory_used
    results = []

    def work():
        for _ in range(100):
            results.append(len(rt.call("make", 20)))

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert results == [20] * 300
    assert rt.memory_used == base


def test_a_limit_still_stops_a_call_that_takes_too_much():
    rt = runtime(max_memory=4 << 20)
    for _ in range(20):
        assert rt.call("add1", 1) == 2
    with pytest.raises(tarnwick.MemoryLimitExceeded):
        rt.call("keep", 1_000_000)
    rt.call("drop")
    assert rt.call("add1", 41) == 42


def test_every_argument_count_reaches_its_function():
    src = "".join(f"fn f{n}({', '.join(f'a{i}' for i in range(n))}) {{ return {n} }}\n" for n in range(80))
    rt = runtime()
    rt.run(src)
    # More counts than are kept at once, then back to the first ones: each call gets its own count.
    for n in list(range(80)) + [1, 0, 1, 1, 79, 2, 2]:
        assert rt.call(f"f{n}", *range(n)) == n
    assert rt.call("count", 1, 2, 3, 4, 5, 6, 7) == [1, 2, 3, 4, 5, 6, 7]
    handle = rt.globals["count"]
    assert handle(*"abcdefg") == list("abcdefg")
    assert rt.call("add1", 1) == 2


@pytest.mark.parametrize("value, back", [(0, 0), (-1, -1), (2**62, 2**62), (-(2**63), -(2**63)), (1.5, 1.5),
                                         (None, None), (True, 1), (False, 0), ("text", "text"),
                                         ([1, [2.5]], [1, [2.5]]), ({"k": 1}, {"k": 1})])
def test_arguments_and_results_keep_their_types(value, back):
    rt = runtime()
    for out in (rt.call("same", value), rt.globals["same"](value)):
        assert out == back and type(out) is type(back)


def test_int_bounds_pass_and_saturate():
    rt = runtime()
    assert rt.call("same", 2**63 - 1) == 2**63 - 1
    assert rt.call("add1", 2**63 - 1) == 2**63 - 1  # script ints saturate
    assert rt.globals["add1"](-(2**63)) == -(2**63) + 1
