"""The design report: ``python3 -m expcoil report [DIR]``.

For every magnet of DIR/config.txt it takes the windings of the design (``expcoil.design``, or
DIR/windings_<name>.csv with ``--from-files``), measures them (``expcoil.analysis``) and writes
DIR/report_<name>.json, every figure with its unit in its key, and DIR/report_<name>.html, one page with
the verdict at the top and the figures embedded, that opens without a network. Files are written under
a temporary name and renamed when complete.

Exit codes: 0 every report written and every verdict passes; 1 a report could not be made (a rejected
configuration, a windings file that cannot be read, a file that cannot be written; the other magnets
go on); 2 a wrong command line; 3 every report written, but a verdict fails.
"""

import argparse
import base64
import html
import json
import math
import os
import secrets
import stat
import sys
import time

import numpy as np

from . import analysis
from ._design import design, read_config
from ._errors import ConfigError, InputError, WriteError
from ._files import read_windings
from ._windings import coil_mesh

EXIT_PASS, EXIT_ERROR, EXIT_USAGE, EXIT_FAIL = 0, 1, 2, 3


def _display(text):
    """A name of the configuration (bytes kept as surrogate escapes) as printable text."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def _json_value(value):
    if isinstance(value, np.ndarray):
        return [_json_value(v) for v in value.tolist()]
    if isinstance(value, (list, tuple)):
        return [_json_value(v) for v in value]
    if isinstance(value, dict):
        return {k: _json_value(v) for k, v in value.items()}
    if isinstance(value, (np.floating, np.integer, np.bool_)):
        return value.item()
    return value


_BAND_KEYS = ("k_fit_per_m", "B0_fit_T", "k_fit_relative_error", "rms_deviation_from_law", "max_deviation_from_law",
              "rms_deviation_from_fit", "max_deviation_from_fit", "max_local_field_index_error", "k_int_per_m",
              "k_int_relative_error", "max_local_k_int_error")


def report_data(result, config, magnet, windings_source):
    """The JSON document of a magnet's report: plain values, every number's unit in its key."""
    bands = []
    for entry in result["bands"].values():
        band, path, ends = entry["band"], entry["paths"], entry["ends"]
        rows = path.by.shape[0]
        three = {"bottom": 0, "middle": rows // 2, "top": rows - 1}
        bands.append({
            "band": band.name,
            "y_from_m": float(band.y[0]),
            "y_to_m": float(band.y[-1]),
            "height_from_m": float(band.height[0]),
            "height_to_m": float(band.height[-1]),
            "law_sign": band.sign,
            **{key: entry[key] for key in _BAND_KEYS},
            "off_plane": entry["off_plane"],
            "reference_line": {
                "y_m": entry["y_m"],
                "By_T": entry["By_T"],
                "deviation_from_law": entry["deviation_from_law"],
                "local_k_per_m": entry["local_k_per_m"],
            },
            "ends": {key: value for key, value in ends.items()},
            "local_k_int_per_m": entry["local_k_int_per_m"],
            "multipoles": entry["multipoles"],
            "paths": {
                "s_m": path.s,
                **{f"By_{name}_T": path.by[i] for name, i in three.items()},
                **{f"y_{name}_m": float(path.y[i]) for name, i in three.items()},
            },
        })
    summary = result["windings"]
    windings = {key: value for key, value in summary.items() if key not in ("chains", "chain_lengths_m", "chain_noise")}
    windings["source"] = windings_source
    return _json_value({
        "magnet": magnet.name,
        "parameters": {
            "scaling_k_per_m": config.scaling_k,
            "bmax_T": magnet.bmax,
            "good_field_height_m": config.good_field_height,
            "vertical_middle_join_height_m": config.vertical_middle_join_height,
            "length_m": magnet.length,
            "angle_rad": magnet.angle,
            "winding_centre_to_midplane_m": magnet.winding_centre_to_midplane,
            "winding_return_half_length_m": magnet.winding_return_half_length,
        },
        "design_mode": result["mode"],
        "pass": result["pass"],
        "verdict": result["verdict"],
        "warnings": result["warnings"],
        "bands": bands,
        "windings": windings,
    })


def _percent(value, digits=3, sign=False):
    if value is None:
        return "no value"
    return f"{100 * value:+.{digits}g} %" if sign else f"{100 * value:.{digits}g} %"


def _number(value, unit, digits=4):
    return "no value" if value is None else f"{value:.{digits}g} {unit}"


_STYLE = """
body { font-family: system-ui, sans-serif; margin: 0 auto; padding: 1em 2em; max-width: 60em; color: #222; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; margin-top: 1.6em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; margin: 0.5em 0; }
td, th { padding: 0.2em 0.8em; border-bottom: 1px solid #eee; text-align: left; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
.pass { color: #176117; font-weight: bold; }
.fail { color: #a31515; font-weight: bold; }
#verdict { padding: 0.6em 1em; border: 2px solid; border-radius: 6px; }
#verdict.verdict-pass { border-color: #2e8b2e; background: #effaef; }
#verdict.verdict-fail { border-color: #c62828; background: #fdeeee; }
.warning { color: #8a4b00; }
figure { margin: 1.5em 0; }
figure img { width: 100%; max-width: 900px; height: auto; display: block; }
figcaption { font-size: 0.9em; color: #444; max-width: 900px; }
"""

# Each figure tells the page whether it loaded; the body then holds the counts, for a reader of the page
# (or a test in a headless browser) to see that no image is broken.
_SCRIPT = """
function figuresSettled() {
  const images = Array.from(document.querySelectorAll("img.figure"));
  const loaded = images.filter(i => i.complete && i.naturalWidth > 0).length;
  document.body.dataset.figures = images.length;
  document.body.dataset.figuresLoaded = loaded;
}
window.addEventListener("load", figuresSettled);
"""


def report_html(data, figures, tolerance):
    """The page: the verdict, the figures of merit in tables, the figures."""
    e = html.escape
    name = e(_display(data["magnet"]))
    verdict_class = "pass" if data["pass"] else "fail"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>expcoil design report: {name}</title>",
        f"<style>{_STYLE}</style></head><body>",
        f"<h1>Design report: magnet {name}</h1>",
        f'<section id="verdict" class="verdict-{verdict_class}" data-pass="{str(data["pass"]).lower()}">',
        f'<p><span class="{verdict_class}" id="verdict-word">{"PASS" if data["pass"] else "FAIL"}</span>: ',
    ]
    failed = [v for v in data["verdict"] if not v["pass"]]
    if data["pass"]:
        parts.append("the field of the windings follows By = Bmax e^(k d) within every tolerance.</p>")
    else:
        parts.append(f"{len(failed)} of {len(data['verdict'])} figures are outside their tolerance.</p>")
    parts.append("<table><tr><th>figure</th><th>value</th><th>tolerance</th><th></th></tr>")
    for v in data["verdict"]:
        mark = '<span class="pass">pass</span>' if v["pass"] else '<span class="fail">fail</span>'
        parts.append(f'<tr><td>{e(v["name"])}</td><td class="number">{_percent(v["value"])}</td>'
                     f'<td class="number">{_percent(v["tolerance"])}</td><td>{mark}</td></tr>')
    parts.append("</table>")
    for warning in data["warnings"]:
        parts.append(f'<p class="warning">Warning: {e(warning)}</p>')
    parts.append("</section>")

    p = data["parameters"]
    parts.append("<h2>The field across the good-field bands</h2>")
    parts.append(f"<p>Law: By = Bmax e^(k d), Bmax = {p['bmax_T']:g} T, k = {p['scaling_k_per_m']:g} /m, d the "
                 "height into the aperture (d = y in the lower band; in the upper band d = J - y and the field "
                 f"points the other way). {analysis.LINE_POINTS} points on the line x = 0, z = 0.</p>")
    header = "".join(f"<th>{e(b['band'])} band</th>" for b in data["bands"])
    parts.append(f"<table><tr><th></th>{header}</tr>")

    def row(label, values):
        cells = "".join(f'<td class="number">{v}</td>' for v in values)
        parts.append(f"<tr><td>{e(label)}</td>{cells}</tr>")

    bands = data["bands"]
    row("y from, to", [f"{b['y_from_m']:.4g} m, {b['y_to_m']:.4g} m" for b in bands])
    row("k_fit (least squares of ln|By|)", [_number(b["k_fit_per_m"], "/m") for b in bands])
    row("k_fit / k - 1", [_percent(b["k_fit_relative_error"], sign=True) for b in bands])
    row("B0_fit", [_number(b["B0_fit_T"], "T") for b in bands])
    row("deviation from the law, rms / max", [f"{_percent(b['rms_deviation_from_law'])} / "
                                              f"{_percent(b['max_deviation_from_law'])}" for b in bands])
    row("deviation from the fit, rms / max", [f"{_percent(b['rms_deviation_from_fit'])} / "
                                              f"{_percent(b['max_deviation_from_fit'])}" for b in bands])
    row("local field index, max |k(d)/k - 1|", [_percent(b["max_local_field_index_error"]) for b in bands])
    for i in range(2):
        row(f"off the mid-plane, x = {bands[0]['off_plane'][i]['x_m']:+.4g} m: rms |B - B_ref| / |B_ref|, law / fit",
            [f"{_percent(b['off_plane'][i]['rms_deviation_from_law'])} / "
             f"{_percent(b['off_plane'][i]['rms_deviation_from_fit'])}" for b in bands])
    parts.append("</table>")

    parts.append("<h2>The ends</h2>")
    parts.append("<p>Along the reference path (x = 0 at a fixed height, bent with the windings for a bent magnet) "
                 "over the coil mesh's length; effective length = integral of By ds / By at the centre, at "
                 f"{analysis.END_HEIGHTS} heights across each band.</p>")
    parts.append(f"<table><tr><th></th>{header}</tr>")

    def extent(values):
        known = [v for v in values if v is not None]
        return "no value" if not known else f"{min(known):.5g} m to {max(known):.5g} m"

    row("integral of By ds", [f"{min(b['ends']['integrated_field_T_m']):.5g} T m to "
                              f"{max(b['ends']['integrated_field_T_m']):.5g} T m" for b in bands])
    row("effective length", [extent(b["ends"]["effective_length_m"]) for b in bands])
    row("effective length spread, max / min - 1", [_percent(b["ends"]["effective_length_spread"]) for b in bands])
    row("fall of By from 90 % to 10 %, entry end", [extent(b["ends"]["fall_90_10_entry_m"]) for b in bands])
    row("fall of By from 90 % to 10 %, exit end", [extent(b["ends"]["fall_90_10_exit_m"]) for b in bands])
    parts.append("</table>")

    parts.append("<h2>What tracking sees: the integrated field</h2>")
    parts.append("<p>The integral of By ds at each height, k_int its least-squares k and k_int(d) its local index; "
                 "the integrated skew quadrupole and normal sextupole of the field around orbits across the band "
                 "(harmonics on a circle of radius "
                 f"{1000 * bands[0]['multipoles']['radius_m']:.3g} mm, relative to the dipole), against the ideal "
                 "field's -k (+k in the upper band, where the field grows downward) and -k^2/2.</p>")
    parts.append(f"<table><tr><th></th>{header}</tr>")

    def values(name, key):
        v = name[key]
        return "no value" if v is None else ", ".join(f"{x:.5g}" for x in v)

    row("k_int (least squares of ln|integral of By ds|)", [_number(b["k_int_per_m"], "/m") for b in bands])
    row("k_int / k - 1", [_percent(b["k_int_relative_error"], sign=True) for b in bands])
    row("local index of the integral, max |k_int(d)/k - 1|", [_percent(b["max_local_k_int_error"]) for b in bands])
    row("skew quadrupole / dipole at the orbits (1/m)", [values(b["multipoles"], "skew_quadrupole_per_m")
                                                         for b in bands])
    row("ideal skew quadrupole / dipole (1/m)", [f"{b['multipoles']['ideal_skew_quadrupole_per_m']:.5g}"
                                                 for b in bands])
    row("normal sextupole / dipole at the orbits (1/m²)", [values(b["multipoles"], "normal_sextupole_per_m2")
                                                           for b in bands])
    row("ideal normal sextupole / dipole (1/m²)", [f"{b['multipoles']['ideal_normal_sextupole_per_m2']:.5g}"
                                                   for b in bands])
    row("largest error, skew quadrupole / sextupole", [f"{_percent(b['multipoles']['max_skew_quadrupole_error'])} / "
                                                       f"{_percent(b['multipoles']['max_normal_sextupole_error'])}"
                                                       for b in bands])
    parts.append("</table>")

    w = data["windings"]
    parts.append("<h2>The windings</h2>")
    parts.append(f"<p>From {e(_display(w['source']))}. Contour pieces chained end to end into closed windings; "
                 f"noise windings are shorter than {analysis.NOISE_LENGTH_SPACINGS} coil-mesh spacings "
                 f"({1000 * w['noise_length_limit_m']:.4g} mm).</p>")
    parts.append("<table><tr><th></th><th>all</th>"
                 + "".join(f"<th>layer {layer['layer']}</th>" for layer in w["layers"]) + "</tr>")
    layers = w["layers"]
    row("closed windings", [w["windings"]] + [layer["windings"] for layer in layers])
    row("noise windings", [f"{w['noise_windings']} ({_percent(w['noise_winding_share'])})"]
        + [layer["noise_windings"] for layer in layers])
    row("open chains", [w["open_chains"]] + [layer["open_chains"] for layer in layers])
    row("ampere-turns", [f"{w['ampere_turns_A']:.6g} A"] + [f"{layer['ampere_turns_A']:.6g} A" for layer in layers])
    row("conductor length", [f"{w['conductor_length_m']:.6g} m"]
        + [f"{layer['conductor_length_m']:.6g} m" for layer in layers])
    row("segments", [w["segments"]] + [""] * len(layers))
    row("current per winding", [f"{w['current_per_winding_A']:.6g} A"] + [""] * len(layers))
    parts.append("</table>")

    parts.append("<h2>Figures</h2>")
    for identifier, caption, png in figures:
        source = base64.b64encode(png).decode("ascii")
        parts.append(f'<figure id="figure-{identifier}"><img class="figure" alt="{e(caption)}" '
                     f'src="data:image/png;base64,{source}"><figcaption>{e(caption)}</figcaption></figure>')
    parts.append(f"<p>Tolerance of the rms deviation: {100 * tolerance:g} %. All numbers are in "
                 f"report_{e(_display(data['magnet']))}.json.</p>")
    parts.append(f"<script>{_SCRIPT}</script></body></html>")
    return "\n".join(parts) + "\n"


def _require_replaceable(path):
    """The rename would swap a device or a FIFO (or a link to one) for a regular file: refused, as the
    program refuses it, and left as it is."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return
    if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
        what = ("a character device" if stat.S_ISCHR(mode) else "a block device" if stat.S_ISBLK(mode)
                else "a FIFO" if stat.S_ISFIFO(mode) else "a socket" if stat.S_ISSOCK(mode) else "not a file")
        raise OSError(0, f"not a regular file ({what}), which is left as it is")


def write_atomic(path, data):
    """Writes `data` (bytes) to `path` as the program writes its files: under a temporary name beside it
    (expcoil-XXXXXXXX.tmp, with the permissions the umask gives a new file), renamed when complete.
    WriteError when it cannot be written; nothing is left under `path` then, nor a temporary file."""
    directory = os.path.dirname(os.path.abspath(path))
    temporary = None
    try:
        _require_replaceable(path)
        while temporary is None:
            candidate = os.path.join(directory, f"expcoil-{secrets.token_hex(4)}.tmp")
            try:
                handle = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            except FileExistsError:
                continue
            temporary = candidate
        with os.fdopen(handle, "wb") as f:
            f.write(data)
        _require_replaceable(path)
        os.replace(temporary, path)
        temporary = None
    except OSError as error:
        reason = error.strerror or str(error)
        raise WriteError(f"cannot write {os.fsdecode(path)}: {reason}", os.fsdecode(path)) from error
    finally:
        # Whatever stopped the writing (Ctrl-C included), no temporary file stays behind.
        if temporary is not None and os.path.lexists(temporary):
            os.unlink(temporary)


def report_magnet(directory, config, magnet, from_files=False, tolerance=None, workers=None):
    """Makes and writes the report of one magnet; returns (result, paths written, where the windings came
    from)."""
    windings_path = os.path.join(directory, f"windings_{magnet.name}.csv")
    if from_files and os.path.exists(windings_path):
        segments, currents = read_windings(windings_path)
        source = f"windings_{magnet.name}.csv"
    else:
        d = design(magnet, workers)
        segments, currents = d.segments, d.currents
        source = "expcoil.design"
    from ._field import field as windings_field

    def field(points):
        return windings_field(segments, currents, points, workers)

    mesh_y = coil_mesh(magnet)[0]
    result = analysis.analyse(config, magnet, segments, currents, field=field,
                              mesh_spacing=float(mesh_y[1] - mesh_y[0]),
                              tolerances=None if tolerance is None else {"rms_deviation_from_law": tolerance})
    # The rms tolerance the verdict used: the one given, or the design mode's.
    tolerance = next(v["tolerance"] for v in result["verdict"] if v["key"] == "rms_deviation_from_law")
    from . import figures as figure_module

    data = report_data(result, config, magnet, source)
    page = report_html(data, figure_module.all_figures(result, config, magnet, tolerance), tolerance)
    # NaN is no number of JSON: allow_nan=False makes one that slipped through an error, not a silent value.
    text = json.dumps(data, indent=1, allow_nan=False) + "\n"
    json_path = os.path.join(directory, f"report_{magnet.name}.json")
    html_path = os.path.join(directory, f"report_{magnet.name}.html")
    write_atomic(json_path, text.encode("utf-8"))
    write_atomic(html_path, page.encode("utf-8", "surrogateescape"))
    return result, (json_path, html_path), source


def _tolerance(text):
    value = text[:-1] if text.endswith("%") else text
    try:
        percent = float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of per cent: {text!r}") from None
    if not (math.isfinite(percent) and percent > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of per cent: {text!r}")
    return percent / 100


def _workers(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    # The bound of expcoil.design's workers: beyond it every magnet would fail after the parsing passed.
    if not 1 <= value <= 65536:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to 65536: {text!r}")
    return value


def parser():
    p = argparse.ArgumentParser(
        prog="python3 -m expcoil report",
        description="Write report_<name>.json and report_<name>.html for every magnet of DIR/config.txt: how "
                    "closely the field of its windings follows By = Bmax e^(k y) across the good-field band, "
                    "its ends, and its windings, with a verdict against tolerances.",
        epilog="Exit codes: 0 written, every verdict passes; 1 a report could not be made; 2 a wrong command line; "
               "3 written, but a verdict fails.")
    p.add_argument("directory", nargs="?", default=".", metavar="DIR",
                   help="the folder that holds config.txt; the reports are written there (default: .)")
    p.add_argument("--from-files", action="store_true",
                   help="use DIR/windings_<name>.csv where it is there, rather than designing the windings again")
    p.add_argument("--tolerance", type=_tolerance, default=None,
                   metavar="PERCENT", help="the rms deviation from the law that passes, per cent (default: 1; 0.05 for a "
                        "magnet of the precise design mode)")
    p.add_argument("--workers", type=_workers, default=None, metavar="N",
                   help="threads for the field (default: every processor)")
    return p


def main(argv=None, out=None, err=None):
    """The command line `report`; returns the exit code."""
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        arguments = parser().parse_args(argv)
    except SystemExit as stop:
        return EXIT_PASS if stop.code == 0 else EXIT_USAGE
    config_path = os.path.join(arguments.directory, "config.txt")
    try:
        config = read_config(config_path)
    except ConfigError as error:
        for problem in error.problems:
            print(problem, file=err)
        return EXIT_ERROR
    status = EXIT_PASS
    for magnet in config.magnets:
        name = _display(magnet.name)
        start = time.monotonic()
        try:
            result, paths, source = report_magnet(arguments.directory, config, magnet, arguments.from_files,
                                                  arguments.tolerance, arguments.workers)
        except (InputError, WriteError, OSError, MemoryError) as error:
            print(f"magnet {name}: no report: {error}", file=err)
            status = EXIT_ERROR
            continue
        except Exception as error:  # a fault of the report itself: said, and the other magnets go on
            print(f"magnet {name}: no report: {type(error).__name__}: {error}", file=err)
            status = EXIT_ERROR
            continue
        lower = result["bands"]["lower"]
        verdict = "PASS" if result["pass"] else "FAIL"
        print(f"{name}: {verdict}: k_fit/k - 1 = {_percent(lower['k_fit_relative_error'], sign=True)}, rms deviation "
              f"from the law {_percent(lower['rms_deviation_from_law'])}, effective length spread "
              f"{_percent(lower['effective_length_spread'])}, k_int/k - 1 = "
              f"{_percent(lower['k_int_relative_error'], sign=True)} (lower band; windings from {source}; "
              f"{time.monotonic() - start:.1f} s)", file=out)
        for warning in result["warnings"]:
            print(f"{name}: warning: {warning}", file=err)
        print(f"  {os.path.basename(paths[0])}, {os.path.basename(paths[1])}", file=out)
        if not result["pass"] and status == EXIT_PASS:
            status = EXIT_FAIL
    return status
