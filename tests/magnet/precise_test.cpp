#include "magnet/precise.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/constants.hpp"
#include "lib/errors.hpp"
#include "lib/fft.hpp"
#include "magnet/checks.hpp"
#include "magnet/design.hpp"
#include "magnet/field_evaluator.hpp"
#include "magnet/windings.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

// Two mirror sheets at x = +-d with the stream function psi, the one at -d carrying the opposite
// current, make on the mid-plane By = mu0 (d / 2 pi) integral of (d psi / dy) / (d^2 + rho^2)^(3/2) (the
// Biot-Savart law; only the sheets' z current contributes). The precise inversion must undo exactly
// that: the inverse of its factor applied in Fourier space to d psi / dy must be this convolution, for
// a psi of finite extent in z as well as in y (where the 2-D factor e^(|kappa_y| d) is far off).
TEST(PreciseInversion, UndoesTheMidPlaneFieldOfTwoMirrorSheets) {
  const double d = 0.02, h = d / 4, sigma = 2 * d;
  const std::uint32_t n = 128;
  const auto coordinate = [&](std::uint32_t i) { return (static_cast<double>(i) - n / 2.0) * h; };
  Matrix gradient(n, n);  // d psi / dy of psi = e^(-(y^2 + z^2) / (2 sigma^2))
  for (std::uint32_t i = 0; i < n; ++i) {
    for (std::uint32_t j = 0; j < n; ++j) {
      const double y = coordinate(i), z = coordinate(j);
      gradient[i][j] = -y / (sigma * sigma) * std::exp(-(y * y + z * z) / (2 * sigma * sigma));
    }
  }
  Matrix re(n, n), im(n, n), out_re(n, n), out_im(n, n);
  fft2d(false, gradient, nullptr, re, im, 1);
  const auto wavenumber = [&](std::uint32_t i) {
    return (i < n / 2 ? static_cast<double>(i) : static_cast<double>(i) - n) * kTwoPi / (n * h);
  };
  Matrix planar_re(n, n), planar_im(n, n);
  for (std::uint32_t i = 0; i < n; ++i) {
    for (std::uint32_t j = 0; j < n; ++j) {
      const double planar = std::exp(-std::fabs(wavenumber(i)) * d);
      planar_re[i][j] = re[i][j] * planar;
      planar_im[i][j] = im[i][j] * planar;
      const double f = 1 / precise_inversion_factor(wavenumber(i), wavenumber(j), d);
      re[i][j] *= f;
      im[i][j] *= f;
    }
  }
  Matrix planar(n, n);
  fft2d(true, re, &im, out_re, out_im, 1);
  fft2d(true, planar_re, &planar_im, planar, out_im, 1);
  double largest = 0, worst = 0, planar_worst = 0;
  for (std::uint32_t i = n / 2 - 12; i <= n / 2 + 12; i += 4) {
    for (std::uint32_t j = n / 2 - 12; j <= n / 2 + 12; j += 6) {
      double sum = 0;  // the trapezoid rule: the integrand vanishes at the edges
      for (std::uint32_t a = 0; a < n; ++a) {
        for (std::uint32_t b = 0; b < n; ++b) {
          const double dy = coordinate(i) - coordinate(a), dz = coordinate(j) - coordinate(b);
          sum += gradient[a][b] * (d / kTwoPi) / std::pow(d * d + dy * dy + dz * dz, 1.5) * h * h;
        }
      }
      largest = std::max(largest, std::fabs(sum));
      worst = std::max(worst, std::fabs(out_re[i][j] - sum));
      planar_worst = std::max(planar_worst, std::fabs(planar[i][j] - sum));
    }
  }
  EXPECT_LT(worst, 1e-4 * largest);
  EXPECT_GT(planar_worst, 0.1 * largest);
  // Where the cap does not reach, the factor is e^(kappa d); the cap stays below 500.
  EXPECT_NEAR(precise_inversion_factor(30, 40, d), std::exp(1.0), 1e-4);
  EXPECT_LE(precise_inversion_factor(0, 1e4, d), 500.0);
  EXPECT_EQ(precise_inversion_factor(0, 1e6, d), 0.0);
}

// The windings carry the potential rounded to whole windings; the bias of a line is the integral of that
// rounding along z, taken here by brute force on a fine sampling of the triangles' interpolant.
TEST(PreciseRounding, LineBiasIsTheIntegralOfTheRoundedInterpolant) {
  Matrix p(2, 4);
  const double values[2][4] = {{0.0, 130.0, 2210.0, 2210.0}, {40.0, 990.0, 3500.0, 2209.9}};
  for (std::uint32_t i = 0; i < 2; ++i) std::copy(values[i], values[i] + 4, p[i]);
  const double spacing = 0.01, I = 750.0;
  for (const double t : {0.1, 0.5, 0.93}) {
    double sum = 0;
    const int samples = 3000000;  // each jump of the rounding costs at most I / 2 times a sample
    for (int k = 0; k < samples; ++k) {
      const double s = (k + 0.5) / samples * 3;  // in cells
      const auto j = static_cast<std::uint32_t>(s);
      const double f = s - j;
      // Left of the diagonal (f < t): nodes (0, j), (1, j), (1, j + 1); right of it (0, j), (1, j + 1), (0, j
      // + 1).
      const double psi = f < t ? p[0][j] + t * (p[1][j] - p[0][j]) + f * (p[1][j + 1] - p[1][j])
                               : p[0][j] + f * (p[0][j + 1] - p[0][j]) + t * (p[1][j + 1] - p[0][j + 1]);
      sum += (I * std::nearbyint(psi / I) - psi) * (3 * spacing / samples);
    }
    EXPECT_NEAR(line_rounding_bias(p, 1, t, spacing, I), sum, 3e-5) << t;
  }
}

