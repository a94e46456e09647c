"""compile_and_run from source text to result, over every language feature.

Top-level expression statements discard their values, so programs report what they compute through a
native `out` that records its argument; the recorded Python values are compared.
"""
import pytest

import tarnwick_parser as tp


@pytest.fixture
def run():
    seen = []

    def out(*args):
        seen.append(args[0] if len(args) == 1 else args)

    def runner(source):
        del seen[:]
        tp.set_native_binding("out", out)
        try:
            result = tp.compile_and_run(source)
        finally:
            tp.clear_native_bindings()
        return result, list(seen)

    return runner


PROGRAMS = [
    ("arithmetic",
     "out(1 + 2 * 3) out(7 / 2) out(6 / 3) out(7 % 3) out(-7 % 3) out(2 ** 10) out(3 ** 2) out(0.1 + 0.2 == 0.3)",
     [7, 3.5, 2.0, 1, -1, 1024.0, 9.0, True]),
    ("saturating ints", "out(9223372036854775807 + 1) out(-9223372036854775807 - 10)",
     [9223372036854775807, -9223372036854775808]),
    ("booleans are ints", "out(true) out(false + 1) out(not 0) out(1 < 2 and 0)", [1, 1, True, False]),
    ("no short circuit", "n = 0 fn bump() { n = 1 return 1 } let r = 0 and bump() out(n)", [1]),
    ("strings", 'let s = "ab" out(s) out(len(s)) out(str(12)) out(typeof(s)) out(str([1, "a", [2.0]]))',
     ["ab", 2, "12", "string", "[1, a, [2.0]]"]),
    ("f-strings", 'let n = 3 out(f"n={n}!") out(f"{n}") out(f"{{n}}") out(f"a{n + 1}b{n * 2}")',
     ["n=3!", 3, "{n}", "a4b6"]),
    ("if else", "let x = 5 if x > 3 { out(1) } else { out(2) } if x > 9 { out(3) } else if x > 4 { out(4) }",
     [1, 4]),
    ("while with break and continue",
     "let i = 0 let s = 0 while i < 10 { i = i + 1 if i % 2 == 0 { continue } if i > 7 { break } s = s + i } out(s)",
     [16]),
    ("for over array stops at nil", "for x in [1, 2, nil, 4] { out(x) }", [1, 2]),
    ("for over string and object keys", 'for c in "hé" { out(c) } for k in {b: 1, a: 2} { out(k) }',
     ["h", "é", "a", "b"]),
    ("ternary", "let a = 2 out(a > 1 ? 10 : 20) out(a > 5 ? 10 : 20)", [10, 20]),
    ("match", 'fn name(n) { match n { case 1: return "one" case 2 { return "two" } } return "many" } '
              "out(name(1)) out(name(2)) out(name(7))", ["one", "two", "many"]),
    ("functions and recursion", "fn fib(n) { if n < 2 { return n } return fib(n - 1) + fib(n - 2) } out(fib(15))",
     [610]),
    ("arity is loose", "fn f(a, b) { return [a, b] } out(f(1)) out(f(1, 2, 3))", [[1, None], [1, 2]]),
    ("implicit return of last expression", "fn inc(x) { x + 1 } out(inc(41))", [42]),
    ("lambdas", "let sq = fn(x) x * x let add = fn(a, b) { a + b } out(sq(7)) out(add(2, 3))", [49, 5]),
    ("classes, methods and inheritance",
     'class Animal { let legs = 4 fn describe(self) { return f"{self.name} has {self.legs} legs" } '
     'fn speak(self) { return "..." } } '
     'class Dog extends Animal { fn speak(self) { return "woof" } } '
     'let d = {__class__: "Dog", name: "rex", legs: 4} '
     "out(d.speak()) out(d.describe()) out(Dog.__parent__) out(Animal.__fields__)",
     ["woof", "rex has 4 legs", "Animal", {"legs": 4}]),
    ("arrays and objects are values",
     "let a = [1, 2] let b = a b[0] = 9 out(a) out(b) let o = {x: 1} let p = o p.y = 2 out(o) out(p)",
     [[1, 2], [9, 2], {"x": 1}, {"x": 1, "y": 2}]),
    ("element stores persist", "let m = [[0, 0], [0, 0]] let row = m[1] row[0] = 5 m[1] = row out(m) "
                               "let g = {} g.k = 1 g[2] = 3 out(g)",
     [[[0, 0], [5, 0]], {"k": 1, "2": 3}]),
    ("nested functions are reachable", "fn outer(x) { fn inner(y) { return y * 2 } return inner(x) + 1 } out(outer(4))",
     [9]),
    ("builtins", 'out(len([1, 2, 3])) out(round(2.5)) out(max("abc", "abd")) out(range(2, 5)) '
                 "out(typeof(nil)) out(abs(-3)) out(min(1, 2.5))",
     [3, 3.0, "abd", [2, 3, 4], "nil", 3, 1.0]),
    ("indexing", "let a = [1, 2, 3] out(a[-1]) out(a[3]) out({k: 1}.k) out({k: 1}.missing)", [3, None, 1, None]),
    ("missing names are nil", "out(nothing) out(nothing(1, 2))", [None, None]),
    ("try bodies never run", "try { out(1) } catch (e) { out(2) } out(3)", [3]),
]


