"""The native-binding registry and the bridge through which scripts call Python."""
import _thread
import functools
import gc
import operator
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import tarnwick_parser as tp


@pytest.fixture(autouse=True)
def clean_registry():
    tp.clear_native_bindings()
    yield
    tp.clear_native_bindings()


def kept(source):
    """Runs source with a native `keep` that records its argument; returns what arrived."""
    got = []
    tp.set_native_binding("keep", got.append)
    assert tp.compile_and_run(source) == "nil"
    return got


def run_value(expr):
    """Runs `expr` and hands its value to Python through a native; returns what arrived."""
    return kept(f"keep({expr})")[0]


def test_arguments_and_result_cross_the_bridge():
    calls = []

    def add(*args):
        calls.append(args)
        return sum(args)

    tp.set_native_binding("add", add)
    assert run_value("add(1, 2, 39)") == 42
    assert calls == [(1, 2, 39)]
    assert tp.compile_and_run("add()") == "nil"  # result of the statement is discarded


def test_native_wins_over_user_function_and_builtin():
    tp.set_native_binding("len", lambda *a: "native len")
    tp.set_native_binding("f", lambda: "native f")
    assert run_value("len([1, 2])") == "native len"
    assert kept("fn f() { return 1 } keep(f()) keep(len([]))") == ["native f", "native len"]


def test_native_value_is_visible_as_a_global():
    tp.set_native_binding("cb", lambda: 1)
    assert run_value("cb") == "<native cb>"
    assert run_value("typeof(cb)") == "native_fn"


class Outer:
    class Failure(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raiser(exc):
    def f(*args):
        raise exc
    return f


@pytest.mark.parametrize("callback,message", [
    (raiser(ValueError("bad")), "Native error: ValueError: bad"),
    (raiser(ValueError()), "Native error: ValueError: "),
    (raiser(ValueError("a\ud800b")), "Native error: ValueError: a\ufffdb"),
    (raiser(Outer.Failure("deep")), "Native error: Outer.Failure: deep"),
    (raiser(Unprintable()), "Native error: Unprintable: <exception str() failed>"),
    (42, "Native error: TypeError: 'int' object is not callable"),
    (lambda a: a, "Native error: TypeError: <lambda>() missing 1 required positional argument: 'a'"),
])
def test_native_errors_become_runtime_errors(callback, message):
    tp.set_native_binding("cb", callback)
    assert tp.compile_and_run("let x = 1\ncb()\nx = 2") == "Runtime error: Line 2: " + message
    assert tp.compile_and_run("1") == "nil"


@pytest.mark.parametrize("exc", [SystemExit(3), GeneratorExit(), KeyboardInterrupt()])
def test_control_flow_exceptions_end_the_run_and_propagate(exc):
    seen = []
    tp.set_native_binding("boom", raiser(exc))
    tp.set_native_binding("note", seen.append)
    with pytest.raises(type(exc)):
        tp.compile_and_run("note(1) boom() note(2)")
    assert seen == [1]
    assert tp.compile_and_run("1") == "nil"


def test_error_ends_the_run():
    seen = []
    tp.set_native_binding("boom", raiser(KeyError("k")))
    tp.set_native_binding("note", seen.append)
    assert tp.compile_and_run("note(1) boom() note(2)") == "Runtime error: Line 1: Native error: KeyError: 'k'"
    assert seen == [1]


def test_replacing_and_clearing_release_the_callback():
    def first():
        return 1

    def second():
        return 2

    base = sys.getrefcount(first)
    tp.set_native_binding("f", first)
    assert sys.getrefcount(first) == base + 1
    tp.set_native_binding("f", second)
    assert sys.getrefcount(first) == base
    assert run_value("f()") == 2
    tp.clear_native_bindings()
    assert sys.getrefcount(second) == base
    assert run_value("f()") is None


def test_a_run_keeps_its_snapshot():
    events = []

    def change():
        tp.set_native_binding("late", lambda: "late")
        tp.clear_native_bindings()
        events.append("changed")
        return 0

    tp.set_native_binding("change", change)
    tp.set_native_binding("note", events.append)
    # After change() cleared the registry, this run still has note, and never sees late.
    assert tp.compile_and_run('change() note(late()) note("still here")') == "nil"
    assert events == ["changed", None, "still here"]
    assert tp.compile_and_run("note(1)") == "nil"  # cleared for later runs
    assert events == ["changed", None, "still here"]
    tp.set_native_binding("late", lambda: "late")
    assert run_value("late()") == "late"


def test_replaced_callback_whose_del_reenters_the_registry():
    class Reentrant:
        def __call__(self):
            return 1

        def __del__(self):
            tp.set_native_binding("from_del", lambda: 2)
            tp.clear_native_bindings()

    tp.set_native_binding("r", Reentrant())
    tp.set_native_binding("r", lambda: 3)  # releases the Reentrant: its __del__ must not deadlock
    gc.collect()
    assert run_value("r()") is None  # __del__ cleared everything


def test_callback_dropped_while_its_run_is_active():
    class Tracked:
        alive = 0

        def __init__(self):
            Tracked.alive += 1

        def __call__(self):
            tp.clear_native_bindings()  # the run's own reference keeps it callable
            return Tracked.alive

        def __del__(self):
            Tracked.alive -= 1

    tp.set_native_binding("t", Tracked())
    tp.set_native_binding("note", lambda v: None)
    assert tp.compile_and_run("t() t() t()") == "nil"
    assert Tracked.alive == 0  # released when the run ended


def test_natives_may_run_nested_programs():
    tp.set_native_binding("inner", lambda src: tp.compile_and_run(src))
    assert run_value('inner("1 / 0")') == "Runtime error: Line 1: Division by zero"
    assert run_value('inner("inner(\\"nil\\")")') == "nil"
    result = tp.compile_and_run('inner("let = 1")')
    assert result.startswith("Runtime error: Line 1: Native error: SyntaxError: Parse error: ")


def test_binding_name_must_be_str():
    with pytest.raises(TypeError):
        tp.set_native_binding(1, print)
    with pytest.raises(TypeError):
        tp.set_native_binding("x")
    assert tp.set_native_binding("x", None) is None
    assert tp.clear_native_bindings() is None


def test_runs_from_several_threads_share_the_registry():
    errors = []
    tp.set_native_binding("twice", lambda v: v * 2)

    def worker(n):
        try:
            for i in range(200):
                got = []
                tp.set_native_binding(f"keep{n}", got.append)
                assert tp.compile_and_run(f"keep{n}(twice({i}))") == "nil"
                assert got == [2 * i]
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []


# --- Interrupts -------------------------------------------------------------------------------------
# A run holds the GIL throughout, so a Python timer thread could never get to interrupt it: real signals
# are sent instead (from a child process, or by an interval timer).


def interrupt_soon(delay=0.2):
    return subprocess.Popen(["/bin/sh", "-c", f"sleep {delay}; kill -INT {os.getpid()}"])


@pytest.fixture
def sigint_raises():
    """Ctrl-C raises KeyboardInterrupt during the test, as in an interactive Python. A process started in
    the background by a non-interactive shell inherits SIGINT ignored, and Python then leaves it ignored:
    the interrupt would never arrive and the endless script would spin forever."""
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, old)


