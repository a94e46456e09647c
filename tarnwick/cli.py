"""The tarnwick command line.

    tarnwick                              an interactive prompt (when standard input is a terminal)
    tarnwick FILE [ARG...]                run a script (FILE "-" reads standard input); the script sees
    tarnwick run FILE [ARG...]              its arguments as the global `args`, an array of strings
    tarnwick -e CODE [ARG...]             run a snippet
    tarnwick check FILE...                look for likely mistakes without running anything
    tarnwick tokens|ast|bytecode|ir ...   inspect what the engine makes of a script

Exit status: 0 success, 1 runtime error (or findings of check, or lost output), 2 lexical or syntax error,
unreadable input or bad usage.
"""
from __future__ import annotations

import os
import sys

from tarnwick import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

# Running a script is the common case and its start-up time counts: the modules that only the other
# commands or error reports need are imported where they are used.

EXIT_OK = 0
EXIT_RUNTIME = 1
EXIT_SYNTAX = 2
EXIT_USAGE = 2

COMMANDS = ("run", "check", "tokens", "ast", "bytecode", "ir")

USAGE = """tarnwick [-h] [--version]                      (interactive prompt)
       tarnwick [run] FILE|- [ARG...]
       tarnwick [run] -e CODE [ARG...]
       tarnwick check FILE...
       tarnwick {tokens,ast,bytecode,ir} [options] (FILE | - | -e CODE)"""


class _InputError(Exception):
    pass


def _parser_module():
    import tarnwick_parser
    return tarnwick_parser


def _load_source(args) -> tuple[str, str]:
    """The source text and the name used for it in messages."""
    if args.code is not None:
        if args.file is not None and getattr(args, "args", None) is None:
            raise _InputError("give either a FILE or -e CODE, not both")
        return args.code, "<string>"
    if args.file is None:
        raise _InputError("a script is required: FILE, - for standard input, or -e CODE")
    # Bytes are decoded as they are, without newline translation: a carriage return is part of the source
    # (it counts as a column, and triple-quoted strings keep it).
    name = "<stdin>" if args.file == "-" else args.file
    try:
        if args.file == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(args.file, "rb") as f:
                data = f.read()
        return data.decode("utf-8"), name
    except (OSError, UnicodeDecodeError) as e:
        raise _InputError(f"cannot read {name}: {e}{_command_hint(args.file, e)}") from e


def _command_hint(word: str, error: Exception) -> str:
    """For a FILE that does not exist and looks like a misspelt command: which command it may be."""
    if not isinstance(error, FileNotFoundError) or os.sep in word or "." in word:
        return ""
    import difflib
    close = difflib.get_close_matches(word, COMMANDS, n=1, cutoff=0.6)
    return f" (did you mean the command '{close[0]}'?)" if close else ""


def _syntax_failure(name: str, source: str, error: SyntaxError) -> int:
    from tarnwick import diagnostics as diag
    print(diag.render_syntax_error(name, error, source, _parser_module().lex), file=sys.stderr)
    return EXIT_SYNTAX