def typed(value):
    """A form of value that tells 1, 1.0 and True apart (plain == does not)."""
    if isinstance(value, dict):
        return ("dict", sorted((k, typed(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [typed(v) for v in value])
    return (type(value).__name__, value)


@pytest.mark.parametrize("source,expected", [p[1:] for p in PROGRAMS], ids=[p[0] for p in PROGRAMS])
def test_programs(run, source, expected):
    result, seen = run(source)
    assert result == "nil"
    assert typed(seen) == typed(expected)


@pytest.mark.parametrize("source,expected", [
    ("", "nil"),
    ("1 + 2; 3;", "nil"),
    ("1 / 0;", "Runtime error: Line 1: Division by zero"),
    ('let s = "ab"\nlet t = s + 1', "Runtime error: Line 2: Type error: cannot apply add to string and int"),
    # x + 0 and x * 1 must still type-check their operand.
    ('let s = "a"\ns + 0', "Runtime error: Line 2: Type error: cannot apply add to string and int"),
    ('let s = "a"\ns * 1', "Runtime error: Line 2: Type error: cannot apply mul to string and int"),
    ("return 1", "Runtime error: Line 1: Return without matching call"),
    ("\n\nlet f = fn(x) x + \"a\"\nf(1)", "Runtime error: Line 3: Type error: cannot apply add to int and string"),
    # Lambdas do not capture: k is a register of the main program, unknown inside the lambda.
    ("let k = 10\nlet f = fn(x) x + k\nf(1)", "Runtime error: Line 2: Type error: cannot apply add to int and nil"),
    ("fn f(n) {\n  let y = n / 0\n}\nf(1)", "Runtime error: Line 2: Division by zero"),
])
def test_results_and_runtime_errors(source, expected):
    assert tp.compile_and_run(source) == expected


def test_print_writes_display_text(capfd):
    assert tp.compile_and_run('print("hi", 3) print([1, 2], {a: 1}, nil, 2.0)') == "nil"
    assert capfd.readouterr().out == '"hi"3\n[array:2]{object:1}nil2.0\n'


@pytest.mark.parametrize("source,prefix", [
    ('let s = "abc', "Lex error: "),
    ("let x = \\", "Lex error: Unexpected character"),
    ("let = 1", "Parse error: ParseError at 1:5: Expected identifier"),
    ("while x { y()", "Parse error: ParseError at 1:14: Expected RightBrace, found Eof"),
    ("break", "Compile error: Line 1: 'break' outside of a loop"),
    ("fn f() {\n continue }", "Compile error: Line 2: 'continue' outside of a loop"),
])
def test_source_errors_raise_syntax_error(source, prefix):
    with pytest.raises(SyntaxError) as info:
        tp.compile_and_run(source)
    assert str(info.value).startswith(prefix)


def test_break_inside_a_loop_is_fine():
    assert tp.compile_and_run("while 1 { break }") == "nil"


@pytest.mark.parametrize("bad", [b"1;", 1, None, ["1"]])
def test_source_must_be_str(bad):
    with pytest.raises(TypeError) as info:
        tp.compile_and_run(bad)
    assert str(info.value) == \
        f"argument 'source': '{type(bad).__name__}' object cannot be converted to 'PyString'"


def test_deeply_nested_runtime_values_are_returned_and_freed(run):
    result, seen = run("let a = [] let i = 0 while i < 100000 { a = [a] i = i + 1 } out(a)")
    assert result == "nil"
    depth, cur = 0, seen[0]
    while cur:
        cur, depth = cur[0], depth + 1
    assert depth == 100000
