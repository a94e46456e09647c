#!/usr/bin/env python3
"""What a host pays to call into a script: `Runtime.call` on a small function, against the same function
written in Python and against running its source again through `compile_and_run`.

    python3 bench/embed.py [--calls N] [--save NAME]      (NAME: bench/results/NAME.txt)

Each figure is the best of several timed batches, per call, with the cost of the timing loop itself
(calling a Python lambda that does nothing) subtracted, so that what remains is the call's own cost.
"""
import argparse
import os
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.environ.get("TARNWICK_BUILD_DIR", os.path.join(ROOT, "build"))
sys.path[:0] = [os.path.join(BUILD, "python"), ROOT]

import tarnwick  # noqa: E402
import tarnwick_parser  # noqa: E402

LIBRARY = "fn add1(x) { return x + 1 }\n"


def add1(x):
    return x + 1


def per_call(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def measure(calls):
    rt = tarnwick.Runtime()
    rt.run(LIBRARY)
    handle = rt.globals["add1"]
    empty = per_call(lambda: None, calls)
    python = per_call(lambda: add1(1), calls) - empty
    by_name = per_call(lambda: rt.call("add1", 1), calls) - empty
    by_handle = per_call(lambda: handle(1), calls) - empty
    source = LIBRARY + "add1(1)\n"
    rerun = per_call(lambda: tarnwick_parser.compile_and_run(source), max(calls // 100, 100), repeat=3) - empty
    return {"python": python, "call": by_name, "handle": by_handle, "rerun": rerun}


def table(r):
    ns = lambda s: f"{s * 1e9:10.0f} ns"  # noqa: E731
    rows = [
        ("Python function add1(1)", ns(r["python"]), "1.00x"),
        ('rt.call("add1", 1)', ns(r["call"]), f"{r['call'] / r['python']:.2f}x"),
        ('rt.globals["add1"] handle(1)', ns(r["handle"]), f"{r['handle'] / r['python']:.2f}x"),
        ("compile_and_run(source)", ns(r["rerun"]), f"{r['rerun'] / r['python']:.2f}x"),
    ]
    out = [f"{'per call':32}{'time':>13}  {'vs Python':>9}"]
    out += [f"{a:32}{b:>13}  {c:>9}" for a, b, c in rows]
    out.append(f"rt.call is {r['rerun'] / r['call']:.0f}x cheaper than re-running the source")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=200_000)
    ap.add_argument("--save", metavar="NAME")
    args = ap.parse_args()
    text = table(measure(args.calls))
    print(text)
    if args.save:
        with open(os.path.join(HERE, "results", args.save + ".txt"), "w", encoding="utf-8") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