@pytest.mark.parametrize("source", [
    "while 1 { }",
    "fn spin() { while 1 { } } spin()",
    "fn one() { return 1 } let i = 0 while 1 { i = one() }",
])
@pytest.mark.usefixtures("sigint_raises")
def test_endless_script_is_interruptible(source):
    killer = interrupt_soon()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            tp.compile_and_run(source)
    finally:
        killer.wait()
    assert time.monotonic() - start < 10
    assert tp.compile_and_run("1") == "nil"


class InterruptingIndex:
    def __index__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("callback", [
    raiser(KeyboardInterrupt),
    lambda: [1, InterruptingIndex()],  # raised while its result is converted
])
def test_keyboard_interrupt_in_a_native_propagates(callback):
    seen = []
    tp.set_native_binding("stop", callback)
    tp.set_native_binding("note", seen.append)
    with pytest.raises(KeyboardInterrupt):
        tp.compile_and_run("note(1) stop() note(2)")
    assert seen == [1]


def test_signal_handler_exception_propagates_from_the_run():
    class Alarm(Exception):
        pass

    def handler(signum, frame):
        raise Alarm("ring")

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(Alarm, match="ring"):
            tp.compile_and_run("let i = 0 while 1 { i = i + 1 }")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_quiet_signal_handler_does_not_stop_the_run():
    rings = []
    old = signal.signal(signal.SIGALRM, lambda *a: rings.append(1))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        got = kept("let i = 0 while i < 10000000 { i = i + 1 } keep(i)")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert got == [10000000]
    assert rings


@pytest.mark.usefixtures("sigint_raises")
def test_interrupt_inside_a_nested_run_ends_both():
    tp.set_native_binding("inner", lambda: tp.compile_and_run("while 1 { }"))
    killer = interrupt_soon()
    try:
        with pytest.raises(KeyboardInterrupt):
            tp.compile_and_run("inner() while 1 { }")
    finally:
        killer.wait()


def shared_tree(depth):
    tree = [1]
    for _ in range(depth):
        tree = [tree, tree]
    return tree


@pytest.mark.parametrize("source", [
    "let a = [1] let i = 0 while i < 20 { a = [a, a] i = i + 1 } trip() keep(a)",  # to Python
    "trip() give()",  # from Python
])
@pytest.mark.usefixtures("sigint_raises")
def test_large_conversions_notice_interrupts(source):
    # C-level callables: no Python code runs that could notice the interrupt on the engine's behalf.
    tp.set_native_binding("trip", _thread.interrupt_main)
    tp.set_native_binding("keep", len)
    tp.set_native_binding("give", functools.partial(operator.itemgetter(0), [shared_tree(20)]))
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        tp.compile_and_run(source)
    # Converting the whole value (its shared branches unshared: 2**21 elements) takes seconds.
    assert time.monotonic() - start < 0.5


def test_shared_values_reach_a_native_converted_once():
    # Thirty doublings: a billion leaves if each place converted its own copy.
    got = []
    tp.set_native_binding("take", lambda v: got.append(v) or 0)
    try:
        assert tp.compile_and_run("let a = [1]  for i in range(0, 30) { a = [a, a] }  take(a)") == "nil"
    finally:
        tp.clear_native_bindings()
    v = got[0]
    for _ in range(30):
        assert v[0] is v[1]
        v = v[0]
    assert v == [1]


def test_signal_handler_exception_inside_a_native_is_that_natives_error():
    # As documented: the handler's exception surfaces inside the callback (here in time.sleep) and becomes
    # its native error; control-flow exceptions alone end the run.
    import signal
    import time

    def too_long(signum, frame):
        raise TimeoutError("script took too long")

    old = signal.signal(signal.SIGALRM, too_long)
    tp.set_native_binding("nap", lambda: time.sleep(5))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        out = tp.compile_and_run("nap()")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        tp.clear_native_bindings()
    assert out == "Runtime error: Line 1: Native error: TimeoutError: script took too long"
