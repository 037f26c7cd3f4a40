// The field map: the field of a magnet's windings on a regular grid around the magnet, computed on
// every core and written to fieldmap_<name>.csv.
#pragma once

#include <string>
#include <vector>

#include "app/parameters.hpp"
#include "magnet/field_map_grid.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

class ProgressBar;

// A field map as a value: b holds (Bx, By, Bz) in tesla for every grid point, 3 * grid.points() doubles in
// linear-index order (x slowest, z fastest), the order of the rows of fieldmap_<name>.csv.
struct FieldMap {
  FieldMapGrid grid;
  std::vector<double> b;
};

// "Fieldmap from (x,y,z)m to (x,y,z)m" and "Fieldmap cell size (x,y,z)m", numbers as "%lg", each line
// ending in a newline.
std::string field_map_extent_text(const FieldMapGrid& grid);
// "<nx>x<ny>x<nz> = <points> cells" and a newline; the product is not limited to 32 bits.
std::string field_map_count_text(const FieldMapGrid& grid);

// Fills out[3 p .. 3 p + 2] with (Bx, By, Bz) of grid point p, for every p < grid.points() in linear-index
// order (x slowest, z fastest), with the points split among processor_count() workers. Each value equals
// windings_field at the point (grid.min[a] + index * grid.cell[a] along each axis) bit for bit, whatever
// the worker count. `progress`, when given, is told of every finished chunk.
void field_map_compute(const WindingSet& windings, const FieldMapGrid& grid, double* out,
                       ProgressBar* progress = nullptr);

// Prints the grid's extent, cell size and point count to standard output, computes the map (with a
// progress bar on standard error while that is a terminal) and writes it to `path` in CSV form. Returns
// false with `error` set, and no file under `path`, when the grid has no points or the file cannot be
// written.
bool field_map_generate(const WindingSet& windings, const MagnetSpec& magnet, const std::string& path,
                        std::string& error);

}  // namespace expcoil
