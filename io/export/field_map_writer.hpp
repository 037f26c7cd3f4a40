// The interface between a field map, held in memory or streamed from its CSV file, and the writer of one
// output format: the grid is known before the first point, the points then arrive in the loop order the
// writer asks for, in pieces of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "magnet/field_map_grid.hpp"
#include "io/export/export_options.hpp"

namespace expcoil {

// Axes (0 = x, 1 = y, 2 = z) from the slowest to the fastest.
struct LoopOrder {
  int axis[3];
  bool operator==(const LoopOrder&) const = default;
};
inline constexpr LoopOrder kCsvOrder{{0, 1, 2}};
inline constexpr LoopOrder kXFastest{{2, 1, 0}};

class FieldMapWriter {
 public:
  virtual ~FieldMapWriter() = default;
  virtual LoopOrder order() const { return kCsvOrder; }
  // The next `points` points in order(): (Bx, By, Bz) in tesla each. Throws WriteError as soon as the
  // output is known to have failed.
  virtual void write(const double* b, std::size_t points) = 0;
  // Called once after the last point: completes the file and puts it under its name, or throws
  // WriteError and leaves nothing there.
  virtual void finish() = 0;
};

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

// Throws InputError unless the grid has at least two nodes along every axis with positive
// finite spacing, finite origin and a point count whose doubles fit in memory sizes.
void check_export_grid(const FieldMapGrid& grid);

}  // namespace expcoil
