"""A Python program that embeds Tarnwick: it gives scripts a few native functions and runs one.

Run it with the built modules on the path, for example
    PYTHONPATH=build/python python3 examples/host.py
or, after `pip install .`, simply `python3 examples/host.py`.
"""
import sys

import tarnwick_parser as tarnwick

# Scripts' print() writes through the C library straight to the process's standard output,
# while Python buffers its own; line buffering keeps the two in order when output is a pipe.
sys.stdout.reconfigure(line_buffering=True)

# Prices the script may look up. A native's Python result becomes a Tarnwick value:
# str -> string, int -> int, float -> float, list/tuple -> array, None -> nil.
PRICES = {"tea": 3.5, "cake": 4.25, "scone": 2.0}
orders = []


def say(*parts):
    # Scripts' own print() shows strings in double quotes; this one writes plain text.
    print("".join(str(p) for p in parts))


def price(item):
    return PRICES.get(item)


def order(entry):
    # A Tarnwick object arrives as a dict, an array as a list.
    orders.append(entry)
    return len(orders)


def fail(message):
    raise ValueError(message)


for name, fn in {"say": say, "price": price, "order": order, "fail": fail}.items():
    tarnwick.set_native_binding(name, fn)

SCRIPT = """
let basket = ["tea", "cake", "tea", "biscuit", "scone"]
let total = 0
for item in basket {
  let p = price(item)
  if p == nil {
    say("no price for ", item, ", skipped")
  } else {
    let n = order({item: item, price: p})
    say("order #", n, ": ", item, " at ", p)
    total = total + p
  }
}
say("total: ", total)
print(f"script sees say as a {typeof(say)}")
"""

result = tarnwick.compile_and_run(SCRIPT)
print(f"result text: {result}")
print("orders seen by Python:", [(o["item"], o["price"]) for o in orders])

# Errors of a script come back as text, not as exceptions. A native that raises
# becomes a runtime error at the line that called it.
print(tarnwick.compile_and_run('say("before")\nfail("out of scones")\nsay("after")'))

# Lexical and syntax errors of the source do raise SyntaxError.
try:
    tarnwick.compile_and_run("let = 1")
except SyntaxError as e:
    print(f"SyntaxError: {e}")

# Bindings are process-wide until cleared; afterwards the name is just an unknown global.
tarnwick.clear_native_bindings()
print(tarnwick.compile_and_run("print(typeof(say))"))
