"""tarnwick.Program: compiled once, run by any runtime as often as needed, pickled as its source to travel to
other processes (a process pool here; the cluster example in test_cluster.py)."""
import copy
import os
import pickle
import subprocess
import sys
import threading
from concurrent.futures import ProcessPoolExecutor
import multiprocessing

import pytest

import tarnwick
from tarnwick import Program, Runtime, ScriptError, ScriptSyntaxError

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

LIBRARY = """
if loads == nil { loads = 0 }
loads = loads + 1
class Counter { fn bump(self, n) { self.n = self.n + n return self.n } }
fn describe(x) { return f"{typeof(x)} {x} {tag()}" }
fn total(xs) { let c = {__class__: "Counter", n: 0.5} let s = 0 for x in xs { s = s + c.bump(x) } return s }
print(f"loaded {loads}")
"""


def make_runtime(lines=None, **limits):
    return Runtime(natives={"tag": lambda: "tagged"}, output=(lines.append if lines is not None else None), **limits)


def test_program_is_exported_with_its_source_and_filename():
    assert "Program" in tarnwick.__all__
    p = Program(LIBRARY, filename="lib.tw")
    assert (p.source, p.filename) == (LIBRARY, "lib.tw")
    assert Program("1").filename == "<script>"
    assert repr(p) == "<tarnwick.Program 'lib.tw'>"
    with pytest.raises(AttributeError):
        p.source = "2"
    with pytest.raises(TypeError):
        Program(b"1")


@pytest.mark.parametrize("source", [
    'let s = "open',                 # lex
    "let = 1",                       # parse
    "fn f() {\n  return 1\n}\nbreak",  # compile
    "x = 1\n  y = (",                # parse, on a later line
])
def test_a_broken_source_raises_what_run_raises(source):
    with pytest.raises(ScriptSyntaxError) as from_program:
        Program(source, filename="bad.tw")
    with pytest.raises(ScriptSyntaxError) as from_run:
        Runtime().run(source, name="bad.tw")
    got, want = from_program.value, from_run.value
    assert (got.msg, got.filename, got.lineno, got.offset, got.text) == \
        (want.msg, want.filename, want.lineno, want.offset, want.text)


def test_one_program_runs_in_many_runtimes_many_times_as_its_source_does():
    program = Program(LIBRARY, filename="lib.tw")
    reference_lines = []
    reference = make_runtime(reference_lines)
    reference.run(LIBRARY, name="lib.tw")
    for _ in range(3):
        lines = []
        rt = make_runtime(lines)
        for _ in range(3):
            assert rt.run(program) is None
        assert lines == ['"loaded 1"\n', '"loaded 2"\n', '"loaded 3"\n']
        for fn, arg in (("describe", 4), ("describe", "x"), ("total", [1, 2, 3.5])):
            assert rt.call(fn, arg) == reference.call(fn, arg)
    assert (program.source, program.filename) == (LIBRARY, "lib.tw")


@pytest.mark.parametrize("filename", ["div.tw", "odd\0name.tw"])
def test_failures_name_the_programs_filename_or_the_name_given(filename):
    program = Program("fn f(x) { return 10 / x }\nlet y = f(0)\n", filename=filename)
    rt = Runtime()
    for name, expected in ((None, filename), ("other.tw", "other.tw")):
        with pytest.raises(ScriptError) as e:
            rt.run(program) if name is None else rt.run(program, name=name)
        assert e.value.message == "Line 1: Division by zero"
        assert e.value.filename == expected
        assert [s.file for s in e.value.stack] == [expected, expected]
    assert rt.call("f", 5) == 2


def test_runs_of_a_program_keep_the_runtimes_limits():
    rt = Runtime(max_instructions=10_000)
    with pytest.raises(tarnwick.InstructionLimitExceeded):
        rt.run(Program("while true { }"))
    assert rt.run(Program("ok = 1")) is None
    assert rt.globals["ok"] == 1


def test_run_refuses_other_arguments_and_a_closed_runtime():
    rt = Runtime()
    with pytest.raises(TypeError, match="must be str or Program, not int"):
        rt.run(42)
    rt.close()
    with pytest.raises(RuntimeError, match="closed"):
        rt.run(Program("1"))