// The promise's figures, computed here with other samples and rules than magnet/promise.cpp's: 41 points
// across the band, the local index by central differences, the integrals along the path by Simpson's
// rule in z (the arc length of the bent path at x = 0, which the bend keeps).
struct Figures {
  double rms = 0, k_fit = 0, index = 0, spread = 0, k_int = 0;
};

double log_slope(const std::vector<double>& x, const std::vector<double>& f) {
  double sx = 0, sl = 0, sxx = 0, sxl = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double l = std::log(std::fabs(f[i]));
    sx += x[i];
    sl += l;
    sxx += x[i] * x[i];
    sxl += x[i] * l;
  }
  const double n = static_cast<double>(x.size());
  return (n * sxl - sx * sl) / (n * sxx - sx * sx);
}

Figures independent_figures(const Design& design, bool upper) {
  const MagnetSpec& m = design.magnet;
  const double k = m.params.scaling_k, g = m.params.good_field_height,
               J = m.params.vertical_middle_join_height;
  const double sign = upper ? -1 : 1, step = g / 200;
  const auto y_of = [&](double height) { return upper ? J - height : height; };
  const auto field = direct_sum_evaluator(design.windings);
  std::vector<double> x, y, z, height;
  for (int i = 0; i <= 40; ++i) {
    height.push_back(-g + g * i / 40);
    for (int s = -1; s <= 1; ++s) {
      x.push_back(0);
      y.push_back(y_of(height.back() + s * step));
      z.push_back(0);
    }
  }
  const int nz = 201, heights = 5;
  const double reach = 1.0;
  std::vector<double> path_x(nz, 0.0), path_z(nz);
  for (int i = 0; i < nz; ++i) path_z[i] = -reach + 2 * reach * i / (nz - 1);
  if (m.bent) bend_points(m, path_x.data(), path_z.data(), nz);
  for (int r = 0; r < heights; ++r) {
    for (int i = 0; i < nz; ++i) {
      x.push_back(path_x[i]);
      y.push_back(y_of(-g + g * r / (heights - 1)));
      z.push_back(path_z[i]);
    }
  }
  std::vector<double> b(3 * x.size());
  field->field_at_points(x.data(), y.data(), z.data(), x.size(), b.data());
  Figures f;
  std::vector<double> by;
  for (std::size_t i = 0; i < height.size(); ++i) {
    const double centre = b[3 * (3 * i + 1) + 1];
    by.push_back(centre);
    const double deviation = centre / (sign * m.bmax * std::exp(k * height[i])) - 1;
    f.rms += deviation * deviation / static_cast<double>(height.size());
    const double below = b[3 * (3 * i) + 1], above = b[3 * (3 * i + 2) + 1];
    const double index = (std::log(std::fabs(above)) - std::log(std::fabs(below))) / (2 * step);
    f.index = std::max(f.index, std::fabs(index / k - 1));
  }
  f.rms = std::sqrt(f.rms);
  f.k_fit = log_slope(height, by) / k - 1;
  std::vector<double> integral, path_height;
  double shortest = INFINITY, longest = 0;
  for (int r = 0; r < heights; ++r) {
    const std::size_t at = 3 * height.size() + static_cast<std::size_t>(r) * nz;
    double sum = 0;
    for (int i = 0; i < nz; ++i) sum += (i == 0 || i == nz - 1 ? 1 : i % 2 ? 4 : 2) * b[3 * (at + i) + 1];
    sum *= (2 * reach / (nz - 1)) / 3;
    integral.push_back(sum);
    path_height.push_back(-g + g * r / (heights - 1));
    const double length = sum / b[3 * (at + nz / 2) + 1];
    shortest = std::min(shortest, length);
    longest = std::max(longest, length);
  }
  f.spread = longest / shortest - 1;
  f.k_int = log_slope(path_height, integral) / k - 1;
  return f;
}

ParameterSet precise_example() {
  return parameter_set_load(
      (std::filesystem::path(EXPCOIL_TEST_DATA) / ".." / ".." / "examples" / "config_precise.txt").string());
}

