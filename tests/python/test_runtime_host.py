"""A Runtime facing its host: conversions that cannot be done, runtimes that the collector must reclaim,
files that are not scripts, and a runtime set up twice."""
import errno
import gc
import os
import pathlib
import subprocess
import sys
import textwrap
import weakref

import pytest

import tarnwick
import tarnwick_parser


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


SANITIZED = bool(os.environ.get("TARNWICK_SANITIZED"))
HUGE = 10 ** 5000  # beyond 64 bits and a float, and past the interpreter's digit limit for str()


@pytest.fixture
def rt():
    r = tarnwick.Runtime()
    r.run("fn id(x) { return x }  class K { fn get(self, x) { return x } }")
    return r


# --- Conversions ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("value,cause", [
    (Unprintable(), ValueError),
    (HUGE, ValueError),
    ([1, [2, Unprintable()]], ValueError),
    ({"a": (Unprintable(),)}, ValueError),
], ids=["str-raises", "huge-int", "nested", "in-object"])
@pytest.mark.parametrize("way", ["call", "handle", "global", "call_method"])
def test_host_conversion_failure_raises_with_cause(rt, way, value, cause):
    with pytest.raises(TypeError, match="cannot convert .* to a Tarnwick value") as info:
        if way == "call":
            rt.call("id", value)
        elif way == "handle":
            rt.globals["id"](value)
        elif way == "global":
            rt.globals["g"] = value
        else:
            rt.call_method({"__class__": "K"}, "get", value)
    assert isinstance(info.value.__cause__, cause)
    assert "g" not in rt.globals
    assert rt.call("id", [1, "x"]) == [1, "x"]


@pytest.mark.parametrize("returned", [Unprintable(), HUGE, [Unprintable()]], ids=["str-raises", "huge-int", "nested"])
def test_native_result_conversion_failure_is_native_error(rt, returned):
    rt.register("give", lambda: returned)
    rt.run("fn take() { return give() }")
    with pytest.raises(tarnwick.ScriptError) as info:
        rt.call("take")
    assert info.value.message.startswith("Line 1: Native error: TypeError: cannot convert ")
    assert isinstance(info.value.__cause__, TypeError)
    assert isinstance(info.value.__cause__.__cause__, ValueError)
    assert rt.call("id", 3) == 3


def test_interrupt_in_str_is_not_wrapped(rt):
    class Stop:
        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        rt.call("id", Stop())
    assert rt.call("id", 1) == 1


@pytest.mark.parametrize("value", [Unprintable(), HUGE], ids=["str-raises", "huge-int"])
def test_one_shot_natives_keep_their_text(value):
    got = []
    tarnwick_parser.set_native_binding("give", lambda: value)
    tarnwick_parser.set_native_binding("keep", got.append)
    try:
        assert tarnwick_parser.compile_and_run("keep(give())") == "nil"
    finally:
        tarnwick_parser.clear_native_bindings()
    assert got == [""]


# --- Collection ----------------------------------------------------------------------------------------

class Host:
    """A typical embedder: its natives and callbacks are its own bound methods."""

    def __init__(self, script="fn f(x) { return log(x) }"):
        self.rt = tarnwick.Runtime(output=self.out, input=self.ask, natives={"log": self.log})
        self.rt.run(script)
        self.f = self.rt.globals["f"]

    def log(self, x):
        return x

    def out(self, text):
        pass

    def ask(self, prompt):
        return ""


@pytest.mark.parametrize("script", [
    "fn f(x) { return log(x) }",
    "keep = log  fn f(x) { return keep(x) }",  # the native also held by a script value
])
def test_host_referring_to_its_runtime_is_collected(script):
    host = Host(script)
    assert host.f(5) == 5
    host.rt.register("log", host.log)  # replaced: the first native is still held by `keep`, if anywhere
    runtime = weakref.ref(host.rt)
    gone = weakref.ref(host)
    del host
    gc.collect()
    assert gone() is None and runtime() is None


def test_many_hosts_do_not_accumulate():
    r = run_python("""
        import gc, tarnwick, weakref
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096
        class Host:
            def __init__(self):
                self.rt = tarnwick.Runtime(output=self.out)
                self.rt.register("log", self.log)
                self.rt.run("fn f(x) { return log(x) }  data = range(200)")
            def log(self, x): return x
            def out(self, text): pass
        for _ in range(200): Host()
        gc.collect()
        before = rss()
        alive = [weakref.ref(Host().rt) for _ in range(3000)]
        gc.collect()
        print(sum(r() is not None for r in alive), (rss() - before) >> 20)
    """, timeout=120)
    assert r.returncode == 0, r.stderr
    alive, megabytes = map(int, r.stdout.split())
    assert alive == 0
    if not SANITIZED:  # freed memory waits in the sanitizer's quarantine
        assert megabytes < 15, f"{megabytes} MB kept by 3000 collected hosts"


