"""What a newcomer meets: errors placed and put in their words, hints for the slips from other languages,
folded runaway recursions, the checker's traps, the prompt and the command line's edges, the typed API."""
import os
import subprocess
import sys

import pytest

import tarnwick
import tarnwick_parser

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.dirname(os.path.realpath(tarnwick_parser.__file__))
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, ROOT]))


def cli(*args, stdin=None, timeout=60, **kwargs):
    return subprocess.run([sys.executable, "-m", "tarnwick", *args], input=stdin, capture_output=True,
                          text=True, env=ENV, timeout=timeout, **kwargs)


def syntax_error(source, name="t.tw"):
    with pytest.raises(tarnwick.ScriptSyntaxError) as info:
        tarnwick.Runtime().run(source, name=name)
    return info.value


# --- errors the user can place and read -----------------------------------------------------------------

# (source, line, column, words): errors inside an f-string's braces are placed in the file.
FSTRING_ERRORS = [
    ('let a = 1\nlet b = 2\nprint(f"ratio: {10 / } ok")', 3, 22, "Parse error: in an f-string: unexpected end of input"),
    ('print(f"{1 +}")', 1, 13, "Parse error: in an f-string: unexpected end of input"),
    # The first f-string is fine; escapes and doubled braces before the bad one shift nothing.
    ('x = f"{1}"\ny = f"a\\"{{b}} {x} {x *} z"', 2, 24, "Parse error: in an f-string: unexpected end of input"),
    ('print(f"{(a}")', 1, 12, "Parse error: in an f-string: expected ')', found the end of the input"),
    ("print(f'{ `x }')", 1, 11, "Parse error: in an f-string: Unexpected character: '`'"),
]


@pytest.mark.parametrize("source, line, column, words", FSTRING_ERRORS)
def test_f_string_errors_are_placed(source, line, column, words):
    # The one-shot module's text stays as it is: no position.
    with pytest.raises(SyntaxError) as one_shot:
        tarnwick_parser.compile_and_run(source)
    assert "ParseError at 0:0: In f-string: " in one_shot.value.msg
    e = syntax_error(source)
    assert e.msg == one_shot.value.msg
    assert (e.lineno, e.offset, e.text) == (line, column, source.split("\n")[line - 1])
    if words is not None:
        assert e.description == words
    r = cli("-e", source)
    assert r.returncode == 2
    lines = r.stderr.split("\n")
    assert lines[0].startswith(f"<string>:{line}:{column}: Parse error: in an f-string: ")
    assert lines[2] == "    | " + " " * (column - 1 + len(str(line)) - 1) + "^"


# (source, header words, hint fragment)
SLIPS = [
    ("let i = 0\ni += 1", "Parse error: unexpected '+='", "no compound assignments: write i = i + 1"),
    ("p.n *= 2 + k", "Parse error: unexpected '*='", "write p.n = p.n * 2 + k"),
    ("let x = 0\nx++", "Parse error: unexpected '++'", "there is no '++': write x = x + 1"),
    ("let x = 1 // c", "Parse error: unexpected '//'", "comments start with '#'"),
    ("print(int(2.5))", "Parse error: unexpected 'int'", "'int' is a type name, not a function"),
    ("let f = float(1)", "Parse error: unexpected 'float'", "'float' is a type name"),
    ('let o = {"k": 1}', "Parse error: expected a name", "object keys are names"),
    ("let o = {a: 1, 2: 3}", "Parse error: expected a name", "object keys are names"),
    ("let v = null", "Parse error: unexpected 'null'", "the empty value is nil"),
    ("let = 1", "Parse error: expected a name", None),
    ("let x = (1", "Parse error: expected ')', found the end of the input", None),
]


@pytest.mark.parametrize("source, words, hint", SLIPS)
def test_slips_name_tokens_as_written_with_a_hint(source, words, hint):
    e = syntax_error(source)
    assert e.description.startswith(words)
    assert "ParseError at" not in e.description and "Eq" not in e.description
    assert (e.hint is None) if hint is None else (hint in e.hint)
    assert str(e).startswith(e.description + " (t.tw, line ")
    r = cli("-e", source)
    assert r.returncode == 2
    first = r.stderr.split("\n")[0]
    assert first.split(": ", 1)[1].startswith(words)
    hints = [line for line in r.stderr.split("\n") if line.startswith("  hint: ")]
    assert hints == ([] if hint is None else [f"  hint: {e.hint}"])


