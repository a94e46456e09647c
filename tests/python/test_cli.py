"""The tarnwick command line, run as a user runs it: a separate process, real files, real pipes."""
import json
import os
import signal
import subprocess
import sys

import pytest

import tarnwick_parser
import tarnwick_vm_engine
from tarnwick import bytecode as bc

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.dirname(os.path.realpath(tarnwick_parser.__file__))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, ROOT]))


def tarnwick(*args, stdin=None, timeout=60):
    return subprocess.run([sys.executable, "-m", "tarnwick", *args], input=stdin, capture_output=True,
                          text=True, env=ENV, timeout=timeout)


@pytest.fixture
def script(tmp_path):
    def write(text, name="script.tw"):
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        return str(path)
    return write


PROGRAM = 'let name = "world"\nprint(f"hello {name}")\nprint(1 + 2, 7 / 2)\n'
PROGRAM_OUTPUT = '"hello world"\n33.5\n'


@pytest.mark.parametrize("form", ["file", "run file", "stdin", "run stdin", "-e", "run -e"])
def test_every_way_of_naming_the_script_runs_it(form, script):
    path = script(PROGRAM)
    args, stdin = {
        "file": ([path], None),
        "run file": (["run", path], None),
        "stdin": (["-"], PROGRAM),
        "run stdin": (["run", "-"], PROGRAM),
        "-e": (["-e", PROGRAM], None),
        "run -e": (["run", "-e", PROGRAM], None),
    }[form]
    r = tarnwick(*args, stdin=stdin)
    assert (r.returncode, r.stdout, r.stderr) == (0, PROGRAM_OUTPUT, "")


@pytest.mark.parametrize("args, stdout", [
    (["-e", "print(len(args))"], "0\n"),
    (["-e", "for a in args { print(a) }", "one", "--two", "3"], '"one"\n"--two"\n"3"\n'),
    (["run", "-e", "print(args[0])", "x"], '"x"\n'),
    (["FILE", "a b", "-e"], '"a b"\n"-e"\n'),
])
def test_script_arguments_are_the_global_args(args, stdout, script):
    path = script("for a in args { print(a) }")
    r = tarnwick(*[path if a == "FILE" else a for a in args])
    assert (r.returncode, r.stdout, r.stderr) == (0, stdout, "")


@pytest.mark.parametrize("argv", [
    ["a.tw"], ["a.tw", "x", "-e", "y"], ["run", "a.tw", "--help"], ["-"], ["run", "-", "1"], ["x.tw", "run"],
    ["a.tw", "--", "z"], ["run"], ["run", "-e", "1"], ["--version"], ["check", "a.tw"], ["tokens", "a.tw"],
])
def test_running_a_file_without_the_option_parser_reads_arguments_like_it(argv):
    from tarnwick import cli
    fast = cli._plain_run(argv)
    if fast is None:  # declined: the option parser handles it
        assert argv[0] in cli.COMMANDS[1:] or argv[0].startswith("-") or argv == ["run"] or "--" in argv \
            or argv[1].startswith("-")
        return
    parsed = cli.build_parser().parse_args(cli._with_default_command(argv))
    assert (fast.command, fast.file, fast.code, fast.args) == (parsed.command, parsed.file, parsed.code, parsed.args)


def test_lost_output_is_an_error():
    with open("/dev/full", "w") as full:
        r = subprocess.run([sys.executable, "-m", "tarnwick", "-e", "print(1)"], stdout=full, stderr=subprocess.PIPE,
                           text=True, env=ENV, timeout=60)
    assert r.returncode == 1
    assert "cannot write to standard output: No space left on device" in r.stderr


@pytest.mark.parametrize("args, usage", [
    (["run", "--help"], "usage: tarnwick run [-h] (FILE | - | -e CODE) [ARG...]\n"),
    (["-e"], "usage: tarnwick run [-h] (FILE | - | -e CODE) [ARG...]\n"),
    (["check", "--help"], "usage: tarnwick check [-h] FILE [FILE ...]\n"),
    (["tokens", "--help"], "usage: tarnwick tokens [-h] [-e CODE] [--json] [--indent N] [FILE]\n"),
])
def test_usage_lines_name_the_command(args, usage):
    r = tarnwick(*args)
    assert (r.stdout + r.stderr).startswith(usage)


