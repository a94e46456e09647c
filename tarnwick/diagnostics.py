"""Turns the engine's error texts into messages that point at the source.

The engine reports syntax errors as SyntaxError texts ("Lex error: Lexer error at L:C: ...",
"Parse error: ParseError at L:C: ...") and runtime errors as returned text ("Runtime error: Line N: ...").
Lines and columns are 1-based; columns count code points, so a Python `str` index matches them directly.
"""
from __future__ import annotations

import re
from typing import Callable, Optional, Tuple

_LEX_AT = re.compile(r"Lexer error at (\d+):(\d+): ")
_BLOCK_AT = re.compile(r"Unterminated block comment at (\d+):(\d+)$")
_PARSE_AT = re.compile(r"ParseError at (\d+):(\d+): ")
# Errors found after parsing (a break outside any loop) name only a line.
_LINE_ONLY = re.compile(r"^(?:[A-Z][a-z]+ error: )?Line (\d+): ")
_RUNTIME = re.compile(r"^Runtime error: (?:Line (\d+): )?")
# Lexer messages that carry no position of their own.
_UNPLACED_LEX = ("Unknown escape sequence: ", "Unexpected character: ")

LEX_PREFIX = "Lex error: "
PARSE_PREFIX = "Parse error: "


def normalise_syntax_message(message: str) -> str:
    """Gives every syntax error the prefixed form of compile_and_run.

    `lex` and `compile` raise the bare lexer or parser text; `parse_tokens` and `compile_and_run` add
    "Lex error: " or "Parse error: ". The command line shows one form whatever it called.
    """
    if message.startswith((LEX_PREFIX, PARSE_PREFIX)):
        return message
    if message.startswith("ParseError at "):
        return PARSE_PREFIX + message
    if message.startswith(("Lexer error at ", "Unterminated block comment at ") + _UNPLACED_LEX):
        return LEX_PREFIX + message
    return message


def line_column(source: str, index: int) -> Tuple[int, int]:
    """The 1-based line and column of the code point at `index`, counting only LF as a line break."""
    line = source.count("\n", 0, index) + 1
    start = source.rfind("\n", 0, index) + 1
    return line, index - start + 1


def _locate_unplaced(source: str, bare: str, lex: Callable[[str], object]) -> Optional[Tuple[int, int]]:
    """Finds where a position-less lexer error happened.

    The lexer stops at its first error, so the shortest prefix of the source that fails with the same
    text ends at the offending code point; every longer prefix fails the same way.
    """
    def same_error(k: int) -> bool:
        try:
            lex(source[:k])
        except SyntaxError as e:
            return str(e) == bare
        return False

    lo, hi = 1, len(source)
    if hi == 0 or not same_error(hi):
        return None
    while lo < hi:
        mid = (lo + hi) // 2
        if same_error(mid):
            hi = mid
        else:
            lo = mid + 1
    return line_column(source, lo - 1)


def syntax_position(message: str, source: str,
                    lex: Optional[Callable[[str], object]] = None) -> Optional[Tuple[int, Optional[int]]]:
    """The (line, column) a syntax error names (column None when it names only a line), or None when it
    names no position (0:0 or none at all)."""
    bare = message
    for prefix in (LEX_PREFIX, PARSE_PREFIX):
        if bare.startswith(prefix):
            bare = bare[len(prefix):]
    m = _PARSE_AT.match(bare) or _LEX_AT.match(bare) or _BLOCK_AT.match(bare)
    if m:
        line, column = int(m.group(1)), int(m.group(2))
        return (line, column) if line > 0 else None
    if lex is not None and bare.startswith(_UNPLACED_LEX):
        return _locate_unplaced(source, bare, lex)
    m = _LINE_ONLY.match(message)
    if m and int(m.group(1)) > 0:
        return int(m.group(1)), None
    return None


def runtime_line(message: str) -> Optional[int]:
    """The source line named by a "Runtime error: Line N: ..." text, or None."""
    m = _RUNTIME.match(message)
    if m and m.group(1):
        return int(m.group(1))
    return None


def is_runtime_error(result: str) -> bool:
    # A successful string result is displayed in double quotes, so it can never start like this.
    return result.startswith("Runtime error: ")


def _source_line(source: str, line: int) -> Optional[str]:
    lines = source.split("\n")
    if line < 1 or line > len(lines):
        return None
    text = lines[line - 1]
    return text[:-1] if text.endswith("\r") else text


def _gutter_width(line: int) -> int:
    return max(len(str(line)), 1)


def render(name: str, message: str, source: str, line: Optional[int], column: Optional[int] = None) -> str:
    """The full report: the message, then the source line it names, then a caret under the column."""
    where = name
    if line is not None:
        where += f":{line}"
        if column is not None:
            where += f":{column}"
    out = [f"{where}: {message}"]
    text = _source_line(source, line) if line is not None else None
    if text is not None:
        width = _gutter_width(line)
        out.append(f"  {line:>{width}} | {text}")
        if column is not None:
            # Tabs are copied so the caret lines up whatever the terminal's tab width.
            pad = "".join("\t" if c == "\t" else " " for c in text[:max(column - 1, 0)])
            pad += " " * max(column - 1 - len(text), 0)
            out.append(f"  {' ' * width} | {pad}^")
    return "\n".join(out)


def render_syntax_error(name: str, error: SyntaxError, source: str,
                        lex: Optional[Callable[[str], object]] = None) -> str:
    message = normalise_syntax_message(getattr(error, "msg", None) or str(error))
    pos = syntax_position(message, source, lex)
    if pos is None and getattr(error, "lineno", None):
        # Errors found after parsing (such as a misplaced break) may carry only the exception's position.
        offset = getattr(error, "offset", None)
        pos = (error.lineno, offset if offset and offset > 0 else None)
    if pos is None:
        return render(name, message, source, None)
    return render(name, message, source, pos[0], pos[1])


def render_runtime_error(name: str, message: str, source: str) -> str:
    return render(name, message, source, runtime_line(message))


def render_script_error(name: str, error, source: str) -> str:
    """A tarnwick.ScriptError as the command line shows it: the message with the line it names, then the
    script's call stack, innermost last, with each frame's source line when it is in `source`."""
    out = [render_runtime_error(name, "Runtime error: " + error.message, source)]
    stack = getattr(error, "stack", [])
    if len(stack) > 1:
        out.append("Script traceback (most recent call last):")
        for entry in stack:
            if entry.function == "...":
                out.append(f"  [{entry.line} more calls]")
                continue
            out.append(f"  {entry.file}:{entry.line or '?'}, in {entry.function}")
            text = _source_line(source, entry.line) if entry.file == name and entry.line else None
            if text is not None:
                out.append(f"    {text.strip()}")
    return "\n".join(out)
