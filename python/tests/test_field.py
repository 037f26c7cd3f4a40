"""field() and field_map(): the binding of the program's kernel (the kernel's own values are the C++ tests')."""

import os
import sys
import threading

import numpy as np
import pytest

import expcoil

from conftest import REPO


def test_field_is_the_field_map_of_the_program(small_run, small_designs, tmp_path):
    directory, config = small_run
    for magnet in config.magnets:
        d = small_designs[magnet.name]
        fm = expcoil.field_map(d, magnet)
        fm.write_csv(tmp_path / "map.csv")
        assert (tmp_path / "map.csv").read_bytes() == (directory / f"fieldmap_{magnet.name}.csv").read_bytes()
        # The same bits at the same points, from segments and currents alone.
        assert expcoil.field(d.segments, d.currents, fm.points()).tobytes() == fm.B.tobytes()


def test_any_layout_and_real_dtype_gives_the_values_of_float64(small_designs):
    d = small_designs["Straight"]
    segments, currents = d.segments[:400], d.currents[:400]
    points = np.random.default_rng(1).uniform(-0.2, 0.2, (2, 5, 3)).astype(np.float32)
    want = expcoil.field(segments, currents, points.astype(np.float64))
    assert want.shape == (2, 5, 3)
    for p in (points, np.asfortranarray(points.reshape(10, 3)), points.reshape(10, 3)[::-1][::-1], points.tolist()):
        assert np.array_equal(expcoil.field(segments, currents, p).reshape(2, 5, 3), want)
    assert np.array_equal(expcoil.field(np.asfortranarray(segments), list(currents), points), want)
    assert np.array_equal(expcoil.field(segments, currents, points[1, 2]), want[1, 2])  # one point: shape (3,)
    # One current for every segment; integer coordinates.
    assert np.array_equal(expcoil.field(segments, 7, points), expcoil.field(segments, np.full(400, 7), points))
    assert np.array_equal(expcoil.field([[[0, 0, 0], [0, 0, 1]]], 1, [[1, 0, 0]]),
                          expcoil.field([[[0.0, 0.0, 0.0], [0.0, 0.0, 1.0]]], [1.0], [[1.0, 0.0, 0.0]]))
    # No segments, no points.
    assert np.array_equal(expcoil.field(np.empty((0, 2, 3)), [], points), np.zeros((2, 5, 3)))
    assert expcoil.field(segments, currents, np.empty((0, 3))).shape == (0, 3)


GOOD = np.array([[[0.0, 0.0, 0.0], [0.0, 0.0, 1.0]], [[0.0, 1.0, 0.0], [1.0, 1.0, 0.0]]])
GOOD_CURRENTS = np.array([1.0, 2.0])
GOOD_POINTS = np.array([[0.5, 0.5, 0.5], [1.0, 2.0, 3.0]])
BEYOND = " has a coordinate beyond 1e+75 m, where the field's formula overflows double precision"


@pytest.mark.parametrize("segments, currents, points, message", [
    (GOOD[:, 0], GOOD_CURRENTS, GOOD_POINTS,
     "segments must have the shape (n, 2, 3), the start and end point of each segment (its shape is (2, 3))"),
    (GOOD, GOOD_CURRENTS[:1], GOOD_POINTS,
     "currents must have the shape (2,), one current per segment, or be one number for all (its shape is (1,))"),
    (GOOD, GOOD_CURRENTS, GOOD_POINTS[:, :2],
     "points must have the shape (m, 3) or (..., 3), x, y and z of each point (its shape is (2, 2))"),
    (GOOD, GOOD_CURRENTS, np.array([[0, 0, 0], [1, np.nan, 0]]),
     "points[1] has a coordinate that is not a finite number"),
    (GOOD, GOOD_CURRENTS, np.full((2, 2, 3), np.inf), "points[0, 0] has a coordinate that is not a finite number"),
    (np.where(GOOD == 1.0, np.inf, GOOD), GOOD_CURRENTS, GOOD_POINTS,
     "segments[0] has a coordinate that is not a finite number"),
    (GOOD, np.array([1.0, np.nan]), GOOD_POINTS, "currents[1] is not a finite number"),
    (GOOD, np.nan, GOOD_POINTS, "currents is not a finite number"),
    (GOOD.astype(complex), GOOD_CURRENTS, GOOD_POINTS, "segments must hold real numbers (its dtype is complex128)"),
    (GOOD, GOOD_CURRENTS > 1, GOOD_POINTS, "currents must hold real numbers (its dtype is bool)"),
    (GOOD, GOOD_CURRENTS, "points", "points must hold real numbers (its dtype is <U6)"),
    (GOOD, GOOD_CURRENTS, [[0, 0, 0], [1, 2]], "points must be an array of numbers (it is [[0, 0, 0], [1, 2]])"),
    # Coordinates whose squares would overflow, refused before they could make a term not a number.
    (GOOD * 1e80, GOOD_CURRENTS, GOOD_POINTS, "segments[0]" + BEYOND),
    (GOOD, GOOD_CURRENTS, [GOOD_POINTS, GOOD_POINTS * -1e76], "points[1, 0]" + BEYOND),
    # Where the exact formula's cancellation leaves no digit: a 2 m wire from 10 nm, a 2e8 m wire from 1 m.
    ([[[-1, 0, 0], [1, 0, 0]]], 1.0, [[0, 0, 0], [0.3, 1e-8, 0]],
     "points[1] is 1e-008 m from the line of segments[0] (2 m long), where the exact formula's rounding error "
     "reaches 3.75 of that segment's field: the field there is meaningless"),
    ([[[-1e8, 0, 0], [1e8, 0, 0]]], 1.0, [[0, 1, 0]],
     "points[0] is 1 m from the line of segments[0] (2e+008 m long), where the exact formula's rounding error "
     "reaches 2.22 of that segment's field: the field there is meaningless"),
], ids=["segments shape", "currents length", "points shape", "nan point", "inf point", "inf segment",
        "nan current", "nan current for all", "complex", "bool", "text", "ragged", "huge segment", "huge point",
        "near a line", "long wire"])
