"""The design report's figures on fields whose answers are known."""

import json
import math
import warnings

import numpy as np
import pytest

import expcoil
from expcoil import analysis, figures
from expcoil.report import report_data

from conftest import REPO
from test_windings import polyline


def example_config(join=0.35, k=2.5, angle=0.0):
    params, magnets = expcoil.read_config(REPO / "examples" / "config.txt").to_dict()
    params.update(vertical_middle_join_height=join, scaling_k=k, coil_meshes=32, fft_meshes=64)
    magnet = dict(magnets[0], angle=angle)
    config = expcoil.Config.from_dict(params, [magnet])
    return config, config.magnets[0]


def exponential_field(config, magnet, b0=None, k=None, ripple=None, profile=None):
    """The field that satisfies Maxwell's equations with By = b0 e^(k d) on the mid-plane of both apertures:
    Bx = -b0 e^(k d) sin(k x), By = sign b0 e^(k d) cos(k x), d = y below J / 2 and J - y above, where the
    field points down. `ripple(y)` multiplies it (1 + ripple), `profile(y, z)` too (along the magnet)."""
    b0 = magnet.bmax if b0 is None else b0
    k = config.scaling_k if k is None else k
    join = config.vertical_middle_join_height

    def field(points):
        x, y, z = np.asarray(points, dtype=float).T
        upper = (join > 0) & (y > join / 2)
        d = np.where(upper, join - y, y)
        grow = b0 * np.exp(k * d)
        if ripple is not None:
            grow = grow * (1 + ripple(y))
        if profile is not None:
            grow = grow * profile(y, z)
        return np.column_stack([-grow * np.sin(k * x), np.where(upper, -1, 1) * grow * np.cos(k * x), 0 * x])

    return field


@pytest.mark.parametrize("join, k", [(0.35, 2.5), (0.35, -1.5), (0.0, 4.0)])
def test_an_exact_exponential_gives_k_and_no_deviation(join, k):
    config, magnet = example_config(join=join, k=k)
    field = exponential_field(config, magnet)
    bands = analysis.bands(config)
    assert [b.name for b in bands] == (["lower", "upper"] if join > 0 else ["lower"])
    for band in bands:
        line = analysis.reference_line(field, config, magnet, band)
        assert abs(line["k_fit_per_m"] / k - 1) < 1e-9 and abs(line["k_fit_relative_error"]) < 1e-9
        assert abs(line["B0_fit_T"] / magnet.bmax - 1) < 1e-9
        for key in ("rms_deviation_from_law", "max_deviation_from_law", "rms_deviation_from_fit",
                    "max_deviation_from_fit", "max_local_field_index_error"):
            assert line[key] < 1e-9, key
        planes = analysis.off_plane(field, config, magnet, band, (line["k_fit_per_m"], line["B0_fit_T"]))
        assert [p["x_m"] for p in planes] == [0.01, -0.01]
        for plane in planes:
            assert plane["rms_deviation_from_law"] < 1e-9 and plane["rms_deviation_from_fit"] < 1e-9


def test_the_upper_band_is_measured_downward_from_the_join():
    config, magnet = example_config(join=0.35)
    lower, upper = analysis.bands(config)
    assert lower.y[0] == -0.15 and lower.y[-1] == 0.0 and lower.sign == 1.0 and lower.y.size == 201
    assert upper.y[0] == 0.35 and upper.y[-1] == pytest.approx(0.5) and upper.sign == -1.0
    assert np.array_equal(upper.height, 0.35 - upper.y)
    # A field pointing up in the upper aperture has the wrong sign there: -2 from the law everywhere.
    up = exponential_field(config, magnet)
    wrong = analysis.reference_line(lambda p: np.abs(up(p)), config, magnet, upper)
    assert np.allclose(wrong["deviation_from_law"], -2.0) and abs(wrong["k_fit_relative_error"]) < 1e-9


