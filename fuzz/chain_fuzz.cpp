// Fuzz target: the whole chain (current potential, windings, field map and the three files) for every
// configuration the check accepts, on meshes cut down so that an input takes milliseconds: coil meshes
// of at most 12, FFT meshes a power of two of at most 32, field maps of at most 512 points, and
// configurations whose windings would run into the hundreds of thousands of pieces left out (and precise
// designs on large meshes run literally). Files go
// to one scratch directory under fixed names. A magnet that the chain refuses with an exception (as the
// driver reports it) is an answer; a crash, a sanitizer report or a NaN or infinity in a written field map
// is a finding.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>

#include "config/config_file.hpp"
#include "io/program/conductor_file.hpp"
#include "io/program/field_map_csv.hpp"
#include "io/program/windings_table.hpp"
#include "lib/workers.hpp"
#include "magnet/checks.hpp"
#include "magnet/design.hpp"
#include "magnet/field_map.hpp"
#include "magnet/field_map_grid.hpp"
#include "magnet/precise.hpp"
#include "magnet/windings.hpp"

namespace {

// Two workers, as on CI's machines: the split of every parallel stage is exercised.
constexpr unsigned kWorkers = 2;

std::string g_dir;
std::uint64_t g_inputs = 0, g_accepted = 0, g_chains = 0;

void remove_scratch() {
  std::fprintf(stderr, "chain_fuzz: %llu inputs, %llu accepted, %llu magnets through the whole chain\n",
               static_cast<unsigned long long>(g_inputs), static_cast<unsigned long long>(g_accepted),
               static_cast<unsigned long long>(g_chains));
  for (const char* name : {"/fieldmap.csv", "/windings.csv", "/windings.cond"})
    ::unlink((g_dir + name).c_str());
  ::rmdir(g_dir.c_str());
}

// Cuts the meshes down; the check then judges the configuration as it stands.
void shrink(expcoil::ParameterSet& set) {
  const std::int32_t coil = std::clamp(set.coil_meshes[0], 2, 12);
  std::int32_t fft = 2;
  while (fft * 2 <= std::min(set.fft_meshes[0], 32)) fft *= 2;
  set.coil_meshes[0] = set.coil_meshes[1] = coil;
  set.fft_meshes[0] = set.fft_meshes[1] = fft;
  for (expcoil::MagnetSpec& magnet : set.magnets) {
    magnet.params = set;
    for (int round = 0; round < 64; ++round) {
      const expcoil::FieldMapGrid grid = expcoil::field_map_grid(magnet);
      if (!grid.valid() || grid.points() <= 512) break;
      for (int a = 0; a < 3; ++a) {
        if (grid.count[a] > 8) set.fieldmap_cell[a] *= 2;
      }
      magnet.params = set;
    }
  }
  // Every magnet carries the set's values, coarsened for the last one.
  for (expcoil::MagnetSpec& magnet : set.magnets) magnet.params = set;
  // The precise mode chooses its meshes from the winding distance: a magnet it would design on large ones
  // runs literally, so that an input still takes milliseconds (the domain's refusals stay precise).
  for (expcoil::MagnetSpec& magnet : set.magnets) {
    if (!expcoil::precise_mode(magnet) || !expcoil::precise_domain_problems(magnet).empty()) continue;
    const expcoil::MagnetSpec designed = expcoil::precise_magnet(magnet);
    if (designed.params.coil_meshes[0] > 48 || designed.params.fft_meshes[0] > 128) {
      magnet.params.design_mode = std::string(expcoil::kLiteralMode);
    }
  }
}

bool finite_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.find("nan") == std::string::npos && text.find("inf") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/expcoil-chain-fuzz-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  g_dir = pattern;
  std::atexit(remove_scratch);
  // The field map prints its extent on standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace expcoil;
  ++g_inputs;
  const ConfigList list = config_parse(std::string_view(reinterpret_cast<const char*>(data), size), ':');
  ParameterSet set = parameter_set_read(list);
  if (set.magnet_count() == 0 || set.magnet_count() > 2) return 0;
  shrink(set);
  if (!check_parameter_set("config.txt", list, set).empty()) return 0;
  ++g_accepted;

  for (const MagnetSpec& magnet : set.magnets) {
    try {
      // Many windings on a fuzzed magnet would only slow the search down.
      const Design design = design_magnet(magnet, kWorkers, {}, 200000);
      const WindingSet& windings = design.windings;
      if (windings.count() != windings_segment_count(magnet, design.potential)) std::abort();
      const FieldMapGrid grid = field_map_grid(magnet);
      if (static_cast<double>(windings.count()) * static_cast<double>(grid.points()) > 2e6) continue;
      field_map_csv_write(field_map_compute(windings, grid, kWorkers), g_dir + "/fieldmap.csv");
      if (!finite_text(g_dir + "/fieldmap.csv")) std::abort();
      windings_table_write(windings, g_dir + "/windings.csv");
      conductor_file_write(windings, g_dir + "/windings.cond");
      ++g_chains;
    } catch (const std::exception&) {
      // The driver reports such a magnet and ends the run: an answer, not a finding.
    }
  }
  return 0;
}
