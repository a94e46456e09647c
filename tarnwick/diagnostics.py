"""Turns the engine's error texts into messages that point at the source.

The engine reports syntax errors as SyntaxError texts ("Lex error: Lexer error at L:C: ...",
"Parse error: ParseError at L:C: ...") and runtime errors as returned text ("Runtime error: Line N: ...").
Lines and columns are 1-based; columns count code points, so a Python `str` index matches them directly.
"""
from __future__ import annotations

import re
from typing import Any, Callable, List, Optional, Tuple

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


def _locate_unplaced(source: str, bare: str, lex: Callable[[str], Any]) -> Optional[Tuple[int, int]]:
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


def _fstring_expressions(source: str, start: int) -> List[Tuple[str, List[int]]]:
    """The expression texts of the f-string token that starts at `start` in `source`, each with the
    source index of every one of its code points, split the way the parser splits the token's body."""
    i = start + 1  # the prefix letter or `$`
    if i >= len(source):
        return []
    quote = source[i]
    i += 1
    body: List[Tuple[str, int]] = []
    depth = 0
    while i < len(source):
        c = source[i]
        if c == quote and depth == 0:
            break
        if c == "\n":
            break
        if c == "\\" and depth == 0:
            if i + 1 < len(source):
                body.append((source[i + 1], i + 1))
            i += 2
            continue
        if depth == 0 and c in "{}" and source[i + 1:i + 2] == c:
            body.extend([("\0", i), (c, i + 1)] if c == "{" else [(c, i), ("\0", i + 1)])
            i += 2
            continue
        if c == "{":
            depth += 1
        elif c == "}" and depth > 0:
            depth -= 1
        body.append((c, i))
        i += 1
    out = []
    k = 0
    while k < len(body):
        c = body[k][0]
        if c == "{":
            level, k = 1, k + 1
            chars: List[Tuple[str, int]] = []
            while k < len(body):
                d = body[k][0]
                if d == "}":
                    level -= 1
                    if level == 0:
                        k += 1
                        break
                elif d == "{":
                    level += 1
                chars.append(body[k])
                k += 1
            if chars:
                out.append(("".join(ch for ch, _ in chars), [at for _, at in chars]))
            continue
        if c in "}\0" and k + 1 < len(body) and body[k + 1][0] in "\0{":
            k += 2
            continue
        k += 1
    return out


def _fstring_position(inner: str, source: str, lex: Callable[[str], Any]) -> Optional[Tuple[int, int]]:
    """Where in `source` the f-string error `inner` (the text after "In f-string: ") happened.

    The parser reports these at 0:0 with a position inside the expression text alone; the first
    expression of the source whose text fails the same way is the one (the parser stops at its first
    error, so every f-string before it parsed)."""
    import tarnwick_parser
    try:
        tokens = lex(source)
    except SyntaxError:
        return None
    starts = [0]
    for k, ch in enumerate(source):
        if ch == "\n":
            starts.append(k + 1)
    m = re.match(r"(ParseError|Lexer error) at (\d+):(\d+): (.*)$", inner, re.S)
    first_failing = None
    for t in tokens:
        if t["token_type"] != "FString" or t["line"] > len(starts):
            continue
        for text, at in _fstring_expressions(source, starts[t["line"] - 1] + t["column"] - 1):
            column = None
            try:
                # The expression parses as the right side of an assignment, so columns move by four.
                tarnwick_parser.parse_tokens(tarnwick_parser.lex("_ = " + text))
                continue
            except SyntaxError as e:
                got = getattr(e, "msg", None) or str(e)
            got = got.split(": ", 1)[1] if got.startswith((LEX_PREFIX, PARSE_PREFIX)) else got
            g = re.match(r"(ParseError|Lexer error) at (\d+):(\d+): (.*)$", got, re.S)
            if m and g and g.group(1) == m.group(1) and g.group(4) == m.group(4) \
                    and int(g.group(3)) - 4 == int(m.group(3)):
                column = int(m.group(3))
            elif not m and got == inner:
                # A lexer error without a position: find the code point it is about.
                found = _locate_unplaced(text, inner, lex)
                column = found[1] if found else 1
            if column is None:
                first_failing = first_failing or at[0]
                continue
            index = at[column - 1] if column - 1 < len(at) else at[-1] + column - len(at)
            return line_column(source, index)
    return line_column(source, first_failing) if first_failing is not None else None


