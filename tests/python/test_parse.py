import re
import threading

import pytest

from tarnwick_parser import PyParser, lex, parse_tokens


def program(source):
    return parse_tokens(lex(source))


def first(source):
    return program(source)["statements"][0]


def ident(name):
    return {"type": "Identifier", "name": name}


def lit(value):
    return {"type": "Literal", "value": value}


def tok(kind, value=""):
    return {"token_type": kind, "value": value}


@pytest.mark.parametrize("tokens", [[], [tok("Eof")], [tok("Eof"), tok("Ident", "x")]])
def test_empty_programs(tokens):
    assert parse_tokens(tokens) == {"type": "Program", "statements": []}


def test_assignment_export_and_key_order():
    stmt = first("x = 1")
    assert stmt == {"type": "ExprStatement",
                    "expression": {"type": "BinaryOp", "left": ident("x"), "op": "Assign", "right": lit(1)}}
    assert list(stmt["expression"]) == ["type", "left", "op", "right"]


@pytest.mark.parametrize("tokens, expected", [
    (lex("nil"), None), ([tok("True")], True), ([tok("False")], False), (lex("2.5"), 2.5), (lex('"hé"'), "hé"),
    (lex("9223372036854775807"), 9223372036854775807),
])
def test_literal_values(tokens, expected):
    value = parse_tokens(tokens)["statements"][0]["expression"]["value"]
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize("source, keys", [
    ("let x", ["type", "name", "mutable"]),
    ("const x: T = 1", ["type", "name", "mutable", "init", "type_hint"]),
    ("fn f(a, b: T = 1) -> R { }", ["type", "name", "is_async", "params", "body", "return_type"]),
    ("fn f() { }", ["type", "name", "is_async", "params", "body"]),
    ("class A extends B { }", ["type", "name", "extends", "body"]),
    ("class A { }", ["type", "name", "body"]),
    ("if a { } else { }", ["type", "condition", "then_body", "else_body"]),
    ("if a { }", ["type", "condition", "then_body"]),
    ("while a { }", ["type", "condition", "body"]),
    ("for i in a { }", ["type", "target", "iter", "body"]),
    ("match a { }", ["type", "expr", "cases"]),
    ("return 1", ["type", "value"]),
    ("return;", ["type"]),
    ("throw a", ["type", "expr"]),
    ("try { } catch e { } finally { }", ["type", "body", "catch_clauses", "finally_body"]),
    ("try { }", ["type", "body", "catch_clauses"]),
])
def test_statement_keys(source, keys):
    assert list(first(source)) == keys


def test_nested_dictionaries():
    fn = first("fn f(a, b: [T] = 1) -> R { yield; break }")
    assert fn["params"] == [{"name": "a"},
                            {"name": "b", "type_hint": {"name": "T[]", "nullable": False, "generics": []},
                             "default": lit(1)}]
    assert list(fn["params"][1]) == ["name", "type_hint", "default"]
    assert list(fn["return_type"]) == ["name", "nullable", "generics"]
    assert fn["body"] == [{"type": "ExprStatement", "expression": {"type": "Yield"}}, {"type": "Break"}]
    t = first("try { } catch (e) { a }")
    assert t["catch_clauses"] == [{"exception": "e", "body": [{"type": "ExprStatement", "expression": ident("a")}]}]
    lam = first("x = fn(a) a")["expression"]["right"]
    assert list(lam) == ["type", "params", "body"]


@pytest.mark.parametrize("source, expected", [
    ("c ? 1 : 2", {"type": "Ternary", "condition": ident("c"), "then_expr": lit(1), "else_expr": lit(2)}),
    ("f(x)?", {"type": "Propagate", "expr": {"type": "Call", "callee": ident("f"), "args": [ident("x")]}}),
    ("a.b[0]", {"type": "Index", "object": {"type": "Member", "object": ident("a"), "property": "b"},
                "index": lit(0)}),
    ("[1, !a]", {"type": "Array", "elements": [lit(1), {"type": "UnaryOp", "op": "Not", "operand": ident("a")}]}),
    ("x", ident("x")),
])
def test_expressions(source, expected):
    assert first(source)["expression"] == expected


@pytest.mark.parametrize("source, name", [('f"a{x}"', "a{x}"), ("true", "true")])
def test_kinds_without_a_dictionary_form_come_back_as_identifiers(source, name):
    assert first(source)["expression"] == ident(name)


