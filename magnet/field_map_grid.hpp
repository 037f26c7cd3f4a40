// Extent, cell size and point counts of a magnet's field map. The configuration check and the field
// map generator both use this one computation, so that a grid that passes the check is exactly the
// grid that is computed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "magnet/records.hpp"

namespace expcoil {

// Axes (0 = x, 1 = y, 2 = z) from the slowest to the fastest.
struct LoopOrder {
  int axis[3];
  bool operator==(const LoopOrder&) const = default;
};
// The order of the program's field map (its CSV rows and FieldMap::b): x slowest, z fastest.
inline constexpr LoopOrder kCsvOrder{{0, 1, 2}};
inline constexpr LoopOrder kXFastest{{2, 1, 0}};

struct FieldMapGrid {
  // Bx, By, Bz of one point, as held in memory.
  static constexpr std::size_t kBytesPerPoint = 3 * sizeof(double);

  double min[3] = {0.0, 0.0, 0.0};   // x, y, z of the first point, m
  double max[3] = {0.0, 0.0, 0.0};   // upper bounds (the last point may stop short of them), m
  double cell[3] = {0.0, 0.0, 0.0};  // spacing along x, y, z, m
  double h = 0.0;                    // good-field height plus vertical extension: y runs from -h
  // Points per axis, trunc(extent / cell + 1.000001); 0 where that quotient is not a finite number
  // of at least 1 that fits a 32-bit count.
  std::int32_t count[3] = {0, 0, 0};

  bool valid() const { return count[0] > 0 && count[1] > 0 && count[2] > 0; }
  // The number of points; saturates at INT64_MAX for grids beyond 64 bits (no such grid is ever
  // computed: the checks refuse it first, judging its size in double).
  std::int64_t points() const {
    std::int64_t xy, xyz;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(count[0]), count[1], &xy) ||
        __builtin_mul_overflow(xy, static_cast<std::int64_t>(count[2]), &xyz)) {
      return INT64_MAX;
    }
    return xyz;
  }
  // Whether the B values of every point (kBytesPerPoint each) have a size that memory sizes can express:
  // the one limit every reader, writer and computation of a map judges a grid by (in double, since
  // three 32-bit counts may multiply beyond 64 bits).
  bool holdable() const {
    const double bytes = static_cast<double>(count[0]) * count[1] * count[2] * kBytesPerPoint;
    return bytes < static_cast<double>(std::numeric_limits<std::int64_t>::max());
  }
  // The place of point (i, j, k) in kCsvOrder, and back.
  std::int64_t linear_index(std::int64_t i, std::int64_t j, std::int64_t k) const {
    return (i * count[1] + j) * count[2] + k;
  }
  std::array<std::int64_t, 3> index_of(std::int64_t p) const {
    const std::int64_t ny = count[1], nz = count[2];
    return {p / (ny * nz), p / nz % ny, p % nz};
  }
  // Coordinate of point `index` along `axis`, formed as every stage forms it: index * cell + min.
  double value(int axis, std::int64_t index) const {
    return static_cast<double>(index) * cell[axis] + min[axis];
  }
};

FieldMapGrid field_map_grid(const MagnetSpec& magnet);

// Grid indices of consecutive points in one loop order.
class GridWalk {
 public:
  GridWalk(const FieldMapGrid& grid, LoopOrder order) : order_(order) {
    for (int a = 0; a < 3; ++a) count_[a] = grid.count[a];
  }
  std::int64_t operator[](int axis) const { return index_[axis]; }
  void next() {
    for (int level = 2; level >= 0; --level) {
      const int a = order_.axis[level];
      if (++index_[a] < count_[a] || level == 0) return;
      index_[a] = 0;
    }
  }

 private:
  LoopOrder order_;
  std::int64_t count_[3];
  std::int64_t index_[3] = {0, 0, 0};
};

}  // namespace expcoil
