// The exporters: a field map or a magnet's windings written in the format of a tracking code or viewer,
// chosen by name. One file per format in this folder, each defining its registry entry (export_format.hpp);
// this is the list of them and what every export shares: the checks of the data, the notes, the reading
// of the program's CSV files.
//
// Field maps stream: from a FieldMap in memory or from fieldmap_<name>.csv in bounded memory (formats
// whose loop order differs from the CSV's go through a scratch file beside the output). Windings are
// chained into loops first, which needs the whole set in memory.
//
// Every output is written under a temporary name and renamed when complete: a failure leaves nothing
// under the output's name.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "io/export/export_format.hpp"
#include "io/export/export_input.hpp"
#include "io/export/export_options.hpp"
#include "magnet/field_map.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

std::span<const ExportFormat> export_formats();
// Throws InputError "unknown export format '<name>' (known: ...)".
const ExportFormat& export_format(std::string_view name);

// Throw InputError for an unknown format, a format that does not hold this kind of data, or
// data that it cannot hold (a grid with a single node along an axis, a value that is not finite or beyond
// the floats a format's reader stores, windings that do not close, for MAKEGRID: WindingsError names the
// segment); WriteError when the file cannot be written.
ExportReport export_field_map(const FieldMap& map, std::string_view format, const std::string& path,
                              const ExportOptions& options = {});
ExportReport export_windings(const WindingSet& windings, std::string_view format, const std::string& path,
                             const ExportOptions& options = {});

// The same from the program's own CSV files (fieldmap_<name>.csv or windings_<name>.csv, told apart by
// their first line). Every problem of the input is a FileFormatError "<input>:<line>: <reason>"; a grid
// the format cannot hold names the last row, which sets the grid's extent.
ExportReport export_csv(const ExportInput& input, std::string_view format, const std::string& path,
                        const ExportOptions& options = {});
// Opens `input` (ExportInput, the copy beside `path`) after checking the format's name.
ExportReport export_csv(const std::string& input, std::string_view format, const std::string& path,
                        const ExportOptions& options = {});

// For a program that ends after its exports, before the first: see hdf5_skip_cleanup_at_exit.
void export_program_start();

// `input` with its ".csv" (or any last extension) replaced by `extension`.
std::string export_default_path(const std::string& input, std::string_view extension);

}  // namespace expcoil