// The shipped example's two magnets, straight and bent, designed in the precise mode: their windings meet
// the promise by this test's own figures, and the design reports figures of its own that agree.
TEST(PreciseDesign, StraightAndBentExamplesMeetThePromise) {
  const ParameterSet set = precise_example();
  ASSERT_EQ(set.magnet_count(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    const Design design = design_magnet(set.magnets[i]);
    EXPECT_EQ(design.magnet.bent, i == 1);
    EXPECT_EQ(design.potential.rows(), 258u);  // 0.4 d over the 2.05 m the mesh spans
    ASSERT_EQ(design.promise.size(), 2u);
    const Figures f = independent_figures(design, i == 1);
    SCOPED_TRACE(set.magnets[i].name);
    EXPECT_LT(f.rms, 0.0005);
    EXPECT_LT(std::fabs(f.k_fit), 0.002);
    EXPECT_LT(f.index, 0.02);
    EXPECT_LT(f.spread, 0.003);
    EXPECT_LT(std::fabs(f.k_int), 0.003);
    const BandFigures& own = design.promise[i];
    EXPECT_TRUE(own.meets());
    EXPECT_NEAR(own.rms_deviation, f.rms, 0.2 * f.rms);
    EXPECT_NEAR(own.k_fit_error, f.k_fit, 2e-4);
    // The report's trapezoid over its coarser path against Simpson's rule at 10 mm (which 2.5 mm does not
    // change): a few 1e-4 apart on the ends' figures.
    EXPECT_NEAR(own.effective_length_spread, f.spread, 5e-4);
    EXPECT_NEAR(own.k_int_error, f.k_int, 5e-4);
  }
}

// The value of `key` in config.txt's `text` replaced.
std::string with_line(std::string text, const std::string& key, const std::string& value) {
  const std::size_t at = text.find(key + ": ");
  return text.replace(at, text.find('\n', at) - at, key + ": " + value);
}

std::vector<std::string> problems_of(const std::string& text) {
  const ConfigList list = config_parse(text, ':');
  return check_parameter_set("config.txt", list, parameter_set_read(list));
}

// Every limit of the domain is refused by the configuration's check, before anything is designed, in one
// message each that names the keys and the values that would bring the magnet inside; and so is a mode
// the table does not know.
TEST(PreciseDomain, RefusalsNameTheKeysAndTheValuesThatBringAMagnetInside) {
  std::string text = "Design mode: precise\n" + test::parameter_block() + test::magnet_block("M");
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"Scaling k", "15"},
                                   {"Good field height", "0.1"},
                                   {"Vertical middle join height", "0.1"},
                                   {"Length", "0.3"}}) {
    text = with_line(text, key, value);
  }
  const std::string m = "config.txt: magnet \"M\": ", d = "\"Winding centre to midplane\"";
  const std::vector<std::string> expected = {
      m + "\"Scaling k\" (15 /m) times \"Good field height\" (0.1 m) is 1.5, more than the precise mode's "
          "1.2: "
          "a \"Good field height\" of at most 0.08 m, or a \"Scaling k\" of at most 12 /m, brings it inside",
      m + "\"Length\" (0.3 m) is 15 times " + d +
          " (0.02 m), less than the precise mode's 20: a \"Length\" of "
          "at least 0.4 m, or a " +
          d + " of at most 0.015 m, brings it inside",
      m + "\"Good field height\" (0.1 m) is 5 times " + d +
          " (0.02 m), less than the precise mode's 7.5: a "
          "\"Good field height\" of at least 0.15 m, or a " +
          d + " of at most 0.0133333 m, brings it inside",
      m + "\"Vertical end height\" (0.08 m) is 4 times " + d +
          " (0.02 m), less than the precise mode's 15: a "
          "\"Vertical end height\" of at least 0.3 m, or a " +
          d + " of at most 0.00533333 m, brings it inside",
      m + "\"Vertical middle join height\" (0.1 m) is 5 times " + d +
          " (0.02 m), less than the precise mode's "
          "15: a \"Vertical middle join height\" of at least 0.3 m, or a " +
          d +
          " of at most 0.00666667 m, "
          "brings it inside",
      m +
          "the current per winding, 3000 A (\"Winding current density (A/mm^2)\" times \"Area per winding "
          "(cm^2)\"), makes the winding pitch at the weak edge of the band, mu0 I e^(k g) / |Bmax|, 21.1195 "
          "mm, "
          "more than the precise mode's 0.2 times " +
          d +
          " (4 mm): a current per winding of at most 568.196 A "
          "brings it inside",
  };
  EXPECT_EQ(problems_of(text), expected);
  EXPECT_EQ(problems_of(with_line(with_line(text, "Scaling k", "-1"), "Winding centre to midplane", "0")),
            (std::vector<std::string>{m + "\"Scaling k\" must be positive in the precise mode (it is -1 /m)",
                                      m + d + " must be positive in the precise mode (it is 0 m)"}));
  EXPECT_EQ(
      problems_of(with_line(text, "Design mode", "Precise")),
      std::vector<std::string>{"config.txt: \"Design mode\" must be literal or precise (it is \"Precise\")"});
  // The design refuses what the check refuses, for callers that bypass the check.
  const ParameterSet set = parameter_set_read(config_parse(text, ':'));
  EXPECT_EQ(test::thrown<InputError>([&] {
              design_magnet(set.magnets[0]);
            }).rfind("outside the precise mode's domain: \"Scaling k\" (15 /m)", 0),
            0u);
}

}  // namespace
}  // namespace expcoil
