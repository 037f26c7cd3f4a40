#include "io/export/export.hpp"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "io/export/bdsim.hpp"
#include "io/export/field_map_feed.hpp"
#include "io/export/g4beamline.hpp"
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

constexpr ExportFormat kFormats[] = {
    {"opal", "OPAL 3DMagnetoStatic ASCII map (cm, interval counts, FALSE: not normalised)", ".t7", ""},
    {"opal-h5", "OPAL H5hut block map: Step#0/Block/Bfield and a zero Efield (mm, T)", ".h5part", ""},
    {"openpmd", "openPMD BeamPhysics field mesh in HDF5 for Bmad and openPMD-beamphysics (m, T)", ".h5", ""},
    {"bdsim", "BDSIM bdsim3d map, gzip-compressed (cm, T)", ".dat.gz", ""},
    {"g4beamline", "G4beamline BLFieldMap grid (mm, T)", ".map", ""},
    {"tosca", "Opera/TOSCA table for TOPAS MappedMagnet and Zgoubi TOSCA 12.1 (m, T)", ".table", ""},
    {"vtk", "ParaView: a field map as image data (.vti), windings as poly lines (.vtp)", ".vti", ".vtp"},
    {"makegrid", "MAKEGRID/LIBSTELL coils file: closed filament loops (m, A)", "", ".coils"},
};

constexpr std::size_t kPiece = 4096;  // points handed to a writer at a time

std::unique_ptr<FieldMapWriter> make_writer(std::string_view format, const std::string& path,
                                            const FieldMapGrid& grid, const ExportOptions& options) {
  if (format == "opal") return opal_writer(path, grid, options.opal_order);
  if (format == "opal-h5") return opal_h5_writer(path, grid);
  if (format == "openpmd") return openpmd_writer(path, grid);
  if (format == "bdsim") return bdsim_writer(path, grid, options.bdsim_order);
  if (format == "g4beamline") return g4beamline_writer(path, grid);
  if (format == "tosca") return tosca_writer(path, grid);
  if (format == "vtk") return vtk_image_writer(path, grid);
  throw std::logic_error("no field map writer for " + std::string(format));
}

const ExportFormat& format_for(std::string_view name, bool field_map) {
  const ExportFormat& f = export_format(name);
  if ((field_map ? f.field_map_extension : f.windings_extension).empty())
    throw InputError(join({f.name, " holds ", field_map ? "windings" : "field maps", ", not ",
                           field_map ? "field maps" : "windings"}));
  return f;
}

std::string plural(std::size_t n, const char* thing) {
  return join({std::to_string(n), " ", thing, n == 1 ? "" : "s"});
}

ExportReport write_windings(const WindingSet& windings, const ExportFormat& format, const std::string& path,
                            const ExportOptions& options, const std::string& name) {
  const CoilChains chains = chain_windings(windings, options.join_tolerance);
  ExportReport report;
  report.loops = chains.chains.size();
  if (chains.zero_length > 0)
    report.notes.push_back(join({plural(chains.zero_length, "segment"), " without length left out"}));
  if (chains.zero_current > 0)
    report.notes.push_back(join({plural(chains.zero_current, "segment"), " without current left out"}));
  if (format.name == "makegrid") {
    const std::size_t pairs = makegrid_write(chains, path, name);
    report.loops -= pairs;
    if (pairs > 0)
      report.notes.push_back(join({plural(pairs, "segment pair"), " that cancel (there and back) left out"}));
  } else {
    vtk_write_windings(chains, path);
    std::size_t open = 0;
    for (const CoilChain& c : chains.chains) open += !c.closed;
    if (open > 0) report.notes.push_back(join({plural(open, "winding chain"), " not closed"}));
  }
  return report;
}

// The magnet's name in windings_<name>.csv.
std::string magnet_name(const std::string& input) {
  std::string stem = std::filesystem::path(input).stem().string();
  return stem.rfind("windings_", 0) == 0 && stem.size() > 9 ? stem.substr(9) : stem;
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

ExportReport export_field_map(const FieldMap& map, std::string_view format, const std::string& path,
                              const ExportOptions& options) {
  format_for(format, true);
  check_export_grid(map.grid);
  const auto points = static_cast<std::size_t>(map.grid.points());
  if (map.b.size() != 3 * points)
    throw InputError(join({"the field map holds ", std::to_string(map.b.size()), " values; its grid needs ",
                           std::to_string(3 * points)}));
  for (std::size_t v = 0; v < map.b.size(); ++v) {
    if (std::isfinite(map.b[v])) continue;
    const auto [i, j, k] = map.grid.index_of(static_cast<std::int64_t>(v / 3));
    throw InputError(join({"B", std::string(1, "xyz"[v % 3]), " of grid point (", std::to_string(i), ", ",
                           std::to_string(j), ", ", std::to_string(k), ") is not a finite number"}));
  }
  const FieldMapGrid grid = grid_as_written(map.grid);
  const std::unique_ptr<FieldMapWriter> writer = make_writer(format, path, grid, options);
  field_map_feed(grid, map.b.data(), *writer, kPiece);
  return ExportReport{map.grid.points(), 0, {}};
}

ExportReport export_windings(const WindingSet& windings, std::string_view format, const std::string& path,
                             const ExportOptions& options) {
  return write_windings(windings, format_for(format, false), path, options,
                        options.coil_name.empty() ? std::string("expcoil") : options.coil_name);
}

ExportReport export_csv(const std::string& input, std::string_view format, const std::string& path,
                        const ExportOptions& options) {
  export_format(format);
  if (csv_kind(input) == CsvKind::windings) {
    const ExportFormat& f = format_for(format, false);
    const WindingSet windings = windings_table_read(input);
    try {
      return write_windings(windings, f, path, options,
                            options.coil_name.empty() ? magnet_name(input) : options.coil_name);
    } catch (const WindingsError& e) {
      throw FileFormatError(input, static_cast<std::int64_t>(e.segment()) + 2, e.reason());
    }
  }
  format_for(format, true);
  FieldMapCsvReader reader(input);
  const FieldMapGrid& grid = reader.grid();
  std::vector<double> piece(3 * kPiece);
  try {
    // The reader takes single-node axes; the export formats do not.
    check_export_grid(grid);
    const std::unique_ptr<FieldMapWriter> writer = make_writer(format, path, grid, options);
    FieldMapFeed feed(*writer, grid, path, options.reorder_points);
    while (const std::size_t n = reader.read(piece.data(), kPiece)) feed.push(piece.data(), n);
    feed.finish();
  } catch (const FileFormatError&) {
    throw;  // the reader's own finding, with its line
  } catch (const InputError& e) {
    // A value the format cannot hold.
    throw FileFormatError(input, 0, e.what());
  }
  return ExportReport{grid.points(), 0, {}};
}

std::string export_default_path(const std::string& input, std::string_view extension) {
  std::filesystem::path path(input);
  path.replace_extension();
  return path.string() + std::string(extension);
}

}  // namespace expcoil