def test_a_known_ripple_gives_its_rms_and_a_wrong_k_its_error():
    config, magnet = example_config(join=0.0)
    (band,) = analysis.bands(config)
    # Three whole periods across the band: the mean of sin^2 over the 201 points is 100 / 201, so this
    # amplitude is 1 % rms.
    amplitude = 0.01 * math.sqrt(201 / 100)
    rippled = exponential_field(config, magnet, ripple=lambda y: amplitude * np.sin(2 * np.pi * 3 * (y + 0.15) / 0.15))
    line = analysis.reference_line(rippled, config, magnet, band)
    assert line["rms_deviation_from_law"] == pytest.approx(0.01, rel=1e-9)
    assert line["max_deviation_from_law"] == pytest.approx(amplitude, rel=1e-3)
    # The field of k = 2.4 against k = 2.5, scaled to meet the law at y = 0.
    slower = analysis.reference_line(exponential_field(config, magnet, k=2.4), config, magnet, band)
    assert slower["k_fit_relative_error"] == pytest.approx(-0.04, abs=1e-9)
    expected = np.exp(-0.1 * band.y) - 1
    assert np.allclose(slower["deviation_from_law"], expected, rtol=0, atol=1e-12)
    assert slower["rms_deviation_from_law"] == pytest.approx(np.sqrt(np.mean(expected ** 2)), rel=1e-9)
    assert slower["max_local_field_index_error"] == pytest.approx(0.04, abs=1e-9)


def tanh_profile(half_length, width):
    """1 in the body, falling through 1/2 at |z| = half_length(y) over `width`: its integral over z is
    2 half_length, and By falls from 90 % to 10 % over 2 width atanh(0.8)."""
    def profile(y, z):
        a = half_length(y)
        return 0.5 * (np.tanh((a - z) / width) + np.tanh((a + z) / width))
    return profile


@pytest.mark.parametrize("join", [0.35, 0.0])
def test_the_ends_of_a_known_profile(join):
    config, magnet = example_config(join=join)
    growth = 0.02  # the half-length grows by 2 % from the bottom of each band to its top
    field = exponential_field(config, magnet, profile=tanh_profile(
        lambda y: 0.4 * (1 + growth * np.clip(np.where(y > join / 2, (0.15 + join - y), y + 0.15) / 0.15, 0, 1)),
        0.05))
    for band in analysis.bands(config):
        path = analysis.path_field(field, config, magnet, band, analysis.END_HEIGHTS)
        assert path.s[path.centre] == 0.0 and np.all(np.diff(path.s) > 0)
        assert path.s[-1] == pytest.approx(0.5 * 0.8 + 0.625)  # the coil mesh's end
        ends = analysis.ends(path)
        heights = np.linspace(0, 1, 11) if band.name == "lower" else np.linspace(1, 0, 11)
        assert np.allclose(ends["effective_length_m"], 0.8 * (1 + growth * heights), rtol=2e-5)
        assert ends["effective_length_spread"] == pytest.approx(growth, rel=1e-3)
        assert np.allclose(ends["integrated_field_T_m"], np.array(ends["effective_length_m"]) * ends["centre_By_T"])
        for fall in (ends["fall_90_10_entry_m"], ends["fall_90_10_exit_m"]):
            assert np.allclose(fall, 2 * 0.05 * np.arctanh(0.8), rtol=0, atol=2e-4)


def test_a_field_that_does_not_fall_has_no_fall_distance():
    s = np.linspace(-1, 1, 201)
    assert analysis._fall(s[100:], np.ones(101)) is None
    assert analysis._fall(s[100:], np.linspace(1, 0.5, 101)) is None
    # Between samples, in the logit: a logistic fall, sampled every 0.1 m, is found exactly.
    logistic = 1 / (1 + np.exp((s[100:] - 0.5) / 0.1))
    assert analysis._fall(s[100:][::10], logistic[::10]) == pytest.approx(0.2 * np.log(9), rel=1e-12)
    # With a sample beyond (0, 1), linearly in the ratio itself: a straight fall from 1.25 to -0.25 exactly.
    assert analysis._fall(s[100::50], np.array([1.25, 0.5, -0.25])) == pytest.approx(0.8 / 1.5, rel=1e-12)


