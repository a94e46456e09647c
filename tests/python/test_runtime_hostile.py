"""A Runtime under hostile hosts: signal handlers and threads calling in while a script runs, stops that
must not be lost or late, and other Python threads that must keep running. Each case runs in a child
process with a time limit, since the faults it guards against are crashes and hangs."""
import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = bool(os.environ.get("TARNWICK_SANITIZED"))
# Stops must take effect within 50 ms of script execution; the bound here leaves room for a loaded machine
# (and a sanitizer build) while still failing for the old behaviour, which took seconds or never stopped.
LATE = 1.0 if SANITIZED else 0.3


def run_child(code, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                       timeout=timeout, env=env)
    assert r.returncode == 0, f"exit {r.returncode}\n{r.stdout}\n{r.stderr}"
    return r.stdout.split()


def test_signal_handlers_calling_in_mid_run_are_refused_or_run_safely():
    out = run_child("""
        import signal, tarnwick
        rt = tarnwick.Runtime()
        rt.run('''
        fn deep(n) { if n == 0 { return 0 } return deep(n - 1) + 1 }
        fn work(n) { let k = 0 let s = 0 while k < n { let z = [k, k] s = s + z[0] + z[1] k = k + 1 } return s }
        fn render(n) { let a = range(0, n) let t = 0 let i = 0 while i < 4 { t = t + len(str(a)) i = i + 1 } return t }
        ''')
        seen = {"ran": 0, "refused": 0, "depth": 1000}
        def handler(signum, frame):
            try:
                # Deeper each time: the stacks grow (and move) under the running loop.
                depth = seen["depth"] = 1000 + (seen["depth"] + 1000) % 8000
                assert rt.call("deep", depth) == depth
                seen["ran"] += 1
            except RuntimeError:
                seen["refused"] += 1
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        try:
            a = rt.call("work", 3_000_000)
            b = rt.call("render", 1_000_000)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
        print(a == 3_000_000 * 2_999_999, b == 4 * len(str(list(range(1_000_000)))))
        print(seen["ran"] + seen["refused"] > 0)
    """)
    assert out == ["True", "True", "True"]


def test_threads_sharing_one_runtime_and_a_closer_never_freeze():
    out = run_child("""
        import threading, tarnwick
        for rep in range(8):
            rt = tarnwick.Runtime()
            rt.run("fn work(n) { let i = 0 while i < n { i = i + 1 } return i }\\n"
                   "class C { fn m(self, n) { return work(n) } }")
            errors = []
            def caller():
                for k in range(1000):
                    n = 100_000 if k < 10 else 200  # long calls first: the lock changes hands in the middle
                    try:
                        got = rt.call("work", n) if k % 2 else rt.call_method({"__class__": "C"}, "m", n)
                        if got != n:
                            errors.append(got)
                    except RuntimeError:
                        return  # closed under it
            def closer():
                rt.call("work", 100_000)
                rt.close()
            threads = [threading.Thread(target=caller) for _ in range(4)] + [threading.Thread(target=closer)]
            for t in threads: t.start()
            for t in threads: t.join(60)
            assert not any(t.is_alive() for t in threads), "frozen"
            assert not errors
        print("ok")
    """, timeout=240)
    assert out == ["ok"]


def test_ctrl_c_reaches_a_main_thread_waiting_for_a_busy_runtime():
    out = run_child("""
        import os, signal, threading, time, tarnwick
        rt = tarnwick.Runtime()
        rt.run("fn work() { while 1 { } }")
        def _run():
            try:
                rt.call("work")
            except tarnwick.Interrupted:
                pass
        worker = threading.Thread(target=_run)
        worker.start()
        time.sleep(0.1)
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            rt.call("work")  # waits for the worker's call, which never ends by itself
        except KeyboardInterrupt:
            print("KeyboardInterrupt", time.monotonic() - start < 2)
        rt.interrupt()
        worker.join(10)
        print(worker.is_alive())
    """, timeout=60)
    assert out == ["KeyboardInterrupt", "True", "False"]


def test_a_stop_swallowed_by_a_native_still_ends_the_run():
    out = run_child("""
        import threading, time, tarnwick
        rt = tarnwick.Runtime()
        rt.run("fn spin() { while 1 { } }")
        def guard():
            try:
                rt.call("spin")
            except tarnwick.ScriptError:
                pass
        rt.register("guard", guard)
        threading.Timer(0.2, rt.interrupt).start()
        try:
            rt.run("let i = 0\\nwhile i < 3 { guard() i = i + 1 }")
        except tarnwick.Interrupted:
            print("Interrupted")
        print(rt.run("x = 1") is None)
    """, timeout=60)
    assert out == ["Interrupted", "True"]


