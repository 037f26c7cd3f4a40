"""The figures of the design report, drawn with matplotlib's Agg renderer into PNG bytes.

Each function takes what ``expcoil.analysis.analyse`` returned (and the records) and returns the PNG
file's bytes. The figures are made without pyplot, so that nothing depends on an interactive backend
or on state left by another figure. Every axis names its quantity and unit; each figure says in its
title what it shows, so that it reads without the page around it.
"""

import io

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.collections import LineCollection
from matplotlib.figure import Figure

WIDTH_INCHES = 9.0
DPI = 100
LAW_COLOUR = "black"
FIT_COLOUR = "tab:orange"
FIELD_COLOUR = "tab:blue"
PASS_SHADE = "tab:green"


def _png(figure):
    FigureCanvasAgg(figure)
    buffer = io.BytesIO()
    # No date or software version in the file: the same report gives the same bytes.
    figure.savefig(buffer, format="png", dpi=DPI, metadata={"Software": None})
    return buffer.getvalue()


def _literal(text):
    """`text` as matplotlib draws it as written: a pair of $ would start mathtext (and an unbalanced one
    fail the figure)."""
    return text.replace("$", r"\$")


def _band_label(band):
    return "lower band, d = y" if band.name == "lower" else "upper band, d = J - y, By pointing down"


def _shade_bands(axes, config):
    g, join = config.good_field_height, config.vertical_middle_join_height
    axes.axhspan(-g, 0.0, color=PASS_SHADE, alpha=0.2, label="good-field band")
    if join > 0:
        axes.axhspan(join, join + g, color=PASS_SHADE, alpha=0.2)


def winding_pattern(result, config, magnet):
    """The windings of layer 1 (at x = +winding centre to midplane) in the y-z plane, the good-field
    bands shaded, noise windings and open chains drawn in red."""
    summary = result["windings"]
    chains = summary["chains"]
    lengths_noise = summary["chain_noise"]
    clean, noisy, open_ = [], [], []
    for i in np.nonzero(chains.layer != 2)[0]:
        start, count = chains.first_point[i], chains.point_count[i]
        line = chains.points[start:start + count][:, [2, 1]]
        if chains.closed[i]:
            line = np.vstack([line, line[:1]])
            (noisy if lengths_noise[i] else clean).append(line)
        else:
            open_.append(line)
    figure = Figure(figsize=(WIDTH_INCHES, 6.0))
    axes = figure.add_subplot()
    _shade_bands(axes, config)
    axes.add_collection(LineCollection(clean, colors=FIELD_COLOUR, linewidths=0.5,
                                       label=f"winding ({len(clean)})"))
    if noisy:
        axes.add_collection(LineCollection(noisy, colors="red", linewidths=1.5,
                                           label=f"noise winding ({len(noisy)})"))
    if open_:
        axes.add_collection(LineCollection(open_, colors="red", linewidths=2.0, linestyles="dashed",
                                           label=f"open chain ({len(open_)})"))
    axes.autoscale()
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_xlabel("z, along the magnet (m)" + (" (bent: z of the bent conductors)" if magnet.angle else ""))
    axes.set_ylabel("y (m)")
    axes.set_title(f"{_literal(magnet.name)}: windings of layer 1 (x = +{magnet.winding_centre_to_midplane:g} m), "
                   f"{summary['windings']} windings in both layers, {summary['segments']} segments")
    axes.legend(loc="upper right", fontsize="small")
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    return _png(figure)


