"""The benchmark programs and their sizes, shared by the runner, the callgrind driver and the tests.

Every program exists three times under bench/programs/: NAME.tw, NAME.py and NAME.lua. Each file's first
line sets the problem size (`let n = ...`, `n = ...`, `local n = ...`); `source()` rewrites that number, so
one program serves the timed runs, the instruction counts and the quick correctness test.
"""
import os
import re

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
PROGRAMS = os.path.join(BENCH_DIR, "programs")
OUT = os.path.join(BENCH_DIR, "out")

# Sizes per benchmark: `full` takes CPython 3.11 one to two seconds on this kind of machine (start-up
# is then a small part of every time), `quick` a tenth of that, `callgrind`
# keeps valgrind's run to a few seconds, `tiny` is for the correctness test.
SIZES = {
    "fib":        {"full": 35,       "quick": 27,     "callgrind": 22,     "tiny": 12},
    "loop":       {"full": 11000000, "quick": 700000, "callgrind": 200000, "tiny": 1000},
    "mandelbrot": {"full": 580,      "quick": 140,    "callgrind": 60,     "tiny": 12},
    "nbody":      {"full": 200000,   "quick": 15000,  "callgrind": 3000,   "tiny": 50},
    "spectral":   {"full": 400,      "quick": 110,    "callgrind": 40,     "tiny": 8},
    "sieve":      {"full": 7200000,  "quick": 500000, "callgrind": 100000, "tiny": 1000},
    "strings":    {"full": 2600000,  "quick": 150000, "callgrind": 30000,  "tiny": 500},
    "methods":    {"full": 2000000,  "quick": 150000, "callgrind": 30000,  "tiny": 300},
    "maps":       {"full": 1000000,  "quick": 50000,  "callgrind": 10000,  "tiny": 300},
    "toplevel":   {"full": 2500000,  "quick": 100000, "callgrind": 40000,  "tiny": 2000},
    "shapes":     {"full": 15000,    "quick": 500,    "callgrind": 40,     "tiny": 3},
    "trees":      {"full": 14,       "quick": 10,     "callgrind": 9,      "tiny": 4},
    "arraystore": {"full": 2000,     "quick": 320,    "callgrind": 150,    "tiny": 20},
    "strbuild":   {"full": 750000,   "quick": 15000,  "callgrind": 5000,   "tiny": 300},
}
NAMES = list(SIZES)
EXTENSIONS = {"tarnwick": ".tw", "python": ".py", "lua": ".lua"}

_SIZE_LINE = re.compile(r"^(\s*(?:let\s+|local\s+)?n\s*=\s*)(\d+)")


def path(name, lang):
    return os.path.join(PROGRAMS, name + EXTENSIONS[lang])


def source(name, lang, size):
    """The program's text with its first line set to `size`."""
    with open(path(name, lang), encoding="utf-8") as f:
        first, rest = f.read().split("\n", 1)
    m = _SIZE_LINE.match(first)
    if not m:
        raise ValueError(f"{path(name, lang)}: the first line does not set n")
    return f"{m.group(1)}{int(size)}\n{rest}"


def write_sized(name, lang, size, directory=OUT):
    """Writes the sized program into `directory` and returns its path."""
    os.makedirs(directory, exist_ok=True)
    out = os.path.join(directory, f"{name}.{size}{EXTENSIONS[lang]}")
    text = source(name, lang, size)
    try:
        with open(out, encoding="utf-8") as f:
            if f.read() == text:
                return out
    except OSError:
        pass
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)
    return out
