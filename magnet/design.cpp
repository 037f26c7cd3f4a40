#include "magnet/design.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "lib/errors.hpp"
#include "lib/memory.hpp"
#include "lib/number_format.hpp"
#include "magnet/field_evaluator.hpp"
#include "magnet/field_map.hpp"
#include "magnet/mesh.hpp"
#include "magnet/precise.hpp"
#include "magnet/solver.hpp"
#include "magnet/windings.hpp"

namespace expcoil {

// The windings' count follows from the potential's height over the current per winding: a small
// current, a gentle "Scaling k" or a large "Bmax" can ask for more segments than memory holds.
namespace {

// "the current potential spans N windings of I A (the keys that set N)".
std::string potential_span_text(const MagnetSpec& magnet, const Matrix& potential) {
  const auto [low, high] = std::minmax_element(potential.data(), potential.data() + potential.size());
  std::string message = "the current potential spans ";
  message += format_general((*high - *low) / magnet.winding_current(), 3);
  message += " windings of ";
  message += format_general(magnet.winding_current(), 6);
  message +=
      " A (\"Winding current density (A/mm^2)\" times \"Area per winding (cm^2)\"; the potential grows with "
      "\"Bmax\" and falls with \"Scaling k\")";
  return message;
}

}  // namespace

void require_windings_fit(const MagnetSpec& magnet, const Matrix& potential, std::uint64_t max_segments) {
  const std::uint64_t segments = windings_segment_count(magnet, potential);
  const double bytes = windings_memory_bytes(segments) + field_map_slab_memory_bytes(field_map_grid(magnet));
  const double memory = usable_memory_bytes();
  max_segments = std::min<std::uint64_t>(max_segments, UINT32_MAX);
  if (segments <= max_segments && bytes <= memory) return;
  std::string message = potential_span_text(magnet, potential) + ": ";
  message += format_general(static_cast<double>(segments), 3);
  message += " conductor segments";
  if (segments > max_segments) {
    message += ", more than the " + std::to_string(max_segments) + " one magnet can hold";
  } else {
    message += " need " + format_gib(bytes) + " of memory, more than this machine's " + format_gib(memory);
  }
  throw InputError(message);
}

namespace {

void require_precise_domain(const MagnetSpec& magnet) {
  const std::vector<std::string> problems = precise_domain_problems(magnet);
  if (problems.empty()) return;
  std::string message = "outside the precise mode's domain: ";
  for (std::size_t i = 0; i < problems.size(); ++i) message += (i > 0 ? "; " : "") + problems[i];
  throw InputError(message);
}

// The exact sum: over the few thousand points of the figures it is faster than the tree code (3 s
// against 9 s at 1e-9 for the example's 520,000 segments on 2 cores).
std::vector<BandFigures> figures_of(const Design& d, unsigned workers) {
  return promise_figures(d.magnet, *direct_sum_evaluator(d.windings), d.mesh_z, workers);
}

void require_promise(const Design& d) {
  std::string misses;
  for (const BandFigures& band : d.promise) {
    const std::string miss = promise_misses(band);
    if (!miss.empty()) misses += (misses.empty() ? "" : "; ") + band.band + " band: " + miss;
  }
  if (!misses.empty()) throw InputError("the windings miss the precise mode's promise: " + misses);
}

void contour(Design& d, const DesignProgress& progress, std::uint64_t max_segments) {
  require_windings_fit(d.magnet, d.potential, max_segments);
  if (progress) progress("windings");
  d.windings = windings_generate(d.magnet, d.potential);
  // An empty windings file and a zero field map would pass for a result.
  if (d.windings.count() == 0) {
    throw InputError(
        potential_span_text(d.magnet, d.potential) +
        ": no winding to contour; check \"Coil meshes\" and \"FFT meshes\" against \"Length\" too");
  }
}

// The meshes raise the field by a nearly uniform fraction across the band that grows with k times the
// spacings (halving either spacing removes part of it; k g = 1.2, k = 6 /m: +0.028 %). One look at the
// windings' field measures it, and the potential scaled by its inverse takes it out (that magnet's rms
// deviation from the law from 0.028 % to 0.00066 %).
constexpr double kLevelTolerance = 1e-5;

}  // namespace

Design design_magnet(const MagnetSpec& magnet, unsigned workers, const DesignProgress& progress,
                     std::uint64_t max_segments) {
  const bool precise = precise_mode(magnet);
  if (precise) require_precise_domain(magnet);
  Design d;
  d.magnet = designed_magnet(magnet);
  if (progress) progress("potential");
  d.potential =
      precise ? precise_current_potential(d.magnet, workers) : compute_current_potential(d.magnet, workers);
  contour(d, progress, max_segments);
  // compute_current_potential has refused any mesh below 2 x 2, which mesh_geometry needs.
  const auto rows = static_cast<std::int32_t>(d.potential.rows());
  const auto columns = static_cast<std::int32_t>(d.potential.columns());
  const MeshGeometry mesh = mesh_geometry(d.magnet, rows, columns);
  d.mesh_y = mesh_axis(mesh, 1, rows);
  d.mesh_z = mesh_axis(mesh, 2, columns);
  if (precise) {
    if (progress) progress("promise");
    d.promise = figures_of(d, workers);
    double level = 0;
    for (const BandFigures& band : d.promise)
      level += band.mean_deviation / static_cast<double>(d.promise.size());
    if (std::fabs(level) > kLevelTolerance) {
      if (progress) progress("correction");
      d.potential = precise_current_potential(d.magnet, workers, 1 / (1 + level));
      contour(d, progress, max_segments);
      if (progress) progress("promise");
      d.promise = figures_of(d, workers);
    }
    require_promise(d);
  }
  return d;
}

}  // namespace expcoil
