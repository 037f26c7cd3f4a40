"""Shared by the package's tests: the repository, the real program, and a small configuration that the
program and the package both run."""

import os
import subprocess
from pathlib import Path

import pytest

import expcoil

REPO = Path(__file__).resolve().parents[2]
# Resolved once: tests change the working directory.
PROGRAM = Path(os.environ.get("EXPCOIL_BINARY", REPO / "build" / "expcoil")).resolve()
EXPORTER = Path(os.environ.get("EXPCOIL_EXPORT_BINARY", REPO / "build" / "expcoil-export")).resolve()


def run_program(directory, command=(PROGRAM,)):
    """Runs the program (or `command`) in `directory`; returns the finished process."""
    return subprocess.run(list(command), cwd=directory, capture_output=True, text=True, timeout=600)


def example_text(**replace):
    """examples/config.txt with the first line of each key replaced: replace={"Coil meshes": "32"}."""
    lines = (REPO / "examples" / "config.txt").read_text().splitlines()
    for key, value in replace.items():
        at = next(i for i, line in enumerate(lines) if line.startswith(key + ":"))
        lines[at] = f"{key}: {value}"
    return "\n".join(lines) + "\n"


# The example's two magnets (one straight, one bent by 15 degrees) on coarser meshes and grids, so that
# the whole chain runs in well under a second.
SMALL = {
    "Coil meshes": "32",
    "FFT meshes": "64",
    "Fieldmap vertical cell": "0.02",
    "Fieldmap longitudinal cell": "0.05",
}


@pytest.fixture(scope="session")
def small_run(tmp_path_factory):
    """The program's files for the small configuration, and the configuration read by the package."""
    directory = tmp_path_factory.mktemp("small")
    (directory / "config.txt").write_text(example_text(**SMALL))
    finished = run_program(directory)
    assert finished.returncode == 0, finished.stderr
    return directory, expcoil.read_config(directory / "config.txt")


@pytest.fixture(scope="session")
def small_designs(small_run):
    """The designs of the small configuration's magnets, by name."""
    _, config = small_run
    return {m.name: expcoil.design(m) for m in config.magnets}
