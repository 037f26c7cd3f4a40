#include "magnet/target.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "lib/workers.hpp"
#include "magnet/grid.hpp"

namespace expcoil {
namespace {

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
  // B e^(k d) / (mu0 k), mu0 written out from its definition.
  double exponential(double d) const { return 0.8 / (4e-7 * M_PI) * std::exp(2.5 * d) / 2.5; }
};

TEST(TargetBuildingBlocks, SoftAbsPolynomialApertureAndStep) {
  // Away from 0, u atan(1e6 u) = (pi/2)|u| - 1e-6 + O(1e-18/u^2) and the log term is -1e-6 ln|u|.
  for (double u : {1.0, -0.37, 2.5e-3, 40.0}) {
    const double want = M_PI / 2 * std::fabs(u) - 1e-6 - 1e-6 * std::log(std::fabs(u));
    EXPECT_NEAR(soft_abs(u), want, 1e-12 * std::max(1.0, std::fabs(u))) << u;
    EXPECT_EQ(soft_abs(-u), soft_abs(u)) << u;
  }
  EXPECT_NEAR(soft_abs(0.0), 6e-6 * std::log(10.0), 1e-18);  // -5e-7 ln(1e-12)

  EXPECT_NEAR(polynomial({1.5, -2.0, 3.0, 0.25}, -1.25), 1.5 + 2.5 + 3.0 * 1.5625 - 0.25 * 1.953125, 1e-14);
  EXPECT_EQ(polynomial({}, 2.0), 0.0);

  Magnet m;
  EXPECT_NEAR(aperture_potential(m.magnet, 0.05), m.exponential(0.05), 1e-14 * m.exponential(0.05));
  m.magnet.polynomial_adjustment = {0.0, 1.0};  // adds (g/2 + d)/g: 0 at d = -g/2, 1 at d = +g/2
  EXPECT_NEAR(aperture_potential(m.magnet, -0.075), m.exponential(-0.075), 1e-9);
  EXPECT_NEAR(aperture_potential(m.magnet, 0.075), m.exponential(0.075) + 0.8 / (4e-7 * M_PI) / 2.5, 1e-9);

  EXPECT_EQ(tanh_step(0.0, 0.5, 0.3, 10.0), 0.0);
  EXPECT_EQ(tanh_step(1.0, 0.5, 0.3, 10.0), 10.0);
  EXPECT_NEAR(tanh_step(0.5, 0.5, 0.3, 10.0), 5.0 * (1.0 + std::tanh(0.3)), 1e-13);
  EXPECT_NEAR(tanh_step(0.25, 1.0, 0.0, 10.0), 5.0 * (1.0 + std::tanh(-1.0)), 1e-13);  // tan(-pi/4) = -1
}

TEST(TargetVerticalProfile, AperturesEndsMiddleAndSymmetry) {
  Magnet m;
  const double g = 0.15, e = 0.08, J = 0.35;
  for (double d : {-0.15, -0.02, 0.0}) {  // the full exponential in both apertures
    EXPECT_NEAR(vertical_profile(m.magnet, d), m.exponential(d), 1e-12 * m.exponential(d)) << d;
    EXPECT_NEAR(vertical_profile(m.magnet, J - d), m.exponential(d), 1e-12 * m.exponential(d)) << d;
  }
  for (double y : {-(g + e) - 1e-9, -40.0, J + g + e + 1e-9, 40.0}) {  // exactly 0 beyond the ends
    EXPECT_EQ(vertical_profile(m.magnet, y), 0.0) << y;
  }
  for (double y = -0.3; y < J + 0.3; y += 0.0137) {
    const double v = vertical_profile(m.magnet, y);
    EXPECT_NEAR(vertical_profile(m.magnet, J - y), v, 1e-12 * std::max(1.0, std::fabs(v))) << y;
  }
  // The middle blend: each aperture weighs one half at J/2, and with a ramp the middle branch joins
  // the end branches continuously; without one, both weigh (1 + tanh a)/2 and the profile jumps.
  EXPECT_NEAR(vertical_profile(m.magnet, J / 2), m.exponential(J / 2), 1e-12 * m.exponential(J / 2));
  EXPECT_NEAR(vertical_profile(m.magnet, 1e-9), m.exponential(0.0), 1e-6 * m.exponential(0.0));
  m.set.vertical_middle_ramp = 0.0;
  m.set.vertical_middle_asymmetry = 0.4;
  const double jump = 0.5 * (1.0 + std::tanh(0.4)) * (m.exponential(1e-9) + m.exponential(J - 1e-9));
  EXPECT_NEAR(vertical_profile(m.magnet, 1e-9), jump, 1e-12 * jump);
  // No join height: one aperture, symmetric about y = 0.
  m.set.vertical_middle_join_height = 0.0;
  for (double y : {0.01, 0.1, 0.2}) {
    EXPECT_NEAR(vertical_profile(m.magnet, y), vertical_profile(m.magnet, -y), 1e-9) << y;
  }
}

TEST(TargetPotential, FlatTopWithLinearEndsAndSeparableSampling) {
  Magnet m;
  const double V = vertical_profile(m.magnet, 0.05);
  for (double z = -0.7; z <= 0.7; z += 0.0123) {
    // Z without the micrometre smoothing: (clamp((z + L/2)/h) + clamp((L/2 - z)/h)) / 2.
    const double Z = 0.5 * (std::clamp((z + 0.4) / 0.1, -1.0, 1.0) + std::clamp((0.4 - z) / 0.1, -1.0, 1.0));
    double psi = 0.0, mirrored = 0.0;
    target_potential(0.05, z, &psi, m.magnet);
    target_potential(0.05, -z, &mirrored, m.magnet);
    EXPECT_NEAR(psi / V, Z, 1e-4) << z;
    EXPECT_NEAR(mirrored, psi, 1e-12 * V) << z;
  }
  m.magnet.winding_return_half_length = 0.6;  // h > L/2: the plateau peaks at L/(2h) = 2/3
  double centre = 0.0;
  target_potential(0.0, 0.0, &centre, m.magnet);
  EXPECT_NEAR(centre / vertical_profile(m.magnet, 0.0), 0.8 / 1.2, 1e-5);

  // Factor by factor, the grid gets the bits of evaluating psi point by point.
  m.magnet.polynomial_adjustment = {0.1, -0.2, 0.05};
  Matrix each(45, 38);
  grid_evaluate(
      each, [&m](double y, double z, double* out) { target_potential(y, z, out, m.magnet); }, -0.41, -0.93,
      0.0291, 0.0517);
  for (unsigned workers : {1u, 3u}) {
    set_processor_count(workers);
    Matrix sampled(45, 38);
    sample_target(sampled, m.magnet, -0.41, -0.93, 0.0291, 0.0517);
    set_processor_count(0);
    EXPECT_EQ(std::memcmp(sampled.data(), each.data(), each.size() * sizeof(double)), 0) << workers;
  }
}

}  // namespace
}  // namespace expcoil
