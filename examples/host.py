"""A Python program that embeds Tarnwick: a Runtime with a few native functions, a script library loaded
once, its functions called from Python, and the ways a script can fail.

Run it with the built modules on the path, for example
    PYTHONPATH=build/python:. python3 examples/host.py
or, after `pip install .`, simply `python3 examples/host.py`.
"""
import tarnwick

# Prices the script may look up. A native's Python result becomes a Tarnwick value:
# str -> string, int -> int, float -> float, list/tuple -> array, dict (str keys) -> object, None -> nil.
PRICES = {"tea": 3.5, "cake": 4.25, "scone": 2.0}
orders = []


def price(item):
    return PRICES.get(item)


def order(entry):
    # A Tarnwick object arrives as a dict, an array as a list.
    orders.append(entry)
    return len(orders)


def fail(message):
    raise ValueError(message)


printed = []
# Each Runtime has its own natives, globals and output: here print() lines are collected, not written.
rt = tarnwick.Runtime(natives={"price": price, "order": order, "fail": fail}, output=printed.append)

rt.run("""
fn checkout(basket) {
  let total = 0
  for item in basket {
    let p = price(item)
    if p == nil {
      print(f"no price for {item}, skipped")
    } else {
      let n = order({item: item, price: p})
      print(f"order #{n}: {item} at {p}")
      total = total + p
    }
  }
  return total
}
fn refund(n) { return fail(f"cannot refund order {n}") }
fn apply_all(f, xs) {
  let out = range(0, len(xs))
  for i in range(0, len(xs)) { out[i] = f(xs[i]) }
  return out
}
discount = 0.5
""", name="shop.tw")

# Functions and globals stay in the runtime: call them from Python as often as needed.
total = rt.call("checkout", ["tea", "cake", "tea", "biscuit", "scone"])
print("".join(printed), end="")
printed.clear()
print(f"total: {total}")
print("orders seen by Python:", [(o["item"], o["price"]) for o in orders])
rt.globals["discount"] = 0.25
print("discounted:", rt.run("return_value = checkout([\"cake\"]) * (1 - discount)") or rt.globals["return_value"])

# Script functions are Python callables; a native that receives one can call it back mid-run.
checkout = rt.globals["checkout"]
print("via the callable:", checkout(["scone"]))
rt.register("twice", lambda f, x: f(f(x)))
print("callback:", rt.run("r = twice(fn(x) x * 3, 2)") or rt.globals["r"])
print("mapped:", rt.call("apply_all", rt.run("triple = fn(x) x * 3") or rt.globals["triple"], [1, 2, 3]))

# A failing script raises ScriptError with the script's call stack; a native's exception is its cause.
try:
    rt.call("refund", 7)
except tarnwick.ScriptError as e:
    print(f"ScriptError: {e.message}")
    print("  stack:", [(s.function, s.line) for s in e.stack])
    print(f"  cause: {e.__cause__!r}")

# Source that does not compile raises ScriptSyntaxError (a SyntaxError) with its position.
try:
    rt.run("let = 1", name="typo.tw")
except tarnwick.ScriptSyntaxError as e:
    print(f"ScriptSyntaxError: {e.msg} at {e.filename}:{e.lineno}:{e.offset}")

# Limits stop a runaway script; the runtime stays usable afterwards.
limited = tarnwick.Runtime(max_instructions=100_000)
try:
    limited.run("while 1 { }")
except tarnwick.LimitExceeded as e:
    print(f"{type(e).__name__}: {e.message}")
print("still usable:", limited.run("x = 40 + 2") or limited.globals["x"])
