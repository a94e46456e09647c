"""The package installs with pip into a fresh virtual environment, without network access, and works there
as a new user would use it: the command, both modules sharing one copy of the native library, the stubs."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import tarnwick_parser

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.dirname(os.path.realpath(tarnwick_parser.__file__))
PACKAGE_FILES = ["setup.py", "pyproject.toml", "README.md", "MANIFEST.in"]
PACKAGE_DIRS = ["tarnwick", "pymodules"]

CHECK = textwrap.dedent("""
    import os, sys, sysconfig
    import tarnwick_parser, tarnwick_vm_engine
    site = sysconfig.get_paths()["platlib"]
    assert os.path.dirname(tarnwick_parser.__file__) == site, tarnwick_parser.__file__
    # The VM module is the extension module itself, loaded from the parser's file...
    assert [n for n in vars(tarnwick_vm_engine) if not n.startswith("__")] == [
        "VMEngine", "emit_ir", "optimize_bytecode"]
    assert type(tarnwick_vm_engine.emit_ir).__name__ == "builtin_function_or_method"
    assert tarnwick_vm_engine.__spec__.origin == tarnwick_parser.__file__
    # The Runtime's engine comes from the same file too.
    import tarnwick
    rt = tarnwick.Runtime()
    rt.run("fn f(x) { return x * 2 }")
    assert rt.call("f", 21) == 42
    # ...and the process holds one mapping of one library file, so there is one copy of its state.
    mapped = {line.split()[-1] for line in open("/proc/self/maps") if "tarnwick" in line.split()[-1]}
    assert mapped == {os.path.realpath(tarnwick_parser.__file__)}, mapped
    for name in ("tarnwick_parser.pyi", "tarnwick_vm_engine.pyi", os.path.join("tarnwick", "py.typed"),
                 os.path.join("tarnwick", "_native.pyi")):
        assert os.path.isfile(os.path.join(site, name)), name
    print("ok")
""")


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("install")
    src = tmp / "src"
    src.mkdir()
    for name in PACKAGE_FILES:
        shutil.copy(os.path.join(ROOT, name), src / name)
    for name in PACKAGE_DIRS:
        shutil.copytree(os.path.join(ROOT, name), src / name, ignore=shutil.ignore_patterns("__pycache__"))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    # Reuse the build that produced the modules under test rather than compiling the engine again.
    build_dir = os.path.dirname(MODULE_DIR)
    if os.path.isfile(os.path.join(build_dir, "CMakeCache.txt")):
        env["TARNWICK_CMAKE_BUILD_DIR"] = build_dir
    venv_dir = tmp / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv_dir)],
                   check=True, env=env, timeout=120)
    python = str(venv_dir / "bin" / "python")
    r = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
                        str(src)], capture_output=True, text=True, env=env, cwd=tmp, timeout=900)
    assert r.returncode == 0, r.stdout + r.stderr
    return {"bin": venv_dir / "bin", "python": python, "env": env, "cwd": tmp}


def test_installed_modules_share_one_library_and_ship_their_stubs(venv):
    r = subprocess.run([venv["python"], "-c", CHECK], capture_output=True, text=True, env=venv["env"],
                       cwd=venv["cwd"], timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")



def test_installed_command_runs_scripts(venv):
    r = subprocess.run([str(venv["bin"] / "tarnwick"), "-e", 'print(f"{2 + 3} from the venv")'],
                       capture_output=True, text=True, env=venv["env"], cwd=venv["cwd"], timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, '"5 from the venv"\n', "")
    r = subprocess.run([str(venv["bin"] / "tarnwick"), "--version"], capture_output=True, text=True,
                       env=venv["env"], cwd=venv["cwd"], timeout=60)
    assert r.stdout.startswith("tarnwick ")


@pytest.mark.parametrize("module_name, stub", [
    ("tarnwick_parser", "pymodules/tarnwick_parser.pyi"),
    ("tarnwick_vm_engine", "pymodules/tarnwick_vm_engine.pyi"),
    ("tarnwick._native", "tarnwick/_native.pyi"),
])
def test_stubs_declare_exactly_what_the_modules_offer(module_name, stub):
    import ast
    import importlib
    import tarnwick.runtime  # noqa: F401  (loads tarnwick._native)
    module = importlib.import_module(module_name)
    with open(os.path.join(ROOT, stub), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    public = {n for n in vars(module) if not n.startswith("_")}
    declared = {node.name for node in tree.body
                if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")}
    assert declared == public
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef) and node.name in public):
        methods = {m.name for m in cls.body if isinstance(m, ast.FunctionDef) and not m.name.startswith("__")}
        real = {n for n in vars(getattr(module, cls.name)) if not n.startswith("__")}
        assert methods == real, cls.name