def test_each_bad_argument_is_named(segments, currents, points, message):
    with pytest.raises(ValueError) as raised:
        expcoil.field(segments, currents, points)
    assert str(raised.value) == message


def test_a_field_beyond_double_precision_is_an_input_error():
    # A current so large that the field overflows, next to its segment.
    with pytest.raises(expcoil.InputError) as raised:
        expcoil.field(GOOD, [1e308, 1.0], [[1e-6, 0.0, 0.5]])
    assert str(raised.value) == ("the field at points[0] is not a finite number: coordinates or currents this "
                                 "large overflow double precision")


@pytest.mark.skipif(any(s in os.environ.get("LD_PRELOAD", "") for s in ("libasan", "libtsan")),
                    reason="the sanitizers end the process where operator new fails, before anything can throw")
def test_running_out_of_memory_is_a_memory_error():
    # A million million points that numpy holds as one (a broadcast view): their coordinates cannot be held.
    with pytest.raises(MemoryError):
        expcoil.field(GOOD, GOOD_CURRENTS, np.broadcast_to(np.zeros(3), (10**12, 3)))
    assert expcoil.field(GOOD, GOOD_CURRENTS, GOOD_POINTS).shape == (2, 3)


@pytest.mark.parametrize("compute", ["field", "field_map"])
def test_the_gil_is_released_while_the_kernel_runs(small_designs, compute):
    d = small_designs["Bent"]
    points = np.random.default_rng(2).uniform(-0.3, 0.3, (6000, 3))
    done = []
    started = threading.Event()

    def work():
        started.set()
        if compute == "field":
            expcoil.field(d.segments, d.currents, points, workers=1)
        else:
            expcoil.field_map(d, workers=1)
        done.append(True)

    # With no forced switches, this thread can run while the worker lives only if the worker lets go of
    # the GIL; the worker needs the GIL again to record that it is done.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        ran_beside_it = not done
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert ran_beside_it and done


def test_a_tolerance_keeps_every_value_within_its_bound_on_any_worker_count():
    magnet = expcoil.read_config(REPO / "tests" / "data" / "golden" / "config.txt").magnets[0]
    d = expcoil.design(magnet)
    points = expcoil.field_map(d).points().reshape(-1, 3)
    exact = expcoil.field(d.segments, d.currents, points)
    largest = np.sqrt((exact * exact).sum(axis=1)).max()
    for tolerance in (1e-4, 1e-8):
        one = expcoil.field(d.segments, d.currents, points, workers=1, tolerance=tolerance)
        two = expcoil.field(d.segments, d.currents, points, workers=2, tolerance=tolerance)
        assert np.array_equal(one, two)
        assert np.sqrt(((one - exact) ** 2).sum(axis=1)).max() <= tolerance * largest
    mapped = expcoil.field_map(d, tolerance=1e-6)
    assert np.abs(mapped.B - expcoil.field_map(d).B).max() <= 1e-6 * largest
    for bad in (True, "1e-3", -1.0, float("nan")):
        with pytest.raises(ValueError, match="tolerance"):
            expcoil.field(d.segments, d.currents, points[:1], tolerance=bad)
