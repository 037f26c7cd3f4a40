// BDSIM's bdsim3d field map, gzip-compressed (BDSIM reads ".gz" files through gzstream): lengths in cm,
// B in tesla, node counts.
//
//   # comments (kept free of '>': "word > number" anywhere in the header is taken for a key)
//   xmin> ..  xmax> ..  nx> ..     one key per line, also for y and z; min/max are the first/last node
//   loopOrder> xyzt                xyzt: x fastest, z slowest; tzyx: z fastest (the CSV's order)
//   ! X Y Z Fx Fy Fz               column names, tab-separated; ends the header
//   x y z Bx By Bz                 one line per node, tab-separated, no blank lines (a blank line would
//                                  still use up a node and shift everything after it)
//
// The reader places values by line count only (the coordinates columns are not used) and stores floats.
//
// Grid coordinates beyond the float range in cm are refused (they would be written as inf), and
// so are field values beyond it.
#pragma once

#include <memory>
#include <string>

#include "io/export/export_format.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> bdsim_writer(const std::string& path, const FieldMapGrid& grid,
                                             const ExportOptions& options);

inline constexpr ExportFormat kBdsimFormat{
    .name = "bdsim",
    .summary = "BDSIM bdsim3d map, gzip-compressed (cm, T)",
    .field_map_extension = ".dat.gz",
    .field_map_writer = bdsim_writer,
    .single_precision = true,
};

}  // namespace expcoil
