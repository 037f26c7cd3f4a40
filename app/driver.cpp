#include "app/driver.hpp"

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string_view>

#include "app/parameters.hpp"
#include "lib/matrix.hpp"
#include "magnet/solver.hpp"

namespace expcoil {
namespace {

// Names are printed byte for byte, whatever they hold.
void print_line(std::string_view prefix, std::string_view text) {
  std::fwrite(prefix.data(), 1, prefix.size(), stdout);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

// One magnet through the chain. Returns false when one of its files could not be written.
bool process_magnet(const MagnetSpec& magnet) {
  print_line("Magnet ", magnet.name);
  {
    // Handed to winding assembly once it is attached; released before the field map starts.
    const Matrix potential = compute_current_potential(magnet);
  }
  return true;
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
