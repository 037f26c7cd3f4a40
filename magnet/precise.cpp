#include "magnet/precise.hpp"

#include <cmath>
#include <cstdint>

#include "lib/constants.hpp"
#include "lib/memory.hpp"
#include "lib/number_format.hpp"
#include "magnet/grid.hpp"
#include "magnet/solver.hpp"
#include "magnet/target.hpp"

namespace expcoil {
namespace {

constexpr double kMu0 = 1.2566370614359173e-06;  // 4 pi 1e-7, T m / A
// Values a hair past a limit pass: 0.15 / 0.02 is 7.499999999999999 in doubles.
constexpr double kSlack = 1e-9;

std::string number(double value) { return format_general(value, 6); }

// The extent mesh_geometry spreads its points over: the larger of the z and y spans, m.
double mesh_span(const MagnetSpec& magnet) {
  const Parameters& p = magnet.params;
  const double aperture_height = p.vertical_end_height + p.good_field_height;
  const double span_z = magnet.length + 1.25;
  const double span_y = (p.vertical_middle_join_height + aperture_height) + aperture_height;
  return span_z < span_y ? span_y : span_z;
}

struct PreciseMeshes {
  double coil, fft;  // points per side, as doubles so that any geometry can be judged
};

PreciseMeshes precise_meshes(const MagnetSpec& magnet) {
  const Parameters& p = magnet.params;
  const double d = magnet.winding_centre_to_midplane;
  const double span = mesh_span(magnet);
  double coil = std::ceil(span / (kPreciseCoilSpacingOverD * d)) + 1;
  if (coil < p.coil_meshes[0]) coil = p.coil_meshes[0];
  // The FFT grid is enlarged to twice the span: its step is 2 span / (points - 1).
  double fft = std::ceil(2 * span / (kPreciseFftStepOverD * d)) + 1;
  if (fft < p.fft_meshes[0]) fft = p.fft_meshes[0];
  double power = 1;
  while (power < fft) power = power + power;
  return {coil, power};
}

void sample_precise_target(Matrix& target, const MagnetSpec& magnet, double origin_y, double origin_z,
                           double step, unsigned workers) {
  Matrix vertical(target.rows(), 1);
  grid_evaluate(
      vertical, [&magnet](double y, double, double* out) { *out = vertical_profile(magnet, y); }, origin_y,
      0.0, step, 0.0, workers);
  Matrix longitudinal(1, target.columns());
  grid_evaluate(
      longitudinal, [&magnet](double, double z, double* out) { *out = raised_cosine_ramp(magnet, z); }, 0.0,
      origin_z, 0.0, step, workers);
  grid_evaluate(
      target,
      [&](double r, double c, double* out) {
        *out = longitudinal[0][static_cast<std::uint32_t>(c)] * vertical[static_cast<std::uint32_t>(r)][0];
      },
      0.0, 0.0, 1.0, 1.0, workers);
}

}  // namespace

double precise_max_winding_current(const MagnetSpec& magnet) {
  const double k = magnet.params.scaling_k, g = magnet.params.good_field_height;
  return kPreciseMaxPitchOverD * magnet.winding_centre_to_midplane * std::fabs(magnet.bmax) /
         (kMu0 * std::exp(k * g));
}

std::vector<std::string> precise_domain_problems(const MagnetSpec& magnet, const KeyQuoter& quoter) {
  const auto key = [&quoter](std::string_view k) {
    if (quoter) return quoter(k);
    // Built by appending: operator+ on a literal trips a false -Wrestrict in g++ 12 (GCC bug 105651).
    std::string q(1, '"');
    q.append(k).push_back('"');
    return q;
  };
  const Parameters& p = magnet.params;
  const double k = p.scaling_k, g = p.good_field_height, e_h = p.vertical_end_height;
  const double d = magnet.winding_centre_to_midplane, L = magnet.length;
  std::vector<std::string> problems;
  const std::string mode = " in the precise mode";
  if (!(k > 0)) {
    problems.push_back(key("Scaling k") + " must be positive" + mode + " (it is " + number(k) + " /m)");
  }
  if (!(d > 0)) {
    problems.push_back(key("Winding centre to midplane") + " must be positive" + mode + " (it is " +
                       number(d) + " m)");
  }
  if (magnet.bmax == 0.0) problems.push_back(key("Bmax") + " must not be zero" + mode);
  if (k > 0 && k * g > kPreciseMaxKG * (1 + kSlack)) {
    problems.push_back(key("Scaling k") + " (" + number(k) + " /m) times " + key("Good field height") + " (" +
                       number(g) + " m) is " + number(k * g) + ", more than the precise mode's " +
                       number(kPreciseMaxKG) + ": a " + key("Good field height") + " of at most " +
                       number(kPreciseMaxKG / k) + " m, or a " + key("Scaling k") + " of at most " +
                       number(kPreciseMaxKG / g) + " /m, brings it inside");
  }
  if (d > 0) {
    // Each of these is a length that must be at least `ratio` times d.
    const auto at_least = [&](const char* name, double value, double ratio) {
      if (value >= ratio * d * (1 - kSlack)) return;
      problems.push_back(key(name) + " (" + number(value) + " m) is " + number(value / d) + " times " +
                         key("Winding centre to midplane") + " (" + number(d) +
                         " m), less than the precise mode's " + number(ratio) + ": a " + key(name) +
                         " of at least " + number(ratio * d) + " m, or a " +
                         key("Winding centre to midplane") + " of at most " + number(value / ratio) +
                         " m, brings it inside");
    };
    at_least("Length", L, kPreciseMinLengthOverD);
    at_least("Good field height", g, kPreciseMinGoodFieldOverD);
    at_least("Vertical end height", e_h, kPreciseMinEndHeightOverD);
    // The join fades each aperture out towards the other as the end does beyond it (10 d: the
    // example's local index 6.5 % off; 15 d: 0.9 %); a join of 0 or less cuts the profile at y = 0.
    at_least("Vertical middle join height", p.vertical_middle_join_height, kPreciseMinEndHeightOverD);
  }
  if (k > 0 && d > 0 && magnet.bmax != 0.0) {
    const double current = std::fabs(magnet.winding_current());
    const double pitch = kMu0 * current * std::exp(k * g) / std::fabs(magnet.bmax);
    if (pitch > kPreciseMaxPitchOverD * d * (1 + kSlack)) {
      problems.push_back(
          "the current per winding, " + number(current) + " A (" + key("Winding current density (A/mm^2)") +
          " times " + key("Area per winding (cm^2)") +
          "), makes the winding pitch at the weak edge of the band, mu0 I e^(k g) / |Bmax|, " +
          number(pitch * 1000) + " mm, more than the precise mode's " + number(kPreciseMaxPitchOverD) +
          " times " + key("Winding centre to midplane") + " (" + number(kPreciseMaxPitchOverD * d * 1000) +
          " mm): a current per winding of at most " + number(precise_max_winding_current(magnet)) +
          " A brings it inside");
    }
  }
  if (problems.empty()) {
    const PreciseMeshes meshes = precise_meshes(magnet);
    // The spectrum, the result and the factor beside them at the inverse transform.
    const double bytes = 5.0 * meshes.fft * meshes.fft * sizeof(double);
    const double memory = usable_memory_bytes();
    if (meshes.coil > INT32_MAX || meshes.fft > INT32_MAX || bytes > memory) {
      problems.push_back("the precise mode's meshes for this " + key("Winding centre to midplane") + " (" +
                         number(d) + " m: coil " + number(meshes.coil) + ", FFT " + number(meshes.fft) +
                         " points per side) need " + format_gib(bytes) +
                         " of memory, more than this machine's " + format_gib(memory));
    }
  }
  return problems;
}

MagnetSpec precise_magnet(const MagnetSpec& magnet) {
  const PreciseMeshes meshes = precise_meshes(magnet);
  MagnetSpec designed = magnet;
  designed.params.coil_meshes[0] = designed.params.coil_meshes[1] = static_cast<std::int32_t>(meshes.coil);
  designed.params.fft_meshes[0] = designed.params.fft_meshes[1] = static_cast<std::int32_t>(meshes.fft);
  designed.polynomial_adjustment = {-std::exp(-magnet.params.scaling_k * magnet.params.good_field_height)};
  return designed;
}

double raised_cosine_ramp(const MagnetSpec& magnet, double z) {
  const double h = magnet.winding_return_half_length;
  const double u = std::fabs(z) - (0.5 * magnet.length - h);  // 0 where the ramp starts, 2 h where it ends
  if (u <= 0) return 1.0;
  if (u >= h + h) return 0.0;
  return 0.5 * (1 + std::cos(u * (kPi / (h + h))));
}

double precise_inversion_factor(double kappa_y, double kappa_z, double d) {
  const double a = std::sqrt(kappa_y * kappa_y + kappa_z * kappa_z) * d;
  return 1 / (std::exp(-a) + 1e-6 * std::exp(a));
}

Matrix precise_current_potential(const MagnetSpec& designed, unsigned workers) {
  const double d = designed.winding_centre_to_midplane;
  PotentialModel model;
  model.sample = [&designed](Matrix& target, double origin_y, double origin_z, double step, unsigned w) {
    sample_precise_target(target, designed, origin_y, origin_z, step, w);
  };
  model.factor = [d](double kappa_y, double kappa_z) {
    return precise_inversion_factor(kappa_y, kappa_z, d);
  };
  return compute_current_potential(designed, model, workers);
}

}  // namespace expcoil
