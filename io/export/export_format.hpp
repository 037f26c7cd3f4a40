// What one export format is: the registry entry that each format's header defines and export.cpp lists.
// Adding a format is a file pair here and one line in that list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/export/export_options.hpp"
#include "io/export/field_map_writer.hpp"
#include "magnet/coil_chain.hpp"

namespace expcoil {

// What an export did beyond the obvious, for the user.
struct ExportReport {
  std::int64_t points = 0;  // field map points written
  std::size_t loops = 0;    // winding chains written
  std::vector<std::string> notes;
};

// A writer for a map on `grid` (checked by check_export_grid) into `path`. Throws InputError before it
// creates anything for a grid the format cannot hold.
using FieldMapWriterFactory = std::unique_ptr<FieldMapWriter> (*)(const std::string& path,
                                                                  const FieldMapGrid& grid,
                                                                  const ExportOptions& options);
// Writes the chains into `path`, options.coil_name resolved; `report` arrives with every chain counted as
// written and takes what the format left out.
using WindingsWriter = void (*)(const CoilChains& chains, const std::string& path,
                                const ExportOptions& options, ExportReport& report);

struct ExportFormat {
  std::string_view name = {};
  std::string_view summary = {};              // one line: the target and its units
  std::string_view field_map_extension = {};  // empty: the format holds no field maps
  std::string_view windings_extension = {};   // empty: the format holds no windings
  FieldMapWriterFactory field_map_writer = nullptr;
  WindingsWriter windings_writer = nullptr;
  // The target program reads the field values as floats: values beyond the float range are refused.
  bool single_precision = false;
  // A note when the target program would not open a file of this name; empty when it would.
  std::string (*name_note)(std::string_view path) = nullptr;
};

}  // namespace expcoil
