"""The source tree's layering: what each folder may include, and that every file says what it holds."""
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
INCLUDE = re.compile(r'^\s*#\s*include\s+[<"]([^">]+)[">]', re.M)
MODULE_ENTRIES = {"parser/lib.cpp", "vm_engine/lib.cpp"}

# (files, include prefixes they must not use): the core never reaches Python or the edge, the VM module's
# core never reaches the front end, the IR emitter and the trace recorder never reach the VM.
RULES = [
    ("common/*", ("Python.h", "parser/", "vm_engine/", "pyedge/")),
    ("vm_engine/*", ("Python.h", "parser/", "pyedge/")),
    ("parser/*", ("Python.h", "pyedge/")),
    ("vm_engine/ir.*", ("vm_engine/vm.h", "vm_engine/vm_internal.h")),
    ("vm_engine/jit.*", ("vm_engine/vm.h", "vm_engine/vm_internal.h")),
    ("pyedge/*", ("parser/lib", "vm_engine/lib")),
]


def sources(pattern):
    files = sorted(p for p in ROOT.glob(pattern) if p.suffix in (".h", ".cpp"))
    assert files, pattern
    return files


@pytest.mark.parametrize("pattern,forbidden", RULES, ids=[r[0] for r in RULES])
def test_includes_point_down(pattern, forbidden):
    bad = []
    for path in sources(pattern):
        rel = path.relative_to(ROOT).as_posix()
        if rel in MODULE_ENTRIES:
            continue
        for inc in INCLUDE.findall(path.read_text()):
            if inc.startswith(forbidden):
                bad.append(f"{rel} includes {inc}")
    assert bad == []


def test_every_source_file_opens_with_what_it_holds():
    missing = [p.relative_to(ROOT).as_posix()
               for pattern in ("common/*", "parser/*", "vm_engine/*", "pyedge/*", "tools/*", "fuzz/*")
               for p in sources(pattern) if not p.read_text().startswith("//")]
    assert missing == []
