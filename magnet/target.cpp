#include "magnet/target.hpp"

#include <cmath>
#include <cstdint>
#include <string>

#include "lib/constants.hpp"
#include "lib/number_format.hpp"
#include "magnet/grid.hpp"

namespace expcoil {

double soft_abs(double u) { return u * std::atan(1e6 * u) - 5e-7 * std::log(u * u + 1e-12); }

double polynomial(const std::vector<double>& coefficients, double t) {
  double acc = 0.0;
  for (std::size_t i = coefficients.size(); i-- > 0;) acc = acc * t + coefficients[i];
  return acc;
}

double aperture_potential(const MagnetSpec& magnet, double d) {
  const Parameters& p = magnet.params;
  const double g = p.good_field_height;
  const double k = p.scaling_k;
  return ((std::exp(k * d) + polynomial(magnet.polynomial_adjustment, (0.5 * g + d) / g)) *
          (kInverseMu0 * magnet.bmax)) /
         k;
}

double tanh_step(double x, double r, double a, double term) {
  if (x <= 0) return 0.0;
  if (x >= 1) return term;
  return (std::tanh(r * std::tan((x - 0.5) * kPi) + a) + 1) * (term * 0.5);
}

namespace {

// The aperture term is only evaluated where the step lets some of it through: most of the enlarged
// FFT grid lies beyond the vertical ends, where the exponential would be computed for nothing.
double stepped_aperture(const MagnetSpec& magnet, double x, double r, double a, double d) {
  if (x <= 0) return 0.0;
  return tanh_step(x, r, a, aperture_potential(magnet, d));
}

}  // namespace

double vertical_profile(const MagnetSpec& magnet, double y) {
  const Parameters& p = magnet.params;
  const double g = p.good_field_height;
  const double e_h = p.vertical_end_height;
  const double J = p.vertical_middle_join_height;
  if (y <= 0) {
    const double x = (g + y) / e_h + 1;
    return stepped_aperture(magnet, x, p.vertical_end_ramp, p.vertical_end_asymmetry, y);
  }
  if (y >= J) {
    const double x = ((J + g) - y) / e_h + 1;
    return stepped_aperture(magnet, x, p.vertical_end_ramp, p.vertical_end_asymmetry, J - y);
  }
  const double lower =
      stepped_aperture(magnet, 1 - y / J, p.vertical_middle_ramp, p.vertical_middle_asymmetry, y);
  const double upper =
      stepped_aperture(magnet, y / J, p.vertical_middle_ramp, p.vertical_middle_asymmetry, J - y);
  return upper + lower;
}

double longitudinal_factor(const MagnetSpec& magnet, double z) {
  const double L = magnet.length;
  const double h = magnet.winding_return_half_length;
  const double u1 = (z + 0.5 * L) + h;
  const double u2 = (z + 0.5 * L) - h;
  const double u3 = (0.5 * L - z) + h;
  const double u4 = (0.5 * L - z) - h;
  const double S = ((soft_abs(u3) + soft_abs(u1)) - soft_abs(u2)) - soft_abs(u4);
  return S / (h + h);
}

double vertical_factor(const MagnetSpec& magnet, double y) {
  return vertical_profile(magnet, y) * kInversePi;
}

void target_potential(double y, double z, double* out, const MagnetSpec& magnet) {
  *out = longitudinal_factor(magnet, z) * vertical_factor(magnet, y);
}

namespace {

std::string key_value(const char* key, double value, const char* unit) {
  std::string text = "\"";
  text += key;
  text += "\" (";
  text += format_general(value, 6);
  text += unit;
  text += ')';
  return text;
}

// Which factor of aperture_potential at height d leaves double range, or empty when none does.
std::string aperture_overflow(const MagnetSpec& magnet, double d) {
  const Parameters& p = magnet.params;
  const double k = p.scaling_k;
  const double exponential = std::exp(k * d);
  const double adjustment =
      polynomial(magnet.polynomial_adjustment, (0.5 * p.good_field_height + d) / p.good_field_height);
  const double scale = kInverseMu0 * magnet.bmax;
  const std::string height = " at the height " + format_general(d, 6) + " m into the aperture";
  if (!std::isfinite(exponential)) {
    return key_value("Scaling k", k, " /m") + " times the height " + format_general(d, 6) +
           " m into the aperture is too large: e^(k d) exceeds double range";
  }
  if (!std::isfinite(adjustment)) return "\"Polynomial adjustment\" exceeds double range" + height;
  if (!std::isfinite(scale)) return key_value("Bmax", magnet.bmax, " T") + " over mu0 exceeds double range";
  if (!std::isfinite((exponential + adjustment) * scale)) {
    return key_value("Bmax", magnet.bmax, " T") + " over mu0, times e^(k d) plus \"Polynomial adjustment\"" +
           height + ", exceeds double range";
  }
  if (!std::isfinite(aperture_potential(magnet, d))) {
    return key_value("Bmax", magnet.bmax, " T") + " over mu0 and " + key_value("Scaling k", k, " /m") +
           " exceeds double range" + height;
  }
  return {};
}

}  // namespace

std::string target_overflow_cause(const MagnetSpec& magnet, double y) {
  const double J = magnet.params.vertical_middle_join_height;
  std::string cause;
  if (y > 0) cause = aperture_overflow(magnet, J - y);
  if (y < J && cause.empty()) cause = aperture_overflow(magnet, y);
  if (!cause.empty()) return cause;
  return "the vertical profile (\"Vertical end ramp\", \"Vertical end asymmetry\", \"Vertical middle ramp\", "
         "\"Vertical middle asymmetry\") exceeds double range";
}

void sample_target(Matrix& target, const MagnetSpec& magnet, double origin_y, double origin_z, double step_y,
                   double step_z, unsigned workers) {
  sample_separable(
      target, [&magnet](double y) { return vertical_factor(magnet, y); },
      [&magnet](double z) { return longitudinal_factor(magnet, z); }, origin_y, origin_z, step_y, step_z,
      workers);
}

}  // namespace expcoil
