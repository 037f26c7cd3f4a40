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
// OPAL's readMap stores the lines in file order and every lookup (getIndex) takes them as index
// k + nz (i + nx j): y slowest, then x, z fastest, which is the order written here. (Its manual says x
// slowest, which OPAL reads wrongly wherever nx and ny both exceed one.) Its inside test is half-open,
// so the last grid plane of each axis sees no field from the map.
#pragma once

#include <memory>
#include <string>

#include "io/export/export_format.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> opal_writer(const std::string& path, const FieldMapGrid& grid,
                                            const ExportOptions& options);

inline constexpr ExportFormat kOpalFormat{
    .name = "opal",
    .summary = "OPAL 3DMagnetoStatic ASCII map (cm, interval counts, FALSE: not normalised)",
    .field_map_extension = ".t7",
    .field_map_writer = opal_writer,
};

}  // namespace expcoil
