// The precise design mode against the literal one on the example's straight magnet
// (examples/config_precise.txt against examples/config.txt), stage by stage on two workers: the current
// potential (in the precise mode with its rounding correction, also timed alone), the contouring into
// windings, the promise's check (the exact sum at the figures' points; the precise design makes it twice
// when it corrects the field's level), the field map (each with its configuration's tolerance: exact for
// the literal example, 1e-6 for the precise one; the precise one exact too) and design_magnet whole. Each
// reports the segments and, for the check, the promise's five figures of the lower band in per cent,
// which the literal windings are held to as well.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "magnet/checks.hpp"
#include "magnet/design.hpp"
#include "magnet/field_evaluator.hpp"
#include "magnet/field_map.hpp"
#include "magnet/mesh.hpp"
#include "magnet/precise.hpp"
#include "magnet/promise.hpp"
#include "magnet/solver.hpp"
#include "magnet/windings.hpp"

namespace {

using namespace expcoil;

constexpr unsigned kWorkers = 2;

ParameterSet example_set(bool precise) {
  const std::filesystem::path examples = std::filesystem::path(__FILE__).parent_path() / ".." / "examples";
  return parameter_set_load((examples / (precise ? "config_precise.txt" : "config.txt")).string());
}

// The straight magnet as its mode designs it.
MagnetSpec example(bool precise) { return designed_magnet(example_set(precise).magnets[0]); }

Matrix potential(const MagnetSpec& m) {
  return precise_mode(m) ? precise_current_potential(m, kWorkers) : compute_current_potential(m, kWorkers);
}

void BM_Potential(benchmark::State& state) {
  const MagnetSpec m = example(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(potential(m));
  state.counters["coil_mesh"] = m.params.coil_meshes[0];
  state.counters["fft_mesh"] = m.params.fft_meshes[0];
}

// The precise mode's correction of the windings' rounding bias, alone (BM_Potential/1 includes it).
void BM_RoundingCorrection(benchmark::State& state) {
  const MagnetSpec m = example(true);
  const Matrix p = potential(m);
  Matrix work(p.rows(), p.columns());
  for (auto _ : state) {
    std::copy(p.data(), p.data() + p.size(), work.data());
    benchmark::DoNotOptimize(correct_rounding_bias(work, m, 3));
  }
}

void BM_Contouring(benchmark::State& state) {
  const MagnetSpec m = example(state.range(0) != 0);
  const Matrix p = potential(m);
  std::uint32_t segments = 0;
  for (auto _ : state) {
    const WindingSet w = windings_generate(m, p);
    segments = w.count();
    benchmark::DoNotOptimize(w.data());
  }
  state.counters["segments"] = segments;
}

void BM_PromiseCheck(benchmark::State& state) {
  const MagnetSpec m = example(state.range(0) != 0);
  const Matrix p = potential(m);
  const WindingSet w = windings_generate(m, p);
  const std::vector<double> mesh_z = mesh_axis(
      mesh_geometry(m, m.params.coil_meshes[0], m.params.coil_meshes[1]), 2, m.params.coil_meshes[1]);
  std::vector<BandFigures> figures;
  for (auto _ : state) {
    figures = promise_figures(m, *direct_sum_evaluator(w), mesh_z, kWorkers);
    benchmark::DoNotOptimize(figures.data());
  }
  const BandFigures& f = figures[0];
  state.counters["segments"] = w.count();
  state.counters["rms_pc"] = 100 * f.rms_deviation;
  state.counters["k_fit_pc"] = 100 * f.k_fit_error;
  state.counters["index_pc"] = 100 * f.max_local_index_error;
  state.counters["spread_pc"] = 100 * f.effective_length_spread;
  state.counters["k_int_pc"] = 100 * f.k_int_error;
}

// Argument 2: the precise windings' map exact, what the tree saves on them.
void BM_FieldMap(benchmark::State& state) {
  const MagnetSpec m = example(state.range(0) != 0);
  const WindingSet w = windings_generate(m, potential(m));
  const FieldMapGrid grid = field_map_grid(m);
  const double tolerance = state.range(0) == 2 ? 0.0 : m.params.fieldmap_tolerance;
  for (auto _ : state)
    benchmark::DoNotOptimize(field_map_compute(w, grid, kWorkers, nullptr, FieldOptions{tolerance}));
  state.counters["segments"] = w.count();
  state.counters["points"] = static_cast<double>(grid.points());
  state.counters["tolerance"] = tolerance;
}

void BM_DesignMagnet(benchmark::State& state) {
  const ParameterSet set = example_set(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(design_magnet(set.magnets[0], kWorkers).windings.data());
}

// Argument 0: literal, 1: precise.
BENCHMARK(BM_Potential)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoundingCorrection)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Contouring)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PromiseCheck)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_FieldMap)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_DesignMagnet)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
