// The field map's costs: the kernel against the straightforward scalar formula (segment-point pairs per
// second, one worker, one benchmark per form of the kernel the machine runs, the picked one labelled), the
// whole field map on one and on two workers, and what the field map spends outside the kernel (bounds,
// allocation, writing).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "io/program/field_map_csv.hpp"
#include "lib/workers.hpp"
#include "magnet/field.hpp"
#include "magnet/field_map.hpp"

namespace {

using namespace expcoil;

// Rectangular turns in two layers, like a magnet's windings, cut into segments of about 2 cm.
WindingSet bench_windings(int segments) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  WindingSet w;
  while (static_cast<int>(w.count()) < segments) {
    const double x = u(rng) > 0 ? 0.1 : -0.1;
    const double y0 = 0.04 * u(rng);
    const double z = 0.3 + 0.02 * u(rng);
    const double current = 400.0 * (x > 0 ? 1 : -1);
    // One turn: along +z at y0 and back along -z at y0 - 0.03, joined at both ends.
    const std::array<std::array<double, 3>, 4> corner = {
        {{x, y0, -z}, {x, y0, z}, {x, y0 - 0.03, z}, {x, y0 - 0.03, -z}}};
    for (int side = 0; side < 4 && static_cast<int>(w.count()) < segments; ++side) {
      const auto& a = corner[side];
      const auto& b = corner[(side + 1) % 4];
      const int pieces = side % 2 == 0 ? 30 : 2;
      for (int p = 0; p < pieces && static_cast<int>(w.count()) < segments; ++p) {
        const double t0 = double(p) / pieces, t1 = double(p + 1) / pieces;
        w.append({a[0] + t0 * (b[0] - a[0]), a[1] + t0 * (b[1] - a[1]), a[2] + t0 * (b[2] - a[2]),
                  a[0] + t1 * (b[0] - a[0]), a[1] + t1 * (b[1] - a[1]), a[2] + t1 * (b[2] - a[2]), current});
      }
    }
  }
  return w;
}

struct Points {
  std::vector<double> x, y, z;
};

Points bench_points(int n) {
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Points p;
  for (int i = 0; i < n; ++i) {
    p.x.push_back(0.15 * u(rng));
    p.y.push_back(0.06 * u(rng));
    p.z.push_back(0.5 * u(rng));
  }
  return p;
}

constexpr int kKernelSegments = 20000;
constexpr int kKernelPoints = 20000;

const WindingSet& kernel_windings() {
  static const WindingSet w = bench_windings(kKernelSegments);
  return w;
}

const Points& kernel_points() {
  static const Points p = bench_points(kKernelPoints);
  return p;
}

// The formula as written, point by point: the baseline.
void BM_kernel_scalar_reference(benchmark::State& state) {
  const WindingSet& w = kernel_windings();
  const Points& p = kernel_points();
  double sum = 0.0;
  for (auto _ : state) {
    for (int i = 0; i < kKernelPoints; ++i) sum += windings_field(w, p.x[i], p.y[i], p.z[i])[1];
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{kKernelSegments} * kKernelPoints);
}
BENCHMARK(BM_kernel_scalar_reference)->Unit(benchmark::kMillisecond)->UseRealTime();

// One form of the kernel, through the explicit call: no process-wide state is changed.
void BM_kernel_fast(benchmark::State& state, const KernelTarget& target) {
  const SegmentStream stream(kernel_windings());
  const Points& p = kernel_points();
  std::vector<double> out(3 * kKernelPoints);
  for (auto _ : state) {
    field_kernel_on(target, stream, p.x.data(), p.y.data(), p.z.data(), kKernelPoints, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{kKernelSegments} * kKernelPoints);
  const KernelChoice& choice = field_kernel_choice();
  if (choice.target.name != target.name) return;
  char picked[96];
  std::snprintf(picked, sizeof picked, "picked (%s in %.2f ms)", choice.how.c_str(), 1e3 * choice.seconds);
  state.SetLabel(picked);
}

// A straight magnet whose field map has 10 x 20 x 500 = 100,000 points.
struct MapMagnet {
  MagnetSpec magnet;
  Parameters& set = magnet.params;
  MapMagnet() {
    set.good_field_height = 0.08;
    set.fieldmap_extension[0] = 0.05;
    set.fieldmap_extension[1] = 0.01;
    set.fieldmap_extension[2] = 0.2;
    magnet.name = "bench";
    magnet.length = 0.8;
    magnet.winding_centre_to_midplane = 0.1;
    set.fieldmap_cell[0] = 0.3 / 9;
    set.fieldmap_cell[1] = 0.1 / 19;
    set.fieldmap_cell[2] = 1.2 / 499;
  }
};

// The whole field map as the program makes it: computed on `workers` workers, then written.
void run_field_map(benchmark::State& state, int segments, unsigned workers) {
  const MapMagnet m;
  const WindingSet w = bench_windings(segments);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("expcoil_field_bench_" + std::to_string(::getpid()) + ".csv"))
                               .string();
  const FieldMapGrid grid = field_map_grid(m.magnet);
  std::int64_t bytes = 0;
  for (auto _ : state) {
    try {
      field_map_csv_write(field_map_compute(w, grid, workers), path);
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    state.PauseTiming();
    bytes += static_cast<std::int64_t>(std::filesystem::file_size(path));
    state.ResumeTiming();
  }
  std::filesystem::remove(path);
  state.SetItemsProcessed(state.iterations() * grid.points());
  state.SetBytesProcessed(bytes);
  state.SetLabel(std::to_string(grid.points()) + " points, " + std::to_string(segments) + " segments, " +
                 std::to_string(workers) + " worker(s), " + field_kernel_choice().target.name);
}

// Scaling: the whole field map on one and on two workers.
void BM_field_map_workers(benchmark::State& state) {
  run_field_map(state, 2000, static_cast<unsigned>(state.range(0)));
}
BENCHMARK(BM_field_map_workers)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// 100,000 points x 10,000 segments, one worker, and the same map with 4 segments: the second is
// everything outside the kernel (bounds, allocation, coordinates, writing the file) plus 400,000 kernel
// pairs (well under a millisecond), with field values of full length in the file; its bytes/s is a lower
// bound of the file-writing rate.
void BM_field_map_10k_segments(benchmark::State& state) { run_field_map(state, 10000, 1); }
BENCHMARK(BM_field_map_10k_segments)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_field_map_outside_kernel(benchmark::State& state) { run_field_map(state, 4, 1); }
BENCHMARK(BM_field_map_outside_kernel)->Unit(benchmark::kMillisecond)->UseRealTime();

// One kernel benchmark per form this machine runs, widest first; the process's choice (made here, before
// any benchmark runs, so its measurement is not timed by one) is labelled "picked".
const int kRegistered = [] {
  field_kernel_choice();
  for (const KernelTarget& t : field_kernel_targets()) {
    benchmark::RegisterBenchmark(("BM_kernel_fast/" + t.name).c_str(), BM_kernel_fast, t)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return 0;
}();

}  // namespace
