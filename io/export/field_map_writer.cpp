#include "io/export/field_map_writer.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "io/text_support.hpp"
#include "lib/errors.hpp"

namespace expcoil {

void check_export_grid(const FieldMapGrid& grid) {
  static constexpr const char* kAxis[3] = {"x", "y", "z"};
  for (int a = 0; a < 3; ++a) {
    // A single node gives OPAL a zero division and G4beamline a field that is zero everywhere.
    if (grid.count[a] < 2)
      throw InputError(join({"the grid has ", grid.count[a] == 1 ? "a single node" : "no nodes", " along ",
                             kAxis[a], "; the export formats need at least two"}));
    if (!(grid.cell[a] > 0.0) || !std::isfinite(grid.cell[a]) || !std::isfinite(grid.min[a]))
      throw InputError(
          join({"the grid's origin and spacing along ", kAxis[a], " must be finite, the spacing positive"}));
  }
  if (!grid.holdable()) throw InputError("the grid has too many points");
}

void check_single_grid(const FieldMapGrid& grid, double scale, const char* unit, const char* program) {
  static constexpr const char* kAxis[3] = {"x", "y", "z"};
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  for (int a = 0; a < 3; ++a)
    for (const double v : {grid.min[a], grid.value(a, grid.count[a] - 1)})
      if (!(std::fabs(v * scale) <= kFloatMax))
        throw InputError(join({"the grid reaches ", kAxis[a], " = ", plain_text(v), " m, beyond the single ",
                               "precision in which ", program, " reads its coordinates in ", unit}));
}

}  // namespace expcoil
