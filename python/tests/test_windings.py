"""chain_windings, bend_points and coil_mesh: the windings as closed loops and a bent magnet's paths."""

import numpy as np
import pytest

import expcoil


def polyline(corners, close=True):
    """Segments (n, 2, 3) from point to point of `corners` (in the plane x = 0.02), closed by default."""
    p = np.array([[0.02, y, z] for y, z in corners], dtype=float)
    ends = np.roll(p, -1, axis=0) if close else p[1:]
    return np.stack([p if close else p[:-1], ends], axis=1)


def test_two_loops_and_one_open_end_are_told_apart():
    square = polyline([(0, 0), (0, 1), (1, 1), (1, 0)])  # 4 m around
    triangle = polyline([(2, 0), (2, 0.3), (2.4, 0)])  # 0.3 + 0.5 + 0.4 = 1.2 m
    hook = polyline([(5, 5), (5, 6), (6, 6)], close=False)  # ends in the air after 2 m
    # The square's segments reversed with negated currents are the same conductors: they still close.
    square_reversed = square[:, ::-1]
    segments = np.concatenate([square_reversed, triangle, hook])
    currents = np.concatenate([[-3.0] * 4, [3.0] * 3, [3.0] * 2])
    c = expcoil.chain_windings(segments, currents)
    assert c.closed.tolist() == [True, True, False]
    assert c.point_count.tolist() == [4, 3, 3]
    assert np.allclose(c.lengths(), [4.0, 1.2, 2.0], rtol=1e-15)
    assert c.current.tolist() == [3.0, 3.0, 3.0]
    # The open chain is reported with the segments it starts and stops at (the hook's two, 7 and 8).
    assert (c.first_segment[2], c.last_segment[2]) == (7, 8)
    assert not c.other_current_continues.any()
    assert c.layer.tolist() == [0, 0, 0]  # an odd segment count has no halves
    assert (c.zero_length, c.zero_current) == (0, 0)


def test_ends_meet_only_exactly_unless_a_tolerance_joins_them():
    square = polyline([(0, 0), (0, 1), (1, 1), (1, 0)])
    square[2, 0, 1] += 1e-12  # one end a picometre off
    assert expcoil.chain_windings(square, 1.0).closed.tolist() == [False, False]
    assert expcoil.chain_windings(square, 1.0, join_tolerance=1e-9).closed.tolist() == [True]
    with pytest.raises(expcoil.InputError, match="join tolerance"):
        expcoil.chain_windings(square, 1.0, join_tolerance=-1.0)


def test_every_winding_of_a_design_closes_in_its_layer(small_designs):
    for d in small_designs.values():
        c = expcoil.chain_windings(d.segments, d.currents)
        assert c.closed.all() and c.closed.size > 10
        # Each layer holds the same windings, mirrored; together they use every segment once.
        assert np.count_nonzero(c.layer == 1) == np.count_nonzero(c.layer == 2) == c.closed.size // 2
        assert c.point_count.sum() == d.segments.shape[0]
        assert np.allclose(c.current, d.magnet.winding_current, rtol=0)


def test_the_straight_windings_bent_point_by_point_are_the_bent_design(small_run, small_designs):
    """The straight and the bent magnet share their coil mesh and potential; bending the straight windings'
    end points gives the bent windings to the bit."""
    _, config = small_run
    straight, bent = small_designs["Straight"], small_designs["Bent"]
    bent_magnet = config.magnets[1]
    moved = expcoil.bend_points(bent_magnet, straight.segments)
    assert moved.shape == straight.segments.shape
    assert moved.tobytes() == bent.segments.tobytes()
    # A straight magnet leaves every point where it is.
    assert expcoil.bend_points(config.magnets[0], straight.segments).tobytes() == straight.segments.tobytes()
    for magnet in config.magnets:  # coil_mesh is the design's mesh without the design
        mesh_y, mesh_z = expcoil.coil_mesh(magnet)
        d = small_designs[magnet.name]
        assert mesh_y.tobytes() == d.mesh_y.tobytes() and mesh_z.tobytes() == d.mesh_z.tobytes()
