import struct

import pytest

import tarnwick_parser


def string_constant(text):
    data = text.encode("utf-8")
    return [4, *struct.pack("<I", len(data)), *data]


@pytest.mark.parametrize(
    "source, opcodes, constants",
    [
        ("", [255], []),
        ("let x = 1;", [1, 254, 255], []),
        ('"hi";', [254, 2, 255], string_constant("hi")),
        ('"é€";', [254, 2, 255], string_constant("é€")),  # the length counts UTF-8 bytes
        ("x = 5;", [1, 3, 254, 2, 255], string_constant("x")),
        ("let x = 1.5;", [254, 254, 255], [3, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F]),
        ("let x = 1099511627776;", [254, 254, 255], [2, 0, 0, 0, 0, 0, 1, 0, 0]),
        ("let x = 2147483647;", [1, 254, 255], []),
        ("let x = 2147483648;", [254, 254, 255], [2, 0, 0, 0, 0x80, 0, 0, 0, 0]),
        ("let t = true; let n = nil;", [1, 254, 254, 254, 255], [0]),
        ("-1 + 2 * 3;", [1, 5, 1, 1, 0x12, 0x10, 2, 255], []),
        ("a == b and not c;", [254, 254, 0x20, 254, 0x32, 0x30, 2, 255],
         string_constant("a") + string_constant("b") + string_constant("c")),
        ('f"a{1}b";', [254, 1, 254, 6, 6, 2, 255], string_constant("a") + string_constant("b")),
        # a lambda's name counts the definitions before it, though their bodies are not in the result
        ("fn g() { return fn(y) y; }\nlet b = fn(x) x;", [254, 254, 255], string_constant("<lambda>1")),
        # jumps and register operations have no byte of their own
        ("let i = 0; while i < 3 { i = i + 1; }",
         [1, 254, 254, 1, 0x22, 254, 254, 1, 0x10, 3, 254, 2, 254, 255], []),
    ],
)
def test_compile_serialises_main_code_and_constants(source, opcodes, constants):
    result = tarnwick_parser.compile(source)
    assert type(result) is tuple
    assert result == (opcodes, constants)


def test_source_is_accepted_by_keyword():
    assert tarnwick_parser.compile(source="let x = 1;") == ([1, 254, 255], [])


@pytest.mark.parametrize("value, type_name", [(5, "int"), (b"let x = 1;", "bytes"), (None, "NoneType")])
def test_non_string_source_is_a_type_error(value, type_name):
    with pytest.raises(TypeError) as err:
        tarnwick_parser.compile(value)
    assert str(err.value) == f"argument 'source': '{type_name}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "source, message",
    [
        ("1 /* x", "Unterminated block comment at 1:3"),
        ("let = 1;", "ParseError at 1:5: Expected identifier"),
        ("(1", "ParseError at 1:3: Expected RightParen, found Eof"),
        ("break;", "Line 1: 'break' outside of a loop"),
        ("let a = 1;\n\ncontinue;", "Line 3: 'continue' outside of a loop"),
        ("while x {\n fn f() {\n  break;\n }\n}", "Line 3: 'break' outside of a loop"),
        # a body is checked where it stands: its error comes before a later one of the main program
        ("fn f() {\n if 1 { } else { continue; }\n}\nbreak;", "Line 2: 'continue' outside of a loop"),
        ("class A {\n fn m(self) {\n  match self { case 1: break }\n }\n}", "Line 3: 'break' outside of a loop"),
    ],
)
def test_failures_raise_syntax_error(source, message):
    with pytest.raises(SyntaxError) as err:
        tarnwick_parser.compile(source)
    assert str(err.value) == message


def test_break_and_continue_inside_loops_compile():
    opcodes, _ = tarnwick_parser.compile("for x in [1, 2] { if x { continue; } break; }")
    assert opcodes[-1] == 255


def test_lone_surrogates_become_replacement_characters():
    assert tarnwick_parser.compile('"a\ud800b";') == ([254, 2, 255], string_constant("a\ufffdb"))


@pytest.mark.parametrize("source, lineno, offset, text", [
    ("x = (1 +\n  2", 2, 4, "  2"),
    ("let s = 1\n\"open", 2, 6, '"open'),
    ("while 1 { }\nbreak", 2, None, "break"),
])
@pytest.mark.parametrize("function", ["compile", "compile_and_run"])
def test_syntax_errors_carry_their_position(function, source, lineno, offset, text):
    with pytest.raises(SyntaxError) as err:
        getattr(tarnwick_parser, function)(source)
    e = err.value
    assert (e.lineno, e.offset, e.text, e.filename) == (lineno, offset, text, "<string>")
    assert str(e) == e.msg  # the message alone, as before
