#!/usr/bin/env python3
"""Where a benchmark's instructions go inside the engine, from valgrind's callgrind.

    python3 bench/profile.py nbody methods           top functions and interpreter handlers
    python3 bench/profile.py --top 25 --size 5000 nbody

Builds an optimised engine with debug information and unmerged handler tails into build-prof/ (once; delete
that directory after changing the flags below), runs the engine-only driver
under callgrind at the benchmark's callgrind size, and prints
  1. the functions with the highest exclusive instruction counts (callgrind_annotate), and
  2. the interpreter loop split by opcode handler: every instruction of the loop (inlined helpers such as
     handle copies included) is charged to the handler whose source it was compiled from, and every call
     made from a handler to that handler too, inclusively. Dispatch is part of each handler. "runs" is the
     execution count of the handler's most executed instruction (about how often the handler ran), and
     "/run" the machine instructions per run.
"""
import argparse
import bisect
import collections
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402

PROF_BUILD = os.path.join(suite.ROOT, "build-prof")
DRIVER = os.path.join(PROF_BUILD, "tarnwick_run")
LOOP_SOURCE = os.path.join(suite.ROOT, "vm_engine", "vm.cpp")
LOOP_FUNCTION = "run_loop"


# Without -fno-crossjumping the compiler merges the identical dispatch tails of many handlers into a few
# shared blocks, and their cost would be charged to whichever handler's line the merged block kept.
PROF_FLAGS = "-g -fno-crossjumping"


def build():
    proc = subprocess.run([os.path.join(suite.ROOT, "scripts", "build.sh"), PROF_BUILD, "-DCMAKE_BUILD_TYPE=Release",
                           f"-DCMAKE_CXX_FLAGS={PROF_FLAGS}", "-DTARNWICK_TESTS=OFF"], capture_output=True, text=True,
                          env=dict(os.environ, TARNWICK_BUILD_TARGET="tarnwick_run"))
    if proc.returncode != 0:
        sys.exit(proc.stdout + proc.stderr)


def top_functions(out_file, top):
    proc = subprocess.run(["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=99", out_file],
                          capture_output=True, text=True)
    rows = [l for l in proc.stdout.splitlines() if re.match(r"\s*[\d,]+ \(", l)]
    return rows[0].strip(), rows[1:top + 1]


def _positions(fields, last):
    """Decodes one cost line's address field (callgrind's relative compression), returns (addr, rest)."""
    f = fields[0]
    if f == "*":
        addr = last
    elif f[0] in "+-":
        addr = last + int(f, 0)
    else:
        addr = int(f, 0)
    return addr, fields[2:]  # fields[1] is the source line


