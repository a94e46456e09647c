#!/usr/bin/env python3
"""Instruction counts of the benchmark programs under valgrind's callgrind: figures that, unlike
times, do not move with the machine's load, so a change can be compared before and after.

    python3 bench/callgrind.py                       count every program, compare with the last record
    python3 bench/callgrind.py --save LABEL          also record the counts in bench/results/callgrind.json
    python3 bench/callgrind.py --compare LABEL       compare with a named record instead of the last one
    python3 bench/callgrind.py --annotate 15 sieve   print the 15 most expensive engine functions

Tarnwick runs through build/tarnwick_run (the engine alone, no Python); each count is the program's
own cost: the count of an empty program run the same way is subtracted. The row `frontend` counts
tarnwick_parser.compile() of a generated 1000-function program (lex, parse, compile) inside CPython. CPython runs the Python version
at the same size, also minus its empty-program count, for a ratio that does not depend on the machine.
The raw callgrind files stay in bench/out/ for callgrind_annotate.
"""
import argparse
import datetime
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402
import run  # noqa: E402

RECORD = os.path.join(suite.BENCH_DIR, "results", "callgrind.json")
DRIVER = run.DRIVER


def count(argv, out_file, env=None):
    """Runs argv under callgrind; returns (instructions, stdout) or raises RuntimeError."""
    proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", *argv],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(" ".join(proc.stderr.split())[-300:])
    with open(out_file, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"(?:summary|totals):\s*(\d+)", line)
            if m:
                return int(m.group(1)), proc.stdout
    raise RuntimeError(f"no instruction total in {out_file}")


def tarnwick_argv(python):
    """The engine alone when the driver works, else the Python one-shot pipeline."""
    probe = os.path.join(suite.OUT, "empty.tw")
    os.makedirs(suite.OUT, exist_ok=True)
    with open(probe, "w") as f:
        f.write("print(1)\n")
    if os.access(DRIVER, os.X_OK):
        p = subprocess.run([DRIVER, probe], capture_output=True, text=True)
        if p.returncode == 0 and p.stdout.strip().splitlines()[:1] == ["1"]:
            return "tarnwick_run", lambda path: [DRIVER, path], None, run.strip_result_line
    return "python+module", run.tarnwick_command(python), run.tarnwick_env(), lambda text: text


def empty_program(lang):
    path = os.path.join(suite.OUT, "empty" + suite.EXTENSIONS[lang])
    with open(path, "w") as f:
        f.write("")
    return path


