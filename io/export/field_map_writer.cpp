#include "io/export/field_map_writer.hpp"
#include "lib/errors.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "io/text_support.hpp"
#include "lib/errors.hpp"

namespace expcoil {

void check_export_grid(const FieldMapGrid& grid) {
  static constexpr const char* kAxis[3] = {"x", "y", "z"};
  double points = 1.0;
  for (int a = 0; a < 3; ++a) {
    // A single node gives OPAL a zero division and G4beamline a field that is zero everywhere.
    if (grid.count[a] < 2)
      throw InputError(join({"the grid has ", grid.count[a] == 1 ? "a single node" : "no nodes", " along ",
                             kAxis[a], "; the export formats need at least two"}));
    if (!(grid.cell[a] > 0.0) || !std::isfinite(grid.cell[a]) || !std::isfinite(grid.min[a]))
      throw InputError(
          join({"the grid's origin and spacing along ", kAxis[a], " must be finite, the spacing positive"}));
    points *= grid.count[a];
  }
  if (!grid.holdable()) throw InputError("the grid has too many points");
}

}  // namespace expcoil