def syntax_position(message: str, source: str,
                    lex: Optional[Callable[[str], Any]] = None) -> Optional[Tuple[int, Optional[int]]]:
    """The (line, column) a syntax error names (column None when it names only a line), or None when it
    names no position (0:0 or none at all)."""
    bare = message
    for prefix in (LEX_PREFIX, PARSE_PREFIX):
        if bare.startswith(prefix):
            bare = bare[len(prefix):]
    if bare.startswith("ParseError at 0:0: " + _IN_FSTRING):
        return _fstring_position(bare[len("ParseError at 0:0: " + _IN_FSTRING):], source, lex) if lex else None
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


def quote_lines(source: str, line: int, column: Optional[int], indent: str = "  ") -> List[str]:
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


# How the parser's token names read in a sentence: as they are written in the source.
_SPELLING = {
    "LeftParen": "'('", "RightParen": "')'", "LeftBrace": "'{'", "RightBrace": "'}'",
    "LeftBracket": "'['", "RightBracket": "']'", "Comma": "','", "Dot": "'.'", "Semicolon": "';'",
    "Colon": "':'", "DoubleColon": "'::'", "Assign": "'='", "Arrow": "'->'", "FatArrow": "'=>'",
    "Question": "'?'", "QuestionDot": "'?.'", "Nullish": "'??'", "NullishEq": "'??='", "PipeGt": "'|>'",
    "Plus": "'+'", "Minus": "'-'", "Star": "'*'", "Slash": "'/'", "Percent": "'%'", "Power": "'**'",
    "PlusPlus": "'++'", "SlashSlash": "'//'", "PlusEq": "'+='", "MinusEq": "'-='", "StarEq": "'*='",
    "SlashEq": "'/='", "PercentEq": "'%='", "PowerEq": "'**='", "AmpEq": "'&='", "PipeEq": "'|='",
    "CaretEq": "'^='", "LShiftEq": "'<<='", "RShiftEq": "'>>='",
    "Eq": "'=='", "Neq": "'!='", "Lt": "'<'", "Lte": "'<='", "Gt": "'>'", "Gte": "'>='",
    "BitwiseAnd": "'&'", "BitwiseOr": "'|'", "BitwiseXor": "'^'", "BitwiseNot": "'~'", "LeftShift": "'<<'",
    "RightShift": "'>>'", "At": "'@'", "DotDot": "'..'", "DotDotEq": "'..='", "Ellipsis": "'...'",
    "Not": "'not'", "And": "'and'", "Or": "'or'", "SelfKw": "'self'", "Switch": "'match'",
    "IntType": "'int'", "FloatType": "'float'", "BoolType": "'bool'", "StringType": "'string'",
    "VoidType": "'void'", "OnStart": "'on_start'", "OnUpdate": "'on_update'", "OnDraw": "'on_draw'",
    "OnExit": "'on_exit'", "OnReady": "'_ready'", "OnNodeUpdate": "'_update'", "OnNodeDraw": "'_draw'",
    "Eof": "the end of the input", "Identifier": "a name", "Ident": "a name", "Int": "a number",
    "Float": "a number", "String": "a string", "FString": "an f-string", "Bool": "true or false",
}
_OPENERS = {"LeftParen": "RightParen", "LeftBracket": "RightBracket", "LeftBrace": "RightBrace"}
_EXPECTED = re.compile(r"(?:ParseError at \d+:\d+: )?Expected (\w+), found (.+)$")
_UNEXPECTED = re.compile(r"(?:ParseError at \d+:\d+: )?Unexpected token: (.+)$")
_PLACE = re.compile(r"^(?:ParseError at \d+:\d+: |Lexer error at \d+:\d+: )")
_IN_FSTRING = "In f-string: "
_TOKEN_DEBUG = re.compile(r"^(\w+)(?:\((.*)\))?$")
_COMPOUND = {"PlusEq": "+", "MinusEq": "-", "StarEq": "*", "SlashEq": "/", "PercentEq": "%", "PowerEq": "**"}
_TYPE_NAMES = {"IntType": "int", "FloatType": "float", "BoolType": "bool", "StringType": "string",
               "VoidType": "void"}


