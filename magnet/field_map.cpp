#include "magnet/field_map.hpp"

#include <algorithm>
#include <limits>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "lib/workers.hpp"

namespace expcoil {
namespace {

void append_triple(std::string& line, const double* v) {
  line += '(';
  for (int a = 0; a < 3; ++a) {
    if (a > 0) line += ',';
    line += format_general(v[a], 6);
  }
  line += ")m";
}

}  // namespace

double field_map_slab_memory_bytes(const FieldMapGrid& grid, std::int64_t slab_points) {
  const double points = static_cast<double>(grid.count[0]) * grid.count[1] * grid.count[2];
  return std::min(points, static_cast<double>(slab_points)) * FieldMapGrid::kBytesPerPoint;
}

std::vector<double> field_map_axis(const FieldMapGrid& grid, int axis) {
  std::vector<double> v(grid.count[axis] > 0 ? static_cast<std::size_t>(grid.count[axis]) : 0);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = grid.value(axis, static_cast<std::int64_t>(i));
  return v;
}

std::string field_map_extent_text(const FieldMapGrid& grid) {
  std::string text = "Fieldmap from ";
  append_triple(text, grid.min);
  text += " to ";
  append_triple(text, grid.max);
  text += "\nFieldmap cell size ";
  append_triple(text, grid.cell);
  text += '\n';
  return text;
}

std::string field_map_dimensions_text(const FieldMapGrid& grid) {
  std::string text;
  for (int a = 0; a < 3; ++a) {
    if (a > 0) text += 'x';
    text += std::to_string(grid.count[a]);
  }
  return text;
}

std::string field_map_count_text(const FieldMapGrid& grid) {
  return field_map_dimensions_text(grid) + " = " + std::to_string(grid.points()) + " cells\n";
}

FieldMap field_map_compute(const WindingSet& windings, const FieldMapGrid& grid, unsigned workers,
                           std::atomic<std::int64_t>* done, const FieldOptions& options) {
  if (!grid.valid()) throw InputError("the field map's cell sizes and extent give no grid points");
  if (!grid.holdable()) {
    throw InputError("the field map of " + field_map_dimensions_text(grid) +
                     " points is too large to be held in memory");
  }
  FieldMap map{grid, std::vector<double>(static_cast<std::size_t>(grid.points()) * 3)};
  make_field_evaluator(windings, options, &grid)
      ->field_at_grid(grid, 0, grid.points(), map.b.data(), workers, done);
  return map;
}

}  // namespace expcoil