def _write(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def _display(value) -> str:
    """The engine's display text of a program result that came back to Python."""
    if value is None:
        return "nil"
    if isinstance(value, str):
        return f'"{value}"'
    if isinstance(value, list):
        return f"[array:{len(value)}]"
    if isinstance(value, dict):
        return f"{{object:{len(value)}}}"
    if isinstance(value, float):
        if value != value:
            return "nan"
        if value in (float("inf"), float("-inf")):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    return str(value)


def script_arguments(args) -> list[str]:
    """The arguments a run hands to the script: everything after FILE (with -e, after CODE)."""
    rest = list(args.args or [])
    if args.code is not None and args.file is not None:
        rest.insert(0, args.file)
    return rest


def cmd_run(args, source: str, name: str) -> int:
    import signal
    import tarnwick
    # Like any Unix tool: Ctrl-C ends the process at once (not with a Python traceback), and a closed
    # output pipe ends it too, instead of leaving the script's print() failing silently forever.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.stdout.flush()
    rt = tarnwick.Runtime()
    rt.globals["args"] = script_arguments(args)
    try:
        rt.run(source, name=name)
    except SyntaxError as e:
        return _syntax_failure(name, source, e)
    except tarnwick.ScriptError as e:
        from tarnwick import diagnostics as diag
        print(diag.render_script_error(name, e, source), file=sys.stderr)
        return EXIT_RUNTIME
    return EXIT_OK


def cmd_check(args) -> int:
    from tarnwick import checker
    from tarnwick import diagnostics as diag
    status = EXIT_OK
    for path in args.files:
        try:
            with open(path, "rb") as f:
                source = f.read().decode("utf-8")
        except (OSError, UnicodeDecodeError) as e:
            print(f"tarnwick check: error: cannot read {path}: {e}", file=sys.stderr)
            status = EXIT_USAGE
            continue
        try:
            findings = checker.check(source)
        except SyntaxError as e:
            _syntax_failure(path, source, e)
            status = EXIT_SYNTAX
            continue
        for finding in findings:
            _write(diag.render(path, finding.message, source, finding.line, finding.column) + "\n")
        if findings and status == EXIT_OK:
            status = EXIT_RUNTIME
    return status


def cmd_tokens(args, source: str, name: str) -> int:
    import json
    tp = _parser_module()
    try:
        tokens = tp.lex(source)
    except SyntaxError as e:
        return _syntax_failure(name, source, e)
    if args.json:
        _write(json.dumps(tokens, ensure_ascii=False, indent=args.indent) + "\n")
        return EXIT_OK
    lines = []
    for t in tokens:
        value = f" {t['value']!r}" if t["value"] else ""
        lines.append(f"{t['line']}:{t['column']}\t{t['token_type']}{value}")
    _write("\n".join(lines) + "\n")
    return EXIT_OK


def _json_with_infinity(tree, indent: int | None) -> str:
    """JSON text of a syntax tree, strictly valid: an infinite float literal (such as 1e999) becomes the
    number 1e999, which JSON readers turn back into infinity, instead of the non-standard Infinity."""
    import json
    import uuid
    marker = f"@inf-{uuid.uuid4().hex}@"
    found = False

    def walk(node):
        nonlocal found
        if isinstance(node, float) and node == float("inf"):
            found = True
            return marker
        if isinstance(node, dict):
            return {k: walk(v) for k, v in node.items()}
        if isinstance(node, list):
            return [walk(v) for v in node]
        return node

    prepared = walk(tree)
    text = json.dumps(prepared, ensure_ascii=False, indent=indent, allow_nan=False)
    return text.replace(f'"{marker}"', "1e999") if found else text


def cmd_ast(args, source: str, name: str) -> int:
    tp = _parser_module()
    try:
        tree = tp.parse_tokens(tp.lex(source))
    except SyntaxError as e:
        return _syntax_failure(name, source, e)
    try:
        text = _json_with_infinity(tree, args.indent)
    except RecursionError:
        print(f"{name}: the syntax tree is nested too deeply to write as JSON", file=sys.stderr)
        return EXIT_USAGE
    _write(text + "\n")
    return EXIT_OK


def _listing(source: str, name: str, optimized: bool) -> int:
    from tarnwick.runtime import _native
    try:
        text = _native.disassemble(source, optimized=optimized)
    except SyntaxError as e:
        return _syntax_failure(name, source, e)
    _write(text)
    return EXIT_OK


def cmd_bytecode(args, source: str, name: str) -> int:
    import json
    from tarnwick import bytecode as bc
    if not args.json:
        return _listing(source, name, optimized=False)
    tp = _parser_module()
    try:
        opcodes, constant_bytes = tp.compile(source)
    except SyntaxError as e:
        return _syntax_failure(name, source, e)
    constants = bc.decode_constants(constant_bytes)
    doc = {
        "code": [bc.opcode_name(b) for b in opcodes],
        "constants": [{"kind": k, "value": v} for k, v in constants],
    }
    _write(json.dumps(doc, ensure_ascii=False, indent=args.indent) + "\n")
    return EXIT_OK


def _parse_hex(text: str) -> bytes:
    cleaned = text.replace(",", " ").split()
    try:
        if len(cleaned) == 1 and len(cleaned[0]) > 2:
            return bytes.fromhex(cleaned[0])
        return bytes(int(part, 16) for part in cleaned)
    except ValueError as e:
        raise _InputError(f"--bytes: not a list of hexadecimal bytes: {text!r}") from e


def cmd_ir(args, source: str | None, name: str) -> int:
    import tarnwick_vm_engine
    from tarnwick import bytecode as bc
    if args.bytes is not None:
        data = _parse_hex(args.bytes)
    elif source is None:
        raise _InputError("a script or --bytes is required")
    elif not args.llvm:
        return _listing(source, name, optimized=True)
    else:
        tp = _parser_module()
        try:
            opcodes, _ = tp.compile(source)
        except SyntaxError as e:
            return _syntax_failure(name, source, e)
        data, dropped = bc.compile_to_vm_bytes(opcodes)
        if dropped:
            print(f"{name}: note: {dropped} of {len(opcodes)} instructions (Push, loads, stores, jumps, calls "
                  f"and the other instructions with operands) have no byte form and are left out; "
                  f"this IR does not compute the script's result", file=sys.stderr)
    _write(tarnwick_vm_engine.emit_ir(args.name, data))
    return EXIT_OK


def _add_source_arguments(p: argparse.ArgumentParser, script_args: bool = False) -> None:
    import argparse
    p.add_argument("file", nargs="?", metavar="FILE", help="script file, or - for standard input")
    p.add_argument("-e", dest="code", metavar="CODE", help="use CODE as the script instead of a file")
    if script_args:
        p.add_argument("args", nargs=argparse.REMAINDER, metavar="ARG",
                       help="arguments for the script: it sees them as the global `args`, an array of "
                            "strings")


def build_parser() -> argparse.ArgumentParser:
    import argparse
    parser = argparse.ArgumentParser(
        prog="tarnwick",
        usage=USAGE,
        description="Run and inspect Tarnwick scripts. Without a command, runs the script: "
                    "`tarnwick FILE ARG...` is `tarnwick run FILE ARG...`, and the script sees its "
                    "arguments as the global `args` (an array of strings). With no arguments at all on "
                    "a terminal, starts an interactive prompt.",
        epilog="Exit status: 0 success, 1 runtime error, 2 lexical or syntax error, unreadable input or "
               "bad usage.")
    parser.add_argument("--version", action="version", version=f"tarnwick {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = sub.add_parser("run", prog="tarnwick run", help="run a script (the default command)",
                       usage="tarnwick run [-h] (FILE | - | -e CODE) [ARG...]",
                       description="Run a script. What it prints goes to standard output; errors go to "
                                   "standard error with the source line they name and the script's call "
                                   "stack. The arguments after FILE (or after -e CODE) reach the script as "
                                   "the global `args`, an array of strings. A write to standard output "
                                   "that fails ends the run with exit status 1.")
    _add_source_arguments(p, script_args=True)
    p.set_defaults(func=cmd_run)

    p = sub.add_parser("check", prog="tarnwick check", help="look for likely mistakes in scripts",
                       description="Reads each FILE without running it and reports, with file:line:column, "
                                   "names that are read but never assigned, functions reading or assigning "
                                   "a top-level let (which they cannot see), `and`/`or` whose right side "
                                   "uses what the left side tests for nil (both sides are always evaluated), "
                                   "`x = c ? a : b` (the assignment binds first), `Parent.method(self)` (a "
                                   "class's members are not its methods), calls with the wrong number of "
                                   "arguments, unreachable statements, a `/` result (a float) given to "
                                   "range directly or through a variable, and range(n) with one argument. "
                                   "Exit status 1 when something was found.")
    p.add_argument("files", nargs="+", metavar="FILE", help="script files")
    p.set_defaults(func=None)

    p = sub.add_parser("tokens", prog="tarnwick tokens", help="print the tokens of a script")
    _add_source_arguments(p)
    p.add_argument("--json", action="store_true", help="print the token dictionaries as JSON")
    p.add_argument("--indent", type=int, default=None, metavar="N", help="JSON indentation (default: none)")
    p.set_defaults(func=cmd_tokens)

    p = sub.add_parser("ast", prog="tarnwick ast", help="print the syntax tree of a script as JSON",
                       description="Print parse_tokens(lex(source)) as JSON.")
    _add_source_arguments(p)
    p.add_argument("--indent", type=int, default=2, metavar="N", help="JSON indentation (default: 2)")
    p.set_defaults(func=cmd_ast)

    p = sub.add_parser("bytecode", prog="tarnwick bytecode", help="list the compiled code of a script",
                       description="List the compiled code: the main program and every function, each "
                                   "instruction with its source line:column, its register (rN), constant "
                                   "(kN and its value), jump target (-> N, with a label line LN at the "
                                   "target) or count, then the unit's constant table.")
    _add_source_arguments(p)
    p.add_argument("--json", action="store_true",
                   help="print the byte form compile() returns instead, as {code: [...], constants: "
                        "[...]} (operands have no byte form: ? marks an instruction that has one)")
    p.add_argument("--indent", type=int, default=None, metavar="N", help="JSON indentation (default: none)")
    p.set_defaults(func=cmd_bytecode)

    p = sub.add_parser("ir", prog="tarnwick ir", help="list the code a run loads, or emit LLVM IR",
                       description="List the code a run of the script loads: the main program after the "
                                   "optimizer's rewrites, and every function, listed like `bytecode`. "
                                   "With --llvm, emit the LLVM IR text of emit_ir() for the main program "
                                   "re-encoded for the VM module instead; instructions with operands cannot "
                                   "be carried there and are left out (a note on standard error says how "
                                   "many). With --bytes, the given VM-table bytes are used as they are.")
    _add_source_arguments(p)
    p.add_argument("--llvm", action="store_true", help="emit LLVM IR of the operand-free instructions")
    p.add_argument("--bytes", metavar="HEX", help='VM opcode bytes in hexadecimal, e.g. "10 20 ff"')
    p.add_argument("--name", default="trace_0", help="function name in the IR (default: trace_0)")
    p.set_defaults(func=cmd_ir)
    return parser


def _with_default_command(argv: list[str]) -> list[str]:
    # `tarnwick FILE` and `tarnwick -e CODE` mean `tarnwick run ...`; only help and version stay top-level.
    if argv and argv[0] not in COMMANDS and argv[0] not in ("-h", "--help", "--version"):
        return ["run"] + argv
    return argv


class _RunArguments:
    """What the parser makes of `[run] FILE ARG...`."""
    command = "run"
    code = None

    def __init__(self, file: str | None, args: list[str], code: str | None = None):
        self.file, self.args, self.code = file, args, code
        self.func = cmd_run


def _plain_run(argv: list[str]) -> _RunArguments | None:
    """`tarnwick [run] FILE ARG...` with FILE a path or `-`: the one shape that needs no option parsing,
    and the one whose start-up counts, so it skips building the parser. Anything else gets None."""
    rest = argv[1:] if argv[:1] == ["run"] else argv
    if rest is argv and argv[0] in COMMANDS:
        return None
    if not rest or "--" in rest:
        return None
    if rest[0] == "-e" and len(rest) >= 2:
        # Everything after CODE belongs to the script, options included, as everything after FILE does.
        return _RunArguments(None, rest[2:], code=rest[1])
    if rest[0].startswith("-") and rest[0] != "-":
        return None
    return _RunArguments(rest[0], rest[1:])


def main(argv: list[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    args = _plain_run(argv) if argv else None
    if args is not None:
        return _run_command(args)
    parser = build_parser()
    if not argv:
        if sys.stdin.isatty():
            from tarnwick import prompt
            return prompt.interact()
        parser.print_usage(sys.stderr)
        print("tarnwick: error: a script is required: FILE, - for standard input, or -e CODE",
              file=sys.stderr)
        return EXIT_USAGE
    try:
        namespace = parser.parse_args(_with_default_command(argv))
        if namespace.command == "check":
            return _finish_output(cmd_check(namespace))
    except SystemExit as e:
        # --help and --version end here: what they wrote must reach standard output too.
        if e.code in (0, None):
            return _finish_output(EXIT_OK)
        raise
    except OSError as e:
        return _output_lost(e)
    return _run_command(namespace)


def _run_command(args) -> int:
    try:
        if args.command == "ir" and args.bytes is not None:
            if args.file is not None or args.code is not None:
                raise _InputError("give either a script or --bytes, not both")
            return cmd_ir(args, None, "<bytes>")
        source, name = _load_source(args)
    except _InputError as e:
        print(f"tarnwick {args.command}: error: {e}", file=sys.stderr)
        return EXIT_USAGE
    try:
        return _finish_output(args.func(args, source, name))
    except ImportError as e:
        print(f"tarnwick: error: the engine is not importable ({e}); build it with scripts/build.sh and "
              f"put build/python on PYTHONPATH, or install the package with pip", file=sys.stderr)
        return EXIT_USAGE
    except OSError as e:
        return _output_lost(e)


def _output_lost(error: OSError) -> int:
    print(f"tarnwick: error: cannot write to standard output: {error.strerror or error}", file=sys.stderr)
    try:
        # The interpreter flushes stdout once more at exit; what it still holds cannot be written either.
        sys.stdout = open(os.devnull, "w")
    except OSError:
        pass
    return EXIT_RUNTIME


def _finish_output(status: int) -> int:
    """`status`, or EXIT_RUNTIME when what the command wrote could not all reach standard output."""
    try:
        sys.stdout.flush()
    except OSError as e:
        return _output_lost(e)
    return status
