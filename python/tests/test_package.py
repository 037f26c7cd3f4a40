"""The package as a newcomer meets it: the README's example, the docstrings' examples, the version."""

import doctest
import inspect
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

import expcoil
from conftest import REPO


def test_the_readme_example_runs_as_written(tmp_path):
    readme = (REPO / "README.md").read_text()
    section = readme[readme.index("## Python"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(code.strip().splitlines()) == 5
    (tmp_path / "examples").mkdir()
    (tmp_path / "build").mkdir()  # the picture goes there, not into the repository's root
    shutil.copy(REPO / "examples" / "config.txt", tmp_path / "examples")
    # As the README runs it: PYTHONPATH names the folder that holds the package.
    environment = dict(os.environ, PYTHONPATH=str(Path(expcoil.__file__).parents[1]))
    finished = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=environment, capture_output=True,
                              text=True, timeout=300)
    assert finished.returncode == 0, finished.stderr
    assert (tmp_path / "build" / "By.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_the_docstring_examples_run(monkeypatch, tmp_path):
    monkeypatch.chdir(REPO)  # the examples read examples/config.txt
    globs = dict(expcoil=expcoil, np=np, os=os, tmp=str(tmp_path))
    # The package's docstring and every public function's (all shown as members of expcoil), and the
    # C++ classes' methods, whose docstrings doctest does not look into by itself.
    tests = doctest.DocTestFinder().find(expcoil, globs=globs)
    tests += [doctest.DocTestParser().get_doctest(expcoil.Config.from_dict.__doc__, dict(globs), "from_dict", None, 0)]
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for test in tests:
        runner.run(test)
    names = {test.name.split(".")[-1] for test in tests if test.examples}
    assert {"expcoil", "read_config", "design", "field", "field_map", "write_windings", "from_dict"} <= names
    assert runner.summarize(verbose=False).failed == 0


def test_every_public_name_and_attribute_is_documented():
    for name in expcoil.__all__:
        value = getattr(expcoil, name)
        assert inspect.getdoc(value), name
        if inspect.isclass(value) and not issubclass(value, BaseException):
            for attribute, member in vars(value).items():
                if not attribute.startswith("_") and not isinstance(member, tuple):
                    assert inspect.getdoc(member), f"{name}.{attribute}"
    for name in ("field", "design", "field_map", "read_config"):
        assert "Parameters\n----------" in inspect.getdoc(getattr(expcoil, name)), name


def test_the_version_is_the_projects():
    cmake = (REPO / "CMakeLists.txt").read_text()
    assert expcoil.__version__ == re.search(r"project\(expcoil VERSION ([0-9.]+)", cmake).group(1)


def test_the_exceptions_survive_pickling_as_multiprocessing_sends_them():
    import pickle
    for error in (expcoil.ConfigError(["a: one", "a: two"]), expcoil.FftLengthError("FFT length 3", 3),
                  expcoil.WriteError("cannot write p: full", "p"), expcoil.InputError("bad")):
        again = pickle.loads(pickle.dumps(error))
        assert type(again) is type(error) and str(again) == str(error)
        assert vars(again) == vars(error)
