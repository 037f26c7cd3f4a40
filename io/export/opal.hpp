// OPAL's 3DMagnetoStatic field map: an ASCII file of lengths in centimetres, counts of intervals (nodes - 1)
// and one "Bx By Bz" line (tesla) per node.
//
//   # comments (skipped anywhere by OPAL)
//   3DMagnetoStatic FALSE          FALSE: no normalisation (TRUE would divide by max |By| on the grid line
//   x_start x_end Nx                nearest x = y = 0, which an off-axis FFA map does not even contain)
//   y_start y_end Ny
//   z_start z_end Nz
//   Bx By Bz                       (Nx+1)(Ny+1)(Nz+1) lines
//
// OPAL reads the lines in order but looks them up as index k + nz (i + nx j): y slowest, x, z fastest,
// which is what OpalOrder::reader writes; its manual describes x slowest (OpalOrder::documented). Its
// inside test is half-open, so the last grid plane of each axis sees no field from the map.
#pragma once

#include <memory>
#include <string>

#include "io/export/field_map_writer.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> opal_writer(const std::string& path, const FieldMapGrid& grid,
                                            OpalOrder order);

}  // namespace expcoil
