"""How well a design does what it is for: the figures of merit of the design report.

A magnet's windings are meant to make, across each good-field band of the mid-plane, the field
By = Bmax e^(k d), d the height into the aperture, and off the mid-plane the field that satisfies
Maxwell's equations with it, By = Bmax e^(k d) cos(k x), Bx = -Bmax e^(k d) sin(k x); along the magnet,
the same field over one effective length at every height, so that the fitted k holds for the whole
magnet. The functions here measure that. They take the field as a function ``field(points) -> B``
(points and B of shape (m, 3), m and T) beside the records, so that an analytic field can stand in for
the windings' field in the tests; ``analyse`` feeds them ``expcoil.field`` of a design's windings.

The apertures: the lower good-field band is -g <= y <= 0 (g the good field height) with d = y. Where
the configuration has a second aperture (vertical middle join height J > 0), its band is
J <= y <= J + g with the height measured downward, d = J - y; the windings' current potential is
mirrored about y = J / 2 there, so the field points the other way and the law reads
By = -Bmax e^(k d).

Numbers are computed with the C library's exp, log, sin and cos and with exactly rounded sums
(math.fsum), everything else with numpy's correctly rounded element-wise arithmetic: a report's numbers
are the same on every machine, whatever vector instructions numpy picks.
"""

import math
from typing import NamedTuple

import numpy as np

from ._windings import bend_points, chain_windings, coil_mesh

LINE_POINTS = 201
"""Points of the reference line across a band."""
END_HEIGHTS = 11
"""Heights across a band at which the field along the magnet is computed: the effective length's, and
the rows of the deviation map."""
NOISE_LENGTH_SPACINGS = 4
"""Windings shorter than this many coil-mesh spacings are noise: no real winding is that small."""
NOISE_WARNING_SHARE = 0.05
"""Above this share of noise windings the report warns."""

DEFAULT_TOLERANCES = {
    "rms_deviation_from_law": 0.01,
    "k_fit_relative_error": 0.02,
    "effective_length_spread": 0.01,
}
"""What the verdict holds each figure to: |value| <= tolerance passes."""

PRECISE_TOLERANCES = {
    "rms_deviation_from_law": 0.0005,
    "k_fit_relative_error": 0.002,
    "max_local_field_index_error": 0.02,
    "effective_length_spread": 0.003,
    "k_int_relative_error": 0.003,
}
"""The precise design mode's promise, which its verdict holds each figure to."""

TOLERANCE_NAMES = {
    "rms_deviation_from_law": "rms deviation of By from Bmax e^(k d)",
    "k_fit_relative_error": "fitted k against k: |k_fit / k - 1|",
    "max_local_field_index_error": "local field index: max |k(d) / k - 1|",
    "effective_length_spread": "spread of the effective length, max / min - 1",
    "k_int_relative_error": "k of the integrated field against k: |k_int / k - 1|",
}

ORBIT_HEIGHTS = 5
"""Heights across a band at which the integrated multipoles are computed."""
CIRCLE_POINTS = 16
"""Points on the circle around each orbit at which the field is sampled for its harmonics."""


# Deterministic arithmetic: the C library's functions element by element, and exactly rounded sums.


def _elementwise(function, values):
    a = np.asarray(values, dtype=float)
    return np.array([function(v) for v in a.ravel().tolist()], dtype=float).reshape(a.shape)


def _exp(values):
    return _elementwise(math.exp, values)


def _log(values):
    return _elementwise(math.log, values)


def _sin(values):
    return _elementwise(math.sin, values)


def _cos(values):
    return _elementwise(math.cos, values)


def _sum(values):
    return math.fsum(np.asarray(values, dtype=float).ravel().tolist())


def _mean(values):
    a = np.asarray(values, dtype=float)
    return _sum(a) / a.size


def _rms(values):
    a = np.asarray(values, dtype=float)
    return math.sqrt(_mean(a * a))


def _max_abs(values):
    return float(np.max(np.abs(values)))


class Band(NamedTuple):
    """The reference line across one good-field band: x = 0, z = 0."""

    name: str
    """"lower" or "upper"."""
    y: np.ndarray
    """(n,) heights of the points, m, ascending."""
    height: np.ndarray
    """(n,) d, the height into the aperture of each point, m: y in the lower band, J - y in the upper."""
    sign: float
    """+1 or -1: the direction of By that the law asks for."""