def token_phrase(debug: str) -> str:
    """A token as the parser prints it ("RightParen", "Ident(x)", "Int(3)") in words: ')', name 'x', 3."""
    m = _TOKEN_DEBUG.match(debug)
    if not m:
        return debug
    kind, payload = m.group(1), m.group(2)
    if payload is not None:
        if kind in ("Ident", "Identifier"):
            return f"name '{payload.strip(chr(34))}'"
        if kind == "FString":
            return "an f-string"
        return payload if kind in ("Int", "Float", "String", "Bool") else f"{_SPELLING.get(kind, kind)} {payload}"
    if kind in _SPELLING:
        return _SPELLING[kind]
    return f"'{kind.lower()}'" if kind.isalpha() else kind


def _token_kind(debug: str) -> str:
    m = _TOKEN_DEBUG.match(debug)
    return m.group(1) if m else debug


def syntax_words(message: str) -> str:
    """A syntax error's text without the positions it repeats and with tokens as they are written:
    "Parse error: ParseError at 2:3: Unexpected token: PlusEq" reads "Parse error: unexpected '+='"."""
    message = normalise_syntax_message(message)
    prefix = ""
    for p in (LEX_PREFIX, PARSE_PREFIX):
        if message.startswith(p):
            prefix, message = p, message[len(p):]
    first, _, rest = message.partition("\n")
    inner = _PLACE.sub("", first, count=1)
    context = ""
    if inner.startswith(_IN_FSTRING):
        context, inner = "in an f-string: ", _PLACE.sub("", inner[len(_IN_FSTRING):], count=1)
    m = _BLOCK_AT.match(inner)
    if m:
        inner = "Unterminated block comment"
    m = _EXPECTED.match(inner)
    if m:
        inner = f"expected {token_phrase(m.group(1))}, found {token_phrase(m.group(2))}"
    else:
        m = _UNEXPECTED.match(inner)
        if m:
            found = m.group(1)
            inner = "unexpected end of input" if found == "Eof" else f"unexpected {token_phrase(found)}"
        elif inner == "Expected identifier":
            inner = "expected a name"
    # Errors found after parsing name their line in front; the report's header says it already.
    text = prefix + context + re.sub(r"^((?:[A-Z][a-z]+ error: )?)Line \d+: ", r"\1", inner)
    return text + ("\n" + rest if rest else "")


def _found_kind(message: str) -> Optional[str]:
    first = message.split("\n", 1)[0]
    if first.startswith(PARSE_PREFIX):
        first = first[len(PARSE_PREFIX):]
    m = _EXPECTED.match(first) or _UNEXPECTED.match(first)
    if not m:
        return None
    return _token_kind(m.groups()[-1])


def _token_at(tokens: List[Any], line: int, column: int) -> Optional[int]:
    for i, t in enumerate(tokens):
        if (t["line"], t["column"]) == (line, column):
            return i
    return None


