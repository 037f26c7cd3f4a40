#include "io/export/export.hpp"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <vector>

#include "io/export/bdsim.hpp"
#include "io/export/field_map_feed.hpp"
#include "io/export/g4beamline.hpp"
#include "io/export/hdf5_support.hpp"
#include "io/export/makegrid.hpp"
#include "io/export/opal.hpp"
#include "io/export/opal_h5.hpp"
#include "io/export/openpmd.hpp"
#include "io/export/tosca.hpp"
#include "io/export/vtk.hpp"
#include "io/program/field_map_csv_reader.hpp"
#include "io/program/windings_table.hpp"
#include "io/text_support.hpp"
#include "lib/number_format.hpp"
#include "magnet/coil_chain.hpp"
#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

// The registry, in the order of --help.
constexpr ExportFormat kFormats[] = {kOpalFormat,       kOpalH5Format, kOpenPmdFormat, kBdsimFormat,
                                     kG4beamlineFormat, kToscaFormat,  kVtkFormat,     kMakegridFormat};

constexpr std::size_t kPiece = 4096;  // points handed to a writer at a time

// The grid as fieldmap_<name>.csv carries it: the first and last node of every axis to the file's 15
// digits, the spacing between them recomputed, as the CSV reader does. An in-memory map exported through
// this grid gives the same bytes as its file exported, down to coordinates whose last digit the
// cancellation in index * cell + min decides.
FieldMapGrid grid_as_written(const FieldMapGrid& grid) {
  const auto as_written = [](double v) {
    const std::string text = format_general(v, 15);
    double parsed = v;
    std::from_chars(text.data(), text.data() + text.size(), parsed);
    return parsed;
  };
  FieldMapGrid written = grid;
  for (int a = 0; a < 3; ++a) {
    const std::int64_t n = grid.count[a];
    written.min[a] = as_written(grid.min[a]);
    written.max[a] = as_written(grid.value(a, n - 1));
    written.cell[a] = n > 1 ? (written.max[a] - written.min[a]) / static_cast<double>(n - 1) : 0.0;
  }
  written.h = -written.min[1];
  return written;
}

const ExportFormat& format_for(const ExportFormat& f, bool field_map) {
  if (field_map ? f.field_map_writer == nullptr : f.windings_writer == nullptr)
    throw InputError(join({f.name, " holds ", field_map ? "windings" : "field maps", ", not ",
                           field_map ? "field maps" : "windings"}));
  return f;
}

std::string plural(std::size_t n, const char* thing) {
  return join({std::to_string(n), " ", thing, n == 1 ? "" : "s"});
}

void add_name_note(const ExportFormat& format, const std::string& path, ExportReport& report) {
  if (format.name_note == nullptr) return;
  std::string note = format.name_note(path);
  if (!note.empty()) report.notes.push_back(std::move(note));
}

// The first component of the point's field that the format's reader does not take, with the reason
// ("is not a finite number"); an empty reason when it takes them all.
struct ValueProblem {
  std::string component;
  std::string reason;
};
ValueProblem value_problem(const ExportFormat& format, const double* b) {
  for (int c = 0; c < 3; ++c) {
    std::string component = join({"B", std::string(1, "xyz"[c])});
    if (!std::isfinite(b[c])) return {component, "is not a finite number"};
    if (format.single_precision && std::fabs(b[c]) > static_cast<double>(std::numeric_limits<float>::max()))
      return {component, join({"= ", exact_text(b[c]), " is beyond the single precision in which ",
                               format.name, "'s reader stores it"})};
  }
  return {};
}

ExportReport write_windings(const WindingSet& windings, const ExportFormat& format, const std::string& path,
                            const ExportOptions& options) {
  const CoilChains chains = chain_windings(windings, options.join_tolerance);
  ExportReport report;
  report.loops = chains.chains.size();
  if (chains.zero_length > 0)
    report.notes.push_back(join({plural(chains.zero_length, "segment"), " without length left out"}));
  if (chains.zero_current > 0)
    report.notes.push_back(join({plural(chains.zero_current, "segment"), " without current left out"}));
  format.windings_writer(chains, path, options, report);
  add_name_note(format, path, report);
  return report;
}

// The magnet's name in windings_<name>.csv.
std::string magnet_name(const std::string& input) {
  std::string stem = std::filesystem::path(input).stem().string();
  return stem.rfind("windings_", 0) == 0 && stem.size() > 9 ? stem.substr(9) : stem;
}