def test_a_native_cannot_run_a_program_in_its_own_running_runtime():
    program = Program("x = 1")
    rt = Runtime()
    rt.register("again", lambda: rt.run(program))
    with pytest.raises(ScriptError) as e:
        rt.run("again()")
    assert isinstance(e.value.__cause__, RuntimeError)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_as_its_source_and_runs_after_unpickling(protocol):
    program = Program(LIBRARY, filename="lib.tw")
    data = pickle.dumps(program, protocol=protocol)
    back = pickle.loads(data)
    assert type(back) is Program
    assert (back.source, back.filename) == (LIBRARY, "lib.tw")
    lines = []
    rt = make_runtime(lines)
    rt.run(back)
    assert lines == ['"loaded 1"\n'] and rt.call("total", [1]) == 1.5


class _Forged:
    """Unpickles as a Program made from whatever source the pickle names."""

    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return Program, self.args


@pytest.mark.parametrize("args, error", [
    (("let = 1", "forged.tw"), ScriptSyntaxError),
    ((b"\x00\xff", "forged.tw"), TypeError),
    (("1", 7), TypeError),
    ((), TypeError),
])
def test_a_forged_pickle_is_a_clear_error(args, error):
    with pytest.raises(error):
        pickle.loads(pickle.dumps(_Forged(*args)))


def test_a_thread_with_a_small_stack_gets_an_error_not_a_crash():
    child = """if True:
        import threading, tarnwick
        nested = "x = " + "(" * 90 + "1" + ")" * 90 + "\\ny = " + "[" * 90 + "1" + "]" * 90
        out = []
        def compile_it():
            try:
                tarnwick.Program(nested)
                out.append("compiled")
            except RecursionError as e:
                out.append(str(e))
        threading.stack_size(32 * 1024)
        t = threading.Thread(target=compile_it)
        t.start()
        t.join()
        tarnwick.Program(nested)  # the main thread has room
        print(out[0])
    """
    r = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith("Stack overflow")


def test_copies_are_the_program_itself():
    program = Program("1")
    assert copy.copy(program) is program
    assert copy.deepcopy([program])[0] is program


def test_runtimes_on_two_threads_run_one_program():
    program = Program(LIBRARY + "fn spin(n) { let s = 0 for i in range(0, n) { s = s + i } return s }\n")
    results, errors = {}, []

    def work(k):
        try:
            rt = make_runtime([])
            for _ in range(20):
                rt.run(program)
            results[k] = (rt.call("spin", 20_000 + k), rt.globals["loads"])
        except BaseException as e:  # reported below, in the test's thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors and not any(t.is_alive() for t in threads)
    assert results == {k: (sum(range(20_000 + k)), 20) for k in range(2)}


# A worker process's runtime, made once by the pool's initializer from the program it was sent.
_worker_runtime = None


def _init_worker(program):
    global _worker_runtime
    _worker_runtime = Runtime(natives={"tag": lambda: "tagged"}, output=lambda line: None)
    _worker_runtime.run(program)


def _describe(x):
    return os.getpid(), _worker_runtime.call("describe", x), _worker_runtime.globals["loads"]


def test_a_process_pool_receives_the_program_once_per_worker():
    program = Program(LIBRARY, filename="lib.tw")
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context, initializer=_init_worker,
                             initargs=(program,)) as pool:
        out = list(pool.map(_describe, range(6), timeout=120))
    assert [d for _, d, _ in out] == [f"int {i} tagged" for i in range(6)]
    assert {loads for _, _, loads in out} == {1}  # each worker ran it once, whatever it was given
    assert os.getpid() not in {pid for pid, _, _ in out}


def test_a_program_pickled_here_runs_in_another_interpreter():
    data = pickle.dumps(Program('fn twice(x) { return x * 2 }\nprint(f"ready {twice(21)}")', filename="t.tw"))
    child = "import pickle, sys, tarnwick\ntarnwick.Runtime().run(pickle.loads(sys.stdin.buffer.read()))\n"
    r = subprocess.run([sys.executable, "-c", child], input=data, capture_output=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert (r.returncode, r.stdout, r.stderr) == (0, b'"ready 42"\n', b"")