def syntax_hint(message: str, source: str, pos: Optional[Tuple[int, Optional[int]]],
                lex: Optional[Callable[[str], Any]] = None) -> Optional[str]:
    """One line on the slip behind a syntax error, for the slips that come from other languages, or None."""
    kind = _found_kind(message)
    column = pos[1] if pos and pos[1] else 0
    text = _source_line(source, pos[0]) if pos and column else None
    if kind in _COMPOUND:
        op = _COMPOUND[kind]
        target, value = "x", "1"
        if text is not None:
            col = column - 1
            before, after = text[:col].strip(), text[col + len(op) + 1:].strip()
            if re.fullmatch(r"[A-Za-z_][\w.]*(?:\[[^\]]*\])?", before):
                target = before
            if after and "{" not in after and "}" not in after:
                value = after
        return f"there are no compound assignments: write {target} = {target} {op} {value}"
    if kind in ("AmpEq", "PipeEq", "CaretEq", "LShiftEq", "RShiftEq", "NullishEq"):
        return "there are no compound assignments: write the assignment out (x = x ... y)"
    if kind == "PlusPlus":
        target = "x"
        if text is not None:
            before = text[:column - 1].strip()
            if re.fullmatch(r"[A-Za-z_][\w.]*", before):
                target = before
        return f"there is no '++': write {target} = {target} + 1"
    if kind == "SlashSlash":
        return "'//' is not a comment: comments start with '#' (or '///')"
    if kind in _TYPE_NAMES:
        name = _TYPE_NAMES[kind]
        return (f"'{name}' is a type name, not a function: int() and float() cannot be called, and floats "
                f"cannot become ints (round(x) gives a float)")
    if kind == "Null":
        return "there is no 'null': the empty value is nil"
    if "Expected identifier" in message and lex is not None and pos and pos[1]:
        try:
            tokens = lex(source)
        except SyntaxError:
            return None
        i = _token_at(tokens, pos[0], pos[1])
        if i is not None and 0 < i < len(tokens) - 1 and tokens[i]["token_type"] in ("String", "Int", "Float") \
                and tokens[i + 1]["token_type"] == "Colon" and tokens[i - 1]["token_type"] in ("LeftBrace", "Comma"):
            return ("object keys are names, written without quotes ({k: 1}); for any other key, store it "
                    "afterwards with o[\"key\"] = value")
    return None


def _unclosed_opener(source: str, line: int, column: int,
                     lex: Callable[[str], Any]) -> Optional[Tuple[str, int, int]]:
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


def syntax_notes(message: str, source: str, lex: Optional[Callable[[str], Any]] = None) -> List[str]:
    """Lines that explain a parse error beyond its first line: where the bracket or brace that was never
    closed was opened, and a hint for a slip from another language."""
    first = message.split("\n", 1)[0]
    if first.startswith(PARSE_PREFIX):
        first = first[len(PARSE_PREFIX):]
    out = []
    pos = syntax_position(message, source, lex)
    expected = _EXPECTED.match(first)
    unexpected = _UNEXPECTED.match(first)
    if expected:
        at_end = expected.group(2) == "Eof"
        wants_closer = expected.group(1) in _OPENERS.values()
    else:
        at_end = unexpected is not None and unexpected.group(1) == "Eof"
        wants_closer = False
    if lex is not None and (at_end or wants_closer) and not first.startswith("ParseError at 0:0: " + _IN_FSTRING):
        line, column = (pos[0], pos[1]) if pos and pos[1] else (source.count("\n") + 2, 1)
        opener = _unclosed_opener(source, line, column, lex)
        if opener is not None:
            kind, oline, ocolumn = opener
            out.append(f"  note: the {_SPELLING[kind]} opened at {oline}:{ocolumn} is not closed")
            out.extend(quote_lines(source, oline, ocolumn, indent="    "))
    hint = syntax_hint(message, source, pos, lex)
    if hint:
        out.append(f"  hint: {hint}")
    return out


def render_syntax_error(name: str, error: SyntaxError, source: str,
                        lex: Optional[Callable[[str], Any]] = None) -> str:
    message = normalise_syntax_message(getattr(error, "msg", None) or str(error))
    pos = syntax_position(message, source, lex)
    if pos is None and error.lineno:
        # Errors found after parsing (such as a misplaced break) may carry only the exception's position.
        offset = error.offset
        pos = (error.lineno, offset if offset and offset > 0 else None)
    words = syntax_words(message)
    text = render(name, words, source, None) if pos is None else render(name, words, source, pos[0], pos[1])
    notes = syntax_notes(message, source, lex)
    return "\n".join([text] + notes)


def runtime_words(message: str) -> str:
    """A runtime error's text without the line it repeats: "Line 2: Stack overflow" reads "Stack
    overflow" (the report's header names the line)."""
    return re.sub(r"^(Runtime error: )?Line \d+: ", r"\1", message)


def render_runtime_error(name: str, message: str, source: str) -> str:
    return render(name, runtime_words(message), source, runtime_line(message))


