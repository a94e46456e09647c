"""Tarnwick on a cluster: a rule script compiled once, shipped to Dask workers, mapped over a data set.

Each worker process keeps one Runtime, made by a worker plugin with the host's natives; the plugin carries
the compiled rules (a tarnwick.Program), so they travel once per worker, not once per task, and each task
only calls the rule function already loaded in its worker's runtime.

Needs Dask distributed (Debian: python3-distributed). Run it with the built modules on the path, e.g.
    PYTHONPATH=build/python:. python3 examples/cluster.py
It starts a LocalCluster of two worker processes on this machine; pass a scheduler's address instead
(python3 examples/cluster.py tcp://host:8786) to use a cluster started elsewhere, whose workers can import
tarnwick.
"""
import logging
import sys

import tarnwick
from distributed import Client, LocalCluster, WorkerPlugin, get_worker

RULES = """
if loaded == nil { loaded = 0 }
loaded = loaded + 1

fn risk(order) {
  let amount = order.amount * rate(order.currency)
  let score = 0
  if amount > 1000 { score = score + 2 }
  if order.country != "NL" { score = score + 1 }
  if len(order.items) > 3 { score = score + 1 }
  let level = "low"
  if score >= 3 { level = "high" } else if score >= 1 { level = "medium" }
  return {id: order.id, eur: round(amount, 2), level: level}
}
"""

ORDERS = [
    {"id": 1, "amount": 120.0, "currency": "EUR", "country": "NL", "items": ["tea"]},
    {"id": 2, "amount": 1500.0, "currency": "USD", "country": "US", "items": ["desk", "lamp"]},
    {"id": 3, "amount": 80.0, "currency": "GBP", "country": "GB", "items": ["a", "b", "c", "d"]},
    {"id": 4, "amount": 999.0, "currency": "EUR", "country": "NL", "items": ["bike"]},
    {"id": 5, "amount": 2400.0, "currency": "GBP", "country": "DE", "items": ["sofa", "rug", "table", "chair"]},
    {"id": 6, "amount": 35.5, "currency": "USD", "country": "NL", "items": ["book", "pen"]},
    {"id": 7, "amount": 1100.0, "currency": "EUR", "country": "BE", "items": ["tv"]},
    {"id": 8, "amount": 60.0, "currency": "EUR", "country": "NL", "items": ["a", "b", "c", "d", "e"]},
]

# Exchange rates the natives look up (a host would read them from its own systems).
RATES = {"EUR": 1.0, "USD": 0.92, "GBP": 1.17}


def rate(currency):
    return RATES[currency]


PLUGIN = "tarnwick-rules"


class RulesPlugin(WorkerPlugin):
    """One Runtime per worker process, with the natives, and the rules loaded into it once."""

    def __init__(self, program):
        self.program = program  # pickled as its source; compiled once, where the worker unpickles it
        self.runtime = None

    def setup(self, worker):
        self.runtime = tarnwick.Runtime(natives={"rate": rate}, timeout=10.0)
        self.runtime.run(self.program)

    def teardown(self, worker):
        if self.runtime is not None:
            self.runtime.close()


def apply_rules(order):
    # Tasks of one worker share its runtime: with several threads per worker they take turns.
    return get_worker().plugins[PLUGIN].runtime.call("risk", order)


def worker_state():
    rt = get_worker().plugins[PLUGIN].runtime
    return rt.globals["loaded"]


def main(address=None):
    logging.getLogger("distributed").setLevel(logging.ERROR)
    program = tarnwick.Program(RULES, filename="rules.tw")
    cluster = None
    if address is None:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None)
        address = cluster
    try:
        with Client(address) as client:
            client.register_worker_plugin(RulesPlugin(program), name=PLUGIN)
            results = client.gather(client.map(apply_rules, ORDERS, pure=False))
            loads = client.run(worker_state)
    finally:
        if cluster is not None:
            cluster.close()
    for r in sorted(results, key=lambda r: r["id"]):
        print(f"order {r['id']}: {r['eur']:>8.2f} EUR, risk {r['level']}")
    print(f"{len(results)} orders scored on {len(loads)} worker processes, one runtime each; "
          f"times the rules were loaded per runtime: {sorted(loads.values())}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