def test_the_bent_path_follows_the_arc():
    """A field that only exists on the arc (around x = the path's own offset) is seen whole by the bent path,
    while the straight line leaves the arc and would lose it towards the ends."""
    config, magnet = example_config(join=0.0, angle=math.radians(15))
    radius = magnet.length / magnet.angle

    def on_arc(points):
        x, y, z = np.asarray(points, dtype=float).T
        inside = np.abs(z) <= radius * np.sin(magnet.angle / 2)
        off_arc = np.where(inside, np.hypot(radius - x, z) - radius, 0.0)
        # By = 1 T within 1 mm of the arc, on the arc's part of the path; 0 elsewhere.
        by = np.where(inside & (np.abs(off_arc) < 1e-3), 1.0, 0.0)
        return np.column_stack([0 * x, by, 0 * x])

    (band,) = analysis.bands(config)
    bent = analysis.path_field(on_arc, config, magnet, band, 3)
    assert np.all(bent.by[:, np.abs(bent.s) < 0.35] == 1.0)
    straight = analysis.path_field(on_arc, config, magnet, band, 3, bend=lambda p: p)
    assert np.any(straight.by[:, np.abs(straight.s) < 0.35] == 0.0)


@pytest.mark.parametrize("figures, tolerances, passes", [
    ({"rms_deviation_from_law": 0.01, "k_fit_relative_error": -0.02, "effective_length_spread": 0.0}, None,
     [True, True, True]),
    ({"rms_deviation_from_law": 0.0101, "k_fit_relative_error": 0.0201, "effective_length_spread": 0.0101}, None,
     [False, False, False]),
    ({"rms_deviation_from_law": 0.015, "k_fit_relative_error": None, "effective_length_spread": 0.005},
     {"rms_deviation_from_law": 0.02}, [True, False, True]),
])
def test_the_verdict_holds_each_figure_to_its_tolerance(figures, tolerances, passes):
    entries = analysis.verdict({"lower": figures, "upper": figures}, tolerances)
    assert [e["pass"] for e in entries] == passes * 2
    assert [e["band"] for e in entries] == ["lower"] * 3 + ["upper"] * 3
    assert entries[1]["value"] == (None if figures["k_fit_relative_error"] is None
                                   else abs(figures["k_fit_relative_error"]))
    assert [e["tolerance"] for e in entries[:3]] == [(tolerances or {}).get("rms_deviation_from_law", 0.01), 0.02, 0.01]


def loops_of(sides, x=0.02):
    """Square windings of the given sides (m), side by side along z, each carrying 100 A."""
    starts = np.cumsum([0] + [side + 0.1 for side in sides])  # apart, so that no two share a corner
    segments = [polyline([(0, z), (s, z), (s, z + s), (0, z + s)]) for z, s in zip(starts, sides)]
    segments = np.concatenate(segments)
    segments[:, :, 0] = x
    return segments


@pytest.mark.parametrize("tiny, warned", [(1, False), (2, True)])
def test_noise_windings_are_counted_and_warned_of_above_five_percent(tiny, warned):
    _, magnet = example_config()
    spacing = 0.01
    sides = [0.5] * (20 - tiny) + [0.009] * tiny  # 4 x 0.009 m = 3.6 spacings around: noise
    layer = loops_of(sides)
    mirror = layer.copy()
    mirror[:, :, 0] = -0.02
    segments = np.concatenate([layer, mirror])
    currents = np.concatenate([np.full(len(layer), 100.0), np.full(len(layer), -100.0)])
    summary = analysis.windings_summary(segments, currents, magnet, spacing)
    assert summary["windings"] == 40 and summary["noise_windings"] == 2 * tiny and summary["open_chains"] == 0
    assert summary["noise_winding_share"] == pytest.approx(tiny / 20)
    per_layer = [(x["layer"], x["windings"], x["noise_windings"]) for x in summary["layers"]]
    assert per_layer == [(1, 20, tiny), (2, 20, tiny)]
    assert summary["ampere_turns_A"] == 4000.0 and summary["layers"][0]["ampere_turns_A"] == 2000.0
    assert summary["conductor_length_m"] == pytest.approx(2 * 4 * sum(sides))
    told = analysis.windings_warnings(summary)
    assert bool(told) == warned
    if warned:
        assert told[0].startswith(f"{2 * tiny} of 40 windings (10.0 %) are shorter than 4 coil-mesh spacings (40 mm)")
        assert "FFT inversion" in told[0]


def test_an_open_chain_is_warned_of_with_its_segment():
    _, magnet = example_config()
    segments = np.concatenate([loops_of([0.5]), polyline([(2, 2), (2, 3), (3, 3)], close=False)])
    summary = analysis.windings_summary(segments, 1.0, magnet, 0.01)
    assert summary["open_chains"] == 1 and summary["open_chain_segments"] == [[4, 5]]
    (warning,) = analysis.windings_warnings(summary)
    assert warning.startswith("1 winding(s) do not close: the first runs from segment 5 to segment 6 of the "
                              "windings (line 7 of the windings file)")