def load_record():
    try:
        with open(RECORD, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {"entries": []}


def annotate(out_file, top):
    """The most expensive functions by their own (exclusive) instruction count."""
    proc = subprocess.run(["callgrind_annotate", "--inclusive=no", f"--threshold=99", out_file],
                          capture_output=True, text=True)
    lines = [l for l in proc.stdout.splitlines() if re.match(r"\s*[\d,]+ \(", l)]
    return "\n".join(lines[1:top + 1])  # the first such line is the program total


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("names", nargs="*")
    ap.add_argument("--save", metavar="LABEL", help="record the counts under LABEL")
    ap.add_argument("--compare", metavar="LABEL", help="compare with this record (default: the last one)")
    ap.add_argument("--annotate", type=int, metavar="N", help="show the N costliest functions per program")
    ap.add_argument("--no-python", action="store_true", help="skip the CPython counts")
    ap.add_argument("--no-frontend", action="store_true", help="skip the compile() count")
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--python", default=None, help="default: the CPython that `python3` starts")
    args = ap.parse_args(argv)
    args.python = args.python or run.real_python()
    names = [n for n in args.names if n != "frontend"] or ([] if args.names else suite.NAMES)
    args.no_frontend = args.no_frontend or bool(args.names and "frontend" not in args.names)
    if not args.no_build:
        run.build()

    driver, tw_cmd, tw_env, clean = tarnwick_argv(args.python)
    os.makedirs(suite.OUT, exist_ok=True)
    tw_base, _ = count(tw_cmd(empty_program("tarnwick")), os.path.join(suite.OUT, "callgrind.empty.tw.out"),
                       tw_env)
    py_base = None
    if not args.no_python:
        py_base, _ = count([args.python, empty_program("python")],
                           os.path.join(suite.OUT, "callgrind.empty.py.out"))

    record = load_record()
    reference = None
    if args.compare:
        reference = next((e for e in record["entries"] if e["label"] == args.compare), None)
        if reference is None:
            ap.error(f"no record labelled {args.compare!r} in {RECORD}")
    elif record["entries"]:
        reference = record["entries"][-1]

    counts, py_counts, failures = {}, {}, {}
    print(f"{'benchmark':<11} {'size':>7} {'Tarnwick Mi':>12} {'CPython Mi':>11} {'tw/py':>7} "
          f"{'was Mi':>9} {'change':>8}")
    for name in names:
        size = suite.SIZES[name]["callgrind"]
        out_file = os.path.join(suite.OUT, f"callgrind.{name}.out")
        try:
            ir, text = count(tw_cmd(suite.write_sized(name, "tarnwick", size)), out_file, tw_env)
            expected = subprocess.run([args.python, suite.write_sized(name, "python", size)],
                                      capture_output=True, text=True).stdout
            if clean(text) != expected:
                raise RuntimeError(f"printed {clean(text)!r}, CPython printed {expected!r}")
        except RuntimeError as e:
            failures[name] = str(e)
            print(f"{name:<11} {size:>7} ERROR: {e}")
            continue
        counts[name] = ir - tw_base
        line = f"{name:<11} {size:>7} {counts[name] / 1e6:>12.1f}"
        if py_base is not None:
            py_ir, _ = count([args.python, suite.write_sized(name, "python", size)],
                             os.path.join(suite.OUT, f"callgrind.{name}.py.out"))
            py_counts[name] = py_ir - py_base
            line += f" {py_counts[name] / 1e6:>11.1f} {counts[name] / py_counts[name]:>6.2f}x"
        else:
            line += f" {'-':>11} {'-':>7}"
        old = reference["counts"].get(name) if reference else None
        if old:
            line += f" {old / 1e6:>9.1f} {(counts[name] - old) / old * 100:>+7.1f}%"
        print(line, flush=True)
        if args.annotate:
            print(annotate(out_file, args.annotate))
    if not args.no_frontend:
        # Front end: compile() of a generated program inside CPython, minus the same run without compiling.
        units = 1000
        costs = []
        for which in ("none", "tarnwick"):
            ir, _ = count([args.python, "-c", run._FRONTEND_MEMORY_SNIPPET, str(units), which, run._TW_UNIT],
                          os.path.join(suite.OUT, f"callgrind.frontend.{which}.out"), run.tarnwick_env())
            costs.append(ir)
        counts["frontend"] = costs[1] - costs[0]
        nbytes = len("".join(run._TW_UNIT.format(k=k) for k in range(units)).encode())
        line = f"{'frontend':<11} {units:>7} {counts['frontend'] / 1e6:>12.1f} {'-':>11} {'-':>7}"
        old = reference["counts"].get("frontend") if reference else None
        if old:
            line += f" {old / 1e6:>9.1f} {(counts['frontend'] - old) / old * 100:>+7.1f}%"
        print(line + f"   ({counts['frontend'] / nbytes:.0f} instructions per source byte)")
        if args.annotate:
            print(annotate(os.path.join(suite.OUT, "callgrind.frontend.tarnwick.out"), args.annotate))
    if reference:
        print(f"(change: against the record {reference['label']!r} of {reference['date']}, "
              f"revision {reference['revision']})")

    if args.save:
        entry = {"label": args.save, "date": datetime.datetime.now().isoformat(timespec="seconds"),
                 "revision": run.git_revision(), "driver": driver,
                 "sizes": {n: suite.SIZES[n]["callgrind"] if n in suite.SIZES else 1000 for n in counts},
                 "counts": counts, "cpython_counts": py_counts}
        record["entries"] = [e for e in record["entries"] if e["label"] != args.save] + [entry]
        os.makedirs(os.path.dirname(RECORD), exist_ok=True)
        with open(RECORD, "w", encoding="utf-8") as f:
            json.dump(record, f, indent=1)
            f.write("\n")
        print(f"recorded as {args.save!r} in {RECORD}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
