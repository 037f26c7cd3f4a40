"""expcoil.field from Python against the same kernel called from C++, and against numpy.

On 20,000 segments x 20,000 points (the size of field_bench's kernel benchmarks), in one process:

- binding cost: expcoil.field's wall time minus the time of its kernel call alone. The C++ side is
  _expcoil._kernel_timing, which converts the same arguments the same way and then times only the
  field_at_points call that expcoil.field makes, on the same data, worker count and threads: the
  difference is exactly what the binding adds (argument checks and conversion, the segment stream,
  the result array, releasing and taking the GIL). Runs alternate, and the fastest of each is compared,
  so that both see the same machine state. It should stay under 5 % of the kernel's time.
- numpy: the same formula, operation for operation, as a straightforward vectorised numpy function
  over blocks of points (numpy runs on one core; expcoil.field on every core, as a user calls them).

Run: PYTHONPATH=build/python /usr/bin/python3 bench/python_field_bench.py [--numpy-points N] [--repeat R]
"""

import argparse
import os
import time

import numpy as np

import expcoil
from expcoil import _expcoil

K = float.fromhex("0x1.ad7f29abcaf49p-23")  # mu0 / (2 pi) as the program rounds it


def bench_windings(n, rng):
    """Rectangular turns in two layers, like a magnet's windings, cut into pieces of about 2 cm."""
    segments = []
    while len(segments) < n:
        x = 0.1 if rng.uniform(-1, 1) > 0 else -0.1
        y0, z = 0.04 * rng.uniform(-1, 1), 0.3 + 0.02 * rng.uniform(-1, 1)
        corners = np.array([[x, y0, -z], [x, y0, z], [x, y0 - 0.03, z], [x, y0 - 0.03, -z]])
        for side in range(4):
            a, b = corners[side], corners[(side + 1) % 4]
            pieces = 30 if side % 2 == 0 else 2
            t = np.arange(pieces + 1) / pieces
            line = a + t[:, None] * (b - a)
            segments.extend(np.stack([line[:-1], line[1:]], axis=1))
    segments = np.array(segments[:n])
    currents = np.where(segments[:, 0, 0] > 0, 400.0, -400.0)
    return segments, currents


def numpy_field(segments, currents, points, block=256):
    """The program's formula in numpy, straightforwardly: every segment against a block of points."""
    x1, y1, z1 = (segments[:, 0, i] for i in range(3))
    dx, dy, dz = (segments[:, 1, i] - segments[:, 0, i] for i in range(3))
    a = (dy * dy + dx * dx) + dz * dz
    ki = K * currents
    out = np.empty_like(points)
    with np.errstate(all="ignore"):
        for start in range(0, len(points), block):
            p = points[start:start + block]
            rx, ry, rz = p[:, 0:1] - x1, p[:, 1:2] - y1, p[:, 2:3] - z1
            b = ((rx * dx + dy * ry) + rz * dz) * -2.0
            c = (rx * rx + ry * ry) + rz * rz
            cab = c + a + b
            den = 4.0 * a * c - b * b
            g = ki / den * ((a + a + b) / np.sqrt(cab) - b / np.sqrt(c))
            g[~((a != 0.0) & (den != 0.0) & (c > 0.0) & (cab > 0.0))] = 0.0
            out[start:start + block, 0] = (g * (dy * rz - ry * dz)).sum(1)
            out[start:start + block, 1] = (g * (dz * rx - rz * dx)).sum(1)
            out[start:start + block, 2] = (g * (dx * ry - dy * rx)).sum(1)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--segments", type=int, default=20000)
    parser.add_argument("--points", type=int, default=20000)
    parser.add_argument("--numpy-points", type=int, default=None,
                        help="points for the numpy run (default: all); its time is scaled to all points")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--workers", type=int, default=None, help="default: every processor")
    args = parser.parse_args()

    rng = np.random.default_rng(11)
    segments, currents = bench_windings(args.segments, rng)
    points = np.column_stack([0.15 * rng.uniform(-1, 1, args.points), 0.06 * rng.uniform(-1, 1, args.points),
                              0.5 * rng.uniform(-1, 1, args.points)])
    pairs = args.segments * args.points
    print(f"{args.segments} segments x {args.points} points, workers: {args.workers or os.cpu_count()}, "
          f"expcoil {expcoil.__version__}")

    binding, kernel = [], []
    for _ in range(args.repeat):
        start = time.perf_counter()
        b_field = expcoil.field(segments, currents, points, workers=args.workers)
        binding.append(time.perf_counter() - start)
        seconds, b_kernel = _expcoil._kernel_timing(segments, currents, points, args.workers)
        kernel.append(seconds)
    assert np.array_equal(b_field, b_kernel)
    best_field, best_kernel = min(binding), min(kernel)
    print(f"expcoil.field     best {best_field:.4f} s, median {np.median(binding):.4f} s "
          f"({pairs / best_field / 1e9:.3f} G pairs/s)")
    print(f"C++ kernel alone  best {best_kernel:.4f} s, median {np.median(kernel):.4f} s")
    print(f"binding cost      {best_field - best_kernel:+.4f} s = "
          f"{100 * (best_field - best_kernel) / best_kernel:+.2f} % of the kernel's time (limit 5 %)")

    m = args.numpy_points or args.points
    start = time.perf_counter()
    b_numpy = numpy_field(segments, currents, points[:m])
    numpy_seconds = (time.perf_counter() - start) * args.points / m
    difference = np.max(np.abs(b_numpy - b_field[:m])) / np.max(np.abs(b_field[:m]))
    scaled = "" if m == args.points else f" (measured on {m} points, scaled)"
    print(f"numpy             {numpy_seconds:.2f} s{scaled}; largest difference {difference:.1e} of the "
          f"largest field")
    print(f"expcoil.field is {numpy_seconds / best_field:.1f} times as fast as numpy")
    start = time.perf_counter()
    expcoil.field(segments, currents, points, workers=1)
    one = time.perf_counter() - start
    print(f"expcoil.field on one worker {one:.3f} s: {numpy_seconds / one:.1f} times as fast as numpy, core for core")


if __name__ == "__main__":
    main()
