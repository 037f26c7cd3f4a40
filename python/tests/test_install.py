"""The package and the programs as a user installs and asks them: --help and --version, make install and
make uninstall, pip install into a virtual environment, and the type stubs."""

import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import expcoil
from expcoil import _expcoil
from conftest import EXPORTER, PROGRAM, REPO

VERSION = re.search(r"project\(expcoil VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text()).group(1)
BUILD = os.environ.get("EXPCOIL_BUILD_DIR")
PACKAGE_FOLDER = f"lib/python{sys.version_info.major}.{sys.version_info.minor}/dist-packages"
# The package's own environment for its Python command line (PYTHONPATH names the build's package).
PYTHON_COMMAND = (sys.executable, "-m", "expcoil")


def needs_plain_build():
    if not BUILD:
        pytest.skip("EXPCOIL_BUILD_DIR is not set: run through ctest, which names the build folder")
    if "LD_PRELOAD" in os.environ:
        pytest.skip("a sanitizer build: installing is checked in the plain build")


def run(command, cwd, env=None, timeout=120):
    return subprocess.run([str(c) for c in command], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("command, flag", [
    ((PROGRAM,), "--help"), ((PROGRAM,), "-h"), ((PROGRAM,), "--version"), ((PROGRAM, "x", "--version"), "-h"),
    ((EXPORTER,), "--version"), ((EXPORTER,), "-h"), ((EXPORTER, "opal"), "--version"),
    (PYTHON_COMMAND, "--version"), (PYTHON_COMMAND, "--help"), (PYTHON_COMMAND, "-h"),
])
def test_help_and_version_answer_without_reading_or_writing_anything(tmp_path, command, flag):
    shutil.copy(REPO / "examples" / "config.txt", tmp_path)
    (tmp_path / "fieldmap_Straight.csv").write_text("an earlier result\n")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    finished = run([*command, flag], tmp_path)
    assert (finished.returncode, finished.stderr) == (0, "")
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before
    # The first of the requests decides: "x --version -h" asks for the version.
    version = flag == "--version" or "--version" in command
    if version:
        name = "expcoil-export" if command[0] == EXPORTER else "expcoil"
        assert finished.stdout == f"{name} {VERSION}\n"
    else:
        assert finished.stdout.startswith("usage: ") and "--version" in finished.stdout


def test_the_version_is_one_number_for_the_package_and_the_programs():
    assert expcoil.__version__ == VERSION


def test_other_arguments_are_ignored_with_one_line_on_standard_error(tmp_path):
    plain = run([PROGRAM], tmp_path)  # no config.txt: the run that always starts, and its complaint
    given = run([PROGRAM, "more", "--verbose"], tmp_path)
    assert plain.returncode == given.returncode == 1
    assert given.stdout == plain.stdout
    note, rest = given.stderr.split("\n", 1)
    assert note.startswith("expcoil: ignoring the arguments 'more' '--verbose'")
    assert rest == plain.stderr and "config.txt" in plain.stderr


def test_install_and_uninstall_through_the_manifest(tmp_path):
    needs_plain_build()
    manifest = Path(BUILD) / "install_manifest.txt"
    saved = manifest.read_bytes() if manifest.exists() else None  # a real make install's record
    try:
        stage, prefix = tmp_path / "stage", "/opt/expcoil-test"
        environment = dict(os.environ, DESTDIR=str(stage))
        finished = run(["cmake", "--install", BUILD, "--prefix", prefix], tmp_path, environment)
        assert finished.returncode == 0, finished.stderr
        root = stage / prefix.lstrip("/")
        for program in ("expcoil", "expcoil-export"):
            answer = run([root / "bin" / program, "--version"], tmp_path)
            assert answer.stdout == f"{program} {VERSION}\n"
        package = root / PACKAGE_FOLDER / "expcoil"
        assert {"py.typed", "_expcoil.pyi", "__init__.pyi", "__init__.py", "__main__.py"} <= {
            p.name for p in package.iterdir()}
        # Found by the interpreter from that folder alone, not from the build.
        environment = dict(os.environ, PYTHONPATH=str(package.parent))
        imported = run([sys.executable, "-c", "import expcoil; print(expcoil.__file__, expcoil.__version__)"],
                       tmp_path, environment)
        assert imported.stdout == f"{package / '__init__.py'} {VERSION}\n", imported.stderr
        run([sys.executable, "-m", "compileall", "-q", package], tmp_path)  # as Python leaves it after use
        listed = manifest.read_text().split()
        # Listed under the prefix, without DESTDIR, which make uninstall is given again.
        assert all(Path(f).is_relative_to(prefix) for f in listed) and len(listed) == sum(
            1 for p in stage.rglob("*") if p.is_file() and "__pycache__" not in p.parts)
        removed = run(["make", "-s", "-C", REPO, "uninstall", f"BUILD={BUILD}", f"DESTDIR={stage}"], tmp_path)
        assert removed.returncode == 0, removed.stderr
        assert [p for p in stage.rglob("*") if not p.is_dir()] == [] and not package.exists()
        assert not manifest.exists()
    finally:
        if saved is not None:
            manifest.write_bytes(saved)
        else:
            manifest.unlink(missing_ok=True)


def test_pip_installs_the_package_into_a_virtual_environment(tmp_path):
    needs_plain_build()
    python = "/usr/bin/python3"
    for module, package in (("ensurepip", "python3-venv"), ("pip", "python3-pip"), ("setuptools", "python3-setuptools")):
        if run([python, "-c", f"import {module}"], tmp_path).returncode != 0:
            pytest.skip(f"{python} has no {module} (Debian's {package}): the pip route cannot be tried")
    # A copy of the sources, so that the build's files land there, not in the repository; the module
    # comes from this build folder, already configured (a fresh configuration is the same CMake).
    source = tmp_path / "source"
    shutil.copytree(REPO, source, ignore=shutil.ignore_patterns("build*", ".git", ".venv", "__pycache__"))
    venv = tmp_path / "venv"
    assert run([python, "-m", "venv", "--system-site-packages", venv], tmp_path).returncode == 0
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    environment.update(EXPCOIL_CMAKE_BUILD_DIR=BUILD, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    installed = run([venv / "bin" / "pip", "install", "--no-build-isolation", "."], source, environment, 600)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    probe = ("import expcoil, pathlib; p = pathlib.Path(expcoil.__file__).parent; "
             "print(expcoil.__version__, (p / 'py.typed').exists(), (p / '_expcoil.pyi').exists(), p)")
    answer = run([venv / "bin" / "python", "-c", probe], tmp_path, environment)
    version, typed, stub, folder = answer.stdout.split()
    assert (version, typed, stub) == (VERSION, "True", "True"), answer.stderr
    assert Path(folder).is_relative_to(venv)
    assert run([venv / "bin" / "python", "-m", "expcoil", "--version"], tmp_path, environment).stdout == \
        f"expcoil {VERSION}\n"


def stub_definitions(path):
    """name -> ast node of every top-level def and class of a stub file."""
    tree = ast.parse(path.read_text())
    return {n.name: n for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}


def stub_parameters(node):
    a = node.args
    names = [p.arg for p in a.args + a.kwonlyargs]
    return [n for n in names if n != "self"]


def test_the_stubs_name_every_public_function_with_its_parameters():
    package = Path(expcoil.__file__).parent
    stub = stub_definitions(package / "__init__.pyi")
    imported = {alias.asname for n in ast.parse((package / "__init__.pyi").read_text()).body
                if isinstance(n, ast.ImportFrom) for alias in n.names}
    for name in expcoil.__all__:
        value = getattr(expcoil, name)
        if inspect.isfunction(value):
            assert stub_parameters(stub[name]) == list(inspect.signature(value).parameters), name
        else:
            assert name in imported, name
    module_stub = stub_definitions(package / "_expcoil.pyi")
    for name in dir(_expcoil):
        if name.startswith("__"):
            continue
        value = getattr(_expcoil, name)
        assert name in module_stub, name
        if inspect.isclass(value):
            stubbed = {n.name for n in module_stub[name].body if isinstance(n, ast.FunctionDef)}
            assert {a for a in vars(value) if not a.startswith("_")} == stubbed - {"__init__"}, name
        elif not name.startswith("_"):
            # pybind11 writes the signature as the docstring's first line.
            signature = value.__doc__.split("\n", 1)[0]
            assert re.findall(r"(\w+): ", signature) == stub_parameters(module_stub[name]), name
