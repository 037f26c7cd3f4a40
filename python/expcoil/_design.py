"""Configurations, designs and field maps."""

from . import _expcoil
from ._expcoil import Design, Magnet


def read_config(path):
    """Read a config.txt and check it as the program does.

    Parameters
    ----------
    path : str or os.PathLike
        The configuration file (see the README for its keys).

    Returns
    -------
    Config
        The parameter set in SI units; ``.magnets`` lists its magnets in file order.

    Raises
    ------
    ConfigError
        When the program would reject the file; ``.problems`` is the list of messages the program
        prints (a file that cannot be read is one such problem).

    Examples
    --------
    >>> config = expcoil.read_config("examples/config.txt")
    >>> [m.name for m in config.magnets]
    ['Straight', 'Bent']
    >>> config.scaling_k, config.magnets[1].angle   # 1/m, rad
    (2.5, 0.2617993877991494)
    """
    return _expcoil.read_config(path)


def design(magnet, workers=None):
    """Design a magnet's windings: the current potential and the windings contoured from it.

    The same computation as the program's, to the last bit, whatever the worker count.

    Parameters
    ----------
    magnet : Magnet
        One of ``Config.magnets``.
    workers : int, optional
        Threads to use; None uses every processor.

    Returns
    -------
    Design
        ``potential`` (ny, nz) in A with ``mesh_y`` (ny,) and ``mesh_z`` (nz,) in m; ``segments``
        (n, 2, 3) start and end points in m and ``currents`` (n,) in A, in the order of the
        program's windings file.

    Raises
    ------
    FftLengthError
        When ``fft_meshes`` is not a power of two.
    InputError
        When the target potential overflows double precision or cannot be contoured.

    Examples
    --------
    >>> d = expcoil.design(expcoil.read_config("examples/config.txt").magnets[0])
    >>> d.potential.shape, d.segments.shape[1:]
    ((128, 128), (2, 3))
    """
    if not isinstance(magnet, Magnet):
        raise TypeError(f"magnet must be an expcoil.Magnet (one of Config.magnets), not {type(magnet).__name__}")
    return _expcoil.design(magnet, workers)


def field_map(design, magnet=None, workers=None, tolerance=None):
    """The field of a design's windings on the magnet's field-map grid, as the program computes it.

    Parameters
    ----------
    design : Design
        From ``expcoil.design``; its windings are used as they are.
    magnet : Magnet, optional
        Whose field-map grid (extent and cells from its Config) to use; None uses ``design.magnet``.
    workers : int, optional
        Threads to use; None uses every processor. The values do not depend on it.
    tolerance : float, optional
        Relative to the map's largest |B|; 0: the exact map; None: the magnet's ``fieldmap_tolerance``
        (the "Fieldmap tolerance" key, 0 by default).

    Returns
    -------
    FieldMap
        ``x``, ``y``, ``z`` (the axes, m) and ``B`` (nx, ny, nz, 3) in T: the values of the
        program's fieldmap_<name>.csv, which ``FieldMap.write_csv`` writes byte for byte.

    Examples
    --------
    >>> magnet = expcoil.read_config("examples/config.txt").magnets[0]
    >>> fm = expcoil.field_map(expcoil.design(magnet), magnet)
    >>> fm.B.shape
    (9, 20, 61, 3)
    """
    if not isinstance(design, Design):
        raise TypeError(f"design must be an expcoil.Design (from expcoil.design), not {type(design).__name__}")
    if magnet is not None and not isinstance(magnet, Magnet):
        raise TypeError(f"magnet must be an expcoil.Magnet or None, not {type(magnet).__name__}")
    return _expcoil.field_map(design, magnet, workers, tolerance)
