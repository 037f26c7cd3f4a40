"""design(): the program's potential and windings."""

import gc

import numpy as np
import pytest

import expcoil
from conftest import REPO


@pytest.mark.parametrize("name", ["Straight", "Bent"])
@pytest.mark.parametrize("suffix", [".csv", ".cond"])
def test_design_is_the_windings_file_of_the_program(small_run, small_designs, tmp_path, name, suffix):
    directory, _ = small_run
    d = small_designs[name]
    written = tmp_path / f"windings_{name}{suffix}"
    expcoil.write_windings(written, d.segments, d.currents)
    assert written.read_bytes() == (directory / f"windings_{name}{suffix}").read_bytes()


def test_potential_mesh_and_segments_agree(small_designs):
    d = small_designs["Straight"]
    p, y, z = d.potential, d.mesh_y, d.mesh_z
    assert p.shape == (y.size, z.size) == (32, 32)
    assert not p[0].any() and not p[-1].any() and not p[:, 0].any() and not p[:, -1].any()
    # The contour pieces lie at x = +w before their mirror copies at -w; an end point on a mesh row is where
    # the potential, linear along that row, crosses (k - 1/2) * current.
    w = d.magnet.winding_centre_to_midplane
    ends = d.segments[: d.segments.shape[0] // 2].reshape(-1, 3)
    assert np.all(ends[:, 0] == w) and np.all(d.segments[d.segments.shape[0] // 2:, :, 0] == -w)
    rows = np.minimum(np.searchsorted(y, ends[:, 1] - 1e-12), y.size - 1)
    on_row = np.abs(y[rows] - ends[:, 1]) < 1e-12
    level = np.array([np.interp(e[2], z, p[r]) for e, r in zip(ends[on_row], rows[on_row])])
    level = level / d.magnet.winding_current + 0.5
    assert on_row.sum() > 1000 and np.all(np.abs(level - np.round(level)) < 1e-6)


def test_workers_change_no_bit(small_run, small_designs):
    magnet, reference = small_run[1].magnets[1], small_designs["Bent"]
    points = np.random.default_rng(3).uniform(-0.3, 0.3, (301, 3))
    b_reference = expcoil.field(reference.segments, reference.currents, points, workers=1)
    map_reference = expcoil.field_map(reference, workers=1).B
    for workers in (2, 7):
        d = expcoil.design(magnet, workers=workers)
        assert d.potential.tobytes() == reference.potential.tobytes()
        assert d.segments.tobytes() == reference.segments.tobytes()
        assert expcoil.field(d.segments, d.currents, points, workers=workers).tobytes() == b_reference.tobytes()
        assert expcoil.field_map(d, magnet, workers=workers).B.tobytes() == map_reference.tobytes()


def test_views_are_read_only_and_keep_their_design_alive(small_run):
    d = expcoil.design(small_run[1].magnets[0])
    segments, currents, potential = d.segments, d.currents, d.potential
    copies = segments.copy(), currents.copy(), potential.copy()
    for view in (segments, currents, potential, d.mesh_y, d.mesh_z):
        assert not view.flags.writeable
        with pytest.raises(ValueError):
            view[0] = 1.0
    del d
    gc.collect()
    expcoil.design(small_run[1].magnets[1])  # fresh allocations where the design's memory was
    assert np.array_equal(segments, copies[0]) and np.array_equal(currents, copies[1])
    assert np.array_equal(potential, copies[2])


def test_a_fft_mesh_that_is_not_a_power_of_two_raises_and_the_interpreter_goes_on(small_run):
    params, magnets = small_run[1].to_dict()
    params["fft_meshes"] = 100
    magnet = expcoil.Config.from_dict(params, magnets).magnets[0]
    with pytest.raises(expcoil.FftLengthError) as raised:
        expcoil.design(magnet)
    assert str(raised.value) == "FFT length 100 is not a power of two"
    assert raised.value.length == 100
    assert isinstance(raised.value, expcoil.InputError) and isinstance(raised.value, ValueError)
    assert expcoil.design(small_run[1].magnets[0]).segments.shape[0] > 0


def test_a_target_that_overflows_is_an_input_error(small_run):
    params, magnets = small_run[1].to_dict()
    params["scaling_k"] = 5000.0
    with pytest.raises(expcoil.InputError, match=r"^the target current potential is not finite at y = "):
        expcoil.design(expcoil.Config.from_dict(params, magnets[:1]).magnets[0])


WORKERS = "workers must be None (all processors) or a whole number from 1 to 65536 (it is {})"


@pytest.mark.parametrize("call, error, message", [
    (lambda m, d: expcoil.design("Straight"), TypeError, "magnet must be an expcoil.Magnet (one of Config.magnets), "
                                                         "not str"),
    (lambda m, d: expcoil.field_map(m), TypeError, "design must be an expcoil.Design (from expcoil.design), not Magnet"),
    (lambda m, d: expcoil.field_map(d, d), TypeError, "magnet must be an expcoil.Magnet or None, not Design"),
    *[(lambda m, d, w=w: expcoil.design(m, workers=w), ValueError, WORKERS.format(shown))
      for w, shown in [(0, "0"), (-1, "-1"), (1.5, "1.5"), (True, "True"), ("2", "'2'"), (65537, "65537")]],
    # Instances that pybind11's __new__ would leave without their C++ value.
    (lambda m, d: expcoil.Config.__new__(expcoil.Config).to_dict(), TypeError,
     "expcoil.Config cannot be made directly: use expcoil.read_config or Config.from_dict"),
    (lambda m, d: expcoil.Design.__new__(expcoil.Design).magnet, TypeError,
     "expcoil.Design cannot be made directly: use expcoil.design"),
    (lambda m, d: expcoil.Magnet(), TypeError, "expcoil.Magnet cannot be made directly: use Config.magnets"),
    (lambda m, d: repr(expcoil.FieldMap.__new__(expcoil.FieldMap)), TypeError, "..."),
    # The program's count of the segments before any is made (a design once grew to 13 GB first).
    (lambda m, d: expcoil.design(expcoil.Config.from_dict(*_example_with(winding_current_density=1.0)).magnets[0]),
     expcoil.InputError,
     'the current potential spans 4.46e+009 windings of 0.0001 A ("Winding current density (A/mm^2)" times "Area '
     'per winding (cm^2)"; the potential grows with "Bmax" and falls with "Scaling k"): 2.8e+012 conductor '
     'segments, more than the 4294967295 one magnet can hold'),
    # Numbers that are not quite numbers, orders that are no order, bytes that do not belong in a file.
    *[(lambda m, d, v=v: expcoil.Config.from_dict(*_example_with(bmax=v)), expcoil.ConfigError,
       f'Config.from_dict: magnet "Bent": "bmax" must be a real number (it is {shown})')
      for v, shown in [(np.complex128(2.5 + 1j), "(2.5+1j)"), (np.array("2.5"), "array('2.5', dtype='<U3')")]],
    (lambda m, d: expcoil.Config.from_dict(*_example_with(polynomial_adjustment={0.5: 1})),
     expcoil.ConfigError,
     'Config.from_dict: magnet "Bent": "polynomial_adjustment" must be a list of real numbers (it is {0.5: 1})'),
    *[(lambda m, d, v=v: expcoil.chain_windings(d.segments, d.currents, v), ValueError,
       f"join_tolerance must be a real number (it is {v!r})") for v in (True, "1e-3")],
    (lambda m, d: expcoil.export(d, "makegrid", "coils.x", coil_name="a\0b"), ValueError,
     "coil_name must be a str without NUL characters (it is 'a\\x00b')"),
    (lambda m, d: expcoil.FieldMap([0, 0], [0], [0], np.zeros((2, 1, 1, 3))), ValueError,
     "x must increase strictly (x[1] is 0.0 after 0.0)"),
    (lambda m, d: expcoil.FieldMap([0], [0], [0], [[[[0, np.nan, 0]]]]), ValueError, "B[0, 0, 0] is not a finite number"),
    (lambda m, d: expcoil.bend_points("Bent", [[0, 0, 0]]), TypeError,
     "magnet must be an expcoil.Magnet (one of Config.magnets), not str"),
    (lambda m, d: expcoil.bend_points(m, [[0, 0]]), ValueError,
     "points must have the shape (m, 3) or (..., 3), x, y and z of each point (its shape is (1, 2))"),
    (lambda m, d: expcoil.bend_points(m, [[0, np.nan, 0]]), ValueError,
     "points[0] has a coordinate that is not a finite number"),
    (lambda m, d: expcoil.coil_mesh(None), TypeError,
     "magnet must be an expcoil.Magnet (one of Config.magnets), not NoneType"),
    (lambda m, d: expcoil.chain_windings([[0, 0, 0]], 1.0), ValueError,
     "segments must have the shape (n, 2, 3), the start and end point of each segment (its shape is (1, 3))"),
])
def test_wrong_arguments_are_named(small_run, small_designs, call, error, message):
    with pytest.raises(error) as raised:
        call(small_run[1].magnets[1], small_designs["Straight"])
    assert str(raised.value) == message or (message == "..." and str(raised.value))


def _example_with(**change):
    """The example's dicts with its magnet "Bent" alone, changed."""
    params, magnets = expcoil.read_config(str(REPO / "examples" / "config.txt")).to_dict()
    return params, [dict(magnets[1], **change)]