# (source, first line of the report, the source line shown, caret line or None)
SYNTAX_ERRORS = [
    pytest.param("let x = (1 + 2\nprint(x)\n",
                 "<string>:2:1: Parse error: expected ')', found name 'print'",
                 "  2 | print(x)", "    | ^", id="parse-error-on-next-line"),
    pytest.param('let s = "abc',
                 "<string>:1:13: Lex error: Unterminated string literal",
                 '  1 | let s = "abc', "    |             ^", id="caret-past-end-of-line"),
    pytest.param('let s = "a\\qb"',
                 "<string>:1:12: Lex error: Unknown escape sequence: \\q",
                 '  1 | let s = "a\\qb"', "    |            ^", id="escape-error-located"),
    pytest.param("let a = 1\n\tx = `\n",
                 "<string>:2:6: Lex error: Unexpected character: '`'",
                 "  2 | \tx = `", "    | \t    ^", id="tab-kept-under-caret"),
    pytest.param("x = 1\n/* open",
                 "<string>:2:1: Lex error: Unterminated block comment",
                 "  2 | /* open", "    | ^", id="block-comment-start"),
    pytest.param('print(f"{1 +}")',
                 "<string>:1:13: Parse error: in an f-string: unexpected end of input",
                 '  1 | print(f"{1 +}")', "    |             ^", id="f-string-error-placed"),
]


@pytest.mark.parametrize("source, first, shown, caret", SYNTAX_ERRORS)
def test_syntax_errors_point_at_the_source(source, first, shown, caret):
    r = tarnwick("-e", source)
    assert r.returncode == 2
    assert r.stdout == ""
    lines = r.stderr.rstrip("\n").split("\n")
    assert lines[0] == first
    assert lines[1:3] == ([shown, caret] if shown else [])


@pytest.mark.parametrize("source, first, shown, caret",
                         [p for p in SYNTAX_ERRORS if "Lex error" in p.values[1]])
def test_every_inspecting_command_reports_lexical_errors_alike(source, first, shown, caret):
    r = tarnwick("tokens", "-e", source)
    assert r.returncode == 2
    assert r.stderr.rstrip("\n").split("\n") == [first, shown, caret]


def test_syntax_error_in_a_file_is_reported_under_its_name(script):
    path = script("\n\nfn f( {\n", name="broken.tw")
    r = tarnwick(path)
    assert r.returncode == 2
    assert r.stderr.startswith(f"{path}:3:7: Parse error: expected a name\n")


@pytest.mark.parametrize("source, first, shown, stdout", [
    ("let a = 1\nprint(a)\nprint(a / 0)\nprint(2)\n",
     "<string>:3:9: Runtime error: Division by zero", "  3 | print(a / 0)", "1\n"),
    ("fn half(x) {\n  return x / 0\n}\nhalf(4)\n",
     "<string>:2:12: Runtime error: Division by zero", "  2 |   return x / 0", ""),
    ('print("a" + 1)', '<string>:1:11: Runtime error: Type error: cannot apply add to string and int',
     '  1 | print("a" + 1)', ""),
])
def test_runtime_errors_name_the_line_and_keep_earlier_output(source, first, shown, stdout):
    r = tarnwick("-e", source)
    assert r.returncode == 1
    assert r.stdout == stdout
    assert r.stderr.rstrip("\n").split("\n")[:2] == [first, shown]


def test_runtime_error_deep_in_calls_shows_the_script_traceback(script):
    path = script('fn inner(x) {\n  return x * "s"\n}\nfn middle(x) { return inner(x) + 1 }\n'
                  'fn outer(x) {\n  return middle(x)\n}\nouter(2)\n', name="deep.tw")
    r = tarnwick(path)
    assert r.returncode == 1
    assert r.stderr.rstrip("\n").split("\n") == [
        f"{path}:2:12: Runtime error: Type error: cannot apply mul to int and string",
        '  2 |   return x * "s"',
        "    |            ^",
        "Script traceback (most recent call last):",
        f"  {path}:8:6, in <main>", "    8 | outer(2)", "      |      ^",
        f"  {path}:6:16, in outer", "    6 |   return middle(x)", "      |                ^",
        f"  {path}:4:28, in middle", "    4 | fn middle(x) { return inner(x) + 1 }", "      |                            ^",
        f"  {path}:2:12, in inner", '    2 |   return x * "s"', "      |            ^",
    ]