def reference_line(entry, config, magnet, tolerance):
    """|By| on the reference line on a log scale with the law and the fit; beneath, the deviation from
    each in per cent, the tolerance shaded."""
    band = entry["band"]
    y = entry["y_m"]
    figure = Figure(figsize=(WIDTH_INCHES, 6.0))
    top, bottom = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 2]})
    k = config.scaling_k
    top.plot(y, np.abs(entry["By_T"]), color=FIELD_COLOUR, linewidth=2, label="|By| of the windings")
    top.plot(y, np.abs(entry["law_By_T"]), "--", color=LAW_COLOUR,
             label=f"law: Bmax e^(k d), Bmax = {magnet.bmax:g} T, k = {k:g} /m")
    if entry["fit_By_T"] is not None:
        top.plot(y, np.abs(entry["fit_By_T"]), ":", color=FIT_COLOUR, linewidth=2,
                 label=f"fit: B0 = {entry['B0_fit_T']:.4g} T, k_fit = {entry['k_fit_per_m']:.4g} /m")
    # A log scale needs a positive field; one that vanishes everywhere is drawn on a linear one.
    logarithmic = bool(np.any(entry["By_T"] != 0.0))
    if logarithmic:
        top.set_yscale("log")
    top.set_ylabel("|By| (T), log scale" if logarithmic else "|By| (T)")
    top.set_title(f"{_literal(magnet.name)}: By on the mid-plane x = 0, z = 0, {_band_label(band)}")
    top.legend(fontsize="small")
    top.grid(True, which="both", alpha=0.3)
    bottom.axhspan(-100 * tolerance, 100 * tolerance, color=PASS_SHADE, alpha=0.2,
                   label=f"tolerance +-{100 * tolerance:g} %")
    bottom.plot(y, 100 * entry["deviation_from_law"], color=LAW_COLOUR,
                label=f"By / law - 1, rms {100 * entry['rms_deviation_from_law']:.3g} %")
    if entry["deviation_from_fit"] is not None:
        bottom.plot(y, 100 * entry["deviation_from_fit"], color=FIT_COLOUR,
                    label=f"By / fit - 1, rms {100 * entry['rms_deviation_from_fit']:.3g} %")
    bottom.set_xlabel("y (m)")
    bottom.set_ylabel("deviation (%)")
    bottom.legend(fontsize="small")
    bottom.grid(True, alpha=0.3)
    figure.tight_layout()
    return _png(figure)


def field_index(result, config, magnet):
    """The local field index k(d) = d ln|By| / dd over k across every band."""
    figure = Figure(figsize=(WIDTH_INCHES, 4.0))
    axes = figure.add_subplot()
    axes.axhline(1.0, color=LAW_COLOUR, linestyle="--", label="law: k(d) / k = 1")
    drawn = False
    for entry in result["bands"].values():
        if entry["local_k_per_m"] is None:
            continue
        drawn = True
        axes.plot(entry["height_m"], entry["local_k_per_m"] / config.scaling_k,
                  label=f"{_band_label(entry['band'])}, max |k(d)/k - 1| = "
                        f"{100 * entry['max_local_field_index_error']:.3g} %")
    if not drawn:
        axes.text(0.5, 0.5, "By vanishes on the reference line: no field index", transform=axes.transAxes,
                  ha="center")
    axes.set_xlabel("height into the aperture d (m)")
    axes.set_ylabel("k(d) / k")
    axes.set_title(f"{_literal(magnet.name)}: local field index d ln|By| / dd over k = {config.scaling_k:g} /m, "
                   "on the mid-plane x = 0, z = 0")
    axes.legend(fontsize="small")
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    return _png(figure)