def test_the_engine_text_stays_in_msg_and_the_words_go_to_the_traceback_notes():
    e = syntax_error("i = 0\ni += 1")
    assert e.msg == "Parse error: ParseError at 2:3: Unexpected token: PlusEq"
    assert e.args[0] == e.msg
    r = subprocess.run([sys.executable, "-c", "import tarnwick; tarnwick.Runtime().run('i = 0\\ni += 1')"],
                       capture_output=True, text=True, env=ENV, timeout=60)
    tail = r.stderr.rstrip("\n").split("\n")[-6:]
    assert "    i += 1" in tail and "      ^" in tail
    if sys.version_info >= (3, 11):
        assert e.__notes__ == ["Parse error: unexpected '+='",
                               "hint: there are no compound assignments: write i = i + 1"]


@pytest.mark.parametrize("source, header", [
    ("fn f(n) {\n  return 1 / n\n}\nf(0)", "<string>:2:12: Runtime error: Division by zero"),
    ("let a = 1\nif a { break }", "<string>:2: Compile error: "),
])
def test_headers_do_not_repeat_the_position(source, header):
    r = cli("-e", source)
    assert r.stderr.startswith(header)
    assert "Line " not in r.stderr.split("\n")[0]


def test_a_runaway_recursion_is_folded(tmp_path):
    path = tmp_path / "deep.tw"
    path.write_text("fn deep(n) {\n  return deep(n + 1) + 1\n}\ndeep(0)\n")
    r = subprocess.run([sys.executable, "-m", "tarnwick", str(path)], capture_output=True, text=True, env=ENV,
                       timeout=120)
    lines = r.stderr.rstrip("\n").split("\n")
    assert r.returncode == 1 and lines[0] == f"{path}:2:14: Runtime error: Stack overflow"
    assert len(lines) < 20
    assert sum(line == f"  {path}:2:14, in deep" for line in lines) == 3
    folded = lines[-1]
    assert folded.startswith("  ... ") and folded.endswith(" more calls of deep")
    count = int(folded.split()[1])
    assert count > 1000  # the frames the engine left out of the stack are counted too


def _stack(*frames):
    return [tarnwick.StackEntry("s.tw", line, fn, 1) for fn, line in frames]


@pytest.mark.parametrize("frames, shown", [
    # a recursion through two functions, with the engine's gap in the middle
    ([("<main>", 9)] + [("a", 1), ("b", 2)] * 4 + [("...", 51)] + [("b", 2), ("a", 1)] * 3 + [("b", 5)],
     ["<main>", "a", "b", "... 63 more calls of a, b", "b"]),
    # a short recursion stays as it is
    ([("<main>", 9), ("f", 3), ("f", 3), ("f", 3), ("f", 4)], ["<main>", "f", "f", "f", "f"]),
    ([("<main>", 9)] + [("f", 3)] * 7 + [("g", 1)], ["<main>", "f", "f", "f", "... 4 more calls of f", "g"]),
    # a gap the cycle does not cross is shown as the engine gave it
    ([("<main>", 9), ("f", 3), ("...", 10), ("g", 1)], ["<main>", "f", "... 10 more calls", "g"]),
])
def test_repeated_frames_fold_into_a_count(frames, shown):
    from tarnwick import diagnostics as diag
    e = tarnwick.ScriptError("Line 1: Stack overflow", 1, _stack(*frames), "s.tw", 1)
    text = diag.render_script_error("other.tw", e, "")
    lines = text.split("\n")
    got = [line.strip().split(", in ")[-1] for line in lines[lines.index("Script traceback (most recent call last):") + 1:]]
    assert got == shown


# --- the checker's traps ---------------------------------------------------------------------------------

CLASSES = ('class Animal {\n  fn describe(self) { return "animal" }\n}\n'
           'class Dog extends Animal {\n  fn bark(self) { return 1 }\n}\n')

