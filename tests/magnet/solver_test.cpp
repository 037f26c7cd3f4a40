// The current-potential chain: mesh placement, grid evaluation, the target potential and the solver.
#include "magnet/solver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "lib/errors.hpp"
#include "magnet/grid.hpp"
#include "magnet/mesh.hpp"
#include "magnet/target.hpp"

namespace expcoil {
namespace {

// g = 0.15 m, e = 0.08 m, J = 0.35 m, k = 2.5 / m, ramps 0.5; L = 0.8 m, B = 0.8 T, h = 0.1 m, d = 0.02 m.
struct Magnet {
  MagnetSpec magnet;
  Parameters& set = magnet.params;
  explicit Magnet(std::int32_t coil = 16, std::int32_t fft = 64, bool inversion = true) {
    set.scaling_k = 2.5, set.good_field_height = 0.15, set.vertical_end_height = 0.08;
    set.vertical_middle_join_height = 0.35, set.vertical_middle_ramp = set.vertical_end_ramp = 0.5;
    set.coil_meshes[0] = set.coil_meshes[1] = coil, set.fft_meshes[0] = set.fft_meshes[1] = fft;
    set.use_vertical_fft_inversion = inversion;
    magnet.bmax = magnet.length = 0.8, magnet.winding_return_half_length = 0.1;
    magnet.winding_centre_to_midplane = 0.02, magnet.polynomial_adjustment = {0.0};
  }
  // B e^(k d) / (mu0 k), mu0 written out from its definition.
  double exponential(double d) const { return 0.8 / (4e-7 * M_PI) * std::exp(2.5 * d) / 2.5; }
};

TEST(Mesh, TheLargerSpacingWinsAndTheMeshIsCentred) {
  // length, good-field, end and join heights, rows, columns; spacing, origin y, origin z.
  const double cases[][9] = {{2.0, 0.1, 0.05, 0.3, 65, 65, 0.05078125, -1.475, -1.625},  // 3.25 / 64 in z
                             {0.0, 1.0, 0.5, 2.0, 11, 6, 0.5, -1.5, -1.25}};             // 5 / 10 in y
  for (const auto& c : cases) {
    Magnet m;
    m.magnet.length = c[0], m.set.good_field_height = c[1], m.set.vertical_end_height = c[2];
    m.set.vertical_middle_join_height = c[3];
    const MeshGeometry g = mesh_geometry(m.magnet, std::int32_t(c[4]), std::int32_t(c[5]));
    EXPECT_EQ((std::array{g.spacing, g.origin[0], g.origin[1], g.origin[2]}),
              (std::array{c[6], 0.0, c[7], c[8]}));
  }
}

TEST(GridEvaluate, EveryElementOnceAtItsOwnCoordinatesOnAnyWorkerCount) {
  for (unsigned workers : {1u, 2u, 3u, 7u}) {  // 3 x 5 elements: worker ranges end mid-row
    Matrix m(3, 5);
    std::fill(m.data(), m.data() + m.size(), 0.0);
    std::atomic<unsigned> calls{0};
    const auto f = [&calls](double x0, double x1, double* out) { ++calls, *out = x0 * 1000 + x1; };
    grid_evaluate(m, f, -1.0, 2.0, 0.5, 0.25, workers);
    EXPECT_EQ(calls.load(), 15u);
    for (std::uint32_t i = 0; i < 15; ++i)  // exact in binary
      ASSERT_EQ(m.data()[i], (-1.0 + 0.5 * (i / 5)) * 1000 + (2.0 + 0.25 * (i % 5))) << workers;
  }
}

TEST(Target, ProfilesSymmetriesAndPolynomialAdjustment) {
  Magnet m;
  const double g = 0.15, e = 0.08, J = 0.35;
  const auto V = [&m](double y) { return vertical_profile(m.magnet, y); };
  // The full exponential in the aperture and half of each at J/2; exactly 0 beyond the ends.
  for (double d : {-0.15, -0.02, 0.0, J / 2})
    EXPECT_NEAR(V(d), m.exponential(d), 1e-12 * m.exponential(d)) << d;
  for (double y : {-(g + e) - 1e-9, -40.0, J + g + e + 1e-9, 40.0}) EXPECT_EQ(V(y), 0.0) << y;
  for (double y = -0.3; y < J + 0.3; y += 0.0137) EXPECT_NEAR(V(J - y), V(y), 1e-12 * m.exponential(0)) << y;
  // With ramps the middle joins the end branches continuously.
  for (double y : {0.0, J}) EXPECT_NEAR(V(y + 1e-10), V(y - 1e-10), 1e-8 * m.exponential(0)) << y;
  // psi(y, z) = V(y) Z(z), Z flat along the body and linear over +-h about the ends, psi(y, -z) = psi(y, z).
  const double v = V(0.05);
  for (double z = -0.7; z <= 0.7; z += 0.0123) {
    // Z without the micrometre rounding: (clamp((z + L/2)/h) + clamp((L/2 - z)/h)) / 2.
    const double Z = 0.5 * (std::clamp((z + 0.4) / 0.1, -1.0, 1.0) + std::clamp((0.4 - z) / 0.1, -1.0, 1.0));
    double psi = 0.0, mirrored = 0.0;
    target_potential(0.05, z, &psi, m.magnet);
    target_potential(0.05, -z, &mirrored, m.magnet);
    EXPECT_NEAR(psi / v, Z, 1e-4) << z;
    EXPECT_NEAR(mirrored, psi, 1e-12 * v) << z;
  }
  m.magnet.polynomial_adjustment = {0.0, 1.0};  // adds (g/2 + d)/g: 0 at d = -g/2, 1 at d = +g/2
  EXPECT_NEAR(aperture_potential(m.magnet, -0.075), m.exponential(-0.075), 1e-9);
  EXPECT_NEAR(aperture_potential(m.magnet, 0.075), m.exponential(0.075) + 0.8 / (4e-7 * M_PI) / 2.5, 1e-9);
  EXPECT_NEAR(polynomial({1.5, -2.0, 3.0, 0.25}, -1.25), 1.5 + 2.5 + 3.0 * 1.5625 - 0.25 * 1.953125, 1e-14);
  // The building blocks the fixture leaves at their plainest: the rounding of |u| at 0, -5e-7 ln(1e-12), and
  // a step's steepness and asymmetry (tan(-pi/4) = -1).
  EXPECT_NEAR(soft_abs(0.0), 6e-6 * std::log(10.0), 1e-18);
  EXPECT_NEAR(tanh_step(0.25, 2.0, 0.3, 10.0), 5.0 * (1.0 + std::tanh(-2.0 + 0.3)), 1e-13);
}

TEST(InversionKernel, GainPerRowFrequency) {
  Magnet m, off(16, 64, false);
  const auto at = [](const Magnet& m, double row) {
    double out = 0.0;
    inversion_kernel(row, 17.0, &out, KernelContext{0.1, &m.magnet});
    return out;
  };
  // N = 64, step 0.1 m, d = 0.2 m: kappa = 2 pi f / 6.4 per metre for row frequency f; the gain is
  // e^(d |kappa|) / (1 + 1e-6 e^(2 d |kappa|)).
  m.magnet.winding_centre_to_midplane = 0.2;
  EXPECT_EQ(at(m, 0.0), 0.9999990000010001);
  const double rows[] = {1, 63, 31, 33, 32}, gains[] = {1.21695040323735, 1.21695040323735, 368.647909548002,
                                                        368.647909548002, 416.157846553443};
  for (int k = 0; k < 5; ++k) EXPECT_NEAR(at(m, rows[k]), gains[k], 1e-12 * gains[k]) << rows[k];
  // Without distance, or switched off, every row passes 1/(1 + 1e-6) to the last bit.
  m.magnet.winding_centre_to_midplane = 0.0;
  for (int r = 0; r < 64; ++r) EXPECT_TRUE(at(m, r) == 0.9999990000010001 && at(off, r) == at(m, r)) << r;
}

// The chain by definition, on the enlarged FFT grid (twice the extent of the winding region's mesh,
// centred on y = J/2, z = 0). psi = V(y) Z(z) and the gain depends on the row frequency alone, so the 2-D
// transform, gain and inverse act on V alone: a plain DFT, the gain, the plain inverse, written as one sum
// (the gain is even in the frequency). Then bilinear interpolation at the coil-mesh points, 0 on the border.
std::vector<double> reference_potential(const Magnet& m, int coil, int fft, bool inversion) {
  const double step = 2 * 2.05 / (fft - 1);  // 0.8 m long + 2 x 0.625 m beats 0.81 m high
  const double y0 = 0.175 - step * (fft - 1) / 2, z0 = -step * (fft - 1) / 2, spacing = 2.05 / (coil - 1);
  std::vector<long double> filtered(fft);
  for (int r = 0; r < fft; ++r)
    for (int s = 0; s < fft; ++s)
      for (int k = 0; k < fft; ++k) {
        const long double e =
            std::exp(0.02L * 2 * M_PIl * std::abs(k < fft / 2 ? k : k - fft) / (step * fft));
        const long double gain = inversion ? e / (1 + (e / 1000) * (e / 1000)) : 1 / (1 + 1e-6L);
        filtered[r] +=
            vertical_factor(m.magnet, y0 + s * step) * gain * std::cos(2 * M_PIl * k * (r - s) / fft) / fft;
      }
  // f linearly interpolated at the fractional index t.
  const auto lerp = [](const auto& f, double t) {
    return (1 - (t - int(t))) * f(int(t)) + (t - int(t)) * f(int(t) + 1);
  };
  std::vector<double> out(coil * coil, 0.0);
  for (int i = 1; i < coil - 1; ++i)
    for (int j = 1; j < coil - 1; ++j)
      out[i * coil + j] = lerp([&](int r) { return double(filtered[r]); },
                               (0.175 + (i - (coil - 1) / 2.0) * spacing - y0) / step) *
                          lerp([&](int c) { return longitudinal_factor(m.magnet, z0 + c * step); },
                               ((j - (coil - 1) / 2.0) * spacing - z0) / step);
  return out;
}

TEST(CurrentPotential, MatchesTheChainByDefinitionSymmetricOnAnyWorkerCount) {
  for (bool inversion : {false, true}) {
    Magnet m(10, 16, inversion);
    const Matrix got = compute_current_potential(m.magnet, 1);
    ASSERT_TRUE(got.rows() == 10 && got.columns() == 10);
    const std::vector<double> want = reference_potential(m, 10, 16, inversion);
    const double scale = *std::max_element(want.begin(), want.end());
    EXPECT_GT(scale, 1e4);  // amperes: B/(mu0 k) is about 2.5e5
    for (std::uint32_t n = 0; n < 100; ++n) {
      const std::uint32_t i = n / 10, j = n % 10;
      // Exactly 0 on the border.
      EXPECT_TRUE(std::fabs(got[i][j] - want[n]) < 1e-11 * scale && (want[n] != 0 || got[i][j] == 0)) << n;
      EXPECT_TRUE(std::fabs(got[9 - i][j] - got[i][j]) + std::fabs(got[i][9 - j] - got[i][j]) < 1e-9 * scale)
          << n;
    }
    for (unsigned workers : {2u, 3u, 7u}) {
      const Matrix many = compute_current_potential(m.magnet, workers);
      EXPECT_EQ(std::memcmp(many.data(), got.data(), got.size() * sizeof(double)), 0)
          << workers << " workers";
    }
    // e^(k d) beyond double range a few centimetres into an aperture: an error, not NaN windings.
    m.set.scaling_k = 5000.0;
    EXPECT_THROW(compute_current_potential(m.magnet), InputError);
  }
}

}  // namespace
}  // namespace expcoil
