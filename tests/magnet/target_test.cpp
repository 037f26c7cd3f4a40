#include "magnet/target.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "lib/workers.hpp"
#include "magnet/grid.hpp"

namespace expcoil {
namespace {

// B / mu0 written out from its definition, as an independent check of the constant.
const double kFieldScale = 0.8 / (4e-7 * M_PI);

struct Magnet {
  ParameterSet set;
  MagnetSpec magnet;
  Magnet() {
    set.scaling_k = 2.5;
    set.good_field_height = 0.15;
    set.vertical_end_height = 0.08;
    set.vertical_middle_join_height = 0.35;
    set.vertical_middle_ramp = 0.5;
    set.vertical_end_ramp = 0.5;
    magnet.params = &set;
    magnet.bmax = 0.8;
    magnet.length = 0.8;
    magnet.winding_return_half_length = 0.1;
    magnet.polynomial_adjustment = {0.0};
  }
  double exponential(double d) const { return kFieldScale * std::exp(set.scaling_k * d) / set.scaling_k; }
};

TEST(TargetBuildingBlocks, SoftAbsIsASmoothedScaledAbsoluteValue) {
  // Away from 0: u atan(1e6 u) = (pi/2)|u| - 1e-6 + O(1e-18 / u^2), and the log term is -1e-6 ln|u|.
  for (double u : {1.0, -1.0, 0.37, -2.5e-3, 40.0}) {
    const double expected = M_PI / 2 * std::fabs(u) - 1e-6 - 1e-6 * std::log(std::fabs(u));
    EXPECT_NEAR(soft_abs(u), expected, 1e-12 * std::max(1.0, std::fabs(u))) << u;
    EXPECT_EQ(soft_abs(-u), soft_abs(u)) << u;
  }
  // The rounded corner: -5e-7 ln(1e-12) at 0.
  EXPECT_NEAR(soft_abs(0.0), 6e-6 * std::log(10.0), 1e-18);
}

TEST(TargetBuildingBlocks, PolynomialByHornerMatchesThePowerSum) {
  const CountedArray<double> c = {1.5, -2.0, 3.0, 0.25};
  for (double t : {0.0, 0.5, -1.25, 3.0}) {
    const double expected = 1.5 - 2.0 * t + 3.0 * t * t + 0.25 * t * t * t;
    EXPECT_NEAR(polynomial(c, t), expected, 1e-14 * std::max(1.0, std::fabs(expected))) << t;
  }
  EXPECT_EQ(polynomial({}, 2.0), 0.0);
  EXPECT_EQ(polynomial({7.0}, 123.0), 7.0);
}

TEST(TargetBuildingBlocks, AperturePotentialAddsThePolynomialToTheExponential) {
  Magnet m;
  for (double d : {-0.075, 0.0, 0.05, 0.2}) {
    EXPECT_NEAR(aperture_potential(m.magnet, d), m.exponential(d), 1e-14 * m.exponential(d)) << d;
  }
  // A single coefficient adds that constant to e^(k d) everywhere.
  m.magnet.polynomial_adjustment = {0.3};
  EXPECT_NEAR(aperture_potential(m.magnet, 0.05), m.exponential(0.05) + kFieldScale * 0.3 / 2.5, 1e-9);
  // (0, 1) adds the normalised height: 0 at d = -g/2, 1 at d = +g/2.
  m.magnet.polynomial_adjustment = {0.0, 1.0};
  EXPECT_NEAR(aperture_potential(m.magnet, -0.075), m.exponential(-0.075), 1e-9);
  EXPECT_NEAR(aperture_potential(m.magnet, 0.075), m.exponential(0.075) + kFieldScale / 2.5, 1e-9);
}

TEST(TargetBuildingBlocks, TanhStepRunsFromNothingToTheFullTerm) {
  EXPECT_EQ(tanh_step(0.0, 0.5, 0.3, 10.0), 0.0);
  EXPECT_EQ(tanh_step(-4.0, 0.5, 0.3, 10.0), 0.0);
  EXPECT_EQ(tanh_step(1.0, 0.5, 0.3, 10.0), 10.0);
  EXPECT_EQ(tanh_step(7.0, 0.5, 0.3, 10.0), 10.0);
  // Midpoint weight (1 + tanh a) / 2; at x = 1/4 with r = 1, tan(-pi/4) = -1.
  EXPECT_NEAR(tanh_step(0.5, 0.5, 0.3, 10.0), 5.0 * (1.0 + std::tanh(0.3)), 1e-13);
  EXPECT_NEAR(tanh_step(0.25, 1.0, 0.0, 10.0), 5.0 * (1.0 + std::tanh(-1.0)), 1e-13);
  // Without asymmetry the two halves of the step add up to the term.
  for (double x : {0.1, 0.3, 0.45, 0.8}) {
    EXPECT_NEAR(tanh_step(x, 0.7, 0.0, 4.0) + tanh_step(1.0 - x, 0.7, 0.0, 4.0), 4.0, 1e-13) << x;
  }
}

TEST(TargetVerticalProfile, ApertureRegionsEndsAndSymmetry) {
  Magnet m;
  const double g = 0.15, e = 0.08, J = 0.35;
  // The full exponential in both apertures, mirrored about J / 2.
  for (double d : {-0.15, -0.1, -0.02, 0.0}) {
    EXPECT_NEAR(vertical_profile(m.magnet, d), m.exponential(d), 1e-12 * m.exponential(d)) << d;
    EXPECT_NEAR(vertical_profile(m.magnet, J - d), m.exponential(d), 1e-12 * m.exponential(d)) << d;
  }
  // Exactly zero beyond the faded ends, and in between a value between 0 and the full one.
  for (double y : {-(g + e) - 1e-9, -0.5, -40.0, J + g + e + 1e-9, 3.0, 40.0}) {
    EXPECT_EQ(vertical_profile(m.magnet, y), 0.0) << y;
  }
  const double fading = vertical_profile(m.magnet, -(g + 0.5 * e));
  EXPECT_GT(fading, 0.0);
  EXPECT_LT(fading, m.exponential(-(g + 0.5 * e)));
  // V(J - y) = V(y) everywhere, up to the rounding of J - y.
  for (double y = -0.3; y < J + 0.3; y += 0.0137) {
    const double v = vertical_profile(m.magnet, y);
    EXPECT_NEAR(vertical_profile(m.magnet, J - y), v, 1e-12 * std::max(1.0, std::fabs(v))) << y;
  }
}

TEST(TargetVerticalProfile, MiddleBlendJoinsTheEndsOrJumpsWithoutRamp) {
  Magnet m;
  const double J = 0.35;
  // Without asymmetry both apertures weigh one half at J / 2, where their terms are equal.
  EXPECT_NEAR(vertical_profile(m.magnet, J / 2), m.exponential(J / 2), 1e-12 * m.exponential(J / 2));
  // With a ramp the middle branch joins the end branches continuously.
  EXPECT_NEAR(vertical_profile(m.magnet, 1e-9), m.exponential(0.0), 1e-6 * m.exponential(0.0));
  EXPECT_NEAR(vertical_profile(m.magnet, J - 1e-9), m.exponential(0.0), 1e-6 * m.exponential(0.0));
  // Without a ramp both weights are (1 + tanh a) / 2 and the profile jumps at y = 0.
  m.set.vertical_middle_ramp = 0.0;
  m.set.vertical_middle_asymmetry = 0.4;
  const double w = 0.5 * (1.0 + std::tanh(0.4));
  const double just_inside = w * (m.exponential(1e-9) + m.exponential(J - 1e-9));
  EXPECT_NEAR(vertical_profile(m.magnet, 1e-9), just_inside, 1e-12 * just_inside);
  EXPECT_GT(std::fabs(vertical_profile(m.magnet, 1e-9) - vertical_profile(m.magnet, 0.0)), 0.1 * just_inside);
}

TEST(TargetVerticalProfile, NoJoinHeightLeavesOneSymmetricAperture) {
  Magnet m;
  m.set.vertical_middle_join_height = 0.0;
  for (double y : {0.01, 0.1, 0.2, 0.3}) {
    EXPECT_NEAR(vertical_profile(m.magnet, y), vertical_profile(m.magnet, -y),
                1e-12 * std::fabs(vertical_profile(m.magnet, -y)) + 1e-300)
        << y;
  }
}

// Z(z) without the micrometre smoothing.
double ramp_reference(double z, double L, double h) {
  auto clamp = [](double t) { return std::clamp(t, -1.0, 1.0); };
  return 0.5 * (clamp((z + 0.5 * L) / h) + clamp((0.5 * L - z) / h));
}

TEST(TargetPotential, LongitudinalProfileIsAFlatTopWithLinearEnds) {
  Magnet m;
  const double y = 0.05;
  const double V = vertical_profile(m.magnet, y);
  for (double z = -0.7; z <= 0.7; z += 0.0123) {
    double psi = 0.0, mirrored = 0.0;
    target_potential(y, z, &psi, m.magnet);
    target_potential(y, -z, &mirrored, m.magnet);
    EXPECT_NEAR(psi / V, ramp_reference(z, 0.8, 0.1), 1e-4) << z;
    EXPECT_NEAR(mirrored, psi, 1e-12 * std::fabs(V)) << z;
  }
  double psi_end = 0.0;
  target_potential(y, 0.4, &psi_end, m.magnet);
  EXPECT_NEAR(psi_end / V, 0.5, 1e-4);
  // Zero above and below the winding region, whatever z.
  double outside = 1.0;
  target_potential(0.35 + 0.15 + 0.08 + 0.01, 0.0, &outside, m.magnet);
  EXPECT_EQ(outside, 0.0);
}

TEST(TargetPotential, ReturnWiderThanHalfTheLengthKeepsThePlateauBelowOne) {
  Magnet m;
  m.magnet.winding_return_half_length = 0.6;  // h > L / 2: peak L / (2 h) = 2/3
  const double V = vertical_profile(m.magnet, 0.0);
  double centre = 0.0;
  target_potential(0.0, 0.0, &centre, m.magnet);
  EXPECT_NEAR(centre / V, 0.8 / 1.2, 1e-5);
}

TEST(TargetPotential, SeparableSamplingGivesTheSameBitsAsPointByPoint) {
  Magnet m;
  m.magnet.polynomial_adjustment = {0.1, -0.2, 0.05};
  // A grid reaching past every end, with steps that are not exact in binary.
  Matrix each(45, 38);
  grid_evaluate(
      each, [&m](double y, double z, double* out) { target_potential(y, z, out, m.magnet); }, -0.41, -0.93,
      0.0291, 0.0517);
  for (unsigned workers : {1u, 2u, 3u, 7u}) {
    set_processor_count(workers);
    Matrix sampled(45, 38);
    sample_target(sampled, m.magnet, -0.41, -0.93, 0.0291, 0.0517);
    set_processor_count(0);
    EXPECT_EQ(std::memcmp(sampled.data(), each.data(), each.size() * sizeof(double)), 0) << workers;
  }
}

}  // namespace
}  // namespace expcoil