# A runaway recursion shows its first frames (at least this many, or one whole cycle of a recursion
# through several functions) and then a count of the rest.
_REPEATS_SHOWN = 3
_LONGEST_CYCLE = 4


def _cycle_run(stack: List[Any], k: int, period: int) -> int:
    """How many frames from stack[k] on repeat the cycle stack[k:k+period], counting the calls the
    engine left out of a deep stack ("...") when the frames after them carry on with the cycle."""
    block = stack[k:k + period]
    if len(block) < period or any(e.function == "..." for e in block):
        return 0
    count, j = 0, k
    while j < len(stack):
        entry = stack[j]
        if entry.function == "...":
            after = j + 1
            if after >= len(stack) or count < period:
                break
            # The frames after the gap continue the cycle at some phase; the gap holds whatever fits.
            phase = (count + entry.line) % period
            if stack[after] != block[phase]:
                break
            count += entry.line
            j = after
            continue
        if entry != block[count % period]:
            break
        count += 1
        j += 1
    return count


def _folded(stack: List[Any]) -> List[Tuple[Any, Any]]:
    """The stack with each runaway recursion cut short: [(entry, None), ..., (None, (count, names))]."""
    out: List[Tuple[Any, Any]] = []
    k = 0
    while k < len(stack):
        entry = stack[k]
        if entry.function == "...":
            out.append((None, (entry.line, ())))
            k += 1
            continue
        best = None
        for period in range(1, _LONGEST_CYCLE + 1):
            frames = _cycle_run(stack, k, period)
            shown = max(period, _REPEATS_SHOWN if period == 1 else period)
            if frames > shown + period and (best is None or frames > best[1]):
                best = (period, frames, shown)
        if best is None:
            out.append((entry, None))
            k += 1
            continue
        period, frames, shown = best
        out.extend((e, None) for e in stack[k:k + shown])
        names = tuple(dict.fromkeys(e.function for e in stack[k:k + period]))
        out.append((None, (frames - shown, names)))
        # Skip the frames counted, stepping over the engine's gaps as the count did.
        j, counted = k, 0
        while j < len(stack) and counted < frames:
            counted += stack[j].line if stack[j].function == "..." else 1
            j += 1
        k = j
    return out


def render_script_error(name: str, error: Any, source: str) -> str:
    """A tarnwick.ScriptError as the command line shows it: the message with the line and column it names
    and a caret under the failing operation, then the script's call stack, innermost last, each frame
    with its source line and a caret when it is in `source`, and repeated frames folded."""
    line = runtime_line(error.message) or getattr(error, "line", 0) or None
    column = getattr(error, "column", 0) or None
    stack = getattr(error, "stack", [])
    if stack and stack[-1].file != name:
        column = None  # the failure is in code that came from elsewhere (a call into another script)
    out = [render(name, "Runtime error: " + runtime_words(error.message), source, line, column if line else None)]
    if len(stack) > 1:
        out.append("Script traceback (most recent call last):")
        for entry, more in _folded(stack):
            if entry is None:
                count, names = more
                calls = "call" if count == 1 else "calls"
                out.append(f"  ... {count} more {calls}" + (f" of {', '.join(names)}" if names else ""))
                continue
            col = getattr(entry, "column", 0)
            where = f"{entry.file}:{entry.line or '?'}" + (f":{col}" if entry.line and col else "")
            out.append(f"  {where}, in {entry.function}")
            if entry.file == name and entry.line:
                out.extend(quote_lines(source, entry.line, col, indent="    "))
    return "\n".join(out)


def render_error(error: BaseException, source: str, name: Optional[str] = None) -> str:
    """A `tarnwick.ScriptError` or `SyntaxError` (a `ScriptSyntaxError` included) as the command line shows
    it: "name:line:column: message", the source line with a caret under the column, for a syntax error the
    unclosed bracket and a hint, for a runtime error the script's call stack (repeated frames folded).

    `source` is the script's text and `name` what to call it (by default the error's file name)."""
    import tarnwick_parser
    if isinstance(error, SyntaxError):
        return render_syntax_error(name or error.filename or "<script>", error, source, tarnwick_parser.lex)
    return render_script_error(name or getattr(error, "filename", None) or "<script>", error, source)
