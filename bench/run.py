#!/usr/bin/env python3
"""Runs the Tarnwick benchmark suite side by side with CPython, Lua 5.4 and LuaJIT's interpreter.

    python3 bench/run.py                     build if needed, check outputs, time everything
    python3 bench/run.py --quick fib sieve   smaller sizes, one timed run, only these programs
    python3 bench/run.py --save NAME         also write bench/results/NAME.json and NAME.txt

Every program's output must agree across the languages before it is timed. Times are the best of
--runs runs, CPU time (user + system) unless --wall; peak memory is the program's maximum resident set. Machines here are noisy:
compare the ratios of one run, not absolute times of different runs, and use bench/callgrind.py for
figures that are stable across runs.
"""
import argparse
import datetime
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suite  # noqa: E402

TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
# "cpu" (user + system time of the program) holds up far better than wall time on a busy machine, where
# the program waits for a core; --wall switches.
TIMING = "cpu"
BUILD = os.environ.get("TARNWICK_BUILD_DIR", os.path.join(suite.ROOT, "build"))
MODULE_DIR = os.path.join(BUILD, "python")

# Fallback when the command line has no `run` subcommand: the same one-shot pipeline a user calls.
_RUN_SNIPPET = (
    "import sys, tarnwick_parser\n"
    "r = tarnwick_parser.compile_and_run(open(sys.argv[1], encoding='utf-8').read())\n"
    "if r.startswith(('Runtime error:', 'Native error:')):\n"
    "    sys.exit(r)\n"
)


class Measurement:
    def __init__(self, wall, cpu, max_rss_kb, stdout, stderr, returncode):
        self.wall = wall
        self.cpu = cpu  # user + system time of the program
        self.seconds = cpu if TIMING == "cpu" else wall
        self.max_rss_kb = max_rss_kb
        self.stdout = stdout
        self.stderr = stderr
        self.returncode = returncode


def measure(argv, env=None, timeout=None):
    """Runs argv once and returns its wall and CPU times, output and peak resident memory.

    The memory comes from /usr/bin/time, which forks the program from its own small process: a child
    forked straight from this Python process would report this process's size as its peak (the
    fallback when the `time` package is missing).
    """
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r") as rss:
        start = time.perf_counter()
        wrapper = [TIME, "-f", "%M", "-o", rss.name] if TIME else []
        proc = subprocess.Popen([*wrapper, *argv],
                                stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env,
                                start_new_session=True)
        killer = threading.Timer(timeout, os.killpg, (proc.pid, signal.SIGKILL)) if timeout else None
        if killer:
            killer.start()  # the program is time's child, in time's new process group
        try:
            # wait4's usage of time's process includes the program it waited for, to the microsecond.
            _, status, usage = os.wait4(proc.pid, 0)
        finally:
            if killer:
                killer.cancel()
        seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        cpu = usage.ru_utime + usage.ru_stime
        out.seek(0)
        err.seek(0)
        # time writes "Command exited with non-zero status N" first when the program fails.
        fields = (rss.read().strip().splitlines() or [""])[-1].split()
        max_rss = int(fields[0]) if fields and fields[0].isdigit() else 0
        if not TIME:
            max_rss = usage.ru_maxrss  # includes this process's size at the fork: an upper bound
        return Measurement(seconds, cpu, max_rss, out.read().decode("utf-8", "replace"),
                           err.read().decode("utf-8", "replace"), proc.returncode)


def real_python(name="python3"):
    """The interpreter behind `python3` on PATH, past any launcher script (pyenv's shims are shell
    scripts: timing or tracing them would measure the shell too)."""
    try:
        return subprocess.run([name, "-c", "import sys; print(sys.executable)"], capture_output=True,
                              text=True, check=True).stdout.strip() or sys.executable
    except (OSError, subprocess.CalledProcessError):
        return sys.executable


def tarnwick_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, suite.ROOT, env.get("PYTHONPATH")]))
    return env


