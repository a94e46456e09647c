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
the engine's byte forms and error texts.
"""

__version__ = "0.1.0"

_RUNTIME_NAMES = {
    "Runtime", "Globals", "ScriptFunction", "ScriptError", "ScriptSyntaxError", "Interrupted", "LimitExceeded",
    "InstructionLimitExceeded", "TimeLimitExceeded", "MemoryLimitExceeded", "StackEntry", "Program",
}

__all__ = sorted(_RUNTIME_NAMES)


def __getattr__(name):
    # The Runtime loads the engine; the rest of the package (the byte-form readers) works without it.
    if name in _RUNTIME_NAMES:
        from . import runtime

        value = getattr(runtime, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
