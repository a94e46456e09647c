#!/usr/bin/env python3
"""How fast a Runtime stops: the delay between a request (an interrupt, a limit) and the end of the run, for
loops whose iterations call a sleeping native, copy a big array or swallow the stop, for straight-line code
under an instruction limit, and for calls made from natives under instruction and time limits.

    python3 bench/stops.py [sleep] [copy] [swallow] [straight] [nested]     (all when none is named)
"""
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("TARNWICK_BUILD_DIR", os.path.join(os.path.dirname(HERE), "build"))
sys.path[:0] = [os.path.join(BUILD, "python"), os.path.dirname(HERE)]

import tarnwick  # noqa: E402

SPIN = "fn spin(n) { let i = 0 while i < n { i = i + 1 } return i }"


def outcome_of(run):
    try:
        run()
        return "finished"
    except tarnwick.ScriptError as e:
        return type(e).__name__


def interrupted(label, rt, run, after=0.2):
    threading.Timer(after, rt.interrupt).start()
    start = time.perf_counter()
    outcome = outcome_of(run)
    print(f"{label}: {outcome} {time.perf_counter() - start - after:.3f} s after the request")


def ended(label, run):
    start = time.perf_counter()
    outcome = outcome_of(run)
    print(f"{label}: {outcome} after {time.perf_counter() - start:.2f} s")


def main(which):
    if "sleep" in which:
        rt = tarnwick.Runtime(natives={"nap": lambda: time.sleep(0.002)})
        interrupted("a loop calling a native that sleeps 2 ms", rt, lambda: rt.run("while 1 { nap() }"))
    if "copy" in which:
        rt = tarnwick.Runtime()
        source = "let a = range(0, 2000000)\nwhile 1 { let b = a\n b[0] = 1 }"
        interrupted("a loop copying a 2-million-element array", rt, lambda: rt.run(source), after=0.5)
    if "swallow" in which:
        rt = tarnwick.Runtime()
        rt.run("fn forever() { while 1 { } }")

        def guard():
            try:
                rt.call("forever")
            except tarnwick.ScriptError:
                pass
        rt.register("guard", guard)
        interrupted("a native that swallows the stop", rt, lambda: rt.run("let i = 0\nwhile i < 3 { guard() i = i + 1 }"))
    if "straight" in which:
        rt = tarnwick.Runtime(max_instructions=1000, timeout=0.05)
        ended("200,000 straight statements, max_instructions=1000",
              lambda: rt.run("x = 0\n" + "x = x + 1\n" * 200000))
        print(f"  statements run: {rt.globals['x']}")
    if "nested" in which:
        rt = tarnwick.Runtime(max_instructions=50_000)
        rt.run(SPIN)
        rt.register("many", lambda: [rt.globals["spin"](1000) for _ in range(200)])
        ended("200 calls of 1,000 iterations from a native, max_instructions=50,000", lambda: rt.run("many()"))
        rt = tarnwick.Runtime(timeout=0.3)
        rt.run(SPIN)

        def long():
            end = time.monotonic() + 1.5
            while time.monotonic() < end:
                rt.globals["spin"](1000)
        rt.register("long", long)
        ended("calls from a native for 1.5 s, timeout=0.3", lambda: rt.run("long()"))


if __name__ == "__main__":
    main(sys.argv[1:] or ["sleep", "copy", "swallow", "straight", "nested"])
