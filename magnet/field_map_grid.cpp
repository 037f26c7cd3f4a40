#include "magnet/field_map_grid.hpp"

#include <cmath>
#include <cstdint>

namespace expcoil {
namespace {

std::int32_t point_count(double quotient) {
  // Written so that NaN fails too.
  if (!(quotient >= 1.0 && quotient < 2147483648.0)) return 0;
  return static_cast<std::int32_t>(quotient);
}

}  // namespace

FieldMapGrid field_map_grid(const MagnetSpec& magnet) {
  const Parameters& p = magnet.params;
  const double L = magnet.length;
  const double alpha = magnet.angle;
  const double w = magnet.winding_centre_to_midplane;
  const double g = p.good_field_height;
  const double e_t = p.fieldmap_extension[0];
  const double e_v = p.fieldmap_extension[1];
  const double e_l = p.fieldmap_extension[2];

  // Transverse excursion of the bend. A straight magnet makes the first term 0/0; the comparisons
  // below are written so that a NaN excursion counts as 0.
  const double excursion = ((1.0 - std::cos(alpha / 2.0)) * L) / alpha + std::sin(alpha / 2.0) * e_l;
  const double transverse_margin = e_t + w;

  FieldMapGrid grid;
  const double excursion_low = 0.0 >= excursion ? excursion : 0.0;
  const double excursion_high = (excursion < 0.0 || std::isnan(excursion)) ? 0.0 : excursion;
  grid.min[0] = excursion_low - transverse_margin;
  grid.max[0] = excursion_high + transverse_margin;
  grid.h = g + e_v;
  grid.min[1] = -grid.h;
  grid.max[1] = e_v;
  grid.min[2] = -0.5 * L - e_l;
  grid.max[2] = 0.5 * L + e_l;
  for (int a = 0; a < 3; ++a) grid.cell[a] = p.fieldmap_cell[a];

  grid.count[0] = point_count((grid.max[0] - grid.min[0]) / grid.cell[0] + 1.000001);
  grid.count[1] = point_count((e_v + grid.h) / grid.cell[1] + 1.000001);
  grid.count[2] = point_count((grid.max[2] - grid.min[2]) / grid.cell[2] + 1.000001);
  return grid;
}

}  // namespace expcoil
