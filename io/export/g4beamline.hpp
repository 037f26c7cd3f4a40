// G4beamline's BLFieldMap grid file: lengths in mm, B in tesla.
//
//   # comments (first character '#')
//   param maxline=1024 current=1 gradient=1 normB=1 normE=1
//   grid X0=.. Y0=.. Z0=.. nX=.. nY=.. nZ=.. dX=.. dY=.. dZ=..     origin, node counts, spacing
//   data
//   X Y Z Bx By Bz                                                 one line per node
//
// The reader places every line at the node nearest its coordinates (within 0.01 mm), so the line order is
// free; the CSV's (x slowest, z fastest) is kept. Numbers are plain decimals or exponents (strtod, and
// sscanf "%f" into floats for the data); counts are written without leading zeros, which strtol would read
// as octal. The inside test is half-open: the last grid plane of each axis sees no field.
//
// Grid coordinates beyond the float range in mm are refused (they would be written as inf), and
// so are field values beyond it.
#pragma once

#include <memory>
#include <string>

#include "io/export/export_format.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> g4beamline_writer(const std::string& path, const FieldMapGrid& grid,
                                                  const ExportOptions& options);

inline constexpr ExportFormat kG4beamlineFormat{
    .name = "g4beamline",
    .summary = "G4beamline BLFieldMap grid (mm, T)",
    .field_map_extension = ".map",
    .field_map_writer = g4beamline_writer,
    .single_precision = true,
};

}  // namespace expcoil
