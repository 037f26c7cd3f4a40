// The field map: the field of a magnet's windings on a regular grid around the magnet (field_map_grid),
// computed on every core. A FieldMap is a value; writing it in any file format is the job of the
// writers in io/export/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "magnet/field_evaluator.hpp"
#include "magnet/field_map_grid.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

// Points per slab of a map computed slab by slab (the program's): about 100 MB in memory.
inline constexpr std::int64_t kSlabPoints = std::int64_t{1} << 22;

// The memory a slab-wise map needs at most on one rank, in bytes.
double field_map_slab_memory_bytes(const FieldMapGrid& grid, std::int64_t slab_points = kSlabPoints);

struct FieldMap {
  FieldMapGrid grid;
  // (Bx, By, Bz) in tesla of every grid point, in linear-index order (i * ny + j) * nz + k: x slowest,
  // z fastest, the order of the rows of the CSV file. 3 * grid.points() values.
  std::vector<double> b;
};

// The grid values along one axis, grid.value(axis, i) for every i.
std::vector<double> field_map_axis(const FieldMapGrid& grid, int axis);

// "Fieldmap from (x,y,z)m to (x,y,z)m" and "Fieldmap cell size (x,y,z)m", numbers as "%lg", each line
// ending in a newline.
std::string field_map_extent_text(const FieldMapGrid& grid);
// "<nx>x<ny>x<nz> = <points> cells" and a newline; the product is not limited to 32 bits.
std::string field_map_count_text(const FieldMapGrid& grid);
// "<nx>x<ny>x<nz>", for messages about a grid of any size.
std::string field_map_dimensions_text(const FieldMapGrid& grid);

// The whole map. Throws InputError when the grid has no points or more than memory could ever hold.
// Each value as the evaluator that `options` ask for gives it (the exact direct sum by default).
FieldMap field_map_compute(const WindingSet& windings, const FieldMapGrid& grid, unsigned workers = 0,
                           std::atomic<std::int64_t>* done = nullptr, const FieldOptions& options = {});

}  // namespace expcoil