def tarnwick_command(python):
    """How users run a script: `python3 -m tarnwick run FILE` when the command line offers it."""
    # An installed package comes with its modules byte-compiled; a source tree run with
    # PYTHONDONTWRITEBYTECODE would compile the command line anew on every start, which no user pays.
    subprocess.run([python, "-m", "compileall", "-q", os.path.join(suite.ROOT, "tarnwick")],
                   env=tarnwick_env(), capture_output=True)
    probe = subprocess.run([python, "-m", "tarnwick", "run", "--help"], env=tarnwick_env(),
                           capture_output=True, text=True)
    if probe.returncode == 0:
        return lambda path: [python, "-m", "tarnwick", "run", path]
    return lambda path: [python, "-c", _RUN_SNIPPET, path]


DRIVER = os.path.join(BUILD, "tarnwick_run")


def strip_result_line(text):
    """build/tarnwick_run prints the program's result after its output; the programs' result is nil."""
    lines = text.split("\n")
    if len(lines) >= 2 and lines[-1] == "" and lines[-2] == "nil":
        return "\n".join(lines[:-2]) + ("\n" if len(lines) > 2 else "")
    return text


class Language:
    def __init__(self, key, title, lang, command, env=None, clean=lambda text: text):
        self.key, self.title, self.lang, self.command, self.env = key, title, lang, command, env
        self.clean = clean


def tarnwick_language(python, driver):
    if driver == "core":
        return Language("tarnwick", "Tarnwick", "tarnwick", lambda p: [DRIVER, p], clean=strip_result_line)
    return Language("tarnwick", "Tarnwick", "tarnwick", tarnwick_command(python), tarnwick_env())


def languages(python, driver="cli"):
    found = [tarnwick_language(python, driver),
             Language("cpython", "CPython", "python", lambda p: [python, p])]
    if shutil.which("lua5.4"):
        found.append(Language("lua", "Lua 5.4", "lua", lambda p: ["lua5.4", p]))
    if shutil.which("luajit"):
        found.append(Language("luajit", "LuaJIT -joff", "lua", lambda p: ["luajit", "-joff", p]))
    return found


def build():
    print("building ...", flush=True)
    subprocess.run([os.path.join(suite.ROOT, "scripts", "build.sh")], check=True,
                   stdout=subprocess.DEVNULL)


def run_benchmark(name, size, langs, runs, timeout):
    """Checks that every language prints what CPython prints, then times each; returns a result dict."""
    row = {"name": name, "size": size, "times": {}, "max_rss_kb": {}, "error": None}
    outputs, problems = {}, []
    for lang in langs:
        program = suite.write_sized(name, lang.lang, size)
        first = measure(lang.command(program), lang.env, timeout)
        if first.returncode != 0:
            detail = " ".join((first.stderr.strip() or first.stdout.strip()).split())
            problems.append(f"{lang.title} failed ({first.returncode}): {detail[-200:]}")
            continue
        outputs[lang.key] = lang.clean(first.stdout)
        best = first
        for _ in range(runs - 1):
            again = measure(lang.command(program), lang.env, timeout)
            if again.seconds < best.seconds:
                best = again
        row["times"][lang.key] = best.seconds
        row["max_rss_kb"][lang.key] = max(best.max_rss_kb, first.max_rss_kb)
    expected = outputs.get("cpython")
    for key, text in outputs.items():
        if expected is not None and text != expected:
            problems.append(f"{key} printed {' | '.join(text.split(chr(10)))[:100]!r}, "
                            f"CPython printed {' | '.join(expected.split(chr(10)))[:100]!r}")
            # A wrong answer's time means nothing.
            del row["times"][key]
    if problems:
        row["error"] = "; ".join(problems)
    return row