# (source, [(line, column, start of the message)])
TRAPS = [
    ("let total = 0\nfn add(x) { total = total + x }\nadd(2)\n",
     [(2, 13, "'total' is declared by a top-level let, which a function cannot see: this assigns a separate")]),
    ("let n = 0\nbump = fn(x) n = x\n", [(2, 14, "'n' is declared by a top-level let, which a lambda")]),
    ('big = 5\nlabel = big > 3 ? "big" : "small"\n',
     [(2, 7, "'=' binds before '? :': 'label' gets the condition")]),
    ("o = {k: 0}\nc = 1\no.k = c ? 1 : 2\n", [(3, 5, "'=' binds before '? :': 'o.k' gets the condition, and")]),
    (CLASSES + "fn f(d) { return Animal.describe(d) }\n", [(7, 24, "'Animal.describe' reads nil")]),
    (CLASSES + "x = Dog.describe\n", [(7, 8, "'Dog.describe' reads nil: a class's members are not its methods, "
                                             "so this cannot call Animal's method")]),
    ("a = [1, 2, 3, 4]\nlet mid = len(a) / 2\nfor i in range(0, mid) { }\n",
     [(3, 19, "'mid' holds a '/' result (line 2), which is always a float")]),
    ("h = 7 / 2\nlet top = h + 1\nprint(range(top, 9))\n", [(3, 13, "'top' holds a '/' result (line 1)")]),
    ("for i in range(4) { }\n", [(1, 15, "range() with one argument counts from it up to 0")]),
    # Meant as they are: no finding.
    ("let total = 0\nfn add(x) { let total = x\n  total = total + 1\n  return total }\n", []),
    ("total = 0\nfn add(x) { total = total + x }\n", []),
    ('big = 5\nlabel = (big > 3 ? "big" : "small")\n', []),
    (CLASSES + "print(Animal.__name__, Dog.__parent__)\nd = {__class__: \"Dog\"}\nprint(d.describe())\n", []),
    ("let mid = 9 / 2\nmid = 4\nfor i in range(0, mid) { }\nfn g(mid) { return range(0, mid) }\n", []),
    ("let mid = 9 / 2\nfor mid in [1] { }\nprint(range(0, mid))\n", []),
    ("print(range(-3))\nfn f(n) { return range(0, n) }\n", []),
    ("fn range(n) { return [n] }\nrange(3)\n", []),
]


@pytest.mark.parametrize("source, expected", TRAPS)
def test_checker_finds_the_traps(source, expected):
    from tarnwick import checker
    found = checker.check(source)
    assert [(f.line, f.column) for f in found] == [(line, column) for line, column, _ in expected]
    for f, (_, _, start) in zip(found, expected):
        assert f.message.startswith(start), f.message


# --- the prompt and the command line -----------------------------------------------------------------------

def prompt_session(lines):
    from tarnwick import prompt
    out, err = [], []
    session = prompt.run_lines(lines, out.append, err.append, echo=True)
    return "".join(out).split("\n"), "".join(err), session


def test_prompt_ends_an_unterminated_string_with_its_error_and_carries_on():
    out, err, session = prompt_session(['print("hello', 'print("ok")', "s = r'raw", 'f"{1}', "1 + 1"])
    assert out == ['>>> print("hello', '>>> print("ok")', '"ok"', ">>> s = r'raw", '>>> f"{1}', ">>> 1 + 1", "2", ""]
    assert err.split("\n")[0] == "<stdin-1>:1:13: Lex error: Unterminated string literal"
    assert "Unterminated raw string literal" in err and "Unterminated f-string" in err
    assert not session.finished


def test_prompt_continues_what_may_span_lines():
    out, err, _ = prompt_session(['x = """a', 'b"""', "/* note", "*/ x"])
    assert out == ['>>> x = """a', '... b"""', ">>> /* note", "... */ x", '"a', 'b"', ""]
    assert err == ""


@pytest.mark.parametrize("word", ["exit", "quit", "exit()", "quit()", "  quit  "])
def test_prompt_leaves_on_exit_and_quit(word):
    out, _, session = prompt_session(["1", word, "print(2)"])
    assert session.finished
    assert out == [">>> 1", "1", f">>> {word}", ""]


def test_prompt_help_and_words_the_script_owns():
    out, _, session = prompt_session(["help", "exit = 4", "exit", "fn help() { return 7 }", "help()"])
    from tarnwick import prompt
    assert "\n".join(out).startswith(">>> help\n" + prompt.HELP)
    assert out[-6:] == [">>> exit", "4", ">>> fn help() { return 7 }", ">>> help()", "7", ""]
    assert not session.finished


def test_prompt_on_a_terminal_leaves_on_exit():
    import pty
    import select
    import time
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.update(ENV, HOME="/nonexistent")
        os.execv(sys.executable, [sys.executable, "-m", "tarnwick"])
    seen = b""
    deadline = time.monotonic() + 30
    sent = False
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        if not sent and b">>> " in seen:
            os.write(fd, b'print("hello\nexit\n')
            sent = True
    # A prompt that does not leave is killed rather than waited for.
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    if not done:
        import signal
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(fd)
    assert done, "the prompt did not leave on exit"
    assert b"Type help for help" in seen
    assert b"Unterminated string literal" in seen
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.parametrize("args", [["check", "FILE"], ["--help"], ["--version"], ["check", "--help"],
                                  ["tokens", "--help"]])
