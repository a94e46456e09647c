"""Readers for the byte forms that cross the Python boundary.

`tarnwick_parser.compile` returns a pair of int lists: the main code's opcodes through the compiler's byte
table, and the serialised constant table. The VM module's readers (`VMEngine`, `optimize_bytecode`,
`emit_ir`) read a different table. Neither form carries operands, so a listing can name each instruction
but cannot show which register, constant or jump target it uses.
"""
from __future__ import annotations

import struct
from typing import Iterable, List, Tuple, Union

from tarnwick._opcodes import NO_BYTE, OPCODES

# Bytes written by tarnwick_parser.compile (NO_BYTE for every instruction without a byte of its own:
# instructions with operands, GetIter and IterNext).
COMPILE_OPCODES = {comp: name for name, _vm, comp, _operand in OPCODES if comp != NO_BYTE}

# Bytes read by the VM module (VMEngine, optimize_bytecode, emit_ir) and written by optimize_bytecode.
VM_OPCODES = {vm: name for name, vm, _comp, _operand in OPCODES if vm != NO_BYTE}
VM_BYTES = {name: byte for byte, name in VM_OPCODES.items()}

CONSTANT_KINDS = ("nil", "bool", "int", "float", "string")

Constant = Tuple[str, Union[None, bool, int, float, str]]


class MalformedConstants(ValueError):
    """The serialised constant table ended early or holds an unknown kind tag."""


def opcode_name(byte: int, table: dict = COMPILE_OPCODES) -> str:
    """The instruction name of one byte; "?" stands for an instruction that has no byte in `table`."""
    if byte == NO_BYTE:
        return "?"
    return table.get(byte, f"<invalid 0x{byte:02x}>")


def decode_constants(data: Iterable[int]) -> List[Constant]:
    """Decodes a serialised constant table into (kind, value) pairs, in index order."""
    raw = bytes(data)
    out: List[Constant] = []
    pos = 0

    def take(n: int, what: str) -> bytes:
        nonlocal pos
        if pos + n > len(raw):
            raise MalformedConstants(f"constant {len(out)}: {what} needs {n} bytes at offset {pos}, "
                                     f"only {len(raw) - pos} left")
        chunk = raw[pos:pos + n]
        pos += n
        return chunk

    while pos < len(raw):
        tag = raw[pos]
        pos += 1
        if tag == 0:
            out.append(("nil", None))
        elif tag == 1:
            out.append(("bool", take(1, "bool")[0] != 0))
        elif tag == 2:
            out.append(("int", struct.unpack("<q", take(8, "int"))[0]))
        elif tag == 3:
            out.append(("float", struct.unpack("<d", take(8, "float"))[0]))
        elif tag == 4:
            (length,) = struct.unpack("<I", take(4, "string length"))
            text = take(length, "string").decode("utf-8", errors="replace")
            out.append(("string", text))
        else:
            raise MalformedConstants(f"constant {len(out)}: unknown kind tag {tag} at offset {pos - 1}")
    return out


def format_constant(kind: str, value) -> str:
    """One constant as a listing shows it: strings quoted with escapes, floats in round-trip form."""
    if kind == "nil":
        return "nil"
    if kind == "bool":
        return "true" if value else "false"
    if kind == "string":
        escaped = (value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
                   .replace("\r", "\\r").replace("\t", "\\t").replace("\0", "\\0"))
        return f'"{escaped}"'
    return repr(value)


def compile_to_vm_bytes(opcodes: Iterable[int]) -> Tuple[bytes, int]:
    """Re-encodes `compile` output for the VM module's readers.

    Returns the VM-table bytes and the number of instructions that could not be carried over: `Push`,
    every instruction with an operand and every other instruction without a VM byte.
    """
    out = bytearray()
    dropped = 0
    for byte in opcodes:
        name = COMPILE_OPCODES.get(byte)
        vm_byte = VM_BYTES.get(name) if name is not None else None
        if vm_byte is None:
            dropped += 1
        else:
            out.append(vm_byte)
    return bytes(out), dropped
