#!/usr/bin/env python3
"""What compiling once saves: `rt.run(program)` of a `tarnwick.Program` against `rt.run(source)` of the same
source, N runs each in one runtime, for a few sources of growing size whose runs do little work (a rule
library that only defines functions, and the examples).

    python3 bench/program.py [--runs N] [--save NAME]      (NAME: bench/results/NAME.txt)

Each figure is the best of several timed batches, per run.
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

RULES = """
fn risk(order) {
  let score = 0
  if order.amount > 1000 { score = score + 2 }
  if order.country != "NL" { score = score + 1 }
  if len(order.items) > 3 { score = score + 1 }
  if score >= 3 { return "high" } else if score >= 1 { return "medium" }
  return "low"
}
"""


def sources():
    yield "one line", "ok = 1\n"
    yield "rules (9 lines)", RULES
    for name in ("shapes", "report"):
        with open(os.path.join(ROOT, "examples", name + ".tw"), encoding="utf-8") as f:
            text = f.read()
        yield f"examples/{name}.tw ({text.count(chr(10))} lines)", text


def per_run(fn, number, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def measure(runs):
    rows = []
    for label, source in sources():
        rt = tarnwick.Runtime(output=lambda line: None)
        program = tarnwick.Program(source)
        from_source = per_run(lambda: rt.run(source), runs)
        from_program = per_run(lambda: rt.run(program), runs)
        compile_once = per_run(lambda: tarnwick.Program(source), max(1, runs // 10))
        rows.append((label, from_source, from_program, compile_once))
    return rows


def report(rows, runs):
    out = [f"{runs} runs each, microseconds per run (best of 5 batches)",
           f"{'source':<28} {'run(source)':>12} {'run(program)':>13} {'saved':>7} {'Program()':>10}"]
    for label, s, p, c in rows:
        out.append(f"{label:<28} {s * 1e6:>12.2f} {p * 1e6:>13.2f} {1 - p / s:>7.0%} {c * 1e6:>10.2f}")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=2000)
    parser.add_argument("--save", metavar="NAME")
    args = parser.parse_args()
    text = report(measure(args.runs), args.runs)
    print(text)
    if args.save:
        with open(os.path.join(HERE, "results", args.save + ".txt"), "w", encoding="utf-8") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
