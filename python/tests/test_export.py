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
    for option, message in [(dict(bdsim_order="sideways"), "--bdsim-order takes xyzt or tzyx, not 'sideways'"),
                            (dict(join_tolerance=1e-30), "at least 1e-12 m, not 1e-30"),
                            (dict(opal_h5_units="cm"), "--opal-h5-units takes m or mm, not 'cm'")]:
        with pytest.raises(expcoil.InputError, match=message):
            expcoil.export(design, "makegrid", tmp_path / "out", **option)
    assert list(tmp_path.iterdir()) == []


def index_map():
    """A 3 x 4 x 5 map whose field encodes the node indices: any swap of axes or order changes a value."""
    x, y, z = np.arange(3) * 0.125 + 0.5, np.arange(4) * 0.0625 - 0.25, np.arange(5) * 0.25 - 1.0
    i, j, k = np.meshgrid(np.arange(3), np.arange(4), np.arange(5), indexing="ij")
    B = np.stack([c + 1 + 0.1 * i + 0.01 * j + 0.001 * k for c in range(3)], axis=-1)
    return expcoil.FieldMap(x, y, z, B)


def test_openpmd_holds_what_beamphysics_fieldmesh_reads(tmp_path):
    # The checks of openPMD-beamphysics' load_field_data_h5 (beamphysics/fields/fieldmesh.py, v0.15.1):
    # the mesh's required attributes, axisLabels in C order, and each component's unitDimension.
    h5py = pytest.importorskip("h5py")
    fieldmap = index_map()
    expcoil.export(fieldmap, "openpmd", tmp_path / "map.h5")
    with h5py.File(tmp_path / "map.h5", "r") as h5:
        mesh = h5[h5.attrs["externalFieldPath"].decode().replace("%T", "1")]
        for key in ("eleAnchorPt", "gridGeometry", "axisLabels", "gridLowerBound", "gridOriginOffset",
                    "gridSpacing", "gridSize", "harmonic"):
            assert key in mesh.attrs, key
        assert [a.decode() for a in mesh.attrs["axisLabels"]] == ["x", "y", "z"]
        assert tuple(mesh.attrs["gridSize"]) == (3, 4, 5)
        for c, name in enumerate("xyz"):
            component = mesh["magneticField/" + name]
            assert tuple(component.attrs["unitDimension"]) == (0, 1, -2, -1, 0, 0, 0)
            assert component.attrs["unitSymbol"] == b"T"
            values = component[()] * component.attrs["unitSI"]
            assert np.array_equal(np.real(values), fieldmap.B[..., c]) and not np.imag(values).any()


def test_opal_h5_positions_are_in_metres_unless_asked_for_millimetres(tmp_path):
    h5py = pytest.importorskip("h5py")
    fieldmap = index_map()
    for units, scale in ((None, 1.0), ("mm", 1000.0)):
        expcoil.export(fieldmap, "opal-h5", tmp_path / "map.h5part", opal_h5_units=units)
        with h5py.File(tmp_path / "map.h5part", "r") as h5:
            assert h5.attrs["lengthUnit"] == (b"m" if units is None else b"mm")
            for field in ("Efield", "Bfield"):
                group = h5["Step#0/Block/" + field]
                assert np.array_equal(group.attrs["__Origin__"], scale * np.array([0.5, -0.25, -1.0]))
                assert np.array_equal(group.attrs["__Spacing__"], scale * np.array([0.125, 0.0625, 0.25]))
            for c in range(3):
                assert np.array_equal(h5[f"Step#0/Block/Bfield/{c}"][()], fieldmap.B[..., c].T)
                assert not h5[f"Step#0/Block/Efield/{c}"][()].any()


def test_paraview_reads_the_arrays_by_their_names_with_units(tmp_path):
    vtk = pytest.importorskip("vtk", reason="VTK's Python reader (Debian: python3-vtk9) is not installed")
    from vtk.util.numpy_support import vtk_to_numpy
    fieldmap = index_map()
    expcoil.export(fieldmap, "vtk", tmp_path / "map.vti")
    reader = vtk.vtkXMLImageDataReader()
    reader.SetFileName(str(tmp_path / "map.vti"))
    reader.Update()
    image = reader.GetOutput()
    assert image.GetDimensions() == (3, 4, 5)
    assert np.allclose(image.GetOrigin(), (0.5, -0.25, -1.0)) and np.allclose(image.GetSpacing(),
                                                                           (0.125, 0.0625, 0.25))
    points = image.GetPointData()
    assert points.GetVectors().GetName() == "B (T)" and points.GetScalars().GetName() == "|B| (T)"
    B = vtk_to_numpy(points.GetArray("B (T)")).reshape(5, 4, 3, 3)  # x fastest
    assert np.array_equal(B.transpose(2, 1, 0, 3), fieldmap.B)
    segments = np.array([[[0, 0, 0], [1, 0, 0]], [[1, 0, 0], [1, 1, 0]], [[1, 1, 0], [0, 0, 0]]], float)
    expcoil.export((segments, np.full(3, 2.5)), "vtk", tmp_path / "coils.vtp")
    lines = vtk.vtkXMLPolyDataReader()
    lines.SetFileName(str(tmp_path / "coils.vtp"))
    lines.Update()
    cells = lines.GetOutput().GetCellData()
    assert cells.GetScalars().GetName() == "current (A)"
    assert vtk_to_numpy(cells.GetArray("current (A)")).tolist() == [2.5]
