// The tree code against the exact sum on a magnet-like case, and how the tree scales.
//
// The magnet: the windings table named by EXPCOIL_BENCH_WINDINGS (a windings_<name>.csv the program
// wrote, e.g. the example magnet's 93,424 segments), or else a synthetic pair of mirror layers at x = +-0.02
// like it (runs along z 5.5 mm apart over 2 m in y, 8 mm pieces, 92,000 segments). The points: a 3 x 3 x 8
// mm grid over x in [-0.04, 0.04], y in [-0.17, 0.02], z in [-0.6, 0.6] (27 x 64 x 151 = 260,928 points),
// which crosses both layers. Both sides run on two workers; the CPU time is the process's, all workers
// together. Each tree benchmark reports the measured largest error relative to the largest |B|
// ("rel_err", against the exact sum: on every point for the magnet, on a sample of 2,000 points in the
// sweep, where the largest |B| is the sample's, no larger than the map's) and that divided by the
// tolerance ("err_over_tol", at most 1 by construction). bench/field_tree_growth.py runs it and writes
// the growth table, the exact sum's time estimated from its pairs rate where it is not run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "io/program/windings_table.hpp"
#include "magnet/field.hpp"
#include "magnet/field_evaluator.hpp"
#include "magnet/field_map.hpp"
#include "magnet/field_tree.hpp"

namespace {

using namespace expcoil;

constexpr unsigned kWorkers = 2;

struct Points {
  std::vector<double> x, y, z;
  std::size_t size() const { return x.size(); }
};

// Mirror layers at x = +-0.02 over y in [-0.84, 1.19], z in [-0.5, 0.5]: `runs` runs along z per layer,
// each of `pieces` segments, the current alternating from run to run.
WindingSet layers(int runs, int pieces) {
  WindingSet w;
  for (int layer = 0; layer < 2; ++layer) {
    const double x = layer == 0 ? 0.02 : -0.02;
    for (int run = 0; run < runs; ++run) {
      const double y = -0.84 + 2.03 * run / runs;
      const double sign = (run % 2 == 0) == (layer == 0) ? 1.0 : -1.0;
      for (int p = 0; p < pieces; ++p) {
        const double z0 = -0.5 + 1.0 * p / pieces, z1 = -0.5 + 1.0 * (p + 1) / pieces;
        w.append({x, y, sign > 0 ? z0 : z1, x, y, sign > 0 ? z1 : z0, 3000.0});
      }
    }
  }
  return w;
}

// About `segments` segments in the same layout (runs 5.5 mm apart at 92,000).
WindingSet layers_of(double segments) {
  const int runs = std::max(2, static_cast<int>(std::lround(369.0 * std::sqrt(segments / 92000.0))));
  const int pieces = std::max(1, static_cast<int>(std::lround(segments / (2.0 * runs))));
  return layers(runs, pieces);
}

Points grid(int nx, int ny, int nz) {
  Points p;
  for (int i = 0; i < nx; ++i) {
    for (int j = 0; j < ny; ++j) {
      for (int k = 0; k < nz; ++k) {
        p.x.push_back(-0.04 + 0.08 * i / (nx - 1));
        p.y.push_back(-0.17 + 0.19 * j / (ny - 1));
        p.z.push_back(-0.6 + 1.2 * k / (nz - 1));
      }
    }
  }
  return p;
}

// About `n` points on a grid of the same box with the magnet's proportions.
Points grid_of(double n) {
  const double s = std::cbrt(n / 260928.0);
  return grid(std::max(2, static_cast<int>(std::lround(27 * s))),
              std::max(2, static_cast<int>(std::lround(64 * s))),
              std::max(2, static_cast<int>(std::lround(151 * s))));
}

const WindingSet& magnet() {
  static const WindingSet w = [] {
    const char* path = std::getenv("EXPCOIL_BENCH_WINDINGS");
    return path != nullptr && *path != '\0' ? windings_table_read(path) : layers(368, 125);
  }();
  return w;
}

const Points& magnet_points() {
  static const Points p = grid(27, 64, 151);
  return p;
}

std::vector<double> exact(const WindingSet& w, const Points& p) {
  std::vector<double> b(3 * p.size());
  direct_sum_evaluator(w)->field_at_points(p.x.data(), p.y.data(), p.z.data(), p.size(), b.data(), kWorkers);
  return b;
}

const std::vector<double>& magnet_exact() {
  static const std::vector<double> b = exact(magnet(), magnet_points());
  return b;
}

// Largest |a - b| over largest |b|, over the points `index` (all when empty) of the tree's output `a`.
double relative_error(const std::vector<double>& a, const std::vector<double>& b,
                      const std::vector<std::size_t>& index) {
  double err = 0.0, top = 0.0;
  for (std::size_t q = 0; q < b.size() / 3; ++q) {
    const std::size_t i = index.empty() ? q : index[q];
    err = std::max(err,
                   std::hypot(a[3 * i] - b[3 * q], a[3 * i + 1] - b[3 * q + 1], a[3 * i + 2] - b[3 * q + 2]));
    top = std::max(top, std::hypot(b[3 * q], b[3 * q + 1], b[3 * q + 2]));
  }
  return err / top;
}

void label(benchmark::State& state, const WindingSet& w, const Points& p) {
  state.SetLabel(std::to_string(w.count()) + " segments, " + std::to_string(p.size()) + " points, " +
                 field_kernel_choice().target.name);
  state.counters["pairs"] = static_cast<double>(w.count()) * static_cast<double>(p.size());
}

void BM_magnet_exact(benchmark::State& state) {
  const WindingSet& w = magnet();
  const Points& p = magnet_points();
  const auto stream = direct_sum_evaluator(w);
  std::vector<double> b(3 * p.size());
  for (auto _ : state) {
    stream->field_at_points(p.x.data(), p.y.data(), p.z.data(), p.size(), b.data(), kWorkers);
    benchmark::DoNotOptimize(b.data());
  }
  label(state, w, p);
}
BENCHMARK(BM_magnet_exact)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1);

