"""The exporters: field maps and windings in the formats of tracking codes and viewers."""

from typing import NamedTuple

from . import _expcoil
from ._windings import real_argument


class ExportFormat(NamedTuple):
    """One format of ``export``."""

    name: str
    """The name ``export`` takes, e.g. ``"opal"``."""
    summary: str
    """The target program and the file's units, in one line."""
    field_map_extension: str
    """The file extension of a field map in this format; empty when it holds no field maps."""
    windings_extension: str
    """The file extension of windings in this format; empty when it holds no windings."""


def export_formats():
    """The formats ``export`` writes.

    Returns
    -------
    list of ExportFormat
    """
    return [ExportFormat(*f) for f in _expcoil.export_formats()]


def export(data, format, path, *, bdsim_order=None, opal_h5_units=None, join_tolerance=None, coil_name=None):
    """Write a field map or windings in the format of a tracking code or viewer.

    The same writers as the program ``expcoil-export``: ``opal``, ``opal-h5``, ``openpmd``, ``bdsim``,
    ``g4beamline``, ``tosca``, ``vtk`` (field maps and windings) and ``makegrid`` (windings); see
    ``export_formats()`` and the README for each format's units and loop order. The file is written
    under a temporary name and renamed when complete. Each option is that of the program (``bdsim_order``
    is ``--bdsim-order``, ``coil_name`` is ``--name``), read by the same code; None leaves its default.

    Parameters
    ----------
    data : FieldMap, Design or (segments, currents)
        A field map on evenly spaced axes (from ``field_map`` or ``read_fieldmap``), or windings: a
        ``Design``, or segments (n, 2, 3) in m with currents (n,) in A.
    format : str
        The format's name.
    path : str or os.PathLike
        The file to write.
    bdsim_order : {"xyzt", "tzyx"}
        BDSIM's loopOrder: x fastest (the default) or z fastest.
    opal_h5_units : {"m", "mm"}
        OPAL H5hut map lengths: metres for OPAL-T (the default), millimetres for OPAL's cyclotron tracking.
    join_tolerance : float
        m: segment ends closer than this are one vertex when windings are chained into loops (default
        1e-9; 0 joins only ends that meet exactly; other values below 1e-12 are refused).
    coil_name : str
        MAKEGRID's coil group name (default "expcoil").

    Returns
    -------
    dict
        ``points`` (field map points written), ``windings`` (closed windings written) and ``notes``
        (list of str: what the export left out or changed, e.g. segments without length, or a file name
        that the target program would not open).

    Raises
    ------
    InputError
        An unknown format or option value, a format that does not hold this kind of data, or data it
        cannot hold (axes not evenly spaced, a single point along an axis, windings that do not close).
    WriteError
        The file cannot be written; nothing is left under its name.

    Examples
    --------
    >>> import expcoil, tempfile, os
    >>> d = expcoil.design(expcoil.read_config("examples/config.txt").magnets[0])
    >>> out = os.path.join(tempfile.mkdtemp(), "coils.Straight")
    >>> expcoil.export(d, "makegrid", out)["windings"]
    308
    """
    for name, value in (("bdsim_order", bdsim_order), ("opal_h5_units", opal_h5_units), ("coil_name", coil_name)):
        # A NUL would end the text in some readers and be written into the file by others.
        if value is not None and (not isinstance(value, str) or "\0" in value):
            raise ValueError(f"{name} must be a str without NUL characters (it is {value!r})")
    options = [f"--{key}={value}" for key, value in (("bdsim-order", bdsim_order),
                                                      ("opal-h5-units", opal_h5_units),
                                                      ("join-tolerance", _number(join_tolerance)),
                                                      ("name", coil_name)) if value is not None]
    return _expcoil.export(data, format, path, options)


def _number(value):
    """The option text of a float, exact (repr round-trips); None stays None."""
    return None if value is None else repr(real_argument("join_tolerance", value))
