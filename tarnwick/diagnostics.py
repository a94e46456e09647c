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
            return (getattr(e, "msg", None) or str(e)) == bare
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


def quote_lines(source: str, line: int, column: Optional[int], indent: str = "  ") -> list:
    """The source line `line` with a gutter, and a caret line under `column` when it is known."""
    text = _source_line(source, line)
    if text is None:
        return []
    width = _gutter_width(line)
    out = [f"{indent}{line:>{width}} | {text}"]
    if column:
        # Tabs are copied so the caret lines up whatever the terminal's tab width.
        pad = "".join("\t" if c == "\t" else " " for c in text[:max(column - 1, 0)])
        pad += " " * max(column - 1 - len(text), 0)
        out.append(f"{indent}{' ' * width} | {pad}^")
    return out


def render(name: str, message: str, source: str, line: Optional[int], column: Optional[int] = None) -> str:
    """The full report: the message, then the source line it names, then a caret under the column."""
    where = name
    if line is not None:
        where += f":{line}"
        if column is not None:
            where += f":{column}"
    out = [f"{where}: {message}"]
    if line is not None:
        out.extend(quote_lines(source, line, column))
    return "\n".join(out)


# How the parser's token names read in a sentence.
_SPELLING = {
    "LeftParen": "'('", "RightParen": "')'", "LeftBrace": "'{'", "RightBrace": "'}'",
    "LeftBracket": "'['", "RightBracket": "']'", "Comma": "','", "Dot": "'.'", "Semicolon": "';'",
    "Colon": "':'", "DoubleColon": "'::'", "Assign": "'='", "Arrow": "'->'", "FatArrow": "'=>'",
    "Question": "'?'", "Plus": "'+'", "Minus": "'-'", "Star": "'*'", "Slash": "'/'", "Percent": "'%'",
    "Power": "'**'", "Eq": "'=='", "Neq": "'!='", "Lt": "'<'", "Lte": "'<='", "Gt": "'>'", "Gte": "'>='",
    "Not": "'not'", "And": "'and'", "Or": "'or'", "SelfKw": "'self'",
    "Eof": "the end of the input", "Identifier": "a name", "Ident": "a name", "Int": "a number",
    "Float": "a number", "String": "a string", "FString": "an f-string", "Bool": "true or false",
}
_OPENERS = {"LeftParen": "RightParen", "LeftBracket": "RightBracket", "LeftBrace": "RightBrace"}
_EXPECTED = re.compile(r"ParseError at \d+:\d+: Expected (\w+), found (.+)$")
_UNEXPECTED = re.compile(r"ParseError at \d+:\d+: Unexpected token: (.+)$")
_TOKEN_DEBUG = re.compile(r"^(\w+)(?:\((.*)\))?$")


def token_phrase(debug: str) -> str:
    """A token as the parser prints it ("RightParen", "Ident(x)", "Int(3)") in words: ')', name 'x', 3."""
    m = _TOKEN_DEBUG.match(debug)
    if not m:
        return debug
    kind, payload = m.group(1), m.group(2)
    if payload is not None:
        if kind in ("Ident", "Identifier"):
            return f"name '{payload.strip(chr(34))}'"
        return payload if kind in ("Int", "Float", "String", "Bool") else f"{_SPELLING.get(kind, kind)} {payload}"
    if kind in _SPELLING:
        return _SPELLING[kind]
    return f"'{kind.lower()}'" if kind.isalpha() else kind


def _unclosed_opener(source: str, line: int, column: int, lex: Callable[[str], object]):
    """The innermost bracket or brace opened before line:column and not closed by then: (kind, line,
    column), or None. Brackets closed out of order are matched leniently (a closer pops its own kind)."""
    try:
        tokens = lex(source)
    except SyntaxError:
        return None
    stack = []
    for t in tokens:
        if (t["line"], t["column"]) >= (line, column) and t["token_type"] != "Eof":
            break
        kind = t["token_type"]
        if kind in _OPENERS:
            stack.append((kind, t["line"], t["column"]))
        elif kind in _OPENERS.values():
            for k in range(len(stack) - 1, -1, -1):
                if _OPENERS[stack[k][0]] == kind:
                    del stack[k:]
                    break
    return stack[-1] if stack else None


def syntax_notes(message: str, source: str, lex: Optional[Callable[[str], object]] = None) -> list:
    """Lines that explain a parse error in words: what was expected and found, and where the bracket or
    brace that was never closed was opened."""
    first = message.split("\n", 1)[0]
    if first.startswith(PARSE_PREFIX):
        first = first[len(PARSE_PREFIX):]
    out = []
    at_end = False
    m = _EXPECTED.match(first)
    if m:
        expected, found = m.group(1), m.group(2)
        at_end = found == "Eof"
        out.append(f"  expected {token_phrase(expected)}, found {token_phrase(found)}")
        wants_closer = expected in _OPENERS.values()
    else:
        m = _UNEXPECTED.match(first)
        if not m:
            return out
        at_end = m.group(1) == "Eof"
        out.append(f"  unexpected {token_phrase(m.group(1))}")
        wants_closer = False
    pos = syntax_position(message, source)
    if lex is not None and (at_end or wants_closer):
        line, column = pos if pos and pos[1] else (source.count("\n") + 2, 1)
        opener = _unclosed_opener(source, line, column, lex)
        if opener is not None:
            kind, oline, ocolumn = opener
            out.append(f"  note: the {_SPELLING[kind]} opened at {oline}:{ocolumn} is not closed")
            out.extend(quote_lines(source, oline, ocolumn, indent="    "))
    return out


def render_syntax_error(name: str, error: SyntaxError, source: str,
                        lex: Optional[Callable[[str], object]] = None) -> str:
    message = normalise_syntax_message(getattr(error, "msg", None) or str(error))
    pos = syntax_position(message, source, lex)
    if pos is None and getattr(error, "lineno", None):
        # Errors found after parsing (such as a misplaced break) may carry only the exception's position.
        offset = getattr(error, "offset", None)
        pos = (error.lineno, offset if offset and offset > 0 else None)
    text = render(name, message, source, None) if pos is None else render(name, message, source, pos[0], pos[1])
    notes = syntax_notes(message, source, lex)
    return "\n".join([text] + notes)


def render_runtime_error(name: str, message: str, source: str) -> str:
    return render(name, message, source, runtime_line(message))


def render_script_error(name: str, error, source: str) -> str:
    """A tarnwick.ScriptError as the command line shows it: the message with the line and column it names
    and a caret under the failing operation, then the script's call stack, innermost last, each frame
    with its source line and a caret when it is in `source`."""
    line = runtime_line(error.message) or getattr(error, "line", 0) or None
    column = getattr(error, "column", 0) or None
    stack = getattr(error, "stack", [])
    if stack and stack[-1].file != name:
        column = None  # the failure is in code that came from elsewhere (a call into another script)
    out = [render(name, "Runtime error: " + error.message, source, line, column if line else None)]
    if len(stack) > 1:
        out.append("Script traceback (most recent call last):")
        for entry in stack:
            if entry.function == "...":
                out.append(f"  [{entry.line} more calls]")
                continue
            col = getattr(entry, "column", 0)
            where = f"{entry.file}:{entry.line or '?'}" + (f":{col}" if entry.line and col else "")
            out.append(f"  {where}, in {entry.function}")
            if entry.file == name and entry.line:
                out.extend(quote_lines(source, entry.line, col, indent="    "))
    return "\n".join(out)