def test_object_keeps_first_position_and_last_value():
    props = first("x = {a: 1, b: 2, a: 3}")["expression"]["right"]["properties"]
    assert list(props.items()) == [("a", lit(3)), ("b", lit(2))]


def test_default_case_exports_none():
    tokens = [tok("Switch"), tok("Ident", "x"), tok("LBrace"), tok("Default"), tok("Colon"),
              tok("Ident", "y"), tok("RBrace")]
    cases = parse_tokens(tokens)["statements"][0]["cases"]
    assert cases == [{"expr": None, "body": [{"type": "ExprStatement", "expression": ident("y")}]}]


@pytest.mark.parametrize("tokens, message", [
    (lex("let = 1"), "ParseError at 1:5: Expected identifier"),
    (lex("f(1"), "ParseError at 1:4: Expected RightParen, found Eof"),
    (lex("x = +1"), "ParseError at 1:5: Unexpected token: Plus"),
    ([tok("LParen"), tok("Int", "1")], "ParseError at 0:0: Expected RightParen, found Eof"),
    ([dict(tok("Ident", "a"), line=3, column=7), dict(tok("LBracket"), line=3, column=8),
      dict(tok("Int", "2"), line=3, column=9), dict(tok("Int", "2"), line=4, column=1)],
     "ParseError at 4:1: Expected RightBracket, found Int(2)"),
])
def test_parse_errors_in_all_entry_points(tokens, message):
    with pytest.raises(SyntaxError) as e:
        parse_tokens(tokens)
    assert e.value.args[0] == "Parse error: " + message
    with pytest.raises(SyntaxError) as e:
        PyParser(tokens).parse()
    assert e.value.args[0] == message
    with pytest.raises(SyntaxError) as e:
        PyParser.parse_tokens(tokens)
    assert e.value.args[0] == message


def test_positions_come_from_the_dictionaries():
    tokens = [dict(tok("Ident", "a"), line=3, column=7), dict(tok("Plus"), line=4, column=2)]
    with pytest.raises(SyntaxError, match=r"^Parse error: ParseError at 0:0: Unexpected token: Eof$"):
        parse_tokens(tokens)
    tokens.append(dict(tok("Star"), line=5, column=1))
    with pytest.raises(SyntaxError, match=r"^Parse error: ParseError at 5:1: Unexpected token: Star$"):
        parse_tokens(tokens)


@pytest.mark.parametrize("py_tokens, exc, message", [
    ("x", TypeError, "argument 'py_tokens': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'py_tokens': 'int' object cannot be converted to 'Sequence'"),
    ([1], TypeError, "'int' object cannot be converted to 'PyDict'"),
    ([{"value": ""}], ValueError, "Missing token_type"),
    ([{"token_type": "Int"}], ValueError, "Missing value"),
    ([{"token_type": 1, "value": ""}], TypeError, "'int' object cannot be converted to 'PyString'"),
    ([{"token_type": "Int", "value": PyParser([])}], TypeError, "'PyParser' object cannot be converted to 'PyString'"),
    ([PyParser([])], TypeError, "'PyParser' object cannot be converted to 'PyDict'"),
    (PyParser([]), TypeError, "argument 'py_tokens': 'PyParser' object cannot be converted to 'Sequence'"),
])
def test_conversion_errors_in_all_entry_points(py_tokens, exc, message):
    for call in (parse_tokens, PyParser, PyParser.parse_tokens):
        with pytest.raises(exc) as e:
            call(py_tokens)
        assert str(e.value) == message


def test_pyparser_behaviour():
    tokens = lex("let x = [1, 2]")
    parser = PyParser(py_tokens=tokens)
    tokens.clear()  # the parser keeps its own copy
    a, b = parser.parse(), parser.parse()
    assert a == b and a is not b
    assert a["statements"][0]["init"]["elements"] is not b["statements"][0]["init"]["elements"]
    assert PyParser.parse_tokens(py_tokens=lex("x")) == parse_tokens(py_tokens=lex("x"))
    assert PyParser.__text_signature__ == "(py_tokens)"
    assert PyParser.__doc__ and "\n" not in PyParser.__doc__
    assert PyParser.parse.__text_signature__ == "($self)"
    assert PyParser.parse.__doc__ == "Parse tokens into an AST"
    assert PyParser.parse_tokens.__text_signature__ == "(py_tokens)"
    assert PyParser.parse_tokens.__doc__ == "Parse from a token list (static method)"
    assert [n for n in dir(parser) if not n.startswith("_")] == ["parse", "parse_tokens"]
    with pytest.raises(TypeError):
        PyParser.parse(1)
    with pytest.raises(TypeError):
        PyParser()
    with pytest.raises(TypeError):
        parse_tokens(tokens=[])


