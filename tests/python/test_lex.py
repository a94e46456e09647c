import datetime
import sys

import pytest

import tarnwick_parser

lex = tarnwick_parser.lex


def rows(source):
    return [(t["token_type"], t["value"], t["line"], t["column"]) for t in lex(source)]


def test_compound_assignment_example():
    assert rows("x += 1.0") == [
        ("Ident", "x", 1, 1),
        ("PlusEq", "+=", 1, 3),
        ("Float", "1", 1, 6),
        ("Eof", "", 1, 9),
    ]


def test_dictionaries_have_four_keys_in_order_and_exact_types():
    tokens = lex("let s = 'a'")
    assert len(tokens) == 5
    for t in tokens:
        assert list(t) == ["token_type", "value", "line", "column"]
        assert type(t["token_type"]) is str and type(t["value"]) is str
        assert type(t["line"]) is int and type(t["column"]) is int


@pytest.mark.parametrize("source", ["", "   \n\t", "# comment only", "/* a /* b */ */"])
def test_sources_without_tokens_give_only_eof(source):
    tokens = lex(source)
    assert [t["token_type"] for t in tokens] == ["Eof"]
    assert tokens[0]["value"] == ""


def test_empty_source_eof_position():
    assert rows("") == [("Eof", "", 1, 1)]


@pytest.mark.parametrize(
    "source, expected",
    [
        ("a +", [("Ident", "a"), ("Plus", ""), ("Eof", "")]),
        ("self true false nil", [("Ident", "self"), ("Bool", "true"), ("Bool", "false"), ("Nil", ""), ("Eof", "")]),
        ("1e20 2.5 0x10 1e999", [("Float", "100000000000000000000"), ("Float", "2.5"), ("Int", "16"),
                                 ("Float", "inf"), ("Eof", "")]),
        ("1e23 1e31", [("Float", "100000000000000000000000"), ("Float", "10000000000000000000000000000000"),
                       ("Eof", "")]),
        ("a ??= b |> c ... d", [("Ident", "a"), ("NullishEq", "??="), ("Ident", "b"), ("PipeGt", "|>"),
                               ("Ident", "c"), ("Ellipsis", "..."), ("Ident", "d"), ("Eof", "")]),
        ('f"{{x}}" "q\\n"', [("FString", "\x00{x}\x00"), ("String", "q\n"), ("Eof", "")]),
        ("match scene == !=", [("Switch", ""), ("Class", ""), ("Eq", ""), ("Neq", ""), ("Eof", "")]),
    ],
)
def test_token_types_and_value_texts(source, expected):
    assert [(t["token_type"], t["value"]) for t in lex(source)] == expected


@pytest.mark.parametrize(
    "source, message",
    [
        ('"abc', "Lexer error at 1:5: Unterminated string literal"),
        ('"ab\n', "Lexer error at 1:4: Unterminated string \u2014 newline inside string"),
        ('"a\\qb"', "Unknown escape sequence: \\q"),
        ('"\\\x00"', "Unknown escape sequence: \\\x00"),
        ("0x", "Lexer error at 1:3: Expected hex digits after '0x'"),
        ("x\n/* open", "Unterminated block comment at 2:1"),
        ("\\", "Unexpected character: '\\\\'"),
        ("\x00", "Unexpected character: '\\0'"),
        ("\x0b", "Unexpected character: '\\u{b}'"),
        ("\u00e9\"", "Lexer error at 1:3: Unterminated string literal"),
    ],
)
def test_lexer_failures_raise_syntax_error_with_exact_text(source, message):
    with pytest.raises(SyntaxError) as info:
        lex(source)
    assert str(info.value) == message
    assert info.value.args == (message,)


# Messages name the type as type(value).__name__, also for types whose C name carries their module.
@pytest.mark.parametrize("value, type_name", [(5, "int"), (b"x", "bytes"), (None, "NoneType"), (["a"], "list"),
                                              (datetime.date(2000, 1, 1), "date"),
                                              (tarnwick_parser.PyParser([]), "PyParser")])
def test_non_str_source_is_a_type_error(value, type_name):
    with pytest.raises(TypeError) as info:
        lex(value)
    assert str(info.value) == f"argument 'source': '{type_name}' object cannot be converted to 'PyString'"


def test_source_by_keyword_and_argument_count():
    assert rows("x") == [(t["token_type"], t["value"], t["line"], t["column"]) for t in lex(source="x")]
    with pytest.raises(TypeError):
        lex()
    with pytest.raises(TypeError):
        lex("a", "b")
    with pytest.raises(TypeError):
        lex(text="a")


def test_str_subclass_is_accepted():
    class Source(str):
        pass

    assert rows(Source("a")) == rows("a")


@pytest.mark.parametrize(
    "source, ident_column, eof",
    [
        ('"\u00e9" x', 5, (1, 6)),                    # two-byte character
        ('"\U0001f600" x', 5, (1, 6)),                # four-byte character
        ("\u00fc\u00fc x", 4, (1, 5)),                # non-ASCII outside strings is dropped but counted
        ('"\ud800" x', 5, (1, 6)),                    # a lone surrogate is one (replaced) character
        ("/* \u4e2d\u6587 */ x", 10, (1, 11)),
    ],
)
def test_columns_count_code_points(source, ident_column, eof):
    tokens = lex(source)
    assert (tokens[-2]["token_type"], tokens[-2]["column"]) == ("Ident", ident_column)
    assert (tokens[-1]["line"], tokens[-1]["column"]) == eof


def test_string_contents_round_trip_unicode():
    assert lex('"\u00e9\U0001f600\u4e2d"')[0]["value"] == "\u00e9\U0001f600\u4e2d"
    assert lex('"\ud800"')[0]["value"] == "\ufffd"


def test_no_objects_leak_on_success_or_failure():
    import gc
    import tracemalloc

    source = "let x = f\"{a}\" + 1.5 # c\n" * 20
    bad = '"abc'

    def run(n):
        for _ in range(n):
            lex(source)
            with pytest.raises(SyntaxError):
                lex(bad)
            with pytest.raises(TypeError):
                lex(3)

    run(5)
    refs = sys.getrefcount(source), sys.getrefcount(bad)
    gc.collect()
    tracemalloc.start()
    try:
        run(1)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        run(300)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # 300 rounds of 141 dictionaries each: a leak of even one object per call would show far above this.
    assert grown < 20_000
    assert (sys.getrefcount(source), sys.getrefcount(bad)) == refs