def test_a_field_that_vanishes_fails_the_verdict_and_makes_no_nan():
    config, magnet = example_config()
    # By crosses 0 in the middle of each band: the logarithm has no value there.
    def crossing(points):
        x, y, z = np.asarray(points, dtype=float).T
        return np.column_stack([0 * x, np.round(np.where(y > 0.175, 0.425 - y, y + 0.075), 12), 0 * x])

    segments = loops_of([0.5])
    result = analysis.analyse(config, magnet, segments, 10.0, field=crossing)
    lower = result["bands"]["lower"]
    assert lower["k_fit_per_m"] is None and lower["local_k_per_m"] is None
    assert lower["deviation_from_law"][100] == -1.0
    assert not result["pass"]
    assert [e["pass"] for e in result["verdict"] if e["key"] == "k_fit_relative_error"] == [False, False]
    # Every number of the report is JSON's (NaN is not).
    text = json.dumps(report_data(result, config, magnet, "test"), allow_nan=False)
    assert json.loads(text)["bands"][0]["k_fit_per_m"] is None
    # The figures are drawn all the same, without a word from matplotlib, also of a field that is 0 everywhere.
    nothing = analysis.analyse(config, magnet, segments, 10.0, field=lambda p: np.zeros_like(np.asarray(p, float)))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for drawn in (figures.all_figures(r, config, magnet, 0.01) for r in (result, nothing)):
            assert len(drawn) == 7 and all(png.startswith(b"\x89PNG\r\n\x1a\n") for _, _, png in drawn)


def test_integrated_index_and_multipoles_of_the_ideal_field_are_the_ideal():
    # The law everywhere along a straight path: k_int is k, and the integrated harmonics are the ideal
    # field's skew quadrupole -sign k and normal sextupole -k^2/2 (in both bands, opposite skew signs).
    config, magnet = example_config(join=0.35)
    law = exponential_field(config, magnet)
    k = config.scaling_k
    for band in analysis.bands(config):
        path = analysis.path_field(law, config, magnet, band, analysis.END_HEIGHTS, bend=lambda p: p)
        index = analysis.integrated_index(config, analysis.ends(path))
        assert abs(index["k_int_relative_error"]) < 1e-9 and index["max_local_k_int_error"] < 1e-3
        poles = analysis.integrated_multipoles(law, config, magnet, band, bend=lambda p: p)
        assert poles["ideal_skew_quadrupole_per_m"] == -band.sign * k
        assert poles["max_skew_quadrupole_error"] < 1e-6
        assert poles["max_normal_sextupole_error"] < 1e-3


def test_a_wrong_gradient_shows_in_the_skew_quadrupole_and_k_int():
    config, magnet = example_config(join=0.0)
    k = config.scaling_k
    steeper = exponential_field(config, magnet, k=1.01 * k)
    band = analysis.bands(config)[0]
    poles = analysis.integrated_multipoles(steeper, config, magnet, band, bend=lambda p: p)
    assert np.allclose(poles["skew_quadrupole_per_m"], -1.01 * k, rtol=1e-6)
    assert abs(poles["max_skew_quadrupole_error"] - 0.01) < 1e-6
    path = analysis.path_field(steeper, config, magnet, band, analysis.END_HEIGHTS, bend=lambda p: p)
    assert abs(analysis.integrated_index(config, analysis.ends(path))["k_int_relative_error"] - 0.01) < 1e-9


def test_the_precise_verdict_holds_the_promise():
    figures = {"rms_deviation_from_law": 0.0004, "k_fit_relative_error": -0.0019,
               "max_local_field_index_error": 0.019, "effective_length_spread": 0.0029, "k_int_relative_error": 0.0031}
    entries = analysis.verdict({"lower": figures}, mode="precise")
    assert [e["key"] for e in entries] == list(analysis.PRECISE_TOLERANCES)
    assert [e["pass"] for e in entries] == [True, True, True, True, False]
    assert [e["key"] for e in analysis.verdict({"lower": figures})] == list(analysis.DEFAULT_TOLERANCES)
