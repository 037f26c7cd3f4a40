// The MAKEGRID coils file (LIBSTELL's filament format, also read by simsopt): closed filament loops.
//
//   periods 1
//   begin filament
//   mirror NIL
//   x y z I                  one line per vertex, metres and amperes ("%23.15E" fields)
//   x y z 0.0 1 <name>       the first vertex again, current 0, group number and name: closes the loop
//   ...                      the next loop
//   end
//
// LIBSTELL takes the first vertex's current for the whole loop and drops the repeated last vertex, so
// only closed loops of one current can be written: the windings are chained (coil_chain.hpp), and an
// open chain or a meeting of different currents is refused. A loop of two vertices (a segment and its way
// back) has no field and would read as an infinite straight wire, so it is left out. Lines stay under
// LIBSTELL's 200 characters; the file has no room for comments.
#pragma once

#include <cstddef>
#include <string>

#include "io/export/export_format.hpp"

namespace expcoil {

// Returns the number of two-vertex loops left out. Throws WindingsError for a chain that does not close,
// InputError when nothing is left to write or the name is too long, WriteError on failure.
std::size_t makegrid_write(const CoilChains& chains, const std::string& path, const std::string& coil_name);
// The same as the registry calls it: the loops left out noted in `report`.
void makegrid_write_windings(const CoilChains& chains, const std::string& path, const ExportOptions& options,
                             ExportReport& report);

inline constexpr ExportFormat kMakegridFormat{
    .name = "makegrid",
    .summary = "MAKEGRID/LIBSTELL coils file: closed filament loops (m, A)",
    .windings_extension = ".coils",
    .windings_writer = makegrid_write_windings,
};

}  // namespace expcoil
