"""python3 -m expcoil report: the files it writes, its exit codes, and the page in a browser."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import expcoil
from expcoil import analysis, report
from expcoil.__main__ import main as command_line
from conftest import REPO, SMALL, example_text


def run_report(directory, *arguments, cwd=None):
    environment = dict(os.environ, PYTHONPATH=str(Path(expcoil.__file__).parents[1]), MPLBACKEND="Agg")
    command = [sys.executable, "-m", "expcoil", "report", *([str(directory)] if directory else []), *arguments]
    return subprocess.run(command, cwd=cwd, env=environment, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def small_reports(tmp_path_factory):
    """The reports of the small configuration (coarse meshes: its verdict fails)."""
    directory = tmp_path_factory.mktemp("reports")
    (directory / "config.txt").write_text(example_text(**SMALL))
    finished = run_report(directory)
    return directory, finished


def test_the_shipped_example_passes_its_verdict(tmp_path):
    shutil.copy(REPO / "examples" / "config.txt", tmp_path)
    finished = run_report(None, cwd=tmp_path)  # DIR defaults to the working directory
    assert finished.returncode == 0, finished.stdout + finished.stderr
    for name in ("Straight", "Bent"):
        data = json.loads((tmp_path / f"report_{name}.json").read_text())
        assert data["pass"] and all(v["pass"] for v in data["verdict"])
        lower = data["bands"][0]
        assert lower["band"] == "lower" and abs(lower["k_fit_relative_error"]) <= 0.02
        assert lower["rms_deviation_from_law"] <= 0.02
        assert re.search(rf"^{name}: PASS: k_fit/k - 1 = [+-]\d", finished.stdout, re.M)
    assert finished.stderr == ""


def test_every_magnet_gets_its_json_and_page(small_reports, small_run, small_designs):
    directory, finished = small_reports
    assert finished.returncode in (0, 3), finished.stderr
    passes = []
    for name in ("Straight", "Bent"):
        data = json.loads((directory / f"report_{name}.json").read_text())
        assert data["magnet"] == name
        assert [b["band"] for b in data["bands"]] == ["lower", "upper"]
        keys = {"name", "band", "key", "value", "tolerance", "pass"}
        assert len(data["verdict"]) == 6 and all(set(v) == keys for v in data["verdict"])
        assert data["pass"] == all(v["pass"] for v in data["verdict"])
        lower = data["bands"][0]
        assert len(lower["reference_line"]["By_T"]) == analysis.LINE_POINTS
        assert len(lower["ends"]["effective_length_m"]) == analysis.END_HEIGHTS
        assert data["windings"]["windings"] > 0 and data["windings"]["open_chains"] == 0
        page = (directory / f"report_{name}.html").read_text()
        # Windings, and per band the reference line and the ends; the field index and the deviation map.
        assert page.count('<img class="figure"') == 7 and 'id="verdict"' in page
        # Self-contained: nothing is fetched from anywhere.
        assert not re.search(r'(src|href)="(?!data:)', page)
        assert f"{name}: {'PASS' if data['pass'] else 'FAIL'}: " in finished.stdout
        passes.append(data["pass"])
    assert finished.returncode == (0 if all(passes) else 3)
    assert not list(directory.glob("expcoil-*.tmp"))
    # The figures are those of the analysis of the design.
    config = small_run[1]
    d = small_designs["Bent"]
    result = analysis.analyse(config, config.magnets[1], d.segments, d.currents)
    data = json.loads((directory / "report_Bent.json").read_text())
    for band, entry in zip(data["bands"], result["bands"].values()):
        assert band["k_fit_per_m"] == entry["k_fit_per_m"]
        assert band["rms_deviation_from_law"] == entry["rms_deviation_from_law"]
        assert band["ends"]["effective_length_m"] == entry["ends"]["effective_length_m"]
        assert band["reference_line"]["By_T"] == entry["By_T"].tolist()
    assert data["windings"]["segments"] == d.segments.shape[0]


def test_from_files_reads_the_windings_the_program_wrote(small_run, small_reports, tmp_path):
    directory, _ = small_run
    for name in ("config.txt", "windings_Bent.csv"):
        shutil.copy(directory / name, tmp_path)
    # A report that cannot be written is named and the other magnets go on; a tolerance as a fraction of
    # a per cent is held to.
    (tmp_path / "report_Straight.json").mkdir()  # in the way of the file
    finished = run_report(tmp_path, "--from-files", "--tolerance", "1e-6%")
    assert finished.returncode == 1 and "Bent: FAIL" in finished.stdout
    assert f"magnet Straight: no report: cannot write {tmp_path / 'report_Straight.json'}: Is a directory" \
        in finished.stderr
    assert not (tmp_path / "report_Straight.html").exists() and not list(tmp_path.glob("expcoil-*.tmp"))
    bent = json.loads((tmp_path / "report_Bent.json").read_text())
    assert bent["verdict"][0]["tolerance"] == 1e-8 and not bent["verdict"][0]["pass"]
    assert report._tolerance("0.000001") == 1e-8
    assert bent["windings"]["source"] == "windings_Bent.csv"
    # The file holds 15 digits: the same windings, the same figures to about that.
    designed = json.loads((small_reports[0] / "report_Bent.json").read_text())
    assert designed["windings"]["source"] == "expcoil.design"
    assert bent["windings"]["segments"] == designed["windings"]["segments"]
    assert bent["windings"]["windings"] == designed["windings"]["windings"]
    assert np.isclose(bent["bands"][0]["k_fit_per_m"], designed["bands"][0]["k_fit_per_m"], rtol=1e-9)


@pytest.mark.parametrize("arguments, message", [
    (["--tolerance", "-1"], "must be a positive number of per cent: '-1'"),
    (["--tolerance", "abc"], "not a number of per cent: 'abc'"),
    (["--workers", "0"], "must be a whole number from 1 to 65536: '0'"),
    (["--workers", "99999999999"], "must be a whole number from 1 to 65536: '99999999999'"),
    (["--colour"], "unrecognized arguments: --colour"),
])
def test_a_wrong_command_line_is_exit_code_2(tmp_path, capsys, arguments, message):
    assert report.main([str(tmp_path), *arguments]) == 2
    assert message in capsys.readouterr().err
    assert not list(tmp_path.iterdir())


def test_a_name_that_matplotlib_would_read_as_mathtext_is_drawn_as_written(tmp_path, capsys):
    text = example_text(**SMALL, **{"Magnet name": "a$x^$b"})
    (tmp_path / "config.txt").write_text(text[:text.index("Bent magnet")])
    assert report.main([str(tmp_path)]) in (0, 3), capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.txt", "report_a$x^$b.html", "report_a$x^$b.json"]


def test_an_unknown_command_or_a_rejected_configuration_writes_nothing(tmp_path, capsys):
    assert command_line(["reprot"]) == 2 and "unknown command 'reprot'" in capsys.readouterr().err
    (tmp_path / "config.txt").write_text(example_text(**{"Scaling k": "0"}))
    assert command_line(["report", str(tmp_path)]) == 1
    assert f'{tmp_path / "config.txt"}: "Scaling k" must not be zero' in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.txt"]
    assert command_line(["report", str(tmp_path / "nowhere")]) == 1 and "nowhere" in capsys.readouterr().err


def chromium_dom(page, profile):
    """The page's DOM once loaded, as headless Chromium sees it."""
    browser = shutil.which("chromium")
    if browser is None:
        pytest.skip("no chromium installed (Debian's package chromium): the page is not rendered")
    command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               f"--user-data-dir={profile}", "--virtual-time-budget=10000", "--dump-dom", page.as_uri()]
    # Not under the sanitizers' runtime that the package's tests may preload for the interpreter.
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    finished = subprocess.run(command, env=environment, capture_output=True, text=True, timeout=180)
    assert finished.returncode == 0, finished.stderr[-2000:]
    return finished.stdout


def test_the_page_shows_every_figure_and_the_verdict_in_a_browser(small_reports, tmp_path):
    directory, _ = small_reports
    page = directory / "report_Straight.html"
    dom = chromium_dom(page, tmp_path / "profile")
    body = re.search(r"<body[^>]*>", dom).group(0)
    assert 'data-figures="7"' in body and 'data-figures-loaded="7"' in body, body
    data = json.loads((directory / "report_Straight.json").read_text())
    word = "PASS" if data["pass"] else "FAIL"
    assert re.search(rf'<span class="{word.lower()}" id="verdict-word">{word}</span>', dom)
    # The same check sees a broken figure: one image's data cut short.
    broken = tmp_path / "broken.html"
    broken.write_text(re.sub(r'base64,[^"]{100}', "base64,", page.read_text(), count=1))
    body = re.search(r"<body[^>]*>", chromium_dom(broken, tmp_path / "profile2")).group(0)
    assert 'data-figures="7"' in body and 'data-figures-loaded="6"' in body, body