def test_a_full_output_device_is_one_line_and_status_1(args, tmp_path):
    path = tmp_path / "t.tw"
    path.write_text("pirnt(1)\n")
    with open("/dev/full", "w") as full:
        r = subprocess.run([sys.executable, "-m", "tarnwick", *[str(path) if a == "FILE" else a for a in args]],
                           stdout=full, stderr=subprocess.PIPE, text=True, env=ENV, timeout=60)
    assert (r.returncode, r.stderr) == (1, "tarnwick: error: cannot write to standard output: No space left on device\n")


@pytest.mark.parametrize("args, printed", [
    (["-e", "print(str(args))", "--flag", "x"], '"[--flag, x]"\n'),
    (["run", "-e", "print(str(args))", "-v"], '"[-v]"\n'),
    (["FILE", "--flag", "x"], '"[--flag, x]"\n'),
    (["-e", "print(str(args))", "--", "--flag"], '"[--flag]"\n'),
])
def test_options_after_the_script_go_to_it_however_it_is_named(args, printed, tmp_path):
    path = tmp_path / "a.tw"
    path.write_text("print(str(args))\n")
    r = cli(*[str(path) if a == "FILE" else a for a in args])
    assert (r.returncode, r.stdout, r.stderr) == (0, printed, "")


@pytest.mark.parametrize("word, hint", [("ckeck", "did you mean the command 'check'?"),
                                        ("tokns", "did you mean the command 'tokens'?"),
                                        ("banana", None), ("chek.tw", None)])
def test_a_misspelt_command_is_suggested(word, hint, tmp_path):
    r = cli(word, "x.tw", cwd=tmp_path)
    assert r.returncode == 2
    assert r.stderr.startswith(f"tarnwick run: error: cannot read {word}: ")
    assert (hint in r.stderr) if hint else ("did you mean" not in r.stderr)


# --- the Python API as a typed library ---------------------------------------------------------------------

def _mypy(tmp_path, code):
    pytest.importorskip("mypy", reason="mypy is not installed (Debian: python3-mypy)")
    host = tmp_path / "host.py"
    host.write_text(code)
    # From the checkout's root, so pyproject.toml's settings (the extension modules' stubs) apply.
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict", str(host)],
                          capture_output=True, text=True, cwd=ROOT, timeout=300)


def test_mypy_sees_the_api_and_rejects_misuse(tmp_path):
    r = _mypy(tmp_path, 'import tarnwick\nimport tarnwick_parser\nimport tarnwick_vm_engine\n'
                        'rt = tarnwick.Runtime(max_memory="lots")\nrt.cal("x")\ntarnwick.Nope\n'
                        'reveal_type(rt)\nreveal_type(tarnwick_parser.compile_and_run("1"))\n'
                        'reveal_type(tarnwick.ScriptError("m").stack)\n')
    out = r.stdout
    assert 'Argument "max_memory" to "Runtime" has incompatible type "str"' in out
    assert '"Runtime" has no attribute "cal"' in out
    assert 'Module has no attribute "Nope"' in out
    assert 'Revealed type is "tarnwick.runtime.Runtime"' in out
    assert 'Revealed type is "builtins.str"' in out
    assert ('Revealed type is "builtins.list[Tuple[builtins.str, builtins.int, builtins.str, builtins.int, '
            'fallback=tarnwick.errors.StackEntry]]"') in out
    assert "tarnwick/" not in out  # the package itself checks clean


def test_mypy_accepts_a_correct_host(tmp_path):
    r = _mypy(tmp_path, 'import tarnwick\n'
                        'with tarnwick.Runtime(max_memory=1 << 20, timeout=2.0) as rt:\n'
                        '    rt.run("fn f(x) { return x * 2 }", name="f.tw")\n'
                        '    rt.globals["k"] = 3\n'
                        '    try:\n'
                        '        rt.call("f", "s")\n'
                        '    except tarnwick.ScriptSyntaxError as s:\n'
                        '        print(s.lineno, s.hint, s.description)\n'
                        '    except tarnwick.ScriptError as e:\n'
                        '        print(e.line, e.column, e.stack[0].function, tarnwick.render_error(e, ""))\n')
    assert (r.returncode, r.stdout) == (0, "Success: no issues found in 1 source file\n")


def test_the_package_lists_its_names():
    names = dir(tarnwick)
    for name in ("Runtime", "Globals", "ScriptError", "ScriptSyntaxError", "StackEntry", "render_error",
                 "__version__"):
        assert name in names
    assert set(tarnwick.__all__) <= set(names)
    assert all(getattr(tarnwick, name) is not None for name in tarnwick.__all__)