def bands(config, points=LINE_POINTS):
    """The bands of a configuration: the lower one, and the upper one where the join height J > 0."""
    g = config.good_field_height
    join = config.vertical_middle_join_height
    y = np.linspace(-g, 0.0, points)
    found = [Band("lower", y, y.copy(), 1.0)]
    if join > 0:
        upper = np.linspace(join, join + g, points)
        found.append(Band("upper", upper, join - upper, -1.0))
    return found


def law(band, x, b0, k):
    """The reference field at (x, y of the band, z = 0): Bx = -b0 e^(k d) sin(k x), By = sign b0 e^(k d)
    cos(k x), (n, 2) in T. It satisfies Maxwell's equations in the gap and is the law on the mid-plane."""
    grow = b0 * _exp(k * band.height)
    return np.column_stack([-grow * math.sin(k * x), band.sign * grow * math.cos(k * x)])


def fit_exponential(height, by):
    """The least-squares straight line through (height, ln|By|): (k_fit in 1/m, B0_fit in T), or None
    when By vanishes or is not finite somewhere, where the logarithm has no value."""
    by = np.asarray(by, dtype=float)
    if not np.all(np.isfinite(by)) or np.any(by == 0.0):
        return None
    h = np.asarray(height, dtype=float)
    ln = _log(np.abs(by))
    h_mean, ln_mean = _mean(h), _mean(ln)
    dh = h - h_mean
    slope = _sum(dh * (ln - ln_mean)) / _sum(dh * dh)
    return slope, math.exp(ln_mean - slope * h_mean)


def local_field_index(height, by):
    """k(d) = d ln|By| / dd, central differences inside and one-sided at the two ends, 1/m; None where
    By vanishes or is not finite."""
    by = np.asarray(by, dtype=float)
    if not np.all(np.isfinite(by)) or np.any(by == 0.0):
        return None
    return np.gradient(_log(np.abs(by)), np.asarray(height, dtype=float))


def _on_line(band, x):
    return np.column_stack([np.full(band.y.size, float(x)), band.y, np.zeros(band.y.size)])


def reference_line(field, config, magnet, band):
    """By on the band's reference line against the law and against the fit.

    Returns a dict: ``y_m``, ``height_m``, ``By_T``, ``law_By_T``, ``deviation_from_law`` (By / law - 1),
    its ``rms_deviation_from_law`` and ``max_deviation_from_law`` (largest magnitude); ``k_fit_per_m``,
    ``B0_fit_T``, ``k_fit_relative_error`` (k_fit / k - 1), ``fit_By_T``, ``deviation_from_fit`` with its
    rms and max; ``local_k_per_m`` and ``max_local_field_index_error`` (max |k(d) / k - 1|). Figures that
    have no value (By vanishes on the line) are None.
    """
    k = config.scaling_k
    by = np.asarray(field(_on_line(band, 0.0)), dtype=float)[:, 1]
    law_by = law(band, 0.0, magnet.bmax, k)[:, 1]
    deviation = by / law_by - 1.0
    result = {
        "y_m": band.y,
        "height_m": band.height,
        "By_T": by,
        "law_By_T": law_by,
        "deviation_from_law": deviation,
        "rms_deviation_from_law": _rms(deviation),
        "max_deviation_from_law": _max_abs(deviation),
        "k_fit_per_m": None,
        "B0_fit_T": None,
        "k_fit_relative_error": None,
        "fit_By_T": None,
        "deviation_from_fit": None,
        "rms_deviation_from_fit": None,
        "max_deviation_from_fit": None,
        "local_k_per_m": None,
        "max_local_field_index_error": None,
    }
    fit = fit_exponential(band.height, by)
    if fit is not None:
        k_fit, b0_fit = fit
        fit_by = law(band, 0.0, b0_fit, k_fit)[:, 1]
        from_fit = by / fit_by - 1.0
        result.update(k_fit_per_m=k_fit, B0_fit_T=b0_fit, k_fit_relative_error=k_fit / k - 1.0, fit_By_T=fit_by,
                      deviation_from_fit=from_fit, rms_deviation_from_fit=_rms(from_fit),
                      max_deviation_from_fit=_max_abs(from_fit))
    local = local_field_index(band.height, by)
    if local is not None:
        result.update(local_k_per_m=local, max_local_field_index_error=_max_abs(local / k - 1.0))
    return result


