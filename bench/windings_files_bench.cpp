// Writing the two winding files of a magnet (windings table and conductor file) through OutputFile and
// the shared number formatter, against the straightforward stdio version: fopen, one fprintf per line
// with the same conversions (glibc prints two-digit exponents, so its text is not the same file, but
// the work is the same).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "io/program/conductor_file.hpp"
#include "io/program/windings_table.hpp"

namespace {

using expcoil::Segment;
using expcoil::WindingSet;

// Pieces of windings of a few centimetres on a bent coil: coordinates of every magnitude between 1e-4
// and 1 m, currents of one winding.
const WindingSet& sample_windings() {
  static const WindingSet windings = [] {
    WindingSet w;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> position(-0.6, 0.6), piece(-0.02, 0.02);
    for (int i = 0; i < 50000; ++i) {
      const double x = 0.02 + 0.001 * position(rng), y = position(rng), z = position(rng);
      w.append(
          Segment{x, y, z, x + 0.01 * piece(rng), y + piece(rng), z + piece(rng), i % 2 ? 3000.0 : -3000.0});
    }
    return w;
  }();
  return windings;
}

std::string scratch_path(const char* name) {
  return (std::filesystem::temp_directory_path() / (name + std::to_string(::getpid()))).string();
}

void BM_windings_files(benchmark::State& state) {
  const WindingSet& w = sample_windings();
  const std::string csv = scratch_path("expcoil_bench_csv"), cond = scratch_path("expcoil_bench_cond");
  for (auto _ : state) {
    try {
      expcoil::windings_table_write(w, csv);
      expcoil::conductor_file_write(w, cond);
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * w.count());
  std::filesystem::remove(csv);
  std::filesystem::remove(cond);
}
BENCHMARK(BM_windings_files)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_windings_files_stdio(benchmark::State& state) {
  const WindingSet& w = sample_windings();
  const std::string csv = scratch_path("expcoil_bench_csv"), cond = scratch_path("expcoil_bench_cond");
  for (auto _ : state) {
    std::FILE* f = std::fopen(csv.c_str(), "w");
    std::fprintf(f, "x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n");
    for (const Segment& s : w) {
      std::fprintf(f, "%.15lg,%.15lg,%.15lg, %.15lg,%.15lg,%.15lg, %.15lg\r\n", s.x1, s.y1, s.z1, s.x2, s.y2,
                   s.z2, s.current);
    }
    std::fclose(f);
    f = std::fopen(cond.c_str(), "w");
    std::fprintf(f, "CONDUCTOR\r\n");
    for (const Segment& s : w) {
      const expcoil::Vector3 angles = expcoil::conductor_angles({s.x2 - s.x1, s.y2 - s.y1, s.z2 - s.z1});
      const double dx = s.x1 - s.x2, dy = s.y1 - s.y2, dz = s.z1 - s.z2;
      const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
      std::fprintf(f, "DEFINE GSTRAIGHT\r\n");
      std::fprintf(f, "%lf %lf %lf %lf %lf %lf\r\n", 1000 * s.x1, 1000 * s.y1, 1000 * s.z1, angles[0],
                   angles[1], angles[2]);
      std::fprintf(
          f, "0.0 0.0 0.0\r\n0.0 0.0 0.0\r\n%lf %lf\r\n%lf\r\n%.9lg 1 'Default_Drive'\r\n0 0 0\r\n0.0\r\n",
          1.0, 1.0, 1000 * length, s.current);
    }
    std::fprintf(f, "QUIT\r\n");
    std::fclose(f);
  }
  state.SetItemsProcessed(state.iterations() * w.count());
  std::filesystem::remove(csv);
  std::filesystem::remove(cond);
}
BENCHMARK(BM_windings_files_stdio)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
