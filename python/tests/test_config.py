"""read_config and Config.from_dict: the program's records and the program's checks."""

import math

import pytest

import expcoil
from expcoil.analysis import PRECISE_TOLERANCES
from conftest import REPO, example_text, run_program


def test_read_config_gives_every_key_in_si(tmp_path):
    path = tmp_path / "config.txt"
    path.write_text(example_text(**{"Scaling k": "-3.5", "Use vertical FFT inversion": "no"}) +
                    "Magnet name: Third\nBmax: 1.2\nLength: 0.5 m\nAngle (degrees): -90\nWinding centre to midplane: "
                    "0.03\nWinding return half-length: 0.2\nArea per winding (cm^2): 2.5\nWinding current density "
                    "(A/mm^2): 4\nWinding thickness (cm): 1.5\nPolynomial adjustment: 0.5, -1e-3, 2\n")
    with pytest.warns(UserWarning, match=f'^{path}: magnet "Third": "Length" on line 55: "m" after the number '
                                         '"0.5" is ignored$'):
        config = expcoil.read_config(str(path))
    params, magnets = config.to_dict()
    assert params == {
        "name": "Example", "scaling_k": -3.5, "good_field_height": 0.15, "vertical_end_height": 0.3,
        "vertical_middle_join_height": 0.35, "vertical_middle_asymmetry": 0.0, "vertical_middle_ramp": 1.0,
        "vertical_end_asymmetry": 0.0, "vertical_end_ramp": 1.0, "coil_meshes": 128, "fft_meshes": 256,
        "use_vertical_fft_inversion": False, "fieldmap_transverse_cell": 0.01, "fieldmap_vertical_cell": 0.01,
        "fieldmap_longitudinal_cell": 0.02, "fieldmap_transverse_extension": 0.02,
        "fieldmap_vertical_extension": 0.02, "fieldmap_longitudinal_extension": 0.2, "fieldmap_tolerance": 0.0,
        "design_mode": "literal"}
    assert [m["name"] for m in magnets] == ["Straight", "Bent", "Third"]
    # cm^2, A/mm^2, cm and degrees become m^2, A/m^2, m and radians, with the program's own factors.
    assert magnets[2] == {
        "name": "Third", "bmax": 1.2, "length": 0.5, "angle": -90 * 0.017453292519943295,
        "winding_centre_to_midplane": 0.03, "winding_return_half_length": 0.2, "area_per_winding": 2.5 * 0.0001,
        "winding_current_density": 4 * 1000000.0, "winding_thickness": 1.5 * 0.01,
        "polynomial_adjustment": [0.5, -1e-3, 2.0]}
    third = config.magnets[2]
    assert (third.name, third.angle, third.winding_current) == ("Third", -math.pi / 2, 4e6 * 2.5e-4)
    assert config.scaling_k == -3.5 and config.use_vertical_fft_inversion is False
    with pytest.raises(AttributeError):
        config.scaling_k = 1.0


@pytest.mark.parametrize("text", [
    example_text(**{"Coil meshes": "1", "Scaling k": "0", "Bmax": "inf", "Length": "-0.1",
                    "Fieldmap vertical extension": "-0.2", "Area per winding (cm^2)": "0"}) + "Magnet name: C/D\n",
    example_text(**{"Use vertical FFT inversion": "true", "Bmax": "0,8", "Length": "", "Angle (degrees)": "1e3"}),
    example_text().replace("Parameters name: Example\n", ""),
    None,
], ids=["values", "texts", "no name line", "no file"])
def test_a_bad_file_raises_the_lines_the_program_prints(tmp_path, monkeypatch, text):
    if text is not None:
        (tmp_path / "config.txt").write_text(text)
    printed = run_program(tmp_path)
    assert printed.returncode == 1 and printed.stderr
    monkeypatch.chdir(tmp_path)
    with pytest.raises(expcoil.ConfigError) as raised:
        expcoil.read_config("config.txt")
    assert raised.value.problems == printed.stderr.splitlines()
    assert str(raised.value) == printed.stderr.rstrip("\n")
    assert isinstance(raised.value, ValueError)


def test_from_dict_makes_the_same_records_and_the_same_design(small_run, small_designs):
    _, config = small_run
    again = expcoil.Config.from_dict(*config.to_dict())
    assert again.to_dict() == config.to_dict()
    bent = expcoil.design(again.magnets[1])
    assert bent.segments.tobytes() == small_designs["Bent"].segments.tobytes()
    assert bent.currents.tobytes() == small_designs["Bent"].currents.tobytes()
    # numpy numbers and tuples are taken as well as Python's.
    import numpy as np
    params, magnets = config.to_dict()
    params["scaling_k"], params["coil_meshes"] = np.float32(2.5), np.int64(32)
    magnets[0]["polynomial_adjustment"] = (np.float64(0.0),)
    assert expcoil.Config.from_dict(params, tuple(magnets)).to_dict() == config.to_dict()


