// VTK XML files for ParaView: a field map as image data (.vti) with point arrays "B (T)" (3 components)
// and "|B| (T)", windings as poly data (.vtp) whose lines are the chained windings (coil_chain.hpp) with
// cell arrays "current (A)" (flowing in the order of the line's points) and layer (1, 2; 0 unknown). A
// closed winding's line ends at its first point again. The units are in the arrays' names, the only
// place ParaView shows them.
//
// Arrays are inline base64 ("binary" format, UInt64 headers, the machine's byte order declared), so the
// file is well-formed XML, exact, and a third the size of text. Image data run x fastest. A comment
// before the root element states the units.
#pragma once

#include <memory>
#include <string>

#include "io/export/export_format.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> vtk_image_writer(const std::string& path, const FieldMapGrid& grid,
                                                 const ExportOptions& options);
void vtk_write_windings(const CoilChains& chains, const std::string& path, const ExportOptions& options,
                        ExportReport& report);

inline constexpr ExportFormat kVtkFormat{
    .name = "vtk",
    .summary = "ParaView: a field map as image data (.vti), windings as poly lines (.vtp)",
    .field_map_extension = ".vti",
    .windings_extension = ".vtp",
    .field_map_writer = vtk_image_writer,
    .windings_writer = vtk_write_windings,
};

}  // namespace expcoil
