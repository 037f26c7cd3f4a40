"""expcoil.export: the exporters of expcoil-export, on the package's values."""

import numpy as np
import pytest

import expcoil
from conftest import EXPORTER, run_program


def exported_by_program(csv, format, out):
    finished = run_program(None, (EXPORTER, format, csv, out))
    assert finished.returncode == 0, finished.stderr
    return out.read_bytes()


def test_a_computed_map_and_a_design_export_as_the_program_exports_their_files(small_run, small_designs,
                                                                               tmp_path):
    directory, _ = small_run
    design = small_designs["Bent"]
    # A map read from its file exports as the program exports that file, whatever the format's digits;
    # the computed map too where the format keeps fewer digits than the file (G4beamline: floats).
    from_file = expcoil.read_fieldmap(directory / "fieldmap_Bent.csv")
    cases = [(from_file, f, e) for f, e in (("g4beamline", "txt"), ("opal", "txt"), ("vtk", "vti"))]
    cases.append((expcoil.field_map(design), "g4beamline", "txt"))
    for fieldmap, format, extension in cases:
        ours = tmp_path / f"ours.{extension}"
        report = expcoil.export(fieldmap, format, ours)
        assert report["points"] == fieldmap.B.size // 3
        assert ours.read_bytes() == exported_by_program(directory / "fieldmap_Bent.csv", format,
                                                        tmp_path / f"theirs.{extension}"), format
    # Windings: those of the file as the program exports them; the design's own (all their digits) the
    # same whether given as a Design or as arrays.
    ours = tmp_path / "coils.Bent"
    report = expcoil.export(expcoil.read_windings(directory / "windings_Bent.csv"), "makegrid", ours,
                            coil_name="Bent")
    assert report["windings"] > 0
    assert ours.read_bytes() == exported_by_program(directory / "windings_Bent.csv", "makegrid",
                                                    tmp_path / "coils.theirs")
    assert (expcoil.export(design, "makegrid", tmp_path / "design") ==
            expcoil.export((design.segments, design.currents), "makegrid", tmp_path / "pair") == report)
    assert (tmp_path / "design").read_bytes() == (tmp_path / "pair").read_bytes()
    assert {f.name for f in expcoil.export_formats()} >= {"opal", "opal-h5", "openpmd", "bdsim", "g4beamline",
                                                          "tosca", "vtk", "makegrid"}


def test_what_cannot_be_exported_is_refused_with_nothing_written(small_designs, tmp_path):
    design = small_designs["Straight"]
    uneven = expcoil.FieldMap(np.array([0.0, 0.1]), np.array([0.0, 0.02]), np.array([0.0, 0.05, 0.2]),
                              np.zeros((2, 2, 3, 3)))
    for data, format, message in [
        (design, "nonsense", "unknown export format 'nonsense'"),
        (design, "opal", "opal holds field maps, not windings"),
        (uneven, "opal", "the field map's z axis is not evenly spaced: value 1 is 0.05, not 0.1"),
    ]:
        with pytest.raises(expcoil.InputError) as raised:
            expcoil.export(data, format, tmp_path / "out")
        assert message in str(raised.value)
    with pytest.raises(TypeError, match="data must be a FieldMap, a Design or a"):
        expcoil.export(42, "vtk", tmp_path / "out")
    with pytest.raises(ValueError, match="opal_order"):
        expcoil.export(design, "makegrid", tmp_path / "out", opal_order="sideways")
    assert list(tmp_path.iterdir()) == []
