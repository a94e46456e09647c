"""The interactive prompt: one `tarnwick.Runtime` kept from line to line.

Each complete input runs as the runtime's next main program. Top-level `let`s would end with that
program, so at the prompt they declare globals instead (the `let` is dropped before the run); an input
that is a single expression shows its value, which is also kept as the global `_`. Input that stops
inside a bracket, a triple-quoted string or a block comment, or ends in the middle of a statement,
continues on the next line (prompt "... "); any other string cannot span lines, so one left open ends
the input with its error. `help`, `exit` and `quit` do what they do at Python's prompt.
"""
from __future__ import annotations

import sys
from typing import Callable, Iterable, Optional

import tarnwick_parser

PS1 = ">>> "
PS2 = "... "

_SPANNING = ("Unterminated triple-quoted string", "Unterminated escape in triple-quoted string")
_LEAVE = {"exit", "quit", "exit()", "quit()"}
_HELP = {"help", "help()"}
HELP = """Type statements or an expression; an expression's value is shown and kept as the global _.
Input that leaves a bracket, a block, a triple-quoted string or a comment open continues on the next
line ("... "). Top-level lets become globals here, so they last from line to line.
Ctrl-D, exit or quit leaves; Ctrl-C drops the current input.
The language: docs/language.md (print shows strings in double quotes, there is no +=, # starts a comment).
"""

_OPEN = {"LeftParen", "LeftBracket", "LeftBrace"}
_CLOSE = {"RightParen", "RightBracket", "RightBrace"}


def _incomplete(source: str) -> bool:
    """Whether `source` ends in the middle of something that the next line may finish."""
    try:
        tokens = tarnwick_parser.lex(source)
    except SyntaxError as e:
        # Only these may span lines; any other string that is still open at the end of a line stays
        # unterminated whatever comes next, so the input ends there with its error.
        text = getattr(e, "msg", None) or str(e)
        return text.endswith(_SPANNING) or text.startswith("Unterminated block comment")
    depth = 0
    for t in tokens:
        if t["token_type"] in _OPEN:
            depth += 1
        elif t["token_type"] in _CLOSE:
            depth -= 1
    if depth > 0:
        return True
    try:
        tarnwick_parser.parse_tokens(tokens)
    except SyntaxError as e:
        return "found Eof" in str(e) or "Unexpected token: Eof" in str(e)
    return False


def _as_globals(source: str) -> str:
    """`source` with each top-level `let`/`const` keyword removed, so its variables outlive the input."""
    tokens = tarnwick_parser.lex(source)
    depth = 0
    cut = []
    for t in tokens:
        kind = t["token_type"]
        if kind in _OPEN:
            depth += 1
        elif kind in _CLOSE:
            depth -= 1
        elif kind in ("Let", "Const") and depth == 0:
            cut.append((t["line"], t["column"], 3 if kind == "Let" else 5))
    if not cut:
        return source
    lines = source.split("\n")
    for line, column, width in reversed(cut):
        text = lines[line - 1]
        lines[line - 1] = text[:column - 1] + " " * width + text[column - 1 + width:]
    return "\n".join(lines)


def _single_expression(source: str) -> bool:
    tree = tarnwick_parser.parse_tokens(tarnwick_parser.lex(source))
    stmts = tree["statements"]
    if len(stmts) != 1 or stmts[0]["type"] != "ExprStatement":
        return False
    e = stmts[0]["expression"]
    return not (e["type"] == "BinaryOp" and e["op"] == "Assign")


def _moved_up(e):
    """The error `e` with every line number one less (the input ran below an added first line)."""
    import re
    from tarnwick.errors import StackEntry
    up = (lambda n: n - 1 if n > 1 else n)
    message = re.sub(r"^Line (\d+): ", lambda m: f"Line {up(int(m.group(1)))}: ", e.message)
    moved = type(e)(message, up(e.line), [StackEntry(s.file, up(s.line) if s.function != "..." else s.line,
                                                     s.function, s.column) for s in e.stack],
                    e.filename, e.column)
    return moved


