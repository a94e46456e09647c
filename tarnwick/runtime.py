"""`tarnwick.Runtime`: the engine state a Python program embeds.

    rt = tarnwick.Runtime(natives={"greet": greet}, timeout=2.0)
    rt.run(source)                     # functions, classes and globals stay in rt
    rt.call("area", 3)                 # call a script function by name
    rt.globals["scale"] = 2            # read and write the script's globals

One Runtime owns one VM: its globals, its natives, its print and input, its limits. Nothing of it is
shared with other runtimes or with the one-shot functions of `tarnwick_parser`.
"""
from __future__ import annotations

import errno
import importlib.machinery
import importlib.util
import os
import stat
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

__all__ = ["Runtime", "Globals", "Program", "ScriptFunction"]


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


_MEMORY_LIMIT_TEXT = "Memory limit exceeded"  # the engine's own text for the limit


def _require_regular(mode: int, name: str) -> None:
    if stat.S_ISREG(mode):
        return
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, "Is a directory", name)
    kind = next((kind for test, kind in _NOT_REGULAR if test(mode)), "of an unknown kind")
    raise OSError(errno.EINVAL, f"Not a regular file ({kind}): only regular files can be run", name)


_NOT_REGULAR = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _read_at_most(fd: int, limit: int) -> bytes | None:
    """The whole file at `fd`, or None once it proves longer than `limit` bytes (the size a stat reports
    is not trusted: a file may grow while it is read)."""
    chunks = []
    total = 0
    while True:
        chunk = os.read(fd, min(1 << 20, limit - total + 1))
        if not chunk:
            return b"".join(chunks)
        total += len(chunk)
        if total > limit:
            return None
        chunks.append(chunk)


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


class Program(_native.Program):
    """Source compiled once: `rt.run(program)` runs it in any runtime, as often as needed, without compiling
    it again.

        program = tarnwick.Program(source, filename="rules.tw")
        for rt in runtimes:
            rt.run(program)

    A source that does not compile raises ScriptSyntaxError here, as Runtime.run would. A Program never
    changes: runtimes on several threads may run the same one. It pickles as its source and filename and
    is compiled again, once, where it is unpickled, so a host can ship it to worker processes.
    Attributes: ``source`` and ``filename`` (the name tracebacks give the script).
    """

    __slots__ = ()


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
    with its globals. A run on a worker thread releases the interpreter lock (runtimes on different threads
    run in parallel); one on the main thread hands it to other threads when they ask. interrupt() stops a
    run from any thread, or from a signal handler. One runtime runs one script at a time: a second thread
    waits for the first, and a native may call script functions back but not start a new run.
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

    def run(self, source: "str | Program", name: str | None = None) -> Any:
        """Compile and run source (or run a Program) in this runtime; return its result. `name` names the
        script in tracebacks: "<script>" for a source, the Program's filename for a Program, by default."""
        try:
            return super().run(source) if name is None else super().run(source, name)
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

    def run_file(self, path: str | bytes | os.PathLike[str], *, encoding: str = "utf-8") -> Any:
        """Run the script in the regular file at `path`; tracebacks name it by that path.

        Only paths are accepted (a file descriptor raises TypeError), and only regular files (a FIFO or a
        device raises OSError at once). The file counts against max_memory: one larger than it raises
        MemoryLimitExceeded without being read, and without a limit one larger than the engine's largest
        string raises OSError (EFBIG).
        """
        if isinstance(path, int) or not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"run_file() needs a path (str, bytes or os.PathLike), not {type(path).__name__}")
        name = os.fsdecode(os.fspath(path))
        _require_regular(os.stat(path).st_mode, name)
        # Non-blocking, should the path have turned into a FIFO since the stat: opening one waits for a writer.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            info = os.fstat(fd)
            _require_regular(info.st_mode, name)
            limit, by_memory = self._source_limit
            data = _read_at_most(fd, limit) if info.st_size <= limit else None
        finally:
            os.close(fd)
        if data is None:
            if by_memory:
                raise MemoryLimitExceeded(_MEMORY_LIMIT_TEXT, filename=name)
            raise OSError(errno.EFBIG, f"File too large: a script has at most {limit} bytes", name)
        source = data.decode(encoding)
        if "\r" in source:  # line ends as a file opened in text mode reads them
            source = source.replace("\r\n", "\n").replace("\r", "\n")
        return self.run(source, name=name)

    def __enter__(self) -> "Runtime":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<tarnwick.Runtime at {id(self):#x}>"
