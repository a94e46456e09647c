"""VMEngine: construction from VM-table bytes, execute, state, stats, reset, JIT switch, borrow rules."""
import os
import subprocess
import sys
import threading

import pytest

from tarnwick_vm_engine import VMEngine

POP, DUP, NOT, LEN, HALT, NOP = b"\x01", b"\x02", b"\x32", b"\x06", b"\xff", b"\x00"
BASE_KEYS = ["instructions_executed", "stack_depth", "call_depth", "cache_hits", "cache_misses", "cache_hit_rate"]


def test_class_surface():
    assert VMEngine.__doc__ == "Python wrapper for VMEngine"
    assert VMEngine.__text_signature__ == "(bytecode)"
    for name in ("execute", "enable_jit", "collect_hot_traces_ir", "state", "stats"):
        assert getattr(VMEngine, name).__text_signature__ == "($self)"
    assert VMEngine.reset.__text_signature__ == "($self, bytecode)"


@pytest.mark.parametrize("code,result,state,executed", [
    (b"", "nil", "Running", 0),
    (NOP * 5, "nil", "Running", 0),
    (POP, "Error: Stack underflow", "Running", 0),
    (NOP + HALT, "nil", "Halted", 1),
    (HALT + POP, "nil", "Halted", 1),  # everything after Halt is dead code
    (b"\xfe\xfd" + HALT, "nil", "Halted", 1),  # undefined bytes vanish
    (NOT, "Error: Stack underflow", "Running", 0),
    (LEN + DUP + b"\x10", "Error: Stack underflow", "Running", 0),
    (b"\x03", "Error: Stack underflow on Swap", "Running", 0),
])
def test_execute(code, result, state, executed):
    engine = VMEngine(code)
    assert engine.execute() == result
    assert engine.state() == state
    stats = engine.stats()
    assert stats["instructions_executed"] == executed
    assert stats["stack_depth"] == 0


def test_execute_continues_where_it_stopped():
    engine = VMEngine(NOP + HALT)
    assert engine.execute() == "nil"
    assert engine.execute() == "nil"
    assert engine.stats()["instructions_executed"] == 1


@pytest.mark.parametrize("bad", ["\x01", bytearray(b"\x01"), memoryview(b"\x01"), None, 1, [1]])
def test_bytecode_must_be_bytes(bad):
    message = f"argument 'bytecode': '{type(bad).__name__}' object cannot be converted to 'PyBytes'"
    with pytest.raises(TypeError) as info:
        VMEngine(bad)
    assert str(info.value) == message
    engine = VMEngine(HALT)
    with pytest.raises(TypeError) as info:
        engine.reset(bad)
    assert str(info.value) == message
    assert engine.execute() == "nil" and engine.state() == "Halted"  # a failed reset changes nothing


def test_bytes_subclass_is_accepted():
    class Code(bytes):
        pass

    assert VMEngine(Code(HALT)).execute() == "nil"


def test_stats_keys_and_types():
    engine = VMEngine(HALT)
    stats = engine.stats()
    assert list(stats) == BASE_KEYS
    assert stats["cache_hit_rate"] == 0.0 and type(stats["cache_hit_rate"]) is float
    assert all(type(stats[k]) is int for k in BASE_KEYS[:-1])
    assert engine.stats() is not stats


def test_jit_switch_and_statistics():
    engine = VMEngine(HALT)
    assert engine.collect_hot_traces_ir() == []
    assert engine.enable_jit() is None
    stats = engine.stats()
    assert list(stats) == BASE_KEYS + ["jit_stats"]
    assert stats["jit_stats"] == ("JIT Stats:\n  Total traces: 0\n  Hot traces: 0\n  Compiled: 0\n"
                                  "  Total executions: 0\n")
    assert engine.execute() == "nil"
    assert engine.collect_hot_traces_ir() == []  # code without jumps records no trace
    engine.enable_jit()
    assert "jit_stats" in engine.stats()


def test_reset_starts_afresh():
    engine = VMEngine(NOP + HALT)
    engine.enable_jit()
    engine.execute()
    assert engine.reset(POP) is None
    assert engine.state() == "Running"
    assert list(engine.stats()) == BASE_KEYS  # JIT off again
    assert engine.stats()["instructions_executed"] == 0
    assert engine.execute() == "Error: Stack underflow"
    engine.reset(bytecode=b"")
    assert engine.execute() == "nil"


def test_threads_sharing_one_engine():
    engine = VMEngine(HALT)
    errors = []
    barrier = threading.Barrier(4)

    def worker(n):
        barrier.wait()
        try:
            for i in range(2000):
                if n == 0 and i % 50 == 0:
                    engine.reset(POP if i % 100 else HALT)
                if n == 1 and i % 70 == 0:
                    engine.enable_jit()
                assert engine.execute() in ("nil", "Error: Stack underflow")
                assert engine.state() in ("Running", "Halted")
                assert set(BASE_KEYS) <= set(engine.stats())
                assert engine.collect_hot_traces_ir() == []
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizers' own memory hides the loader's")
def test_loading_ten_mebibytes_takes_memory_linear_in_the_input():
    # Loading keeps about the decoded code (16 bytes an instruction) at its peak, not a per-position table.
    probe = (
        "import resource, tarnwick_vm_engine as m\n"
        "data = b'\\x00' * (10 << 20)\n"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "e = m.VMEngine(data)\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, e.execute())\n"
    )
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}).stdout.split()
    growth_kib, result = int(out[0]), out[1]
    assert result == "nil"
    assert growth_kib * 1024 < 24 * (10 << 20), f"peak grew by {growth_kib} KiB while loading 10 MiB"
