// The exporters: a field map or a magnet's windings written in the format of a tracking code or viewer,
// chosen by name. One file per format in this folder; this is the list of them and the dispatch.
//
// Field maps stream: from a FieldMap in memory or from fieldmap_<name>.csv in bounded memory (formats
// whose loop order differs from the CSV's go through a scratch file beside the output). Windings are
// chained into loops first, which needs the whole set in memory.
//
// Every output is written under a temporary name and renamed when complete: a failure leaves nothing
// under the output's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "magnet/field_map.hpp"
#include "io/export/export_options.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

struct ExportFormat {
  std::string_view name;
  std::string_view summary;              // one line: the target and its units
  std::string_view field_map_extension;  // empty: the format holds no field maps
  std::string_view windings_extension;   // empty: the format holds no windings
};

std::span<const ExportFormat> export_formats();
// Throws InputError "unknown export format '<name>' (known: ...)".
const ExportFormat& export_format(std::string_view name);

// What an export did beyond the obvious, for the user.
struct ExportReport {
  std::int64_t points = 0;  // field map points written
  std::size_t loops = 0;    // winding chains written
  std::vector<std::string> notes;
};

// Throw InputError for an unknown format, a format that does not hold this kind of data, or
// data that it cannot hold (a grid with a single node along an axis, a value that is not finite, windings
// that do not close, for MAKEGRID: WindingsError names the segment); WriteError when the file cannot be
// written.
ExportReport export_field_map(const FieldMap& map, std::string_view format, const std::string& path,
                              const ExportOptions& options = {});
ExportReport export_windings(const WindingSet& windings, std::string_view format, const std::string& path,
                             const ExportOptions& options = {});

// The same from the program's own CSV files (fieldmap_<name>.csv or windings_<name>.csv, told apart by
// their first line). Problems of the input are InputError "<input>:<line>: <reason>".
ExportReport export_csv(const std::string& input, std::string_view format, const std::string& path,
                        const ExportOptions& options = {});

// `input` with its ".csv" (or any last extension) replaced by `extension`.
std::string export_default_path(const std::string& input, std::string_view extension);

}  // namespace expcoil
