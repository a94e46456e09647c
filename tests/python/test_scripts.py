"""The script corpus (tests/scripts, format in its README) and the examples, through the Python modules and
through the command line: each script prints exactly its expected lines and ends as it says."""
import glob
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import tarnwick
import tarnwick_parser as tp

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PATHS = sorted(glob.glob(os.path.join(ROOT, "tests", "scripts", "**", "*.tw"), recursive=True)
               + glob.glob(os.path.join(ROOT, "examples", "*.tw")))
IDS = [os.path.relpath(p, ROOT) for p in PATHS]
SOURCE_ERRORS = ("Lex error: ", "Parse error: ", "Compile error: ")


def _after(line, at, marker):
    rest = line[at + len(marker):]
    return rest[1:] if rest.startswith(" ") else rest


def load(path):
    """(source, expected printed text, expected error text or None)."""
    with open(path, encoding="utf-8", newline="") as f:
        source = f.read()
    printed, error = "", None
    for line in source.split("\n"):
        if (at := line.find("# expect-error:")) >= 0:
            error = _after(line, at, "# expect-error:")
        elif (at := line.find("# expect:")) >= 0:
            printed += _after(line, at, "# expect:") + "\n"
    expected = os.path.splitext(path)[0] + ".expected"
    if os.path.exists(expected):
        with open(expected, encoding="utf-8", newline="") as f:
            printed = f.read()
    return source, printed, error


def test_the_corpus_is_found():
    assert len(PATHS) > 100


@pytest.mark.parametrize("path", PATHS, ids=IDS)
def test_through_the_modules(path, capfd):
    source, printed, error = load(path)
    # The one-shot pipeline: print writes to the process's standard output.
    if error is not None and error.startswith(SOURCE_ERRORS):
        with pytest.raises(SyntaxError) as info:
            tp.compile_and_run(source)
        assert info.value.msg == error
    else:
        assert tp.compile_and_run(source) == (error or "nil")
    assert capfd.readouterr().out == printed
    # A Runtime: print writes to its output callback.
    lines = []
    rt = tarnwick.Runtime(output=lines.append, input=lambda prompt: None)
    try:
        rt.run(source, name=path)
        ended = None
    except tarnwick.ScriptSyntaxError as e:
        ended = e.msg
    except tarnwick.ScriptError as e:
        ended = "Runtime error: " + e.message
    assert "".join(lines) == printed
    assert ended == error


@pytest.fixture(scope="module")
def command_line_runs(request):
    """The selected scripts run by `python -m tarnwick FILE`, a few processes at a time: {path: result}."""
    paths = [item.callspec.params["path"] for item in request.session.items
             if item.originalname == "test_through_the_command_line"]
    import tarnwick_parser
    module_dir = os.path.dirname(os.path.realpath(tarnwick_parser.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, ROOT]))

    def run(path):
        return subprocess.run([sys.executable, "-m", "tarnwick", path], capture_output=True, text=True,
                              env=env, stdin=subprocess.DEVNULL, timeout=120)

    with ThreadPoolExecutor(max_workers=4) as pool:
        return dict(zip(paths, pool.map(run, paths)))


@pytest.mark.parametrize("path", PATHS, ids=IDS)
def test_through_the_command_line(path, command_line_runs):
    _, printed, error = load(path)
    r = command_line_runs[path]
    assert r.stdout == printed
    if error is None:
        assert (r.returncode, r.stderr) == (0, "")
    else:
        # Exit status 2 for source that does not compile, 1 for a failed run; the message names the line.
        assert r.returncode == (2 if error.startswith(SOURCE_ERRORS) else 1)
        # The header names the place, so the message in it leaves out the positions the engine adds.
        from tarnwick import diagnostics as diag
        shown = diag.syntax_words(error) if error.startswith(SOURCE_ERRORS) else diag.runtime_words(error)
        assert shown in r.stderr