S = 'Config.from_dict: magnet "Straight": '
NO_MAP = ('the field map has no usable number of points along its vertical axis: check "fieldmap_vertical_cell" and '
          '"fieldmap_vertical_extension"')


def _del(d, key):
    del d[key]


@pytest.mark.parametrize("change, problems", [
    (lambda p, m: _del(p, "scaling_k"), ['Config.from_dict: no "scaling_k" key']),
    (lambda p, m: p.update(scalingk=2.5), ["Config.from_dict: unknown key 'scalingk'"]),
    (lambda p, m: m[0].update(bmax="0.8"), [S + "\"bmax\" must be a real number (it is '0.8')"]),
    (lambda p, m: m[0].update(bmax=True), [S + '"bmax" must be a real number (it is True)']),
    (lambda p, m: p.update(coil_meshes=32.0), ['Config.from_dict: "coil_meshes" must be an integer of at most 32 '
                                               'bits (it is 32.0)']),
    (lambda p, m: p.update(use_vertical_fft_inversion="yes"),
     ['Config.from_dict: "use_vertical_fft_inversion" must be True or False (it is \'yes\')']),
    (lambda p, m: m[0].update(polynomial_adjustment="0"),
     [S + "\"polynomial_adjustment\" must be a list of real numbers (it is '0')"]),
    (lambda p, m: _del(m[1], "name"), ['Config.from_dict: magnet 2 of 2: no "name" key']),
    (lambda p, m: p.update(design_mode="exact"),
     ['Config.from_dict: "design_mode" must be literal or precise (it is "exact")']),
    # The program's value checks, naming the dicts' keys.
    (lambda p, m: (p.update(scaling_k=0, fft_meshes=1, vertical_end_ramp=float("nan"), fieldmap_vertical_extension=-1),
                   m[0].update(area_per_winding=0.0, name="a/b"), m[1].update(length=0.0)),
     ['Config.from_dict: "fft_meshes" must be at least 2 (it is 1)',
      'Config.from_dict: "vertical_end_ramp" is not a finite number', 'Config.from_dict: "scaling_k" must not be zero',
      'Config.from_dict: magnet "a/b": "name" must not contain \'/\' or \'\\\': output files are written to the '
      'working directory',
      'Config.from_dict: magnet "a/b": the winding current ("winding_current_density" times "area_per_winding") '
      'must not be zero', 'Config.from_dict: magnet "a/b": ' + NO_MAP,
      'Config.from_dict: magnet "Bent": "length" must be positive (it is 0)',
      'Config.from_dict: magnet "Bent": ' + NO_MAP]),
    (lambda p, m: (p.update(vertical_middle_join_height=-0.1), m[0].update(bmax=0.0, angle=-7.0)),
     ['Config.from_dict: "vertical_middle_join_height" must not be negative (it is -0.1)', S + '"bmax" must not be zero',
      S + '"angle" must be less than 6.28319 in magnitude (it is -7)']),
])
def test_from_dict_names_every_problem_with_the_dicts_keys(small_run, change, problems):
    params, magnets = small_run[1].to_dict()
    change(params, magnets)
    with pytest.raises(expcoil.ConfigError) as raised:
        expcoil.Config.from_dict(params, magnets)
    assert raised.value.problems == problems


def test_from_dict_wants_dicts_in_a_list(small_run):
    params, magnets = small_run[1].to_dict()
    with pytest.raises(expcoil.ConfigError) as raised:
        expcoil.Config.from_dict([], magnets[0])
    assert raised.value.problems == ["Config.from_dict: params must be a dict (it is [])",
                                     "Config.from_dict: magnets must be a list of dicts, one per magnet (it is "
                                     "{'name': 'Straight', 'bmax': 0.8, 'le...)"]


def test_design_mode_is_read_defaults_to_literal_and_chooses_the_design():
    config = expcoil.read_config(str(REPO / "examples" / "config_precise.txt"))
    assert config.design_mode == "precise"
    params, magnets = config.to_dict()
    del params["design_mode"]
    assert expcoil.Config.from_dict(params, magnets).design_mode == "literal"
    # The precise mode chose the mesh: 0.4 times the winding distance over the 2.05 m it spans.
    design = expcoil.design(config.magnets[0])
    assert design.potential.shape == (258, 258)
    mesh_y, mesh_z = expcoil.coil_mesh(config.magnets[0])
    assert mesh_y.tobytes() == design.mesh_y.tobytes() and mesh_z.tobytes() == design.mesh_z.tobytes()
    assert [band["band"] for band in design.promise] == ["lower", "upper"]
    for band in design.promise:
        assert all(abs(band[key]) <= limit for key, limit in PRECISE_TOLERANCES.items())