def loop_costs(out_file):
    """Per-address exclusive and call-inclusive costs of the interpreter loop function."""
    names = {}
    own = collections.Counter()
    calls = collections.Counter()
    in_loop = False
    pending_call = False
    last = 0
    with open(out_file, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line[0] in "#":
                continue
            if line.startswith(("fn=", "cfn=", "cfi=", "cfl=", "calls=", "fl=", "fi=", "fe=", "ob=", "cob=")):
                key, _, value = line.partition("=")
                if key in ("fn", "cfn"):
                    m = re.match(r"\((\d+)\)(?: (.*))?", value)
                    if m:
                        if m.group(2):
                            names[m.group(1)] = m.group(2)
                        value = names.get(m.group(1), "")
                    if key == "fn":
                        in_loop = f"::{LOOP_FUNCTION}" in value
                elif key == "calls":
                    pending_call = True
                continue
            if not (line[0].isdigit() or line[0] in "+-*"):
                continue
            fields = line.split()
            addr, costs = _positions(fields, last)
            last = addr
            cost = int(costs[0]) if costs else 0
            if in_loop:
                (calls if pending_call else own)[addr] += cost
            pending_call = False
    return own, calls


def handler_of_lines(source=LOOP_SOURCE):
    """Source line -> opcode handler label of the interpreter loop."""
    starts, labels = [], []
    bare = None  # line number of the last label that stood alone on its line
    with open(source, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            m = re.match(r"(L_\w+):(.*)", text)
            if m:
                if bare == number - 1:
                    # A label alone on its line shares the next label's handler: name it after both.
                    labels[-1] += "/" + m.group(1)[2:]
                else:
                    starts.append(number)
                    labels.append(m.group(1)[2:])
                bare = number if not m.group(2).strip() else None

    def label(line):
        k = bisect.bisect_right(starts, line) - 1
        return labels[k] if k >= 0 else "(entry)"
    return label


def outer_lines(addresses):
    """For each address, the vm.cpp line of the outermost inlined frame (the handler's own source)."""
    addresses = sorted(addresses)
    # valgrind maps the position-independent driver at some base: the loop function's lowest executed
    # address is its entry, whose link-time address the symbol table gives.
    symbols = subprocess.run(["nm", "-C", DRIVER], capture_output=True, text=True).stdout.splitlines()
    entry = next(int(s.split()[0], 16) for s in symbols if f"::{LOOP_FUNCTION}" in s and " t " in s.lower())
    base = addresses[0] - entry
    # addr2line -i prints one or more frames per address, innermost first; -a prints the address first.
    result = {}
    out = subprocess.run(["addr2line", "-i", "-a", "-e", DRIVER, *[hex(a - base) for a in addresses]],
                         capture_output=True, text=True).stdout.splitlines()
    current, frames = None, []
    for row in out + ["0x0"]:
        if row.startswith("0x"):
            if current is not None:
                loop_frames = [fr for fr in frames if fr.startswith(LOOP_SOURCE) or "/vm.cpp:" in fr]
                if loop_frames:
                    m = re.search(r":(\d+)", loop_frames[-1])
                    if m:
                        result[current] = int(m.group(1))
            current, frames = int(row, 16) + base, []
        else:
            frames.append(row)
    return result


def handler_table(out_file, top):
    own, calls = loop_costs(out_file)
    lines = outer_lines(set(own) | set(calls))
    label = handler_of_lines()
    by_own, by_calls = collections.Counter(), collections.Counter()
    runs = collections.Counter()  # a handler's most executed instruction: about how often it ran
    for addr, cost in own.items():
        name = label(lines[addr]) if addr in lines else "(unknown)"
        by_own[name] += cost
        runs[name] = max(runs[name], cost)
    for addr, cost in calls.items():
        by_calls[label(lines[addr]) if addr in lines else "(unknown)"] += cost
    total = sum(by_own.values()) + sum(by_calls.values())
    rows = []
    for name in sorted(set(by_own) | set(by_calls), key=lambda n: -(by_own[n] + by_calls[n]))[:top]:
        both = by_own[name] + by_calls[name]
        per_run = f"{both / runs[name]:6.0f}" if runs[name] else "     -"
        rows.append(f"  {name:<22} {both / 1e6:8.1f} Mi {both / total * 100:5.1f}%  {runs[name] / 1e6:7.2f} M runs "
                    f"{per_run}/run  (in calls {by_calls[name] / 1e6:6.1f} Mi)")
    return total, rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("names", nargs="+", choices=suite.NAMES)
    ap.add_argument("--top", type=int, default=15)
    ap.add_argument("--size", type=int, help="problem size (default: the callgrind size)")
    ap.add_argument("--no-build", action="store_true")
    args = ap.parse_args(argv)
    if not args.no_build:
        build()
    os.makedirs(suite.OUT, exist_ok=True)
    for name in args.names:
        size = args.size or suite.SIZES[name]["callgrind"]
        program = suite.write_sized(name, "tarnwick", size)
        out_file = os.path.join(suite.OUT, f"profile.{name}.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-instr=yes", f"--callgrind-out-file={out_file}",
                        DRIVER, program], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        total, funcs = top_functions(out_file, args.top)
        print(f"== {name} (n={size}): {total}")
        print("functions by own instructions:")
        for row in funcs:
            print("  " + row.strip())
        loop_total, handlers = handler_table(out_file, args.top)
        print(f"interpreter loop by handler ({loop_total / 1e6:.1f} Mi including calls):")
        for row in handlers:
            print(row)
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
