"""The front end on a huge source: writes a program of ordinary statements of about N megabytes and runs it
through compile_and_run, printing the wall time and the peak resident memory per source byte.
    PYTHONPATH=build/python /usr/bin/time -v /usr/bin/python3 bench/memory/huge_source.py 100
"""
import resource
import sys
import time

FORMS = [
    "total = total + {i} * 2\n", 'name = "item {i}"\n',
    "if total > {i} {{ count = count + 1 }} else {{ count = count - 1 }}\n",
    "fn f{i}(a, b) {{ return a + b * {i} }}\n", "xs = [{i}, {i1}, {i2}]\n", "ratio = {i}.5 / 3\n",
    "while count > {i} {{ count = count - 1 }}\n", 'obj = {{key: {i}, other: "v"}}\n',
]


def generate(megabytes):
    parts, size, i = ["total = 0\ncount = 0\n"], 0, 0
    while size < megabytes * 1e6:
        part = FORMS[i % len(FORMS)].format(i=i, i1=i + 1, i2=i + 2)
        parts.append(part)
        size += len(part)
        i += 1
    return "".join(parts)


def main():
    import tarnwick_parser
    source = generate(float(sys.argv[1]) if len(sys.argv) > 1 else 10)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    result = tarnwick_parser.compile_and_run(source)
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"{len(source) / 1e6:.1f} MB: {result}, {seconds:.2f} s, peak {peak / 1e6:.0f} MB, "
          f"{(peak - base) / len(source):.1f} bytes per source byte above the process before the call")


if __name__ == "__main__":
    main()
