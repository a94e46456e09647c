"""Tarnwick: a small dynamically typed scripting language with a native engine.

Embed it through `tarnwick.Runtime`:

    import tarnwick
    rt = tarnwick.Runtime()
    rt.run('fn double(x) { return x * 2 }')
    rt.call("double", 21)   # 42

A `tarnwick.Program(source)` is compiled once and runs in any runtime (`rt.run(program)`); it pickles, so a
host can ship it to worker processes.

The engine itself is one shared library, imported as the extension modules `tarnwick_parser` and
`tarnwick_vm_engine` (their one-shot functions stay available); this package holds the Runtime, its
exceptions, the command line (`python3 -m tarnwick`, or `tarnwick` when installed) and helpers that read
the engine's byte forms and error texts (`tarnwick.render_error` shows an error as the command line does).
"""

__version__ = "0.1.0"

TYPE_CHECKING = False
if TYPE_CHECKING:  # what type checkers and editors see; at run time the names load on first use
    from .diagnostics import render_error as render_error
    from .errors import InstructionLimitExceeded as InstructionLimitExceeded
    from .errors import Interrupted as Interrupted
    from .errors import LimitExceeded as LimitExceeded
    from .errors import MemoryLimitExceeded as MemoryLimitExceeded
    from .errors import ScriptError as ScriptError
    from .errors import ScriptSyntaxError as ScriptSyntaxError
    from .errors import StackEntry as StackEntry
    from .errors import TimeLimitExceeded as TimeLimitExceeded
    from .runtime import Globals as Globals
    from .runtime import Program as Program
    from .runtime import Runtime as Runtime
    from .runtime import ScriptFunction as ScriptFunction

# Name -> the submodule that defines it. The Runtime loads the engine, so nothing is imported before a
# name is used: the rest of the package (the byte-form readers, the command line's start) works without it.
_LAZY = {
    "Runtime": "runtime", "Globals": "runtime", "ScriptFunction": "runtime", "Program": "runtime",
    "ScriptError": "errors", "ScriptSyntaxError": "errors", "Interrupted": "errors", "LimitExceeded": "errors",
    "InstructionLimitExceeded": "errors", "TimeLimitExceeded": "errors", "MemoryLimitExceeded": "errors",
    "StackEntry": "errors", "render_error": "diagnostics",
}

__all__ = sorted(_LAZY)

if not TYPE_CHECKING:  # hidden from type checkers, which would otherwise accept any attribute
    def __getattr__(name):
        module = _LAZY.get(name)
        if module is None:
            raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
        import importlib

        value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
        globals()[name] = value
        return value

    def __dir__():
        return sorted(set(globals()) | set(_LAZY))