def ends(entry, config, magnet):
    """By along the reference path at the bottom, middle and top of a band, the magnet's ends marked."""
    path = entry["paths"]
    figure = Figure(figsize=(WIDTH_INCHES, 4.5))
    axes = figure.add_subplot()
    rows = path.by.shape[0]
    leff = entry["ends"]["effective_length_m"]
    for i, name in ((0, "bottom"), (rows // 2, "middle"), (rows - 1, "top")):
        length = "" if leff[i] is None else f", effective length {leff[i]:.4g} m"
        axes.plot(path.s, path.by[i], label=f"{name}: y = {path.y[i]:.4g} m{length}")
    half = 0.5 * magnet.length
    for edge in (-half, half):
        axes.axvline(edge, color="grey", linestyle=":")
    axes.axhline(0.0, color="grey", linewidth=0.5)
    axes.set_xlabel("s, distance along the reference path from the magnet's centre (m); dotted: "
                    "the magnet's length")
    axes.set_ylabel("By (T)")
    bend = f", bent by {np.degrees(magnet.angle):g} degrees" if magnet.angle else ""
    axes.set_title(f"{_literal(magnet.name)}: By along the path x = 0{bend}, {_band_label(entry['band'])}")
    axes.legend(fontsize="small")
    axes.grid(True, alpha=0.3)
    figure.tight_layout()
    return _png(figure)


def deviation_map(entry, config, magnet, tolerance):
    """By / (Bmax e^(k y)) - 1 on the mid-plane over the lower band and the magnet's length with its
    ends, with the contours at +-tolerance."""
    path = entry["paths"]
    deviation = 100 * entry["deviation_map"]
    reach = 0.5 * magnet.length + magnet.winding_return_half_length
    keep = np.abs(path.s) <= reach
    s, values = path.s[keep], deviation[:, keep]
    limit = max(5.0, 500 * tolerance)
    figure = Figure(figsize=(WIDTH_INCHES, 4.0))
    axes = figure.add_subplot()
    mesh = axes.pcolormesh(s, path.y, values, cmap="RdBu_r", vmin=-limit, vmax=limit, shading="gouraud")
    # Only the contours the field reaches (matplotlib warns of the others).
    levels = [(v, style) for v, style in ((-100 * tolerance, "dashed"), (100 * tolerance, "solid"))
              if values.min() < v < values.max()]
    if levels:
        lines = axes.contour(s, path.y, values, levels=[v for v, _ in levels], colors="black", linewidths=1.0,
                             linestyles=[style for _, style in levels])
        axes.clabel(lines, fmt="%g %%", fontsize="small")
    for edge in (-0.5 * magnet.length, 0.5 * magnet.length):
        axes.axvline(edge, color="grey", linestyle=":")
    colourbar = figure.colorbar(mesh, ax=axes)
    colourbar.set_label(f"By / (Bmax e^(k y)) - 1 (%), clipped at +-{limit:g}")
    axes.set_xlabel("s, distance along the reference path (m); dotted: the magnet's length")
    axes.set_ylabel("y (m)")
    axes.set_title(f"{_literal(magnet.name)}: deviation from the law on the mid-plane, lower band; "
                   f"contours at +-{100 * tolerance:g} %")
    figure.tight_layout()
    return _png(figure)


def all_figures(result, config, magnet, tolerance):
    """Every figure of a magnet's report: a list of (identifier, caption, PNG bytes)."""
    name = magnet.name
    figures = [("windings", f"The windings of {name}'s layer 1 in the y-z plane. Each closed line is one "
                "winding; the shaded strips are the good-field bands. Noise windings (shorter than four "
                "coil-mesh spacings) and open chains are drawn in red.",
                winding_pattern(result, config, magnet))]
    for band_name, entry in result["bands"].items():
        figures.append((f"line-{band_name}", f"Top: |By| on the reference line across the {band_name} band "
                        "(points of the windings' field, the law and the least-squares fit). Bottom: the "
                        "relative deviation from the law and from the fit; inside the shaded strip is within "
                        "the tolerance.", reference_line(entry, config, magnet, tolerance)))
    figures.append(("field-index", "The local field index k(d) = d ln|By| / dd over the design's k across "
                    "each band: 1 everywhere for a perfect exponential; wiggles are the windings' ripple.",
                    field_index(result, config, magnet)))
    for band_name, entry in result["bands"].items():
        figures.append((f"ends-{band_name}", f"By along the reference path at the bottom, middle and top of "
                        f"the {band_name} band, through the whole magnet and its ends. Equal effective lengths "
                        "at all heights keep the fitted k for the whole magnet.", ends(entry, config, magnet)))
    lower = result["bands"]["lower"]
    figures.append(("deviation-map", "The deviation from the law on the mid-plane over the lower band and the "
                    "magnet's length; inside the contours the field is within the tolerance of the law.",
                    deviation_map(lower, config, magnet, tolerance)))
    return figures
