#include "app/driver.hpp"

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "app/parameters.hpp"
#include "lib/matrix.hpp"
#include "magnet/conductor_file.hpp"
#include "magnet/field_map.hpp"
#include "magnet/segment.hpp"
#include "magnet/solver.hpp"
#include "magnet/windings.hpp"
#include "magnet/windings_table.hpp"

namespace expcoil {
namespace {

// Names are printed byte for byte, whatever they hold.
void print_line(std::string_view prefix, std::string_view text) {
  std::fwrite(prefix.data(), 1, prefix.size(), stdout);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

// "<prefix><name><suffix>", with no limit on the name's length.
std::string output_name(std::string_view prefix, const std::string& name, std::string_view suffix) {
  std::string path(prefix);
  path += name;
  path += suffix;
  return path;
}

// A file that cannot be written is reported and the run goes on with the next one.
bool reported(bool written, const std::string& error) {
  if (!written) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", error.c_str());
  }
  return written;
}

// One magnet through the chain. Returns false when one of its files could not be written.
bool process_magnet(const MagnetSpec& magnet) {
  print_line("Magnet ", magnet.name);
  WindingSet windings;
  {
    // Only the windings are needed from here on: the potential is released before the field map.
    const Matrix potential = compute_current_potential(magnet);
    windings_generate(windings, magnet, potential);
  }
  std::string error;
  std::puts("Generating fieldmap");
  bool written = reported(
      field_map_generate(windings, magnet, output_name("fieldmap_", magnet.name, ".csv"), error), error);
  std::puts("Saving windings");
  written =
      reported(windings_table_write(windings, output_name("windings_", magnet.name, ".csv"), error), error) &&
      written;
  written = reported(conductor_file_write(windings, output_name("windings_", magnet.name, ".cond"), error),
                     error) &&
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
