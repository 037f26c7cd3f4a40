// How the field of a magnet's windings is evaluated at many points: the seam between the field map (and
// expcoil.field) and the algorithms that compute it. The direct sum is exact: every value is the sum of
// every segment's closed-form field, in set order, bit for bit the same on any machine, vector width or
// worker count. Another evaluator (a tree code, a GPU kernel) goes behind the same interface; it takes
// all points of a request at once and says whether it is exact or within a stated tolerance.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "magnet/field_map_grid.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

struct FieldOptions {
  // 0: the exact direct sum. > 0: every value within tolerance times the largest |B| of the points of
  // the request (of the whole map for a field map), relative.
  double tolerance = 0.0;
};

class FieldEvaluator {
 public:
  virtual ~FieldEvaluator() = default;

  virtual std::string_view name() const = 0;
  // True when every value is the direct sum's, bit for bit.
  virtual bool exact() const = 0;

  // out[3p .. 3p+2] = (Bx, By, Bz) in tesla at (x[p], y[p], z[p]) for p < n, on `workers` workers (0: all
  // processors), the same values for any worker count. `done`, when given, grows by the points finished
  // as they finish (relaxed order), for a progress display.
  virtual void field_at_points(const double* x, const double* y, const double* z, std::size_t n, double* out,
                               unsigned workers = 0, std::atomic<std::int64_t>* done = nullptr) const = 0;

  // The same for grid points first .. first + count - 1 in the order of FieldMap::b, without holding
  // their coordinates: a map computed in pieces is the map computed whole.
  virtual void field_at_grid(const FieldMapGrid& grid, std::int64_t first, std::int64_t count, double* out,
                             unsigned workers = 0, std::atomic<std::int64_t>* done = nullptr) const;
};

// The exact direct sum over `windings` (copied into the layout the kernel streams), on the process's
// choice of kernel form (field_kernel_choice(), which may throw InputError for a bad EXPCOIL_KERNEL).
std::unique_ptr<FieldEvaluator> direct_sum_evaluator(const WindingSet& windings);

// The evaluator `options` ask for over `windings`: the direct sum for tolerance 0, the tree code
// (field_tree.hpp) for a tolerance, relative to the largest |B| of each request's points (a slab of a
// map's points has a largest |B| no larger than the whole map's, so its values keep the map's bound).
// Throws InputError for a tolerance that is not a finite number >= 0. The windings must outlive the
// evaluator.
std::unique_ptr<FieldEvaluator> make_field_evaluator(const WindingSet& windings, const FieldOptions& options,
                                                     const FieldMapGrid* grid = nullptr);

}  // namespace expcoil