@pytest.mark.parametrize("label, setup, source", [
    ("a native that sleeps", "natives={'nap': lambda: time.sleep(0.002)}", "while 1 { nap() }"),
    ("a copy per iteration", "", "let a = range(0, 2000000)\\nwhile 1 { let b = a\\n b[0] = 1 }"),
    ("renders per iteration", "", "let a = range(0, 300000)\\nwhile 1 { let t = str(a) }"),
    ("an input that blocks", "input=lambda p: time.sleep(1.0)", "input()\\nlet x = 1"),
])
def test_interrupts_take_effect_promptly_whatever_the_loop_does(label, setup, source):
    out = run_child(f"""
        import threading, time, tarnwick
        rt = tarnwick.Runtime({setup})
        threading.Timer(0.3, rt.interrupt).start()
        start = time.monotonic()
        try:
            rt.run("{source}")
            print("finished")
        except tarnwick.Interrupted:
            print("Interrupted", time.monotonic() - start)
    """, timeout=60)
    assert out[0] == "Interrupted", label
    # The blocking input is not cut short: the run stops as soon as it returns.
    expected = 1.0 if "input" in label else 0.3
    assert float(out[1]) < expected + LATE, (label, out)


def test_limits_count_straight_code_and_calls_made_from_natives():
    out = run_child("""
        import time, tarnwick
        rt = tarnwick.Runtime(max_instructions=1000, timeout=5)
        try:
            rt.run("x = 0\\n" + "x = x + 1\\n" * 200000)
        except tarnwick.InstructionLimitExceeded:
            print(rt.globals["x"] < 20000)

        spin = "fn spin(n) { let i = 0 while i < n { i = i + 1 } return i }"
        rt = tarnwick.Runtime(max_instructions=50_000, natives={"many": lambda: [rt.globals["spin"](1000) for _ in range(200)]})
        rt.run(spin)
        try:
            rt.run("many()")
        except tarnwick.InstructionLimitExceeded:
            print("InstructionLimitExceeded")

        def long():
            end = time.monotonic() + 3
            while time.monotonic() < end:
                rt.globals["spin"](1000)
        rt = tarnwick.Runtime(timeout=0.3, natives={"long": long})
        rt.run(spin)
        start = time.monotonic()
        try:
            rt.run("long()")
        except tarnwick.TimeLimitExceeded:
            print("TimeLimitExceeded", time.monotonic() - start < 1.5)
        print(rt.call("spin", 10) == 10)  # the next call starts afresh
    """, timeout=60)
    assert out == ["True", "InstructionLimitExceeded", "TimeLimitExceeded", "True", "True"]


@pytest.mark.parametrize("host", ["runtime", "compile_and_run"])
def test_other_python_threads_keep_running_while_a_script_holds_the_lock(host):
    out = run_child(f"""
        import threading, time, tarnwick, tarnwick_parser
        stop = False
        turns = []
        def ticker():
            while not stop:
                turns.append(time.monotonic())
                time.sleep(0.001)
        t = threading.Thread(target=ticker)
        t.start()
        time.sleep(0.05)
        start = time.monotonic()
        if "{host}" == "runtime":
            rt = tarnwick.Runtime(timeout=1.0)
            try:
                rt.run("while 1 {{ }}")
            except tarnwick.TimeLimitExceeded:
                pass
        else:
            while time.monotonic() - start < 1.0:
                tarnwick_parser.compile_and_run("let i = 0\\nwhile i < 3000000 {{ i = i + 1 }}")
        end = time.monotonic()
        stop = True
        t.join()
        print(sum(1 for x in turns if start <= x <= end) / (end - start))
    """, timeout=60)
    # About 160 a second on an idle two-core machine; the old hand-over gave 0 to 6 in a whole second.
    assert float(out[0]) >= 40, out


def test_a_runtime_on_a_worker_thread_leaves_the_interpreter_lock_to_others():
    # A script on a worker thread runs without the interpreter lock. With a switch interval of ten seconds,
    # a run that held the lock would keep the main thread from waking up for that long.
    out = run_child("""
        import sys, threading, time, tarnwick
        sys.setswitchinterval(10)
        rt = tarnwick.Runtime()
        worker = threading.Thread(target=lambda: rt.run("while 1 { }"))
        worker.start()
        start = time.monotonic()
        time.sleep(0.1)
        print(time.monotonic() - start < 2)
        rt.interrupt()
        worker.join()
    """, timeout=60)
    assert out == ["True"]


def test_runtimes_on_worker_threads_call_their_natives_and_print_in_parallel():
    out = run_child("""
        import threading, tarnwick
        results, errors = {}, []
        def work(k):
            try:
                lines = []
                rt = tarnwick.Runtime(natives={"twice": lambda x: 2 * x}, output=lines.append)
                rt.run("fn f(n) { let s = 0 let i = 0 while i < n { s = s + twice(i) i = i + 1 } print(s) return s }")
                results[k] = [rt.call("f", 2000 + k) for _ in range(20)]
                assert lines == [f"{results[k][0]}\\n"] * 20, lines[:2]
            except Exception as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads: t.start()
        for t in threads: t.join(120)
        print(not errors and all(results[k] == [(2000 + k) * (1999 + k)] * 20 for k in range(4)), errors)
    """, timeout=180)
    assert out[0] == "True", out