def _vector_deviation(b, reference):
    """|B - B_ref| / |B_ref| per point; B (n, 3), B_ref (n, 2) with Bz_ref = 0."""
    diff = np.column_stack([b[:, 0] - reference[:, 0], b[:, 1] - reference[:, 1], b[:, 2]])
    return np.sqrt((diff * diff).sum(axis=1)) / np.sqrt((reference * reference).sum(axis=1))


def off_plane(field, config, magnet, band, fit=None):
    """The field on the band's heights at x = +-(winding centre to midplane) / 2, z = 0, against the field
    that satisfies Maxwell's equations with the law (and with the fit, when given as (k_fit, B0_fit)).

    Returns a list of two dicts (x = +w/2, then -w/2): ``x_m``, ``rms_deviation_from_law`` and
    ``rms_deviation_from_fit`` (None without a fit), the rms over the points of |B - B_ref| / |B_ref|.
    """
    k = config.scaling_k
    half = 0.5 * magnet.winding_centre_to_midplane
    planes = []
    for x in (half, -half):
        b = np.asarray(field(_on_line(band, x)), dtype=float)
        plane = {"x_m": x, "rms_deviation_from_law": _rms(_vector_deviation(b, law(band, x, magnet.bmax, k))),
                 "rms_deviation_from_fit": None}
        if fit is not None:
            plane["rms_deviation_from_fit"] = _rms(_vector_deviation(b, law(band, x, fit[1], fit[0])))
        planes.append(plane)
    return planes


def path_positions(magnet):
    """Positions z along the straight reference path, m, symmetric about 0 (which is one of them).

    They run over the coil mesh's length, beyond which no conductor lies: every max(h, w) / 8 (h the
    winding return half-length, w the winding centre to midplane) to 2 h + 2 w past the magnet's end,
    where the field has fallen to its tail, then four times as far apart (between 20 and 800 points
    to either side).
    """
    mesh_z = coil_mesh(magnet)[1]
    reach = max(-float(mesh_z[0]), float(mesh_z[-1]))
    h, w = magnet.winding_return_half_length, magnet.winding_centre_to_midplane
    step = max(h, w) / 8
    fine_reach = min(0.5 * magnet.length + 2 * h + 2 * w, reach)
    fine = np.linspace(0.0, fine_reach, int(min(max(math.ceil(fine_reach / step), 20), 800)) + 1)
    half = fine
    if reach > fine_reach:
        tail_points = int(min(max(math.ceil((reach - fine_reach) / (4 * step)), 1), 800))
        half = np.concatenate([fine, np.linspace(fine_reach, reach, tail_points + 1)[1:]])
    return np.concatenate([-half[:0:-1], half])


class PathField(NamedTuple):
    """By along the reference path at several heights of a band."""

    y: np.ndarray
    """(h,) heights of the paths, m."""
    height: np.ndarray
    """(h,) d of each path, m."""
    s: np.ndarray
    """(n,) distance along the path from the magnet's centre, m (negative before it)."""
    points: np.ndarray
    """(n, 3) the path at the first height, bent with the windings for a bent magnet, m (the others differ
    from it in y alone)."""
    by: np.ndarray
    """(h, n) By along each path, T."""

    @property
    def centre(self):
        return self.s.size // 2


