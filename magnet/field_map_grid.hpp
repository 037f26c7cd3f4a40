// Extent, cell size and point counts of a magnet's field map. The configuration check and the field
// map generator both use this one computation, so that a grid that passes the check is exactly the
// grid that is computed.
#pragma once

#include <cstdint>

#include "magnet/records.hpp"

namespace expcoil {

struct FieldMapGrid {
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
  // Coordinate of point `index` along `axis`, formed as every stage forms it: index * cell + min.
  double value(int axis, std::int64_t index) const {
    return static_cast<double>(index) * cell[axis] + min[axis];
  }
};

FieldMapGrid field_map_grid(const MagnetSpec& magnet);

}  // namespace expcoil
