# Type stubs of tarnwick._native, the engine behind tarnwick.Runtime (loaded from the tarnwick_parser
# shared object by tarnwick/runtime.py).
from typing import Any, Callable

class ScriptFunction:
    """A script function, lambda, bound method or native of a Runtime; calling it runs it there."""
    __name__: str
    @property
    def runtime(self) -> "Runtime": ...
    def __call__(self, *args: Any) -> Any: ...

class Program:
    """Source compiled once, for Runtime.run in any runtime; pickles as its source and filename."""
    def __init__(self, source: str, filename: str = "<script>") -> None: ...
    @property
    def source(self) -> str: ...
    @property
    def filename(self) -> str: ...
    def __reduce__(self) -> tuple[type["Program"], tuple[str, str]]: ...
    def __copy__(self) -> "Program": ...
    def __deepcopy__(self, memo: Any, /) -> "Program": ...

class Runtime:
    def __init__(
        self,
        *,
        output: Callable[[str], Any] | None = ...,
        input: Callable[[str], Any] | None = ...,
        max_memory: int | None = ...,
        max_instructions: int | None = ...,
        timeout: float | None = ...,
    ) -> None: ...
    def run(self, source: str | Program, name: str = ...) -> Any:
        """Compile and run source (or run a Program) in this runtime; return its result. `name` names the
        script in tracebacks: "<script>" for a source, the Program's filename for a Program."""
    def call(self, name: str | ScriptFunction, /, *args: Any) -> Any:
        """Call the script function `name` (or a function of this runtime) with args."""
    def call_method(self, obj: dict[str, Any], name: str, /, *args: Any) -> Any:
        """Call the method `name` of a script object."""
    def register(self, name: str, callback: Callable[..., Any]) -> None:
        """Make a Python callable a native function of this runtime."""
    def interrupt(self) -> None:
        """Stop the run in progress (from any thread or a signal handler)."""
    def close(self) -> None:
        """Release the engine now; later use raises RuntimeError."""
    @property
    def memory_used(self) -> int: ...
    @property
    def natives(self) -> dict[str, Callable[..., Any]]: ...
    def _global_get(self, name: str) -> Any: ...
    def _global_set(self, name: str, value: Any, /) -> None: ...
    def _global_del(self, name: str) -> None: ...
    def _global_names(self) -> list[str]: ...
    @property
    def _source_limit(self) -> tuple[int, bool]: ...

def syntax_tree(source: str) -> dict[str, Any]:
    """The syntax tree of parse_tokens(lex(source)), each expression with its "line" and "column", each
    statement with its "line"."""
def disassemble(source: str, optimized: bool = False) -> str:
    """A listing of the compiled code of source: the main program and every function, each instruction with
    its decoded operand and source position. With optimized, the main program as a run loads it."""