def startup(langs, runs, timeout):
    """The cost of running an empty program: interpreter start (and, for Tarnwick, importing the modules)."""
    row = {"name": "(empty)", "size": 0, "times": {}, "max_rss_kb": {}, "error": None}
    for lang in langs:
        path = os.path.join(suite.OUT, "empty" + suite.EXTENSIONS[lang.lang])
        os.makedirs(suite.OUT, exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write("")
        best = min((measure(lang.command(path), lang.env, timeout) for _ in range(runs)),
                   key=lambda m: m.seconds)
        if best.returncode == 0:
            row["times"][lang.key] = best.seconds
            row["max_rss_kb"][lang.key] = best.max_rss_kb
    return row


def ratio(row, other):
    t = row["times"]
    if other not in t or "tarnwick" not in t or t[other] <= 0:
        return None
    return t["tarnwick"] / t[other]


def _cell(value, fmt, width, unit=""):
    return f"{'-':>{width}}" if value is None else f"{format(value, fmt) + unit:>{width}}"


def format_table(rows, langs):
    others = [lang for lang in langs if lang.key != "tarnwick"]
    head = f"{'benchmark':<11} {'size':>8} " + "".join(f"{lang.title:>13}" for lang in langs)
    head += "  " + "".join(f"{'tw/' + lang.key:>11}" for lang in others)
    head += "  " + "".join(f"{'MB ' + lang.key:>12}" for lang in langs)
    lines = [head, "-" * len(head)]
    for row in rows:
        line = f"{row['name']:<11} {row['size']:>8} "
        line += "".join(_cell(row["times"].get(lang.key), ".3f", 13, "s") for lang in langs)
        line += "  " + "".join(_cell(ratio(row, lang.key), ".2f", 11, "x") for lang in others)
        line += "  " + "".join(_cell(row["max_rss_kb"][lang.key] / 1024 if lang.key in row["max_rss_kb"]
                                     else None, ".1f", 12) for lang in langs)
        lines.append(line)
        if row["error"]:
            lines.append(f"{'':<11} ERROR: {row['error']}")
    geo = f"{'geomean':<11} {'':>8} " + " " * (13 * len(langs)) + "  "
    for lang in others:
        rs = [ratio(r, lang.key) for r in rows if r["size"] and ratio(r, lang.key) is not None]
        geo += _cell(math.exp(sum(map(math.log, rs)) / len(rs)) if rs else None, ".2f", 11, "x")
    lines.append(geo)
    lines.append(f"times: best {TIMING} seconds. tw/X: Tarnwick's time divided by X's (above 1: Tarnwick is slower); every time includes "
                 "the start-up shown by (empty), the geometric mean leaves that row out. "
                 "MB: peak resident memory of the process.")
    return "\n".join(lines)


# ----- front end ---------------------------------------------------------------------------------

_TW_UNIT = """fn f{k}(a, b) {{
  let x = a * {k} + b - (a - 3) * 2
  let label = f"item {{x}} of {{b}}"
  if x > 10 and b < 4 {{
    x = x - 1
  }} else {{
    x = x + 1
  }}
  while x < 100 {{
    x = x + 3
  }}
  let rows = [x, label, {{key: x, other: [1, 2.5, "three"]}}]
  return rows[0] + len(rows)
}}
v{k} = f{k}({k}, 2.5)
"""

_PY_UNIT = """def f{k}(a, b):
    x = a * {k} + b - (a - 3) * 2
    label = f"item {{x}} of {{b}}"
    if x > 10 and b < 4:
        x = x - 1
    else:
        x = x + 1
    while x < 100:
        x = x + 3
    rows = [x, label, {{"key": x, "other": [1, 2.5, "three"]}}]
    return rows[0] + len(rows)
v{k} = f{k}({k}, 2.5)
"""

_FRONTEND_SNIPPET = """
import json, sys, time
units, repeats = int(sys.argv[1]), int(sys.argv[2])
tw = "".join(sys.argv[3].format(k=k) for k in range(units))
py = "".join(sys.argv[4].format(k=k) for k in range(units))
clock = time.process_time if sys.argv[5] == "cpu" else time.perf_counter
import tarnwick_parser
def best(fn):
    times = []
    for _ in range(repeats):
        t = clock(); fn(); times.append(clock() - t)
    return min(times)
result = {
    "tarnwick_bytes": len(tw.encode()), "python_bytes": len(py.encode()),
    "tarnwick_seconds": best(lambda: tarnwick_parser.compile(tw)),
    "python_seconds": best(lambda: compile(py, "<generated>", "exec")),
}
print(json.dumps(result))
"""


_FRONTEND_MEMORY_SNIPPET = """
import sys
units, which, template = int(sys.argv[1]), sys.argv[2], sys.argv[3]
text = "".join(template.format(k=k) for k in range(units))
if which == "tarnwick":
    import tarnwick_parser
    tarnwick_parser.compile(text)
elif which == "python":
    compile(text, "<generated>", "exec")
"""


def frontend(python, units, repeats):
    """Lex+parse+compile throughput of a large generated program against CPython's compile(), and the
    peak memory that compiling adds (the same process without the compile call is the baseline)."""
    proc = subprocess.run([python, "-c", _FRONTEND_SNIPPET, str(units), str(repeats), _TW_UNIT, _PY_UNIT, TIMING],
                          env=tarnwick_env(), capture_output=True, text=True)
    if proc.returncode != 0:
        return {"error": proc.stderr.strip()[-300:]}
    r = json.loads(proc.stdout)
    r["tarnwick_mb_per_s"] = r["tarnwick_bytes"] / r["tarnwick_seconds"] / 1e6
    r["python_mb_per_s"] = r["python_bytes"] / r["python_seconds"] / 1e6
    for which, template in (("tarnwick", _TW_UNIT), ("python", _PY_UNIT)):
        peaks = [measure([python, "-c", _FRONTEND_MEMORY_SNIPPET, str(units), mode, template], tarnwick_env())
                 for mode in ("none", which)]
        r[f"{which}_compile_memory_kb"] = peaks[1].max_rss_kb - peaks[0].max_rss_kb
    return r


def format_frontend(r):
    if "error" in r:
        return f"front end: ERROR: {r['error']}"
    return (f"front end: Tarnwick compile() {r['tarnwick_mb_per_s']:.1f} MB/s "
            f"({r['tarnwick_bytes'] / 1e6:.1f} MB in {r['tarnwick_seconds']:.3f} s); "
            f"CPython compile() {r['python_mb_per_s']:.1f} MB/s "
            f"({r['python_bytes'] / 1e6:.1f} MB in {r['python_seconds']:.3f} s); "
            f"ratio {r['tarnwick_mb_per_s'] / r['python_mb_per_s']:.2f}x; peak memory added by compiling: "
            f"Tarnwick {r['tarnwick_compile_memory_kb'] / 1024:.0f} MB, "
            f"CPython {r['python_compile_memory_kb'] / 1024:.0f} MB")


# ----- memory of a long-running function ---------------------------------------------------------

def memory_check(langs, count, timeout):
    """Peak memory of a function that loops `count` assignments, above the same program at count 0."""
    result = {"count": count}
    for lang in langs:
        if lang.key not in ("tarnwick", "cpython"):
            continue
        ext = suite.EXTENSIONS[lang.lang]
        src = os.path.join(suite.BENCH_DIR, "memory", "assignments" + ext)
        with open(src, encoding="utf-8") as f:
            first, rest = f.read().split("\n", 1)
        peaks = []
        for n in (0, count):
            path = os.path.join(suite.OUT, f"assignments.{n}{ext}")
            os.makedirs(suite.OUT, exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(suite._SIZE_LINE.sub(lambda m: m.group(1) + str(n), first) + "\n" + rest)
            m = measure(lang.command(path), lang.env, timeout)
            if m.returncode != 0 or lang.clean(m.stdout) != f"{max(n - 1, 0)}\n":
                result[lang.key] = {"error": (m.stderr.strip() or m.stdout.strip())[-300:]}
                break
            peaks.append(m.max_rss_kb)
        else:
            result[lang.key] = {"baseline_kb": peaks[0], "peak_kb": peaks[1], "growth_kb": peaks[1] - peaks[0]}
    return result


def format_memory(r):
    parts = []
    for key in ("tarnwick", "cpython"):
        v = r.get(key)
        if v is None:
            continue
        if "error" in v:
            parts.append(f"{key}: ERROR {v['error']}")
        else:
            parts.append(f"{key} {v['growth_kb'] / 1024:+.1f} MB (peak {v['peak_kb'] / 1024:.1f} MB)")
    return f"memory: a function looping {r['count']} assignments: " + "; ".join(parts)


def git_revision():
    try:
        return subprocess.run(["git", "-C", suite.ROOT, "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("names", nargs="*", help=f"benchmarks to run (default: all of {', '.join(suite.NAMES)})")
    ap.add_argument("--quick", action="store_true", help="smaller sizes and a single timed run")
    ap.add_argument("--runs", type=int, help="timed runs per program, best kept (default 3, quick 1)")
    ap.add_argument("--python", default=None,
                    help="the CPython that runs the Python programs and loads the Tarnwick modules "
                         "(default: the one `python3` starts)")
    ap.add_argument("--driver", choices=("cli", "core"), default="cli",
                    help="run Tarnwick through `python3 -m tarnwick run` (cli, what users run) or through "
                         "build/tarnwick_run, the engine without Python (core)")
    ap.add_argument("--no-build", action="store_true", help="do not run scripts/build.sh first")
    ap.add_argument("--wall", action="store_true", help="compare wall-clock times instead of CPU times")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds before one run is killed")
    ap.add_argument("--skip-frontend", action="store_true")
    ap.add_argument("--skip-memory", action="store_true")
    ap.add_argument("--save", metavar="NAME", help="write bench/results/NAME.json and NAME.txt")
    args = ap.parse_args(argv)

    global TIMING
    TIMING = "wall" if args.wall else "cpu"
    args.python = args.python or real_python()
    unknown = [n for n in args.names if n not in suite.SIZES]
    if unknown:
        ap.error(f"unknown benchmark(s): {', '.join(unknown)}")
    names = args.names or suite.NAMES
    runs = args.runs or (1 if args.quick else 3)
    kind = "quick" if args.quick else "full"
    if not args.no_build:
        build()
    langs = languages(args.python, args.driver)

    rows = [startup(langs, max(runs, 3), args.timeout)]
    for name in names:
        size = suite.SIZES[name][kind]
        print(f"  {name} (n={size}) ...", flush=True)
        rows.append(run_benchmark(name, size, langs, runs, args.timeout))
    report = [format_table(rows, langs)]
    fe = mem = None
    if not args.skip_frontend:
        fe = frontend(args.python, 2000 if args.quick else 20000, 1 if args.quick else 3)
        report.append(format_frontend(fe))
    if not args.skip_memory:
        mem = memory_check(langs, 100000 if args.quick else 1000000, args.timeout)
        report.append(format_memory(mem))
    text = "\n".join(report)
    print(text)

    if args.save:
        stamp = datetime.datetime.now().isoformat(timespec="seconds")
        header = (f"# {stamp}  revision {git_revision()}  python {args.python}  runs {runs}  sizes {kind}  "
                  f"driver {args.driver}  times {TIMING}\n"
                  f"# command: python3 bench/run.py {' '.join(argv if argv is not None else sys.argv[1:])}\n")
        os.makedirs(os.path.join(suite.BENCH_DIR, "results"), exist_ok=True)
        base = os.path.join(suite.BENCH_DIR, "results", args.save)
        with open(base + ".txt", "w", encoding="utf-8") as f:
            f.write(header + text + "\n")
        with open(base + ".json", "w", encoding="utf-8") as f:
            json.dump({"date": stamp, "revision": git_revision(), "sizes": kind, "runs": runs, "driver": args.driver, "timing": TIMING,
                       "benchmarks": rows, "frontend": fe, "memory": mem}, f, indent=1)
            f.write("\n")
        print(f"saved {base}.txt and {base}.json")
    return 1 if any(row["error"] for row in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
