"""The benchmark tools' own logic: sizing programs, judging runs, reading callgrind files."""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import profile as bench_profile  # noqa: E402
import run  # noqa: E402
import suite  # noqa: E402


@pytest.mark.parametrize("lang", ["tarnwick", "python", "lua"])
@pytest.mark.parametrize("name", suite.NAMES)
def test_every_program_takes_its_size_from_the_first_line(name, lang):
    text = suite.source(name, lang, 4321)
    first, rest = text.split("\n", 1)
    assert first.endswith("n = 4321")
    with open(suite.path(name, lang), encoding="utf-8") as f:
        assert f.read().split("\n", 1)[1] == rest


def test_a_program_without_a_size_line_is_refused(tmp_path, monkeypatch):
    monkeypatch.setattr(suite, "PROGRAMS", str(tmp_path))
    (tmp_path / "odd.py").write_text("print(1)\nn = 3\n")
    with pytest.raises(ValueError, match="does not set n"):
        suite.source("odd", "python", 5)


@pytest.mark.parametrize("text, expected", [
    ("3\nnil\n", "3\n"),
    ("nil\n", ""),
    ('"a"\n5\nnil\n', '"a"\n5\n'),
    ("3\n", "3\n"),                # no result line to strip
    ("Runtime error: x\n", "Runtime error: x\n"),
])
def test_engine_driver_result_line_is_stripped_only_when_nil(text, expected):
    assert run.strip_result_line(text) == expected


def test_measure_reports_output_status_and_memory():
    m = run.measure([sys.executable, "-c", "import sys; b = bytearray(64 << 20); print('hi'); sys.exit(3)"])
    assert (m.stdout, m.returncode) == ("hi\n", 3)
    assert m.max_rss_kb > 64 * 1024  # the child's own peak, not this process's
    assert 0 < m.cpu and 0 < m.wall


def test_measure_kills_a_run_past_its_timeout():
    m = run.measure([sys.executable, "-c", "import time; time.sleep(30)"], timeout=0.5)
    assert m.returncode != 0 and m.wall < 10


def _lang(key, script):
    return run.Language(key, key, "python", lambda path: [sys.executable, "-c", script])


def test_a_disagreeing_or_failing_language_is_reported_and_not_timed():
    langs = [_lang("cpython", "print(42)"), _lang("tarnwick", "print(41)"), _lang("lua", "raise SystemExit(2)")]
    row = run.run_benchmark("fib", 1, langs, runs=1, timeout=30)
    assert set(row["times"]) == {"cpython"}
    assert "tarnwick printed '41 | '" in row["error"] and "lua failed (2)" in row["error"]
    table = run.format_table([row], langs)
    assert "ERROR:" in table and "fib" in table


def test_agreeing_languages_get_ratios():
    langs = [_lang("tarnwick", "print(1)"), _lang("cpython", "print(1)")]
    row = run.run_benchmark("fib", 1, langs, runs=2, timeout=30)
    assert row["error"] is None
    assert run.ratio(row, "cpython") == pytest.approx(row["times"]["tarnwick"] / row["times"]["cpython"])


CALLGRIND_OUT = """# callgrind format
version: 1
positions: instr line
events: Ir
fl=(1) vm.cpp
fn=(1) tarnwick::VM::run_loop()
0x1000 10 5
+4 * 5
cfn=(2) tarnwick::helper()
calls=5 0x2000 20
+4 * 100
-8 * 1
fn=(2)
0x2000 20 100
fn=(1)
0x1010 12 7
"""


def test_callgrind_costs_of_the_loop_are_read_per_address(tmp_path):
    out = tmp_path / "cg.out"
    out.write_text(CALLGRIND_OUT)
    own, calls = bench_profile.loop_costs(str(out))
    assert dict(own) == {0x1000: 6, 0x1004: 5, 0x1010: 7}  # the helper's own cost is not the loop's
    assert dict(calls) == {0x1008: 100}


def test_labels_alone_on_a_line_share_the_next_handler(tmp_path):
    src = tmp_path / "vm.cpp"
    src.write_text("setup();\nL_Add: { add(); }\nL_Div:\nL_Mod: {\n  mod();\n}\nL_Nop:\n  next();\n")
    label = bench_profile.handler_of_lines(str(src))
    assert [label(n) for n in (1, 2, 3, 5, 8)] == ["(entry)", "Add", "Div/Mod", "Div/Mod", "Nop"]
