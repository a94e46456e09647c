"""The exceptions a `tarnwick.Runtime` raises.

    ScriptSyntaxError      the source does not lex, parse or compile (a SyntaxError)
    ScriptError            the script failed while running
      Interrupted          Runtime.interrupt() stopped it
      LimitExceeded        it went past one of the runtime's limits:
        InstructionLimitExceeded, TimeLimitExceeded, MemoryLimitExceeded

A ScriptError carries the engine's message, the line, and the script's call stack; when a native function
raised, that exception is its ``__cause__``, with its Python traceback.
"""
from __future__ import annotations

from collections import namedtuple

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Sequence

__all__ = [
    "StackEntry", "ScriptError", "ScriptSyntaxError", "Interrupted", "LimitExceeded",
    "InstructionLimitExceeded", "TimeLimitExceeded", "MemoryLimitExceeded",
]


if TYPE_CHECKING:  # the same tuple, with its field types spelled out for type checkers
    from typing import NamedTuple

    class StackEntry(NamedTuple):
        file: str
        line: int
        function: str
        column: int = 0
else:
    class StackEntry(namedtuple("StackEntry", "file line function column", defaults=(0,))):
        """One level of a script's call stack: the script's name, the line (0 when unknown), the function
        ("<main>" for a program's top level) and the column of the operation it was running (0 when
        unknown)."""

        __slots__ = ()


class ScriptError(Exception):
    """A script failed while running.

    Attributes: ``message`` (the engine's text, e.g. "Line 3: Division by zero"), ``line`` and ``column``
    (of the failing operation in the innermost frame, 0 when unknown), ``stack`` (a list of StackEntry,
    outermost first) and ``filename`` (the script of the innermost frame).
    """

    def __init__(self, message: str, line: int = 0, stack: Sequence[StackEntry] = (), filename: str | None = None,
                 column: int = 0):
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column
        self.stack = [StackEntry(*entry) for entry in stack]
        self.filename = filename

    def __str__(self) -> str:
        first = self.message
        if self.filename is not None or self.line:
            place = [self.filename or "<script>"]
            if self.line:
                place.append(f"line {self.line}" + (f", column {self.column}" if self.column else ""))
            first = f"{first} ({', '.join(place)})"
        if not self.stack:
            return first
        lines = [first, "Script traceback (most recent call last):"]
        for entry in self.stack:
            if entry.function == "...":
                lines.append(f"  [{entry.line} more calls]")
            else:
                where = f"line {entry.line}" if entry.line else "line ?"
                lines.append(f'  File "{entry.file}", {where}, in {entry.function}')
        return "\n".join(lines)


class Interrupted(ScriptError):
    """Runtime.interrupt() stopped the run."""


class LimitExceeded(ScriptError):
    """The run went past one of the runtime's limits."""


class InstructionLimitExceeded(LimitExceeded):
    """The run executed more instructions than max_instructions allows."""


class TimeLimitExceeded(LimitExceeded):
    """The run took longer than timeout seconds."""


class MemoryLimitExceeded(LimitExceeded):
    """The runtime's live values took more than max_memory bytes."""


class ScriptSyntaxError(SyntaxError):
    """The source does not lex, parse or compile. ``lineno``, ``offset``, ``text`` and ``filename`` are
    set where they are known (inside an f-string too); ``msg`` is the engine's text ("Parse error: ...").

    ``description`` says the same in words, with tokens as they are written and without the positions
    ("Parse error: unexpected '+='"); ``hint`` is one line on the slip behind it when it is a common one
    (a compound assignment, a `//` comment, ...), else None. ``str()`` shows both."""

    description: str | None = None
    hint: str | None = None

    def __str__(self) -> str:
        text = self.description or self.msg
        where = ", ".join(str(x) for x in (self.filename, self.lineno and f"line {self.lineno}") if x)
        text = f"{text} ({where})" if where else text
        return f"{text}\nhint: {self.hint}" if self.hint else text

    def _explain(self, source: str) -> None:
        """Fills in what the engine's exception leaves out: the position of an error inside an f-string,
        the description and the hint."""
        import tarnwick_parser

        from . import diagnostics as diag
        message = diag.normalise_syntax_message(self.msg or "")
        pos = diag.syntax_position(message, source, tarnwick_parser.lex)
        if self.lineno is None and pos is not None:
            self.lineno = pos[0]
            self.offset = pos[1]
            self.text = diag._source_line(source, pos[0])
            if pos[1] is not None:
                self.end_lineno, self.end_offset = pos[0], pos[1] + 1
        self.description = diag.syntax_words(message)
        self.hint = diag.syntax_hint(message, source, pos, tarnwick_parser.lex)
        # A traceback shows ``msg``, the engine's text, which hosts may rely on: the words go in notes.
        add_note = getattr(self, "add_note", None)  # Python 3.11 on
        if add_note is not None:
            if self.description != message:
                add_note(self.description)
            if self.hint:
                add_note(f"hint: {self.hint}")
