#include "app/driver.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "app/memory.hpp"
#include "app/parameters.hpp"
#include "app/progress.hpp"
#include "app/report.hpp"
#include "lib/errors.hpp"
#include "lib/matrix.hpp"
#include "lib/number_format.hpp"
#include "magnet/field_map.hpp"
#include "magnet/formats/conductor_file.hpp"
#include "magnet/formats/field_map_csv.hpp"
#include "magnet/formats/windings_table.hpp"
#include "magnet/segment.hpp"
#include "magnet/solver.hpp"
#include "magnet/windings.hpp"

namespace expcoil {
namespace {

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// Names are printed byte for byte, whatever they hold.
void print_line(std::string_view prefix, std::string_view text) {
  print(prefix);
  print(text);
  std::fputc('\n', stdout);
}

// "<prefix><name><suffix>", with no limit on the name's length.
std::string output_name(std::string_view prefix, const std::string& name, std::string_view suffix) {
  std::string path(prefix);
  path += name;
  path += suffix;
  return path;
}

// A file that cannot be written is reported and the run goes on with the next one. Returns whether the
// file was written.
template <class Write>
bool write_reported(Write&& write) {
  try {
    write();
    return true;
  } catch (const WriteError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", e.what());
    return false;
  }
}

// The windings' count follows from the potential's height over the current per winding: a small
// current, a gentle "Scaling k" or a large "Bmax" can ask for more segments than memory holds. Judged
// before a single segment is made, with the keys that decide it.
void require_windings_fit(const MagnetSpec& magnet, const Matrix& potential) {
  const std::uint64_t segments = windings_segment_count(magnet, potential);
  const double bytes = windings_memory_bytes(segments);
  const double memory = usable_memory_bytes();
  if (segments <= UINT32_MAX && bytes <= memory) return;
  const auto [low, high] = std::minmax_element(potential.data(), potential.data() + potential.size());
  std::string message = "the current potential spans ";
  message += format_general((*high - *low) / magnet.winding_current(), 3);
  message += " windings of ";
  message += format_general(magnet.winding_current(), 6);
  message +=
      " A (\"Winding current density (A/mm^2)\" times \"Area per winding (cm^2)\"; the potential grows with "
      "\"Bmax\" and falls with \"Scaling k\"): ";
  message += format_general(static_cast<double>(segments), 3);
  message += " conductor segments";
  if (segments > UINT32_MAX) {
    message += ", more than the 4294967295 one magnet can hold";
  } else {
    message += " need " + format_gib(bytes) + " of memory, more than this machine's " + format_gib(memory);
  }
  throw InputError(message);
}

// One magnet through the chain. Returns false when one of its files could not be written.
bool process_magnet(const MagnetSpec& magnet) {
  print_line("Magnet ", magnet.name);
  WindingSet windings;
  {
    // Only the windings are needed from here on: the potential is released before the field map.
    const Matrix potential = compute_current_potential(magnet);
    require_windings_fit(magnet, potential);
    windings = windings_generate(magnet, potential);
  }
  std::puts("Generating fieldmap");
  const FieldMapGrid grid = field_map_grid(magnet);
  print(field_map_extent_text(grid));
  print(field_map_count_text(grid));
  FieldMap map;
  {
    // The messages above stay above the bar on a terminal.
    std::fflush(stdout);
    ProgressBar progress("Fieldmap", grid.points());
    map = field_map_compute(windings, grid, 0, progress.counter());
  }
  bool written =
      write_reported([&] { field_map_csv_write(map, output_name("fieldmap_", magnet.name, ".csv")); });
  map = FieldMap();
  std::puts("Saving windings");
  written = write_reported(
                [&] { windings_table_write(windings, output_name("windings_", magnet.name, ".csv")); }) &&
            written;
  written = write_reported(
                [&] { conductor_file_write(windings, output_name("windings_", magnet.name, ".cond")); }) &&
            written;
  return written;
}

}  // namespace

int run_driver(const std::string& config_path) {
  std::unique_ptr<ParameterSet> set;
  try {
    set = parameter_set_load(config_path);
  } catch (const ConfigError& e) {
    for (const std::string& problem : e.problems()) std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory while reading the configuration\n", config_path.c_str());
    return 1;
  }
  print_line("Parameters ", set->name);

  bool all_written = true;
  for (std::uint32_t i = 0; i < set->magnet_count(); ++i) {
    const MagnetSpec& magnet = set->magnets[i];
    try {
      all_written = process_magnet(magnet) && all_written;
    } catch (const FftLengthError& e) {
      // The run's one fatal report, in the form users and their scripts know: on standard output, after
      // a pause that keeps it on screen. Standard error says which value of which magnet caused it.
      std::fflush(stdout);
      std::fprintf(stderr, "%s: magnet \"%s\": \"FFT meshes\" must be a power of two (it is %llu)\n",
                   config_path.c_str(), magnet.name.c_str(), static_cast<unsigned long long>(e.length()));
      report_inner("fft", 46, REPORT_FATAL_ERROR, "Some moron called fft with a non-power-of-two-sized array",
                   0);
    } catch (const std::bad_alloc&) {
      std::fflush(stdout);
      std::fprintf(stderr, "magnet \"%s\": out of memory\n", magnet.name.c_str());
      return 1;
    } catch (const std::exception& e) {
      std::fflush(stdout);
      std::fprintf(stderr, "magnet \"%s\": %s\n", magnet.name.c_str(), e.what());
      return 1;
    }
  }
  set.reset();
  std::puts("Done");
  return all_written ? 0 : 1;
}

}  // namespace expcoil
