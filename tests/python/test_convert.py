"""Conversions between Python objects and script values, seen through natives.

A native `give` returns the Python object under test (from_python); the script inspects it with `typeof`
and hands it back to `keep` (to_python).
"""
import pytest

import tarnwick_parser as tp


@pytest.fixture(autouse=True)
def clean_registry():
    tp.clear_native_bindings()
    yield
    tp.clear_native_bindings()


def roundtrip(obj, script="keep([typeof(give()), give()])"):
    got = []
    tp.set_native_binding("give", lambda: obj)
    tp.set_native_binding("keep", got.append)
    assert tp.compile_and_run(script) == "nil"
    return got[0]


class Indexable:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


class HugeIndex:
    def __index__(self):
        return 2 ** 80


class BadIndex:
    def __index__(self):
        raise ValueError("no index")

    def __str__(self):
        return "bad-index"


class BadStr:
    def __str__(self):
        raise RuntimeError("no str")


class Seq:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return i * 10


class BrokenSeq:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise RuntimeError("broken")
        return i

    def __str__(self):
        return "broken-seq"


@pytest.mark.parametrize("obj,kind,back", [
    ("héllo", "string", "héllo"),
    ("", "string", ""),
    (5, "int", 5),
    (-2 ** 63, "int", -2 ** 63),
    (True, "int", 1),  # bool is an int subclass: the integer rule comes first
    (Indexable(), "int", 7),
    (2 ** 63, "float", float(2 ** 63)),  # outside 64 bits: on to the float rule
    (HugeIndex(), "float", float(2 ** 80)),  # the float protocol falls back to __index__
    (BadIndex(), "string", "bad-index"),
    (2.5, "float", 2.5),
    (Floaty(), "float", 2.5),
    (10 ** 400, "string", str(10 ** 400)),  # too big for a float as well
    (None, "nil", None),
    ({"a": 1}, "string", "{'a': 1}"),
    (b"ab", "array", [97, 98]),
    ((1, "x", (2.0, None)), "array", [1, "x", [2.0, None]]),
    ([[], [[]]], "array", [[], [[]]]),
    (range(3), "array", [0, 1, 2]),
    (Seq(), "array", [0, 10, 20]),
    (BrokenSeq(), "string", "broken-seq"),
    (BadStr(), "string", ""),
    (object, "string", "<class 'object'>"),
])
def test_from_python(obj, kind, back):
    got_kind, got_back = roundtrip(obj)
    assert got_kind == kind
    if back is not None:
        assert got_back == back
        assert type(got_back) is type(back)


def test_lone_surrogate_is_replaced_not_raised():
    kind, back = roundtrip("a\ud800b")
    assert kind == "string"
    assert back == "a\ufffdb"


def test_self_containing_list_terminates():
    cyclic = [1]
    cyclic.append(cyclic)
    kind, back = roundtrip(cyclic)
    assert kind == "array"
    assert back == [1, "[1, [...]]"]


def test_list_mutated_while_converted():
    victim = [0, 0, 0, 0]

    class Shrinker:
        def __index__(self):
            del victim[1:]
            return 1

    victim[0] = Shrinker()
    kind, back = roundtrip(victim)
    assert kind == "array" and back == [1]


def test_deeply_nested_python_list():
    nested = []
    for _ in range(100000):
        nested = [nested]
    got = roundtrip(nested, "keep(give())")
    depth = 0
    while got:
        got, depth = got[0], depth + 1
    assert depth == 100000


def test_no_exception_is_left_behind():
    # Each of these raises inside the conversion; the run must carry on normally.
    for obj in (BadIndex(), BadStr(), BrokenSeq()):
        assert roundtrip(obj, "give() keep(1)") == 1


@pytest.mark.parametrize("expr,expected", [
    ("nil", None),
    ("1 < 2", True),
    ("2 < 1", False),
    ("-9223372036854775807 - 1", -2 ** 63),
    ("1.5", 1.5),
    ('"tschüß"', "tschüß"),
    ('""', ""),
    ("[1, [2, [3]], {a: nil}]", [1, [2, [3]], {"a": None}]),
    ("{z: 1, a: 2, m: 3}", {"z": 1, "a": 2, "m": 3}),
    ("len", "<function len>"),
    ("keep", "<native keep>"),
])
def test_to_python(expr, expected):
    got = roundtrip(None, f"keep({expr})")
    assert got == expected
    assert type(got) is type(expected)


def test_to_python_keeps_object_order():
    got = roundtrip(None, "let o = {z: 1, a: 2} o.m = 3 o.z = 4 keep(o)")
    assert list(got.items()) == [("z", 4), ("a", 2), ("m", 3)]


def test_method_value_becomes_text():
    got = roundtrip(None, 'class C { fn m(self) { return 1 } } let c = {__class__: "C"} keep(c.m)')
    assert got == "<method C.m>"


def test_nan_and_infinities():
    got = roundtrip(float("nan"), "keep([give(), 1e999, -1e999])")
    assert got[0] != got[0]
    assert got[1:] == [float("inf"), float("-inf")]
