import importlib
import os
import subprocess
import sys

import pytest

import tarnwick_parser
import tarnwick_vm_engine


def test_both_modules_come_from_one_shared_object():
    assert os.path.realpath(tarnwick_parser.__file__) == os.path.realpath(tarnwick_vm_engine.__file__)


def test_parser_module_registers_in_order():
    names = [n for n in vars(tarnwick_parser) if not n.startswith("__")]
    assert names == ["PyParser", "lex", "parse_tokens", "compile", "compile_and_run",
                     "set_native_binding", "clear_native_bindings"]
    assert tarnwick_parser.__doc__ is None


def test_vm_module_registers_in_order():
    names = [n for n in vars(tarnwick_vm_engine) if not n.startswith("__")]
    assert names == ["VMEngine", "emit_ir", "optimize_bytecode"]


def test_signatures_and_docstrings():
    assert tarnwick_parser.lex.__text_signature__ == "(source)"
    assert not tarnwick_parser.lex.__doc__
    assert tarnwick_parser.parse_tokens.__doc__ == "Main parsing function"
    assert tarnwick_parser.set_native_binding.__text_signature__ == "(name, callback)"
    assert tarnwick_parser.set_native_binding.__doc__ == (
        "Register a Python callable as a native Tarnwick function.\n"
        "These are checked before user-defined functions and builtins.")
    assert tarnwick_parser.clear_native_bindings.__text_signature__ == "()"
    assert tarnwick_vm_engine.emit_ir.__doc__ == "Emit LLVM IR for a named trace"
    assert tarnwick_vm_engine.optimize_bytecode.__text_signature__ == "(bytecode)"


def test_second_initialisation_returns_the_same_module():
    import sys
    module_spec = importlib.util.find_spec("tarnwick_parser")
    again = importlib.util.module_from_spec(module_spec)
    assert again is sys.modules["tarnwick_parser"]


# Each sequence runs in a fresh interpreter process: module initialisation happens once per process, and
# a sequence that deadlocks must fail the test through the timeout instead of hanging the suite.
SUB_INTERPRETER = """
import sys
import _xxsubinterpreters as si

def in_sub(code):
    interp = si.create()
    try:
        si.run_string(interp, code)
        print("sub: ok")
    except si.RunFailedError as exc:
        print("sub:", exc)
    finally:
        si.destroy(interp)

def run_native():
    import tarnwick_parser as tp
    tp.set_native_binding("f", len)
    print(tp.compile_and_run('print(f("ab"))'))
"""
REFUSED = "sub: <class 'ImportError'>: {} cannot be initialised in a sub-interpreter"


@pytest.mark.parametrize("steps, expected", [
    ("import tarnwick_parser\n"
     "in_sub('import tarnwick_parser as t\\nt.set_native_binding(\"f\", len)\\nt.compile_and_run(\"f(1)\")')\n"
     "run_native()",
     [REFUSED.format("tarnwick_parser"), "2", "nil"]),
    ("import tarnwick_vm_engine\nin_sub('import tarnwick_vm_engine')\nin_sub('import tarnwick_parser')",
     [REFUSED.format("tarnwick_vm_engine"), REFUSED.format("tarnwick_parser")]),
    ("in_sub('import tarnwick_parser')\nin_sub('import tarnwick_vm_engine')\n"
     "import tarnwick_vm_engine\nprint(tarnwick_vm_engine.VMEngine(b'').execute())\nrun_native()",
     [REFUSED.format("tarnwick_parser"), REFUSED.format("tarnwick_vm_engine"), "nil", "2", "nil"]),
    ("for name in ('tarnwick_parser', 'tarnwick_vm_engine'):\n"
     "    first = importlib.import_module(name)\n"
     "    del sys.modules[name]\n"
     "    print(importlib.import_module(name) is first, sys.modules[name] is first)\n"
     "in_sub('import tarnwick_parser')\nrun_native()",
     ["True True", "True True", REFUSED.format("tarnwick_parser"), "2", "nil"]),
], ids=["main-first-then-native-in-sub", "vm-module-first", "sub-interpreter-first", "re-import-after-del"])
def test_only_the_main_interpreter_initialises_the_modules(steps, expected):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(tarnwick_parser.__file__))
    r = subprocess.run([sys.executable, "-c", "import importlib\n" + SUB_INTERPRETER + steps],
                       capture_output=True, text=True, env=env, timeout=30)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == expected
