"""Windings as closed loops, the bend of a bent magnet, and the coil mesh."""

from typing import NamedTuple

import numpy as np

from . import _expcoil
from ._expcoil import Magnet


def real_argument(name, value):
    """`value` as a float: an int, a float or a numpy real scalar, but no bool, text or complex number,
    which float() would take or half take. ValueError naming `name` otherwise."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{name} must be a real number (it is {value!r})")
    return float(value)


class Chains(NamedTuple):
    """Segments joined end to start into windings: polylines of one current.

    Chain ``i`` has the vertices ``points[first_point[i] : first_point[i] + point_count[i]]``; a closed
    chain does not repeat its first vertex at the end.
    """

    points: np.ndarray
    """(p, 3) the vertices of every chain, one chain after the other, m."""
    first_point: np.ndarray
    """(c,) index in ``points`` of each chain's first vertex."""
    point_count: np.ndarray
    """(c,) vertices of each chain."""
    current: np.ndarray
    """(c,) current of each chain, A, positive, flowing in vertex order."""
    layer: np.ndarray
    """(c,) 1 or 2: the half of the segments the chain starts in (a magnet's windings list one layer, then
    its mirror copy); 0 for an odd segment count."""
    closed: np.ndarray
    """(c,) bool: whether the chain is back at its start."""
    first_segment: np.ndarray
    """(c,) index of the segment each chain starts with."""
    last_segment: np.ndarray
    """(c,) index of the segment each chain ends with: where an open chain stops."""
    other_current_continues: np.ndarray
    """(c,) bool, for open chains: a segment of another current leaves the end."""
    zero_length: int
    """Segments left out because their ends are one vertex."""
    zero_current: int
    """Segments left out because they carry no current."""

    def lengths(self):
        """(c,) the conductor length of each chain, m, the closing edge of a closed chain included."""
        p = self.points
        if p.shape[0] == 0:
            return np.zeros(0)
        edges = np.linalg.norm(np.diff(p, axis=0), axis=1)
        # Edges inside each chain: the cumulative sum over the chain's own vertices.
        total = np.concatenate([[0.0], np.cumsum(edges)])
        last = self.first_point + self.point_count - 1
        length = total[last] - total[self.first_point]
        closing = np.linalg.norm(p[self.first_point] - p[last], axis=1)
        return np.where(self.closed, length + closing, length)


def chain_windings(segments, currents, join_tolerance=0.0):
    """Join segments end to start into windings, as the MAKEGRID exporter does.

    Each segment is first turned so that its current is positive. Ends within ``join_tolerance`` are
    one vertex. A chain starts at the first unused segment and follows, at each vertex, the first unused
    segment of the same current that leaves it, until it is back at its start (closed) or nothing
    continues (open). The windings of a design meet exactly, so the default tolerance 0 closes every one
    of them; an open chain points at a conductor that ends in the air.

    Parameters
    ----------
    segments : array_like, shape (n, 2, 3)
        Start and end point of every segment, m.
    currents : array_like, shape (n,), or one number
        A.
    join_tolerance : float, optional
        m, >= 0.

    Returns
    -------
    Chains

    Raises
    ------
    ValueError
        Naming the argument, for a wrong shape or a value that is not finite.
    InputError
        For a negative or non-finite join tolerance.

    Examples
    --------
    >>> square = np.array([[0, 0, 0], [0, 1, 0], [0, 1, 1], [0, 0, 1]], float)
    >>> c = expcoil.chain_windings(np.stack([square, np.roll(square, -1, 0)], 1), 5.0)
    >>> c.closed, c.point_count, c.lengths()
    (array([ True]), array([4]), array([4.]))
    """
    return Chains(**_expcoil.chain_windings(segments, currents, real_argument("join_tolerance", join_tolerance)))


def bend_points(magnet, points):
    """Points mapped through a bent magnet's bend, the one its windings are laid out with.

    The straight line x = x0, y = y0 along z becomes the path of a beam at (x0, y0) through the bent
    magnet: on the arc of radius length / angle for |z| <= length / 2, along the arc's tangents beyond.
    Distances along z are kept on the line x = 0. y is unchanged. A straight magnet leaves every point
    where it is.

    Parameters
    ----------
    magnet : Magnet
    points : array_like, shape (..., 3)
        x, y, z in m, in the straight magnet's frame.

    Returns
    -------
    ndarray, shape of `points`
        The bent points, to the bits of the bent windings' end points.

    Examples
    --------
    >>> bent = expcoil.read_config("examples/config.txt").magnets[1]
    >>> z = np.linspace(-0.4, 0.4, 5)
    >>> path = expcoil.bend_points(bent, np.column_stack([0 * z, 0 * z, z]))
    """
    if not isinstance(magnet, Magnet):
        raise TypeError(f"magnet must be an expcoil.Magnet (one of Config.magnets), not {type(magnet).__name__}")
    return _expcoil.bend_points(magnet, points)


def coil_mesh(magnet):
    """The coil mesh of a magnet: where its current potential is sampled and contoured.

    Parameters
    ----------
    magnet : Magnet

    Returns
    -------
    mesh_y, mesh_z : ndarray
        The rows' y and the columns' z, m: ``design(magnet).mesh_y`` and ``.mesh_z`` without the design
        (in the precise mode the finer mesh it chooses from the geometry).
    """
    if not isinstance(magnet, Magnet):
        raise TypeError(f"magnet must be an expcoil.Magnet (one of Config.magnets), not {type(magnet).__name__}")
    return _expcoil.coil_mesh(magnet)