ExportReport convert_field_map(const ExportInput& input, const ExportFormat& format, const std::string& path,
                               const ExportOptions& options) {
  FieldMapCsvReader reader(input.file());
  const FieldMapGrid& grid = reader.grid();
  // Row p is on line p + 2: the header is line 1, and the reader takes no blank line inside the data.
  const std::int64_t last_row = grid.points() + 1;
  std::unique_ptr<FieldMapWriter> writer;
  try {
    // The reader takes single-node axes; the export formats do not.
    check_export_grid(grid);
    writer = format.field_map_writer(path, grid, options);
  } catch (const FileFormatError&) {
    throw;
  } catch (const InputError& e) {
    throw FileFormatError(input.file(), last_row, e.what());
  }
  FieldMapFeed feed(*writer, grid, path, options.reorder_points);
  std::vector<double> piece(3 * kPiece);
  std::int64_t first = 0;
  while (const std::size_t n = reader.read(piece.data(), kPiece)) {
    for (std::size_t q = 0; q < n; ++q)
      if (const ValueProblem v = value_problem(format, piece.data() + 3 * q); !v.reason.empty())
        throw FileFormatError(input.file(), first + static_cast<std::int64_t>(q) + 2,
                              join({v.component, " ", v.reason}));
    feed.push(piece.data(), n);
    first += static_cast<std::int64_t>(n);
  }
  feed.finish();
  ExportReport report{grid.points(), 0, {}};
  add_name_note(format, path, report);
  return report;
}

}  // namespace

std::span<const ExportFormat> export_formats() { return kFormats; }

const ExportFormat& export_format(std::string_view name) {
  for (const ExportFormat& f : kFormats)
    if (f.name == name) return f;
  std::string known;
  for (const ExportFormat& f : kFormats) known.append(known.empty() ? "" : ", ").append(f.name);
  throw InputError(join({"unknown export format '", name, "' (known: ", known, ")"}));
}

ExportReport export_field_map(const FieldMap& map, std::string_view name, const std::string& path,
                              const ExportOptions& options) {
  const ExportFormat& format = format_for(export_format(name), true);
  check_export_grid(map.grid);
  const auto points = static_cast<std::size_t>(map.grid.points());
  if (map.b.size() != 3 * points)
    throw InputError(join({"the field map holds ", std::to_string(map.b.size()), " values; its grid needs ",
                           std::to_string(3 * points)}));
  for (std::size_t p = 0; p < points; ++p) {
    const ValueProblem v = value_problem(format, map.b.data() + 3 * p);
    if (v.reason.empty()) continue;
    const auto [i, j, k] = map.grid.index_of(static_cast<std::int64_t>(p));
    throw InputError(join({v.component, " of grid point (", std::to_string(i), ", ", std::to_string(j), ", ",
                           std::to_string(k), ") ", v.reason}));
  }
  const FieldMapGrid grid = grid_as_written(map.grid);
  const std::unique_ptr<FieldMapWriter> writer = format.field_map_writer(path, grid, options);
  field_map_feed(grid, map.b.data(), *writer, kPiece);
  ExportReport report{map.grid.points(), 0, {}};
  add_name_note(format, path, report);
  return report;
}

ExportReport export_windings(const WindingSet& windings, std::string_view name, const std::string& path,
                             const ExportOptions& options) {
  return write_windings(windings, format_for(export_format(name), false), path, options);
}

ExportReport export_csv(const ExportInput& input, std::string_view name, const std::string& path,
                        const ExportOptions& options) {
  const ExportFormat& format = export_format(name);
  try {
    if (input.kind() == CsvKind::windings) {
      format_for(format, false);
      const WindingSet windings = windings_table_read(input.file());
      ExportOptions named = options;
      if (named.coil_name.empty()) named.coil_name = magnet_name(input.path());
      try {
        return write_windings(windings, format, path, named);
      } catch (const WindingsError& e) {
        throw FileFormatError(input.file(), static_cast<std::int64_t>(e.segment()) + 2, e.reason());
      }
    }
    format_for(format, true);
    return convert_field_map(input, format, path, options);
  } catch (const FileFormatError&) {
    input.rethrow();
  } catch (const ReadError&) {
    input.rethrow();
  }
}

ExportReport export_csv(const std::string& input, std::string_view format, const std::string& path,
                        const ExportOptions& options) {
  export_format(format);
  const ExportInput in(input, path);
  return export_csv(in, format, path, options);
}

void export_program_start() { hdf5_skip_cleanup_at_exit(); }

std::string export_default_path(const std::string& input, std::string_view extension) {
  std::filesystem::path path(input);
  path.replace_extension();
  return path.string() + std::string(extension);
}

}  // namespace expcoil