class Session:
    """Feeds lines to a runtime. `feed` returns the prompt for the next line."""

    def __init__(self, write: Callable[[str], object], error: Callable[[str], object], runtime=None):
        import tarnwick
        self.rt = runtime if runtime is not None else tarnwick.Runtime()
        self.write = write
        self.error = error
        self.pending: list = []
        self.count = 0
        self.finished = False

    def _command(self, word: str) -> bool:
        """`exit`, `quit` and `help` on a line of their own, unless the script made them globals."""
        if word not in _LEAVE and word not in _HELP:
            return False
        name = word.rstrip("()")
        if name in self.rt.globals:
            return False
        if word in _LEAVE:
            self.finished = True
        else:
            self.write(HELP)
        return True

    def feed(self, line: str) -> str:
        """Takes one line; sets `finished` when the user asked to leave."""
        self.pending.append(line)
        source = "\n".join(self.pending)
        if not source.strip():
            self.pending.clear()
            return PS1
        if len(self.pending) == 1 and self._command(source.strip()):
            self.pending.clear()
            return PS1
        if _incomplete(source):
            return PS2
        self.pending.clear()
        self.count += 1
        self.run(source, f"<stdin-{self.count}>")
        return PS1

    def run(self, source: str, name: str) -> None:
        import tarnwick
        from tarnwick import diagnostics as diag
        from tarnwick.cli import _display
        try:
            show = _single_expression(source)
            code = _as_globals(source)
            if show:
                # On a line of its own, the assignment that keeps the value leaves the columns alone.
                code = "_ = (\n" + code.rstrip().rstrip(";") + "\n)"
            self.rt.run(code, name=name)
        except SyntaxError as e:
            self.error(diag.render_syntax_error(name, e, source, tarnwick_parser.lex) + "\n")
            return
        except tarnwick.ScriptError as e:
            self.error(diag.render_script_error(name, _moved_up(e) if show else e, source) + "\n")
            return
        if show:
            value = self.rt.globals.get("_")  # a nil value reads as absent
            if value is not None:
                self.write(_display(value) + "\n")


def run_lines(lines: Iterable[str], write: Callable[[str], object], error: Callable[[str], object],
              echo: bool = False) -> Session:
    """Feeds `lines` to a new session, writing the prompts (and with `echo`, the lines), the values and what
    the script prints to `write`."""
    import tarnwick
    session = Session(write, error, runtime=tarnwick.Runtime(output=write))
    prompt = PS1
    for line in lines:
        write(prompt + (line + "\n" if echo else ""))
        prompt = session.feed(line)
        if session.finished:
            break
    return session


def interact(banner: Optional[str] = None) -> int:
    """The prompt on the terminal: reads until end of input (Ctrl-D); Ctrl-C drops the current input."""
    import os
    from tarnwick import __version__
    try:
        import readline
        history = os.path.join(os.path.expanduser("~"), ".tarnwick_history")
        try:
            readline.read_history_file(history)
        except OSError:
            pass
        import atexit
        atexit.register(lambda: _save_history(readline, history))
    except ImportError:
        pass

    def write(text: str) -> None:
        sys.stdout.write(text)
        sys.stdout.flush()

    def error(text: str) -> None:
        sys.stderr.write(text)
        sys.stderr.flush()

    print(banner or f"Tarnwick {__version__}. Type help for help; Ctrl-D or exit to leave.", file=sys.stderr)
    session = Session(write, error)
    prompt = PS1
    while True:
        try:
            line = input(prompt)
        except EOFError:
            write("\n")
            return 0
        except KeyboardInterrupt:
            write("\nKeyboardInterrupt\n")
            session.pending.clear()
            prompt = PS1
            continue
        try:
            prompt = session.feed(line)
        except KeyboardInterrupt:
            write("KeyboardInterrupt\n")
            prompt = PS1
        if session.finished:
            return 0


def _save_history(readline, path: str) -> None:
    try:
        readline.set_history_length(1000)
        readline.write_history_file(path)
    except OSError:
        pass