void run_tree(benchmark::State& state, const WindingSet& w, const Points& p, double tolerance,
              const std::vector<double>* want, const std::vector<std::size_t>& index) {
  std::vector<double> b(3 * p.size());
  FieldTreeStats stats;
  for (auto _ : state) {
    field_tree(w, p.x.data(), p.y.data(), p.z.data(), p.size(), tolerance, kWorkers, b.data(), nullptr,
               &stats);
    benchmark::DoNotOptimize(b.data());
  }
  label(state, w, p);
  state.counters["order"] = stats.max_order;
  state.counters["far_pairs"] = static_cast<double>(stats.far_pairs);
  state.counters["near_per_point"] = static_cast<double>(stats.near_pairs) / static_cast<double>(p.size());
  state.counters["double_share"] = static_cast<double>(stats.double_points) / static_cast<double>(p.size());
  if (want != nullptr) {
    const double err = relative_error(b, *want, index);
    state.counters["rel_err"] = err;
    state.counters["err_over_tol"] = err / tolerance;
  }
}

void BM_magnet_tree(benchmark::State& state) {
  const double tolerance = std::pow(10.0, -static_cast<double>(state.range(0)));
  run_tree(state, magnet(), magnet_points(), tolerance, &magnet_exact(), {});
}
BENCHMARK(BM_magnet_tree)
    ->Arg(9)
    ->Arg(6)
    ->Arg(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1);

// The sweep: (log10 segments, log10 points, -log10 tolerance). The exact side runs where its segment-point
// pairs stay at or below 1e10 (seconds on two cores); the error is measured on every case.
struct SweepCase {
  const WindingSet* w;
  const Points* p;
  std::vector<std::size_t> sample;
  std::vector<double> want;
};

SweepCase& sweep_case(int log_segments, int log_points) {
  static std::map<std::pair<int, int>, SweepCase> cases;
  static std::map<int, WindingSet> windings;
  static std::map<int, Points> points;
  auto [it, fresh] = cases.try_emplace({log_segments, log_points});
  if (fresh) {
    if (!windings.count(log_segments))
      windings.emplace(log_segments, layers_of(std::pow(10.0, log_segments)));
    if (!points.count(log_points)) points.emplace(log_points, grid_of(std::pow(10.0, log_points)));
    SweepCase& c = it->second;
    c.w = &windings.at(log_segments);
    c.p = &points.at(log_points);
    const std::size_t step = std::max<std::size_t>(1, c.p->size() / 2000);
    Points s;
    for (std::size_t i = 0; i < c.p->size(); i += step) {
      c.sample.push_back(i);
      s.x.push_back(c.p->x[i]);
      s.y.push_back(c.p->y[i]);
      s.z.push_back(c.p->z[i]);
    }
    c.want = exact(*c.w, s);
  }
  return it->second;
}

void BM_sweep_tree(benchmark::State& state) {
  SweepCase& c = sweep_case(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  run_tree(state, *c.w, *c.p, std::pow(10.0, -static_cast<double>(state.range(2))), &c.want, c.sample);
}

void BM_sweep_exact(benchmark::State& state) {
  SweepCase& c = sweep_case(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const auto stream = direct_sum_evaluator(*c.w);
  std::vector<double> b(3 * c.p->size());
  for (auto _ : state) {
    stream->field_at_points(c.p->x.data(), c.p->y.data(), c.p->z.data(), c.p->size(), b.data(), kWorkers);
    benchmark::DoNotOptimize(b.data());
  }
  label(state, *c.w, *c.p);
}

void sweep_arguments(benchmark::internal::Benchmark* b) {
  for (int s = 4; s <= 6; ++s) {
    for (int p = 4; p <= 7; ++p) {
      for (int t : {6, 9}) b->Args({s, p, t});
    }
  }
}
BENCHMARK(BM_sweep_tree)
    ->Apply(sweep_arguments)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1);

void exact_arguments(benchmark::internal::Benchmark* b) {
  for (int s = 4; s <= 6; ++s) {
    for (int p = 4; p <= 7; ++p) {
      if (s + p <= 10) b->Args({s, p});
    }
  }
}
BENCHMARK(BM_sweep_exact)
    ->Apply(exact_arguments)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Iterations(1);

}  // namespace
