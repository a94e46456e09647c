"""compile_and_run at its edges: what it accepts, and values that reach Python through a native.

What programs print and how they fail is the script corpus (tests/scripts), run by test_scripts.py.
"""
import pytest

import tarnwick_parser as tp


@pytest.mark.parametrize("bad", [b"1;", 1, None, ["1"]])
def test_source_must_be_str(bad):
    with pytest.raises(TypeError) as info:
        tp.compile_and_run(bad)
    assert str(info.value) == \
        f"argument 'source': '{type(bad).__name__}' object cannot be converted to 'PyString'"


def test_deeply_nested_runtime_values_are_returned_and_freed():
    seen = []
    tp.set_native_binding("out", seen.append)
    try:
        assert tp.compile_and_run("let a = [] let i = 0 while i < 100000 { a = [a] i = i + 1 } out(a)") == "nil"
    finally:
        tp.clear_native_bindings()
    depth, cur = 0, seen[0]
    while cur:
        cur, depth = cur[0], depth + 1
    assert depth == 100000
