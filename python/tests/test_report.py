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
from expcoil import analysis
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


def test_every_magnet_gets_its_json_and_page(small_reports):
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


def test_the_json_holds_the_analysis_of_the_design(small_reports):
    directory, _ = small_reports
    config = expcoil.read_config(directory / "config.txt")
    magnet = config.magnets[1]
    d = expcoil.design(magnet)
    result = analysis.analyse(config, magnet, d.segments, d.currents)
    data = json.loads((directory / "report_Bent.json").read_text())
    for band, entry in zip(data["bands"], result["bands"].values()):
        assert band["k_fit_per_m"] == entry["k_fit_per_m"]
        assert band["rms_deviation_from_law"] == entry["rms_deviation_from_law"]
        assert band["ends"]["effective_length_m"] == entry["ends"]["effective_length_m"]
        assert band["reference_line"]["By_T"] == entry["By_T"].tolist()
    assert data["windings"]["segments"] == d.segments.shape[0]


def test_from_files_reads_the_windings_the_program_wrote(small_run, tmp_path):
    directory, _ = small_run
    for name in ("config.txt", "windings_Straight.csv"):
        shutil.copy(directory / name, tmp_path)
    finished = run_report(tmp_path, "--from-files")
    assert finished.returncode in (0, 3), finished.stderr
    straight = json.loads((tmp_path / "report_Straight.json").read_text())
    bent = json.loads((tmp_path / "report_Bent.json").read_text())
    assert straight["windings"]["source"] == "windings_Straight.csv"
    assert bent["windings"]["source"] == "expcoil.design"  # no file: designed
    # The file holds 15 digits: the same windings, the same figures to about that.
    d = expcoil.design(expcoil.read_config(tmp_path / "config.txt").magnets[0])
    assert straight["windings"]["segments"] == d.segments.shape[0]
    assert straight["windings"]["windings"] == expcoil.chain_windings(d.segments, d.currents).closed.size
    assert run_report(tmp_path).returncode in (0, 3)
    designed = json.loads((tmp_path / "report_Straight.json").read_text())
    assert designed["windings"]["source"] == "expcoil.design"
    assert np.isclose(straight["bands"][0]["k_fit_per_m"], designed["bands"][0]["k_fit_per_m"], rtol=1e-9)


@pytest.mark.parametrize("tolerance, code", [("0.000001", 3), ("1e-6%", 3)])
def test_a_failing_verdict_is_exit_code_3(small_run, tmp_path, tolerance, code):
    shutil.copy(small_run[0] / "config.txt", tmp_path)
    finished = run_report(tmp_path, "--tolerance", tolerance)
    assert finished.returncode == code
    assert "Straight: FAIL" in finished.stdout and "Bent: FAIL" in finished.stdout
    data = json.loads((tmp_path / "report_Straight.json").read_text())
    assert data["verdict"][0]["tolerance"] == 1e-8 and not data["verdict"][0]["pass"]


@pytest.mark.parametrize("arguments, message", [
    (["--tolerance", "-1"], "must be a positive number of per cent: '-1'"),
    (["--tolerance", "abc"], "not a number of per cent: 'abc'"),
    (["--workers", "0"], "must be at least 1: '0'"),
    (["--colour"], "unrecognized arguments: --colour"),
])
def test_a_wrong_command_line_is_exit_code_2(tmp_path, arguments, message):
    finished = run_report(tmp_path, *arguments)
    assert finished.returncode == 2 and message in finished.stderr
    assert not list(tmp_path.iterdir())


def test_an_unknown_command_is_exit_code_2():
    environment = dict(os.environ, PYTHONPATH=str(Path(expcoil.__file__).parents[1]))
    finished = subprocess.run([sys.executable, "-m", "expcoil", "reprot"], env=environment, capture_output=True,
                              text=True, timeout=60)
    assert finished.returncode == 2 and "unknown command 'reprot'" in finished.stderr


def test_a_rejected_configuration_names_its_problems_and_writes_nothing(tmp_path):
    (tmp_path / "config.txt").write_text(example_text(**{"Scaling k": "0"}))
    finished = run_report(tmp_path)
    assert finished.returncode == 1
    assert "Scaling k" in finished.stderr and str(tmp_path / "config.txt") in finished.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["config.txt"]
    missing = run_report(tmp_path / "nowhere")
    assert missing.returncode == 1 and "nowhere" in missing.stderr


def test_a_report_that_cannot_be_written_is_named_and_the_others_go_on(small_run, tmp_path):
    shutil.copy(small_run[0] / "config.txt", tmp_path)
    (tmp_path / "report_Straight.json").mkdir()  # in the way of the file
    finished = run_report(tmp_path)
    assert finished.returncode == 1
    assert f"magnet Straight: no report: cannot write {tmp_path / 'report_Straight.json'}: Is a directory" \
        in finished.stderr
    assert (tmp_path / "report_Bent.json").is_file() and (tmp_path / "report_Bent.html").is_file()
    assert not (tmp_path / "report_Straight.html").exists()
    assert not list(tmp_path.glob("expcoil-*.tmp"))


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
