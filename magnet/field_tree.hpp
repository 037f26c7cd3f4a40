// The field of a magnet's windings at many points, fast: a tree code that sums the far segments through
// Cartesian multipole and local expansions and the near ones with the exact closed-form kernel.
//
// The error is bounded a priori: for every point p, |B_tree(p) - B_exact(p)| <= tolerance * max over the
// points q of |B_exact(q)|, where B_exact is windings_field. The bound is proved in field_tree.cpp;
// floating-point rounding (relative 1e-15 or so of the largest terms) comes on top of it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "magnet/segment.hpp"

namespace expcoil {

// What one evaluation did, for benchmarks and diagnostics.
struct FieldTreeStats {
  double field_floor = 0.0;        // the lower bound of max |B| the error budget was set from, T
  int max_order = 0;               // the highest expansion order allowed
  std::int64_t far_pairs = 0;      // cell-to-cell expansions
  std::int64_t near_pairs = 0;     // segment-point pairs summed exactly
  bool float_near = false;         // whether the near sums ran in float (tolerances from 1e-7)
  std::int64_t double_points = 0;  // points whose near sums went back to double (their bound too large)
  std::int64_t double_leaves = 0;  // leaves of them sent to double untried (their centre's bound too large)
  std::int64_t source_cells = 0;
  std::int64_t target_cells = 0;
};

// out[3p .. 3p+2] = (Bx, By, Bz) in tesla at point p = (x[p], y[p], z[p]) for p < n, within the bound
// above. `tolerance` is relative (1e-9 .. 1e-3 are the useful values); a value that is not finite or
// not above zero throws InputError. The points are split among `workers` workers (0: all processors);
// every value is the same, bit for bit, whatever the worker count. `done`, when given, is increased by
// the points finished as they finish (relaxed order). `stats`, when given, receives what was done.
void field_tree(const WindingSet& windings, const double* x, const double* y, const double* z, std::size_t n,
                double tolerance, unsigned workers, double* out, std::atomic<std::int64_t>* done = nullptr,
                FieldTreeStats* stats = nullptr);

}  // namespace expcoil