# (source, the line the error names, its column): the failing operation of a statement that spans lines
@pytest.mark.parametrize("source, line, column", [
    ("x = 1 +\n  2 *\n  nil\n", 2, 5),
    ("let a = [\n  1,\n  -\"s\"]\n", 3, 3),
    ("print(\n  f(\n    [1][\"k\"] + 1))\n", 3, 8),
    ('let s = f"{1 + \"a\" * 2}"\n', 1, 9),
])
def test_runtime_errors_point_at_the_failing_part(source, line, column):
    import tarnwick
    with pytest.raises(tarnwick.ScriptError) as info:
        tarnwick.Runtime().run(source)
    assert (info.value.line, info.value.column) == (line, column)
    # The text names the line the statement starts on, as the one-shot pipeline's does.
    assert info.value.message.startswith("Line 1: ")


@pytest.mark.parametrize("args, needle", [
    (["no/such/file.tw"], "cannot read no/such/file.tw"),
    (["run"], "a script is required"),
    ([], "a script is required"),
    (["-r", "x.tw"], "unrecognized arguments: -r"),
    (["check", "no/such.tw"], "cannot read no/such.tw"),
    (["--no-such-option"], "unrecognized arguments"),
    (["ir", "--bytes", "zz"], "not a list of hexadecimal bytes"),
])
def test_usage_errors_exit_2_with_a_message(args, needle):
    r = tarnwick(*args)
    assert r.returncode == 2
    assert needle in r.stderr
    assert r.stdout == ""


def test_help_lists_every_command():
    r = tarnwick("--help")
    assert r.returncode == 0
    for command in ("run", "tokens", "ast", "bytecode", "ir"):
        assert command in r.stdout


def test_tokens_listing_and_json():
    r = tarnwick("tokens", "-e", "x += 1.0")
    assert r.returncode == 0
    assert r.stdout.split("\n")[:4] == ["1:1\tIdent 'x'", "1:3\tPlusEq '+='", "1:6\tFloat '1'", "1:9\tEof"]
    r = tarnwick("tokens", "--json", "-e", "x += 1.0")
    assert json.loads(r.stdout) == tarnwick_parser.lex("x += 1.0")


def test_ast_is_the_json_of_the_exported_tree():
    r = tarnwick("ast", "-e", "x = 1")
    assert r.returncode == 0
    assert json.loads(r.stdout) == {"type": "Program", "statements": [{
        "type": "ExprStatement",
        "expression": {"type": "BinaryOp", "left": {"type": "Identifier", "name": "x"}, "op": "Assign",
                       "right": {"type": "Literal", "value": 1}}}]}


def test_ast_writes_strict_json_for_an_infinite_literal():
    r = tarnwick("ast", "--indent", "0", "-e", "x = 1e999")
    assert r.returncode == 0
    assert "Infinity" not in r.stdout
    tree = json.loads(r.stdout, parse_constant=lambda c: pytest.fail(f"non-standard JSON constant {c}"))
    assert tree["statements"][0]["expression"]["right"]["value"] == float("inf")


def test_ast_reports_parse_errors_like_run():
    r = tarnwick("ast", "-e", "let = 1")
    assert r.returncode == 2
    assert r.stderr.startswith("<string>:1:5: Parse error: expected a name\n")


LISTED = """fn half(n) { return n / 2 }
let i = 0
while i < 3 { i = i + 1 }
print(half(i), "s", 1.5)
"""


def test_bytecode_lists_every_instruction_with_its_operands():
    r = tarnwick("bytecode", "-e", LISTED)
    assert (r.returncode, r.stderr) == (0, "")
    rows = [line.split() for line in r.stdout.split("\n")]
    assert rows[0] == ["main", "program:", "22", "instructions,", "4", "constants"]
    assert ["0", "2", "Push", "0"] == rows[1] and ["1", "StoreReg", "r0"] == rows[2]
    assert ["L2:"] in rows and ["L13:"] in rows          # the loop's head and its exit
    assert any(row[-3:] == ["JumpIfFalse", "->", "13"] for row in rows)
    assert any(row[-3:] == ["LoadGlobal", "k1", "half"] for row in rows)
    assert any(row[-3:] == ["4:11", "Call", "1"] for row in rows)  # the position of the call's "("
    assert ["k3", "1.5"] in rows
    function = rows.index(["function", "half", "(1", "parameter):", "6", "instructions,", "0", "constants"])
    assert [row[-1] for row in rows[function + 1:function + 5]] == ["r0", "2", "Div", "Return"]

    ir = tarnwick("ir", "-e", LISTED).stdout  # the main program as a run loads it
    assert ir.startswith("main program: ") and "function half (1 parameter):" in ir


