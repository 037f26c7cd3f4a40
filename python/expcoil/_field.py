"""The field of straight current segments."""

from . import _expcoil


def field(segments, currents, points, workers=None, tolerance=None):
    """Magnetic field in tesla of straight current segments at the given points.

    Each segment is a straight filament; its field is the closed-form Biot-Savart integral over it,
    evaluated by the program's exact kernel (the values of its field maps, bit for bit, on every
    machine and for any worker count), on all processors, with the GIL released while it runs.
    A point on the line through a segment (at an end, inside it or on its extension) gets no
    contribution from that segment, nor does any point from a zero-length segment.

    Accuracy: the formula divides by 4ac - b^2 = 4 |d x r|^2, a difference. Next to a segment's line
    its rounding error, relative to that segment's field, is about 2.2e-16 (r / h)^2, with h the
    point's distance from the line and r its larger distance from the segment's ends: 2e-4 for a 2 m
    wire seen from 1 um, every digit lost at 10 nm. A point within a segment's span where this bound
    reaches 1 raises InputError instead of returning a meaningless value.

    Parameters
    ----------
    segments : array_like, shape (n, 2, 3)
        Start and end point (x, y, z) of every segment, m.
    currents : array_like, shape (n,), or a number for every segment
        Current of every segment, A, flowing from its start to its end point.
    points : array_like, shape (m, 3) or (..., 3)
        Where to compute the field: x, y, z in m.
    workers : int, optional
        Threads to use; None uses every processor.
    tolerance : float, optional
        None or 0: the exact kernel. A relative tolerance (1e-9 to 1e-3): the tree code, every value
        within tolerance times the largest |B| of the points, many times faster for many points; the
        values are the same for any worker count.

    Any layout (C or Fortran order) and any real dtype (float32, float64, integers) is taken; the
    values are used as float64.

    Returns
    -------
    ndarray, shape of `points`
        (Bx, By, Bz) in T at every point.

    Raises
    ------
    ValueError
        Naming the argument: a wrong shape, a dtype that is not real, a coordinate or current that is
        not finite, a workers value that is not a whole number from 1 to 65536.
    InputError
        When values so large that they overflow double precision make a field that is not finite, or
        a point lies so close to a segment's line that the accuracy bound above reaches 1.

    Examples
    --------
    A 2 km wire along z carrying 1 A, seen from 1 m away on x: mu0 I / (2 pi r), about 2e-7 T along +y.

    >>> wire = [[[0, 0, -1000], [0, 0, 1000]]]
    >>> expcoil.field(wire, [1.0], [[1, 0, 0]]).round(12)
    array([[0.e+00, 2.e-07, 0.e+00]])

    The field of a design on a vertical line x = 0, z = 0:

    >>> d = expcoil.design(expcoil.read_config("examples/config.txt").magnets[0])
    >>> y = np.linspace(-0.15, 0.0, 31)
    >>> B = expcoil.field(d.segments, d.currents, np.column_stack([0 * y, y, 0 * y]))
    >>> B.shape
    (31, 3)
    """
    return _expcoil.field(segments, currents, points, workers, tolerance)
