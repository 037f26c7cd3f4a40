"""The program's files: fieldmap_<name>.csv, windings_<name>.csv and windings_<name>.cond."""

import os
from typing import NamedTuple

import numpy as np

from . import _expcoil


def read_fieldmap(path):
    """Read a field map file (fieldmap_<name>.csv).

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    FieldMap
        ``x``, ``y``, ``z`` (m) and ``B`` (nx, ny, nz, 3) in T, as the file holds them (15
        significant digits); ``write_csv`` writes the same bytes back.

    Raises
    ------
    OSError
        When the file cannot be read (FileNotFoundError when it is not there).
    InputError
        "<path>:<line>: <reason>" when a line is not what the format holds there, or the points do
        not run over a regular grid, x slowest and z fastest.
    """
    return _expcoil.read_fieldmap(path)


def read_windings(path):
    """Read a windings table (windings_<name>.csv).

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    segments : ndarray, shape (n, 2, 3)
        Start and end point of every segment, m (15 significant digits, as written).
    currents : ndarray, shape (n,)
        Current of every segment, A.

    Raises
    ------
    OSError
        When the file cannot be read.
    InputError
        "<path>:<line>: <reason>" when a line is not what the format holds there.
    """
    return _expcoil.read_windings(path)


class Conductors(NamedTuple):
    """The records of a conductor file, in SI units (the file holds mm and degrees)."""

    start: np.ndarray
    """(n, 3) start point of every conductor, m."""
    angles: np.ndarray
    """(n, 3) Euler angles phi, theta, psi, rad: the rotation Rz(phi) Ry(theta) Rz(psi) turns the
    z axis into the conductor's direction, (cos phi sin theta, sin phi sin theta, cos theta)."""
    length: np.ndarray
    """(n,) length of every conductor, m."""
    current: np.ndarray
    """(n,) current of every conductor, A."""


def read_conductors(path):
    """Read a conductor file (windings_<name>.cond): one straight conductor per DEFINE GSTRAIGHT block.

    Parameters
    ----------
    path : str or os.PathLike

    Returns
    -------
    Conductors
        ``start`` (n, 3) in m, ``angles`` (n, 3) in rad, ``length`` (n,) in m, ``current`` (n,) in A,
        converted from the file's millimetres and degrees (6 decimals of a millimetre, as written).

    Raises
    ------
    OSError
        When the file cannot be read.
    InputError
        "<path>:<line>: <reason>" when a line is not what the format holds there; "<path>: <reason>"
        for a file that ends before its QUIT line.
    """
    return Conductors(*_expcoil.read_conductors(path))


def write_windings(path, segments, currents, format=None):
    """Write segments and currents as the program writes a magnet's windings, byte for byte.

    Parameters
    ----------
    path : str or os.PathLike
    segments : array_like, shape (n, 2, 3)
        Start and end point of every segment, m (finite).
    currents : array_like, shape (n,), or a number for every segment
        A (finite).
    format : {"csv", "cond"}, optional
        "csv": the windings table (windings_<name>.csv), "cond": the conductor file
        (windings_<name>.cond). None: "cond" when `path` ends in ".cond", else "csv".

    Raises
    ------
    ValueError
        Naming the argument, for a wrong shape or a value that is not finite.
    WriteError
        (an OSError) when the file cannot be written; nothing is left under `path` then.

    Examples
    --------
    ``design(m).segments`` and ``.currents`` written this way are the program's windings_<name>.csv:

    >>> d = expcoil.design(expcoil.read_config("examples/config.txt").magnets[0])
    >>> expcoil.write_windings(os.path.join(tmp, "windings_Straight.csv"), d.segments, d.currents)
    """
    if format is None:
        format = "cond" if os.fsdecode(path).endswith(".cond") else "csv"
    return _expcoil.write_windings(path, segments, currents, format)