def path_field(field, config, magnet, band, rows, bend=None):
    """By along the reference path (the line x = 0 at a fixed y, mapped through the windings' bend for a
    bent magnet) at `rows` evenly spaced heights across the band. `bend` maps points (m, 3) as
    ``expcoil.bend_points(magnet, ...)`` does, which is the default."""
    if bend is None:
        def bend(p):
            return bend_points(magnet, p)
    z = path_positions(magnet)
    y = np.linspace(band.y[0], band.y[-1], rows)
    height = np.linspace(band.height[0], band.height[-1], rows)
    straight = np.zeros((rows, z.size, 3))
    straight[:, :, 1] = y[:, None]
    straight[:, :, 2] = z[None, :]
    bent = np.asarray(bend(straight), dtype=float)
    by = np.asarray(field(bent.reshape(-1, 3)), dtype=float).reshape(rows, z.size, 3)[:, :, 1]
    # The bend does not depend on y: one path's arc length serves all.
    step = np.diff(bent[0], axis=0)
    ds = np.sqrt((step * step).sum(axis=1))
    s = np.concatenate([[0.0], np.cumsum(ds)])
    s = s - s[z.size // 2]
    return PathField(y, height, s, bent[0], by)


def _logit(r):
    return math.log(r / (1.0 - r))


def _fall(s, ratio):
    """Distance over which `ratio` (By / By(centre) from the centre outward) falls from 0.9 to 0.1; None
    when it does not fall that far. Each crossing is interpolated between its two samples linearly in
    the logit ln(r / (1 - r)), in which a fringe field's fall (an Enge function, a tanh) is nearly
    straight, or linearly in r where a sample lies outside (0, 1)."""
    crossings = []
    for level in (0.9, 0.1):
        below = np.nonzero(ratio < level)[0]
        if below.size == 0 or below[0] == 0:
            return None
        j = below[0]
        a, b = float(ratio[j - 1]), float(ratio[j])
        if 0.0 < b and a < 1.0:
            t = (_logit(a) - _logit(level)) / (_logit(a) - _logit(b))
        else:
            t = (a - level) / (a - b)
        crossings.append(s[j - 1] + t * (s[j] - s[j - 1]))
    return abs(crossings[1] - crossings[0])


def ends(path):
    """The ends of the field along the paths of a PathField.

    Returns a dict: ``y_m`` and ``height_m`` of the paths, ``centre_By_T`` (By at s = 0),
    ``integrated_field_T_m`` (the trapezoid rule over the whole path), ``effective_length_m``
    (integral / centre field), ``effective_length_spread`` (max / min - 1 over the heights, None unless
    every effective length is positive), ``fall_90_10_entry_m`` and ``fall_90_10_exit_m`` (the distance
    over which By falls from 90 % to 10 % of its centre value, before and after the centre; None for a
    path where it does not).
    """
    s, c = path.s, path.centre
    ds = np.diff(s)
    integral, leff, entry, exit_ = [], [], [], []
    for by in path.by:
        total = _sum(0.5 * (by[:-1] + by[1:]) * ds)
        centre = by[c]
        integral.append(total)
        leff.append(total / centre if centre != 0.0 else None)
        ratio = by / centre if centre != 0.0 else None
        exit_.append(None if ratio is None else _fall(s[c:], ratio[c:]))
        entry.append(None if ratio is None else _fall(-s[c::-1], ratio[c::-1]))
    usable = all(v is not None and v > 0 for v in leff)
    return {
        "y_m": path.y,
        "height_m": path.height,
        "centre_By_T": path.by[:, c],
        "integrated_field_T_m": np.array(integral),
        "effective_length_m": leff,
        "effective_length_spread": max(leff) / min(leff) - 1.0 if usable else None,
        "fall_90_10_entry_m": entry,
        "fall_90_10_exit_m": exit_,
    }


def integrated_index(config, ends_figures):
    """The field index of the integrated field, what a tracking code sees of the whole magnet.

    Returns a dict: ``k_int_per_m``, the least-squares k of ln|integral of By ds| over the heights of
    ``ends`` (END_HEIGHTS across the band), ``k_int_relative_error`` (k_int / k - 1),
    ``local_k_int_per_m`` (its local index between the heights) and ``max_local_k_int_error``
    (max |k_int(d) / k - 1|); None where the integral vanishes somewhere.
    """
    k = config.scaling_k
    height, integral = ends_figures["height_m"], ends_figures["integrated_field_T_m"]
    fit = fit_exponential(height, integral)
    local = local_field_index(height, integral)
    return {
        "k_int_per_m": None if fit is None else fit[0],
        "k_int_relative_error": None if fit is None else fit[0] / k - 1.0,
        "local_k_int_per_m": local,
        "max_local_k_int_error": None if local is None else _max_abs(local / k - 1.0),
    }


def integrated_multipoles(field, config, magnet, band, heights=ORBIT_HEIGHTS, radius=None, bend=None):
    """The integrated skew quadrupole and normal sextupole along orbits across the band, against the
    ideal field's.

    On the circle of `radius` (default a quarter of the winding centre to midplane) around each orbit
    (the reference path at a height, bent with the windings), the field's components across the path,
    integrated along it, give the harmonics of By + i Bx = sum C_n z^(n-1), z = x + i (y - y_orbit). The
    ideal field Bmax e^(k d) (cos k x, -sin k x) has C_2 / C_1 = -i sign k and C_3 / C_1 = -k^2 / 2
    (sign -1 in the upper band, where the field grows downward): a skew quadrupole of -sign k and a
    normal sextupole of -k^2 / 2 relative to the dipole.

    Returns a dict: ``y_m`` and ``height_m`` of the orbits, ``radius_m``, ``skew_quadrupole_per_m``
    (Im C_2 / Re C_1), ``ideal_skew_quadrupole_per_m``, ``normal_sextupole_per_m2`` (Re C_3 / Re C_1),
    ``ideal_normal_sextupole_per_m2``, and the largest relative errors of the two over the orbits,
    ``max_skew_quadrupole_error`` and ``max_normal_sextupole_error``.
    """
    if bend is None:
        def bend(p):
            return bend_points(magnet, p)
    k = config.scaling_k
    r = 0.25 * magnet.winding_centre_to_midplane if radius is None else radius
    z = path_positions(magnet)
    y = np.linspace(band.y[0], band.y[-1], heights)
    theta = 2.0 * math.pi * np.arange(CIRCLE_POINTS) / CIRCLE_POINTS
    cos_t, sin_t = _cos(theta), _sin(theta)
    # Straight points (orbit, angle, s, xyz); the bend maps them with the windings.
    straight = np.zeros((heights, CIRCLE_POINTS, z.size, 3))
    straight[:, :, :, 0] = (r * cos_t)[None, :, None]
    straight[:, :, :, 1] = y[:, None, None] + (r * sin_t)[None, :, None]
    straight[:, :, :, 2] = z[None, None, :]
    bent = np.asarray(bend(straight.reshape(-1, 3)), dtype=float).reshape(straight.shape)
    b = np.asarray(field(bent.reshape(-1, 3)), dtype=float).reshape(straight.shape)
    centre = np.asarray(bend(np.column_stack([np.zeros(z.size), np.full(z.size, y[0]), z])), dtype=float)
    step = np.diff(centre, axis=0)
    ds = np.sqrt((step * step).sum(axis=1))
    tangent = np.vstack([step, step[-1:]]) / np.concatenate([ds, ds[-1:]])[:, None]
    # The path's transverse direction in the plane of the bend: (t_z, 0, -t_x).
    across = np.column_stack([tangent[:, 2], np.zeros(z.size), -tangent[:, 0]])
    bx = (b * across[None, None, :, :]).sum(axis=3)
    by = b[:, :, :, 1]
    weights = np.concatenate([[0.5 * ds[0]], 0.5 * (ds[:-1] + ds[1:]), [0.5 * ds[-1]]])
    f = (by * weights).sum(axis=2) + 1j * (bx * weights).sum(axis=2)  # (heights, angles), T m
    harmonic = [(f * np.exp(-1j * n * theta)[None, :]).mean(axis=1) / r**n for n in range(3)]
    ideal_skew, ideal_sextupole = -band.sign * k, -0.5 * k * k
    height = np.linspace(band.height[0], band.height[-1], heights)
    dipole = harmonic[0].real
    if not np.all(np.isfinite(f)) or np.any(dipole == 0.0):
        # No dipole to compare with: no value (and no NaN in the report).
        return {"y_m": y, "height_m": height, "radius_m": r, "skew_quadrupole_per_m": None,
                "ideal_skew_quadrupole_per_m": ideal_skew, "normal_sextupole_per_m2": None,
                "ideal_normal_sextupole_per_m2": ideal_sextupole, "max_skew_quadrupole_error": None,
                "max_normal_sextupole_error": None}
    skew = harmonic[1].imag / dipole
    sextupole = harmonic[2].real / dipole
    return {
        "y_m": y,
        "height_m": height,
        "radius_m": r,
        "skew_quadrupole_per_m": skew,
        "ideal_skew_quadrupole_per_m": ideal_skew,
        "normal_sextupole_per_m2": sextupole,
        "ideal_normal_sextupole_per_m2": ideal_sextupole,
        "max_skew_quadrupole_error": _max_abs(skew / ideal_skew - 1.0),
        "max_normal_sextupole_error": _max_abs(sextupole / ideal_sextupole - 1.0),
    }


def deviation_map(config, magnet, band, path):
    """By / (sign Bmax e^(k d)) - 1 over the heights and positions of a PathField, (h, n)."""
    grow = band.sign * magnet.bmax * _exp(config.scaling_k * path.height)
    return path.by / grow[:, None] - 1.0


def windings_summary(segments, currents, magnet, mesh_spacing):
    """The windings of a design as closed loops, by layer, and their noise.

    Returns a dict: ``segments``, ``conductor_length_m`` (all segments), ``current_per_winding_A``,
    ``coil_mesh_spacing_m``, ``noise_length_limit_m`` (NOISE_LENGTH_SPACINGS spacings), ``windings``,
    ``noise_windings``, ``noise_winding_share`` (of the closed windings; 0 without any), ``open_chains``,
    ``ampere_turns_A`` (the currents of the closed windings, summed), ``layers`` (per layer: ``layer``,
    ``windings``, ``noise_windings``, ``open_chains``, ``ampere_turns_A``, ``conductor_length_m``),
    ``open_chain_segments`` (the first and last segment of every open chain, 0-based, in the order of the
    windings file), and ``chains`` (the Chains, with ``lengths`` (c,) m and ``noise`` (c,) bool).
    """
    s = np.asarray(segments, dtype=float)
    chains = chain_windings(s, currents, 0.0)
    lengths = chains.lengths()
    limit = NOISE_LENGTH_SPACINGS * mesh_spacing
    closed = chains.closed
    noise = closed & (lengths < limit)
    edge = s[:, 1] - s[:, 0]
    layers = []
    for layer in sorted(set(chains.layer.tolist())):
        mine = chains.layer == layer
        layers.append({
            "layer": int(layer),
            "windings": int(np.count_nonzero(closed & mine)),
            "noise_windings": int(np.count_nonzero(noise & mine)),
            "open_chains": int(np.count_nonzero(~closed & mine)),
            "ampere_turns_A": _sum(chains.current[closed & mine]),
            "conductor_length_m": _sum(lengths[mine]),
        })
    windings = int(np.count_nonzero(closed))
    return {
        "segments": int(s.shape[0]),
        "conductor_length_m": _sum(np.sqrt((edge * edge).sum(axis=1))),
        "current_per_winding_A": magnet.winding_current,
        "coil_mesh_spacing_m": mesh_spacing,
        "noise_length_limit_m": limit,
        "windings": windings,
        "noise_windings": int(np.count_nonzero(noise)),
        "noise_winding_share": int(np.count_nonzero(noise)) / windings if windings else 0.0,
        "open_chains": int(np.count_nonzero(~closed)),
        "ampere_turns_A": _sum(chains.current[closed]),
        "layers": layers,
        "open_chain_segments": [[int(a), int(b)] for a, b in
                                zip(chains.first_segment[~closed], chains.last_segment[~closed])],
        "chains": chains,
        "chain_lengths_m": lengths,
        "chain_noise": noise,
    }


def windings_warnings(summary):
    """The problems of the windings in words: noise windings above NOISE_WARNING_SHARE, open chains."""
    found = []
    share = summary["noise_winding_share"]
    if share > NOISE_WARNING_SHARE:
        found.append(
            f"{summary['noise_windings']} of {summary['windings']} windings ({100 * share:.1f} %) are shorter than "
            f"{NOISE_LENGTH_SPACINGS} coil-mesh spacings ({1000 * summary['noise_length_limit_m']:.3g} mm): noise "
            "windings, most likely sampling noise that the vertical FFT inversion amplifies on a fine mesh "
            "(its gain grows as e^(|kappa| d) with the mesh's shortest wavelength); a coarser \"FFT meshes\" or "
            "\"Coil meshes\", or a longer \"Vertical end height\", removes them")
    if summary["open_chains"]:
        first = summary["open_chain_segments"][0]
        found.append(
            f"{summary['open_chains']} winding(s) do not close: the first runs from segment {first[0] + 1} to "
            f"segment {first[1] + 1} of the windings (line {first[1] + 2} of the windings file), where "
            "nothing of its current continues")
    return found


def verdict(band_results, tolerances=None, mode="literal"):
    """Every figure of every band against its tolerance.

    `band_results` maps a band's name to its dict with the figures of the mode's tolerances
    (DEFAULT_TOLERANCES for "literal", PRECISE_TOLERANCES for "precise"; None: no value, which fails).
    Returns a list of {name, band, key, value, tolerance, pass}; `value` is the magnitude compared.
    """
    base = PRECISE_TOLERANCES if mode == "precise" else DEFAULT_TOLERANCES
    tolerances = dict(base, **(tolerances or {}))
    entries = []
    for band, figures in band_results.items():
        for key in base:
            value = figures.get(key)
            value = None if value is None else abs(value)
            entries.append({
                "name": f"{TOLERANCE_NAMES[key]}, {band} band",
                "band": band,
                "key": key,
                "value": value,
                "tolerance": tolerances[key],
                "pass": value is not None and value <= tolerances[key],
            })
    return entries


def analyse(config, magnet, segments, currents, field=None, bend=None, mesh_spacing=None, tolerances=None,
            mode=None):
    """Every figure of the design report of one magnet.

    Parameters
    ----------
    config : Config
    magnet : Magnet
        One of ``config.magnets``.
    segments, currents : array_like, shapes (n, 2, 3) and (n,)
        The magnet's windings (a design's, or a windings file's), m and A.
    field : callable, optional
        ``field(points (m, 3)) -> B (m, 3)``; None: ``expcoil.field`` of the windings.
    bend : callable, optional
        Maps straight points (..., 3) onto the magnet's bend; None: ``expcoil.bend_points``.
    mesh_spacing : float, optional
        The coil mesh's spacing, m; None: the configuration's.
    tolerances : dict, optional
        Tolerances by key of the mode's tolerances (fractions); the others keep their defaults.
    mode : str, optional
        "literal" or "precise": whose tolerances the verdict uses; None: the configuration's design mode.

    Returns
    -------
    dict
        ``bands``: per band (its name), the reference line (see ``reference_line``), ``off_plane``,
        ``ends`` (see ``ends``), ``integrated`` (see ``integrated_index``, whose figures the band's dict
        also holds), ``multipoles`` (see ``integrated_multipoles``), ``paths`` (the PathField) and, for
        the lower band, ``deviation_map`` (see ``deviation_map``);
        ``windings`` (see ``windings_summary``), ``warnings``, ``verdict`` (see ``verdict``) and ``pass``.
    """
    if field is None:
        from ._field import field as windings_field

        def field(points):
            return windings_field(segments, currents, points)
    if mesh_spacing is None:
        mesh_y = coil_mesh(magnet)[0]
        mesh_spacing = float(mesh_y[1] - mesh_y[0])
    results = {}
    for band in bands(config):
        line = reference_line(field, config, magnet, band)
        fit = None if line["k_fit_per_m"] is None else (line["k_fit_per_m"], line["B0_fit_T"])
        path = path_field(field, config, magnet, band, END_HEIGHTS, bend)
        entry = dict(line, band=band, off_plane=off_plane(field, config, magnet, band, fit), ends=ends(path),
                     paths=path)
        entry["effective_length_spread"] = entry["ends"]["effective_length_spread"]
        entry["integrated"] = integrated_index(config, entry["ends"])
        entry.update(entry["integrated"])
        entry["multipoles"] = integrated_multipoles(field, config, magnet, band, bend=bend)
        if band.name == "lower":
            entry["deviation_map"] = deviation_map(config, magnet, band, path)
        results[band.name] = entry
    summary = windings_summary(segments, currents, magnet, mesh_spacing)
    if mode is None:
        mode = getattr(config, "design_mode", "literal")
    entries = verdict(results, tolerances, mode)
    return {
        "mode": mode,
        "bands": results,
        "windings": summary,
        "warnings": windings_warnings(summary),
        "verdict": entries,
        "pass": all(e["pass"] for e in entries),
    }
