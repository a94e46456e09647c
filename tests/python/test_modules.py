import importlib
import os

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
