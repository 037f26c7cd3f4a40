// The Opera/TOSCA table layout, as TOPAS (MappedMagnet) and Zgoubi (TOSCA, MOD.MOD2 = 12.1) read it:
//
//    nx ny nz                     node counts
//    1 X [METRE]                  one line per column: number, name, unit
//    ...
//    6 BZ [TESLA]
//    0 [METRE]                    end of the header (first word "0")
//    x y z Bx By Bz               one line per node, x slowest, z fastest: the CSV's own order
//
// Eight header lines, so Zgoubi takes it with HEADER_8 in the map title, BNORM = 10 (T to kG) and
// XN = YN = ZN = 100 (m to cm). TOPAS knows the units METRE and TESLA (anything else silently becomes its
// internal unit) and ends its header again at any line whose first word is "0", so no number is
// written as a bare 0. Column names are upper case because TOPAS looks the units up by them.
//
// TOPAS 4.1 and later choose the reader by the text after the name's last '.', case-sensitively: "TABLE"
// reads this layout, "csv" another one, anything else is refused (OpenTOPAS TsMagneticFieldMap.cc,
// ResolveParameters). Hence the extension ".TABLE"; Zgoubi takes any name.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "io/export/export_format.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> tosca_writer(const std::string& path, const FieldMapGrid& grid,
                                             const ExportOptions& options);
// A note unless current TOPAS reads `path` as this layout.
std::string tosca_name_note(std::string_view path);

inline constexpr ExportFormat kToscaFormat{
    .name = "tosca",
    .summary = "Opera/TOSCA table for TOPAS MappedMagnet and Zgoubi TOSCA 12.1 (m, T)",
    .field_map_extension = ".TABLE",
    .field_map_writer = tosca_writer,
    .name_note = tosca_name_note,
};

}  // namespace expcoil