def test_bytecode_json_is_the_byte_form_of_compile():
    doc = json.loads(tarnwick("bytecode", "--json", "-e", 'let x = 1\ny = "s"\nz = 1.5').stdout)
    names = ["Push", "?", "?", "Dup", "?", "Pop", "?", "Dup", "?", "Pop", "Halt"]
    assert doc["code"] == names
    assert doc["constants"] == [{"kind": "string", "value": "s"}, {"kind": "string", "value": "y"},
                                {"kind": "float", "value": 1.5}, {"kind": "string", "value": "z"}]


def test_ir_of_raw_bytes_is_emit_ir_output():
    r = tarnwick("ir", "--name", "t", "--bytes", "32 ff")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == tarnwick_vm_engine.emit_ir("t", bytes([0x32, 0xFF]))


def test_ir_of_a_script_says_what_it_left_out():
    r = tarnwick("ir", "--llvm", "-e", "print(1)")  # LoadGlobal, Push, Call, Pop, Halt: only Pop and Halt carry over
    assert r.returncode == 0
    assert "3 of 5 instructions" in r.stderr
    assert r.stdout == tarnwick_vm_engine.emit_ir("trace_0", bytes([0x01, 0xFF]))
    assert tarnwick("ir", "--llvm", "-e", "").stderr == ""


def test_compile_bytes_are_reencoded_for_the_vm_table():
    # Pop Dup Neg Concat Len Add Halt survive under their VM bytes; Push and operand instructions cannot.
    data, dropped = bc.compile_to_vm_bytes([0x02, 0x03, 0x05, 0x06, 0x07, 0x10, 0x01, 0xFE, 0xFF])
    assert data == bytes([0x01, 0x02, 0x04, 0x05, 0x06, 0x10, 0xFF])
    assert dropped == 2
    assert [bc.VM_OPCODES[b] for b in data] == ["Pop", "Dup", "Neg", "Concat", "Len", "Add", "Halt"]


@pytest.mark.parametrize("data, expected", [
    (b"", []),
    (b"\x00\x01\x01\x01\x00", [("nil", None), ("bool", True), ("bool", False)]),
    (b"\x02" + (-2).to_bytes(8, "little", signed=True), [("int", -2)]),
    (b"\x03\x00\x00\x00\x00\x00\x00\xf8\x3f", [("float", 1.5)]),
    (b"\x04\x02\x00\x00\x00\xc3\xa9\x04\x00\x00\x00\x00", [("string", "é"), ("string", "")]),
])
def test_constant_table_decoding(data, expected):
    assert bc.decode_constants(data) == expected


@pytest.mark.parametrize("data", [b"\x02\x01", b"\x04\x05\x00\x00\x00ab", b"\x04\x01", b"\x07"])
def test_malformed_constant_tables_are_refused(data):
    with pytest.raises(bc.MalformedConstants):
        bc.decode_constants(data)


def test_constants_from_compile_decode_to_the_source_values():
    _, constants = tarnwick_parser.compile('a = nil\nb = 4294967296\nc = "x\\ty"')
    assert bc.decode_constants(constants) == [
        ("nil", None), ("string", "a"), ("int", 4294967296), ("string", "b"), ("string", "x\ty"),
        ("string", "c")]


