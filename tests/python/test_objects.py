"""Objects that share a layout (built by one literal) reach Python as dicts with their own entries, in the
order the script gave them, however they changed after being built."""
import pytest

import tarnwick_parser as tp


@pytest.fixture(autouse=True)
def clean_registry():
    tp.clear_native_bindings()
    yield
    tp.clear_native_bindings()


def kept(source):
    got = []
    tp.set_native_binding("keep", got.append)
    assert tp.compile_and_run(source) == "nil"
    return got


MAKER = "fn mk(i) { return {b: i, a: i * 10} }\n"


@pytest.mark.parametrize("body, expected", [
    ("keep(mk(1))", [{"b": 1, "a": 10}]),
    # A replaced entry keeps its place; a new one goes last; the other object of the layout is untouched.
    ("let o = mk(2)\nlet p = mk(3)\no.a = 7\no.c = 8\nkeep(o)\nkeep(p)",
     [{"b": 2, "a": 7, "c": 8}, {"b": 3, "a": 30}]),
    # A copy grown apart from the object it was copied from.
    ("let o = mk(4)\nlet q = o\nq.z = [1, 2]\nkeep(o)\nkeep(q)", [{"b": 4, "a": 40}, {"b": 4, "a": 40, "z": [1, 2]}]),
    # Past the values kept in place and past the keys scanned without an index.
    ("let o = mk(5)\nlet i = 0\nwhile i < 10 { o[f\"k{i}\"] = i\n i = i + 1 }\nkeep(o)",
     [dict([("b", 5), ("a", 50)] + [(f"k{i}", i) for i in range(10)])]),
    # Methods and other function values cross as their text.
    ("class P { fn get(self) { return 1 } }\nlet o = {__class__: \"P\", f: mk}\nkeep(o)\nkeep(o.get)",
     [{"__class__": "P", "f": "<function mk>"}, "<method P.get>"]),
])
def test_objects_reach_python_in_script_order(body, expected):
    got = kept(MAKER + body)
    assert got == expected
    assert [list(d) if isinstance(d, dict) else d for d in got] == \
        [list(d) if isinstance(d, dict) else d for d in expected]
