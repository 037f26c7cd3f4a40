// The interface between a field map, held in memory or streamed from its CSV file, and the writer of one
// output format: the grid is known before the first point, the points then arrive in the loop order the
// writer asks for, in pieces of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "magnet/field_map_grid.hpp"

namespace expcoil {

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

// Throws InputError unless the grid has at least two nodes along every axis with positive
// finite spacing, finite origin and a point count whose doubles fit in memory sizes.
void check_export_grid(const FieldMapGrid& grid);

// Throws InputError when a node's coordinate times `scale` (the program's length unit per metre, `unit`
// its name) is beyond the float range in which `program` reads coordinates: it would be written as inf.
void check_single_grid(const FieldMapGrid& grid, double scale, const char* unit, const char* program);

}  // namespace expcoil