# --- run_file ------------------------------------------------------------------------------------------

def test_run_file_accepts_paths_only(tmp_path):
    script = tmp_path / "s.tw"
    script.write_bytes(b'x = "a"\r\ny = 2\r\n')
    rt = tarnwick.Runtime()
    for path in (str(script), os.fsencode(script), script):
        rt.run_file(path)
        assert rt.globals["x"] == "a"  # line ends read as in text mode
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, b"z = 1\n")
        for bad in (read_end, True, 1.5, None):
            with pytest.raises(TypeError, match="needs a path"):
                rt.run_file(bad)
        os.fstat(read_end)  # neither read nor closed
        assert os.read(read_end, 100) == b"z = 1\n"
    finally:
        os.close(read_end)
        os.close(write_end)
    assert "z" not in rt.globals


def test_run_file_refuses_what_is_not_a_regular_file(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # In a child with a time limit and a memory ceiling: opening the FIFO used to wait for a writer for ever,
    # and the device used to be read until memory ran out.
    r = run_python(f"""
        import errno, resource, tarnwick
        if not {SANITIZED}:  # the sanitizer's shadow memory needs the address space
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        rt = tarnwick.Runtime()
        for path in ({str(fifo)!r}, "/dev/zero", {str(tmp_path)!r}):
            try:
                rt.run_file(path)
                print("ran", path)
            except OSError as e:
                print(errno.errorcode[e.errno], e.filename == path)
    """, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n")[:3] == ["EINVAL True", "EINVAL True", "EISDIR True"]


@pytest.mark.parametrize("size,limit,outcome", [
    (3000, 2000, tarnwick.MemoryLimitExceeded),
    (2000, 4 << 20, None),  # a runtime's own stacks take more than a few kilobytes
    (1500, None, None),
])
def test_run_file_reads_within_the_memory_limit(tmp_path, size, limit, outcome):
    script = tmp_path / "pad.tw"
    script.write_text("x = 1" + " " * (size - 6) + "\n")
    assert script.stat().st_size == size
    rt = tarnwick.Runtime(max_memory=limit)
    if outcome is None:
        rt.run_file(script)
        assert rt.globals["x"] == 1
    else:
        with pytest.raises(outcome, match="Memory limit exceeded"):
            rt.run_file(script)
        assert "x" not in rt.globals


def test_run_file_without_a_limit_is_bounded_by_the_largest_script(tmp_path):
    assert tarnwick.Runtime()._source_limit == (1 << 30, False)
    assert tarnwick.Runtime(max_memory=4096)._source_limit == (4096, True)

    class Small(tarnwick.Runtime):
        _source_limit = (10, False)

    script = tmp_path / "s.tw"
    script.write_text("x = 12345678\n")
    with pytest.raises(OSError) as info:
        Small().run_file(script)
    assert info.value.errno == errno.EFBIG


# --- Setting a runtime up once -------------------------------------------------------------------------

def test_reinitialising_from_the_output_callback_is_refused():
    # The crash this guards against happened after the callback returned, hence the child process.
    r = run_python("""
        import tarnwick
        seen = []
        def out(text):
            try:
                rt.__init__()
            except RuntimeError as e:
                seen.append(str(e))
            raise ValueError("boom")
        rt = tarnwick.Runtime(output=out)
        try:
            rt.run('print("x")')
        except tarnwick.ScriptError as e:
            seen.append(e.message)
        rt.run("fn two() { return 2 }")
        print(seen, rt.call("two"))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == ("['this Runtime is already initialised', "
                                "'Line 1: Native error: ValueError: boom'] 2")


def test_initialised_once_subclasses_and_failed_setup():
    rt = tarnwick.Runtime(max_instructions=1000)
    with pytest.raises(RuntimeError, match="already initialised"):
        rt.__init__()
    with pytest.raises(tarnwick.InstructionLimitExceeded):  # the first setup stands
        rt.run("while 1 { }")

    class Mine(tarnwick.Runtime):
        def __init__(self, prefix):
            super().__init__(natives={"tag": lambda s: prefix + s})

    assert Mine("#").call("tag", "a") == "#a"

    # Setup that failed before taking effect may be done again.
    fresh = tarnwick.Runtime.__new__(tarnwick.Runtime)
    with pytest.raises(ValueError):
        fresh.__init__(timeout=-1)
    fresh.__init__(output=[].append)
    assert fresh.run("fn one() { return 1 }") is None and fresh.call("one") == 1
