#!/usr/bin/env python3
"""Keeps tarnwick/_opcodes.py in step with the instruction list in vm_engine/opcodes.h.

    python3 scripts/opcodes.py           rewrite tarnwick/_opcodes.py from the list
    python3 scripts/opcodes.py --check   exit 1 (with a message) when the file is out of date

The build runs the check, so an instruction added, moved or renumbered in the header and not here fails
the build instead of leaving the Python readers with a stale table.
"""
from __future__ import annotations

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "vm_engine" / "opcodes.h"
TARGET = ROOT / "tarnwick" / "_opcodes.py"

ROW = re.compile(r"X\((\w+),\s*(0x[0-9A-Fa-f]+),\s*(0x[0-9A-Fa-f]+),\s*(\w+)[,)]")


def read_rows(text: str):
    start = text.index("#define TARNWICK_OPCODES(X)")
    end = text.index("\n\n", start)
    return [(m[1], int(m[2], 16), int(m[3], 16), m[4]) for m in ROW.finditer(text[start:end])]


def render(rows) -> str:
    lines = [
        '"""The instruction set as the engine defines it: generated from vm_engine/opcodes.h by',
        'scripts/opcodes.py (the build checks that it is current). Do not edit by hand."""',
        "",
        "# Byte that marks an instruction without a byte in a table.",
        "NO_BYTE = 0xFE",
        "",
        "# (name, byte in the VM module's table, byte in compile()'s table, operand kind), in opcode order.",
        "OPCODES = (",
    ]
    for name, vm, comp, operand in rows:
        lines.append(f'    ("{name}", 0x{vm:02X}, 0x{comp:02X}, "{operand}"),')
    lines.append(")")
    return "\n".join(lines) + "\n"


def main(argv) -> int:
    rows = read_rows(HEADER.read_text())
    if not rows:
        print(f"{HEADER}: no instruction rows found", file=sys.stderr)
        return 1
    text = render(rows)
    if "--check" in argv:
        if not TARGET.exists() or TARGET.read_text() != text:
            print(f"{TARGET.relative_to(ROOT)} does not match {HEADER.relative_to(ROOT)}: "
                  f"run python3 scripts/opcodes.py", file=sys.stderr)
            return 1
        return 0
    TARGET.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
