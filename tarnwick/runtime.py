"""`tarnwick.Runtime`: the engine state a Python program embeds.

    rt = tarnwick.Runtime(natives={"greet": greet}, timeout=2.0)
    rt.run(source)                     # functions, classes and globals stay in rt
    rt.call("area", 3)                 # call a script function by name
    rt.globals["scale"] = 2            # read and write the script's globals

One Runtime owns one VM: its globals, its natives, its print and input, its limits. Nothing of it is
shared with other runtimes or with the one-shot functions of `tarnwick_parser`.
"""
from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
from types import ModuleType
from collections.abc import Callable, Iterator, Mapping, MutableMapping

TYPE_CHECKING = False
if TYPE_CHECKING:  # annotations only: importing typing would slow every start of the command line
    from typing import Any

try:
    import tarnwick_parser
except ModuleNotFoundError as e:
    if e.name != "tarnwick_parser":
        raise
    raise ModuleNotFoundError(
        "the Tarnwick engine (module tarnwick_parser) is not importable: build it with scripts/build.sh and "
        "put build/python on PYTHONPATH, or install the package with pip", name=e.name) from e

from .errors import (  # noqa: F401  (re-exported)
    InstructionLimitExceeded, Interrupted, LimitExceeded, MemoryLimitExceeded, ScriptError, ScriptSyntaxError,
    StackEntry, TimeLimitExceeded,
)

__all__ = ["Runtime", "Globals", "ScriptFunction"]


def _load_native() -> ModuleType:
    # The engine's third module lives in the same shared object as tarnwick_parser (one copy of its state).
    name = __package__ + "._native"
    if name in sys.modules:
        return sys.modules[name]
    path = tarnwick_parser.__file__
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    module_spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    assert module_spec is not None
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = module
    loader.exec_module(module)
    return module


if TYPE_CHECKING:
    from . import _native
    from ._native import ScriptFunction
else:
    _native = _load_native()
    ScriptFunction = _native.ScriptFunction


class Globals(MutableMapping["str", "Any"]):
    """A live view of a runtime's globals: the names a script assigned without `let`, its functions and
    classes. Builtins and registered natives are not listed, though they can be read. Deleting a global
    sets it to nil, which a script cannot tell from absent."""

    __slots__ = ("_rt",)

    def __init__(self, runtime: "Runtime"):
        self._rt = runtime

    def __getitem__(self, name: str) -> Any:
        return self._rt._global_get(name)

    def __setitem__(self, name: str, value: Any) -> None:
        self._rt._global_set(name, value)

    def __delitem__(self, name: str) -> None:
        self._rt._global_del(name)

    def __iter__(self) -> Iterator[str]:
        return iter(self._rt._global_names())

    def __len__(self) -> int:
        return len(self._rt._global_names())

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, str):
            return False
        try:
            self._rt._global_get(name)
        except KeyError:
            return False
        return True

    def __repr__(self) -> str:
        return f"<tarnwick globals {sorted(self)!r}>"


class Runtime(_native.Runtime):
    """A persistent Tarnwick engine.

    Keyword arguments (all optional):
      natives           {name: callable}: functions scripts of this runtime can call (see register()).
      output            callable receiving what print writes, one line per call, newline included
                        (default: the process's standard output).
      input             callable answering input(prompt): called with the prompt ("" when none); str is the
                        line, None gives nil (default: the process's standard input).
      max_memory        bytes of live script values this runtime may hold (MemoryLimitExceeded).
      max_instructions  instructions one run or call may execute (InstructionLimitExceeded).
      timeout           seconds one run or call may take (TimeLimitExceeded).

    run() and call() raise ScriptSyntaxError for source that does not compile, ScriptError (or one of its
    subclasses Interrupted and LimitExceeded) when the script fails; the runtime stays usable afterwards,
    with its globals. While a script runs, other Python threads get to run; interrupt() stops it from any
    of them, or from a signal handler. One runtime runs one script at a time: a second thread waits for
    the first, and a callback that calls back into the running runtime gets RuntimeError.
    """

    def __init__(
        self,
        *,
        natives: Mapping[str, Callable[..., Any]] | None = None,
        output: Callable[[str], Any] | None = None,
        input: Callable[[str], Any] | None = None,
        max_memory: int | None = None,
        max_instructions: int | None = None,
        timeout: float | None = None,
    ) -> None:
        super().__init__(output=output, input=input, max_memory=max_memory, max_instructions=max_instructions,
                         timeout=timeout)
        for name, callback in (natives or {}).items():
            self.register(name, callback)

    def run(self, source: str, name: str = "<script>") -> Any:
        """Compile and run source in this runtime; return its result."""
        try:
            return super().run(source, name)
        except ScriptSyntaxError as e:
            if isinstance(source, str):
                try:
                    e._explain(source)
                except Exception:  # the explanation is a courtesy: the engine's error goes out whatever
                    pass
            raise

    @property
    def globals(self) -> Globals:
        """The runtime's globals as a live mutable mapping. A value read from it is a Python copy: to change
        part of a global, store the changed value back (``s = g["settings"]; s["debug"] = 1;
        g["settings"] = s``)."""
        return Globals(self)

    def run_file(self, path: str | os.PathLike[str], *, encoding: str = "utf-8") -> Any:
        """Run the script in the file at `path`; tracebacks name it by that path."""
        with open(path, encoding=encoding) as f:
            source = f.read()
        return self.run(source, name=os.fspath(path))

    def __enter__(self) -> "Runtime":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<tarnwick.Runtime at {id(self):#x}>"