def nesting_limit():
    with pytest.raises(SyntaxError) as e:
        program("(" * 1_000_000)
    m = re.fullmatch(r"Parse error: ParseError at 1:\d+: Nesting too deep \(limit (\d+)\)", e.value.args[0])
    assert m, e.value.args[0]
    return int(m.group(1))


def test_deepest_trees_export_on_a_small_thread_stack():
    # A tree nests at most `limit` levels of statements and expressions together (links of flat chains
    # not counted), and the export, which recurses once per level, handles the deepest one on a small stack.
    limit = nesting_limit()
    deepest = {  # nesting source -> how many repetitions reach the limit exactly
        "signs": (lambda n: "x = " + "-" * n + "1", limit - 3),
        "then branches": (lambda n: "x = " + "c ? " * n + "1" + " : 2" * n, limit - 2),
        "blocks": (lambda n: "if a { " * n + "}" * n, limit - 1),
        "lists": (lambda n: "[" * n + "]" * n, limit - 1),
    }
    results = {}

    def run():
        for name, (make, n) in deepest.items():
            results[name] = program(make(n))

    old = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert list(results) == list(deepest)
    depth, node = 0, results["signs"]["statements"][0]["expression"]["right"]
    while node["type"] == "UnaryOp":
        depth, node = depth + 1, node["operand"]
    assert depth == limit - 3
    for name, (make, n) in deepest.items():
        with pytest.raises(SyntaxError, match=r"Nesting too deep"):
            program(make(n + 1))


class _Interrupting:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("entry", ["parse_tokens", "PyParser"])
def test_control_flow_exception_reading_a_position_propagates(entry, exc):
    tokens = lex("1")
    tokens[0]["line"] = _Interrupting(exc())
    with pytest.raises(exc):
        if entry == "parse_tokens":
            parse_tokens(tokens)
        else:
            PyParser(tokens).parse()
    # Other failures still read as 0.
    tokens[0]["line"] = _Interrupting(ValueError())
    assert parse_tokens(tokens)


LINKS = 100_000
FLAT_CHAINS = {  # source, what it passes to out(), steps along the exported chain
    "sum": ("let s = 0" + " + 1" * LINKS + " out(s)", LINKS, LINKS + 1),
    "else if": (f"let x = {LINKS - 1} if x == 0 {{ out(0) }}"
                + "".join(f" else if x == {i} {{ out({i}) }}" for i in range(1, LINKS)), LINKS - 1, LINKS - 1),
    "method calls": ('class C { fn m(self) { return {__class__: "C", n: self.n + 1} } }'
                     ' let r = {__class__: "C", n: 0}' + ".m()" * LINKS + " out(r.n)", LINKS, 2 * LINKS + 1),
}


def chain_length(node):
    steps = 0
    while True:
        key = next((k for k in ("init", "left", "callee", "object", "else_body") if k in node), None)
        if key is None:
            return steps
        node, steps = node[key][0] if key == "else_body" else node[key], steps + 1


@pytest.mark.parametrize("name", FLAT_CHAINS)
def test_flat_chains_of_any_length_run_and_export_on_a_small_thread_stack(name):
    # A chain written flat is one nesting level: it compiles, runs and exports without recursing per link.
    import tarnwick_parser as tp
    source, value, steps = FLAT_CHAINS[name]
    seen, results = [], {}

    def run():
        tp.set_native_binding("out", seen.append)
        try:
            results["run"] = tp.compile_and_run(source)
        finally:
            tp.clear_native_bindings()
        tokens = lex(source)
        results["export"] = max(map(chain_length, program(source)["statements"]))
        results["PyParser"] = max(map(chain_length, PyParser(tokens).parse()["statements"]))

    old = threading.stack_size(1024 * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(old)
    assert seen == [value]
    assert results == {"run": "nil", "export": steps, "PyParser": steps}
