// Fuzz target: the configuration reader and checker on arbitrary bytes. A rejection is an answer, not a
// finding; a crash, a sanitizer report, a leak, or a broken promise of the check is.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.hpp"
#include "magnet/checks.hpp"
#include "magnet/field_map_grid.hpp"

namespace {

void require(bool promise) {
  if (!promise) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace expcoil;
  const ConfigList list = config_parse(std::string_view(reinterpret_cast<const char*>(data), size), ':');
  const auto set = std::make_unique<ParameterSet>(parameter_set_read(list));
  const std::vector<std::string> problems = check_parameter_set("config.txt", list, *set);
  for (const std::string& p : problems) require(p.starts_with("config.txt: "));

  // The index answers as the scans do.
  ConfigIndex index(list);
  for (const char* key : {"Magnet name", "Bmax", "Length", "b", ""}) {
    const std::uint32_t count = config_count(list, key);
    require(index.count(key) == count && index.lookup(key) == config_lookup(list, key));
    for (std::uint32_t n = 1; n <= count + 1 && n <= 8; ++n) {
      require(index.lookup_nth(key, n) == config_lookup_nth(list, key, n));
    }
  }

  // What an accepted configuration promises the later stages.
  if (!problems.empty() || set->magnet_count() == 0) return 0;
  require(set->coil_meshes[0] >= 2 && set->fft_meshes[0] >= 2 && std::isfinite(set->scaling_k) &&
          set->scaling_k != 0.0);
  for (const MagnetSpec& magnet : set->magnets) {
    const double current = magnet.current_density * magnet.area_per_winding;
    require(std::isfinite(current) && current != 0.0 && std::isfinite(magnet.angle) && magnet.length >= 0.0 &&
            magnet.name.find_first_of("/\\") == std::string::npos);
    require(field_map_grid(magnet).valid());
  }
  return 0;
}