def test_an_unbuilt_checkout_says_how_to_build(tmp_path):
    env = dict(os.environ, PYTHONPATH=ROOT)
    probe = subprocess.run([sys.executable, "-c", "import tarnwick_parser"], env=env, capture_output=True,
                           cwd=tmp_path)
    if probe.returncode == 0:
        pytest.skip("the engine is installed for this interpreter")
    r = subprocess.run([sys.executable, "-c", "import tarnwick, tarnwick.bytecode; tarnwick.Runtime()"],
                       env=env, capture_output=True, text=True, cwd=tmp_path, timeout=60)
    last = r.stderr.rstrip("\n").split("\n")[-1]
    assert last.startswith("ModuleNotFoundError: the Tarnwick engine (module tarnwick_parser) is not importable")
    assert "scripts/build.sh" in last and "pip" in last


def test_str_of_a_script_error_names_the_place():
    rt = tarnwick.Runtime()
    rt.run("fn f(x) {\n  return x / 0\n}", name="calc.tw")
    with pytest.raises(tarnwick.ScriptError) as info:
        rt.call("f", 1)
    e = info.value
    assert str(e).split("\n")[0] == "Line 2: Division by zero (calc.tw, line 2, column 12)"
    assert tarnwick.render_error(e, "fn f(x) {\n  return x / 0\n}").split("\n")[:3] == [
        "calc.tw:2:12: Runtime error: Division by zero", "  2 |   return x / 0", "    |            ^"]
    assert str(tarnwick.ScriptError("plain")) == "plain"


def test_render_error_shows_a_syntax_error_like_the_command_line():
    source = "fn f() {\n  total += 1\n}"
    e = syntax_error(source, name="s.tw")
    assert tarnwick.render_error(e, source).split("\n") == [
        "s.tw:2:9: Parse error: unexpected '+='", "  2 |   total += 1", "    |         ^",
        "  hint: there are no compound assignments: write total = total + 1"]


# --- what the docs now say about surprises -------------------------------------------------------------------

def test_documented_conversions_of_other_python_values():
    import decimal
    import fractions
    rt = tarnwick.Runtime()
    for value, expected in [(2 ** 70, float(2 ** 70)), (-2 ** 64, float(-2 ** 64)), (decimal.Decimal("1.5"), 1.5),
                            (fractions.Fraction(1, 4), 0.25), ({1, 2}, "{1, 2}"), (b"ab", [97, 98])]:
        rt.globals["v"] = value
        got = rt.globals["v"]
        assert (type(got), got) == (type(expected), expected)


def test_a_nested_change_through_globals_needs_storing_back():
    rt = tarnwick.Runtime()
    rt.run("settings = {debug: 0}")
    rt.globals["settings"]["debug"] = 1
    assert rt.globals["settings"] == {"debug": 0}


@pytest.mark.parametrize("how", ["native", "input"])
def test_timeout_counts_natives_and_input_and_ends_the_run_when_they_return(how):
    import time
    printed = []

    def slow(*_):
        time.sleep(0.4)
        return "x"
    rt = tarnwick.Runtime(timeout=0.1, output=printed.append, natives={"slow": slow},
                          input=slow if how == "input" else None)
    with pytest.raises(tarnwick.TimeLimitExceeded):
        rt.run(("slow()" if how == "native" else 'input("?")') + '\nprint("after")')
    assert "".join(printed) in ("", '"?"')


def test_recursion_depth_is_the_documented_one():
    rt = tarnwick.Runtime()
    with pytest.raises(tarnwick.ScriptError) as info:
        rt.run("fn f(n) {\n  depth = n\n  return f(n + 1)\n}\nf(1)")
    assert not isinstance(info.value, tarnwick.LimitExceeded)
    assert info.value.message == "Line 3: Stack overflow"
    assert rt.globals["depth"] == 1048576
    with open(os.path.join(ROOT, "docs", "language.md"), encoding="utf-8") as f:
        assert "Calls nest up to 1,048,576 deep" in f.read()


def test_the_parent_method_idiom_of_the_guide_is_clean_and_the_trap_is_found():
    from tarnwick import checker
    guide = ('class A {\n  fn m(self) { return 1 }\n}\nclass B extends A {\n  fn m(self) {\n    let base = self\n'
             '    base.__class__ = "A"\n    return base.m() + 1\n  }\n}\nprint({__class__: "B"}.m())\n')
    assert checker.check(guide) == []
    printed = []
    tarnwick.Runtime(output=printed.append).run(guide)
    assert printed == ["2\n"]