def _start_endless_printer():
    return subprocess.Popen([sys.executable, "-m", "tarnwick", "-e", "while 1 { print(1) }"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


def test_a_closed_pipe_ends_an_endless_script():
    proc = _start_endless_printer()
    try:
        assert proc.stdout.readline() == b"1\n"
        proc.stdout.close()
        assert proc.wait(timeout=20) == -signal.SIGPIPE
    finally:
        proc.kill()
        proc.wait()


def test_interrupt_ends_a_running_script():
    proc = _start_endless_printer()
    try:
        assert proc.stdout.readline() == b"1\n"
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=20) == -signal.SIGINT
    finally:
        proc.kill()
        proc.wait()


@pytest.mark.parametrize("via_stdin", [False, True])
def test_source_bytes_reach_the_engine_untranslated(via_stdin, tmp_path):
    # A CRLF file: the carriage return inside the triple-quoted string must survive reading.
    data = b'let s = """a\r\nb"""\r\nprint(len(s))\r\n'
    path = tmp_path / "crlf.tw"
    path.write_bytes(data)
    args = ["-"] if via_stdin else [str(path)]
    r = subprocess.run([sys.executable, "-m", "tarnwick", *args], input=data if via_stdin else None,
                       capture_output=True, env=ENV, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, b"4\n", b"")


def test_undecodable_source_is_a_usage_error(tmp_path):
    path = tmp_path / "latin1.tw"
    path.write_bytes(b'print("caf\xe9")')
    r = tarnwick(str(path))
    assert r.returncode == 2
    assert "cannot read" in r.stderr and "utf-8" in r.stderr


@pytest.mark.parametrize("command", ["run", "bytecode"])
def test_errors_found_after_parsing_show_the_line_they_name(command):
    r = tarnwick(command, "-e", "let a = 1\nif a { break }")
    assert r.returncode == 2
    lines = r.stderr.rstrip("\n").split("\n")
    assert lines[0].startswith("<string>:2: ") and "break" in lines[0]
    assert lines[1:] == ["  2 | if a { break }"]


# (source, the lines after the source line and its caret)
@pytest.mark.parametrize("source, notes", [
    ("fn f() {\n  if x {\n    print(1)\n}\n", [
        "  note: the '{' opened at 1:8 is not closed", "    1 | fn f() {", "      |        ^"]),
    ("x = [1, 2\nprint(x)", [
        "  note: the '[' opened at 1:5 is not closed", "    1 | x = [1, 2", "      |     ^"]),
    ("x = (1 +\n", ["  note: the '(' opened at 1:5 is not closed", "    1 | x = (1 +", "      |     ^"]),
    ("let = 1", []),
])
def test_parse_errors_are_explained(source, notes):
    r = tarnwick("-e", source)
    assert r.stderr.rstrip("\n").split("\n")[3:] == notes


def test_prompt_keeps_state_shows_values_and_continues_open_input():
    from tarnwick import prompt
    out, err = [], []
    prompt.run_lines(["let x = 2", "x * 21", 'fn f(a) {', "  return a + x", "}", "f(1)", "[1,", " 2]",
                      "print(f(0))", "x +", "", "x + 1", "nope + 1", "x"], out.append, err.append, echo=True)
    assert "".join(out).split("\n") == [
        ">>> let x = 2", ">>> x * 21", "42", ">>> fn f(a) {", "...   return a + x", "... }", ">>> f(1)", "3",
        ">>> [1,", "...  2]", "[array:2]", ">>> print(f(0))", "2", ">>> x +", "... ", "... x + 1", "5",
        ">>> nope + 1", ">>> x", "2", ""]
    assert err[0].startswith("<stdin-8>:1:6: Runtime error: Type error: cannot apply add to nil and int")


def test_prompt_on_a_terminal():
    import pty
    import select
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.update(ENV, HOME="/nonexistent")
        os.execv(sys.executable, [sys.executable, "-m", "tarnwick"])
    seen = b""

    def read_until(marker):
        nonlocal seen
        while marker not in seen:
            ready, _, _ = select.select([fd], [], [], 20)
            if not ready:
                break
            try:
                chunk = os.read(fd, 1024)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        return marker in seen

    try:
        assert read_until(b">>> ")
        os.write(fd, b"y = [1,\n2]\nlen(y)\n")
        assert read_until(b"\n2\r\n")
        assert b"... " in seen
        os.write(fd, b"\x04")
    finally:
        if os.waitpid(pid, os.WNOHANG) == (0, 0):
            import time
            time.sleep(1)
            if os.waitpid(pid, os.WNOHANG) == (0, 0):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        os.close(fd)
