#include "magnet/solver.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/workers.hpp"
#include "magnet/target.hpp"

namespace expcoil {
namespace {

struct Magnet {
  ParameterSet set;
  MagnetSpec magnet;
  Magnet(std::int32_t coil, std::int32_t fft, bool inversion) {
    set.scaling_k = 2.5;
    set.good_field_height = 0.15;
    set.vertical_end_height = 0.08;
    set.vertical_middle_join_height = 0.35;
    set.vertical_middle_ramp = 0.5;
    set.vertical_end_ramp = 0.5;
    set.coil_meshes[0] = set.coil_meshes[1] = coil;
    set.fft_meshes[0] = set.fft_meshes[1] = fft;
    set.use_vertical_fft_inversion = inversion ? 1 : 0;
    magnet.params = &set;
    magnet.bmax = 0.8;
    magnet.length = 0.8;
    magnet.winding_centre_to_midplane = 0.02;
    magnet.winding_return_half_length = 0.1;
    magnet.polynomial_adjustment = {0.0};
  }
};

double kernel_at(const Magnet& m, double step, double row, double column = 0.0) {
  double out = 0.0;
  inversion_kernel(row, column, &out, KernelContext{step, &m.magnet});
  return out;
}

TEST(InversionKernel, ValuesPerRowFrequency) {
  Magnet m(16, 64, true);
  m.magnet.winding_centre_to_midplane = 0.2;
  // N = 64, step 0.1 m, d = 0.2 m: kappa = 2 pi f / 6.4 per metre.
  EXPECT_EQ(kernel_at(m, 0.1, 0.0), 0.9999990000010001);
  EXPECT_NEAR(kernel_at(m, 0.1, 1.0), 1.21695040323735, 1e-12);
  EXPECT_NEAR(kernel_at(m, 0.1, 63.0), 1.21695040323735, 1e-12);
  EXPECT_NEAR(kernel_at(m, 0.1, 31.0), 368.647909548002, 1e-9);
  EXPECT_NEAR(kernel_at(m, 0.1, 33.0), 368.647909548002, 1e-9);
  EXPECT_NEAR(kernel_at(m, 0.1, 32.0), 416.157846553443, 1e-9);  // f = -32
  // The same along a row.
  for (double column : {1.0, 17.0, 63.0}) EXPECT_EQ(kernel_at(m, 0.1, 5.0, column), kernel_at(m, 0.1, 5.0));
  // The gain peaks at 500 where e^(d |kappa|) = 1000 (f = 28 comes close with d = 0.25 m) and falls
  // off beyond.
  m.magnet.winding_centre_to_midplane = 0.25;
  double peak = 0.0;
  for (int r = 0; r < 64; ++r) peak = std::max(peak, kernel_at(m, 0.1, r));
  EXPECT_LE(peak, 500.0 + 1e-9);
  EXPECT_GT(peak, 499.0);
  EXPECT_LT(kernel_at(m, 0.1, 32.0), 0.9 * peak);
}

TEST(InversionKernel, NoDistanceOrSwitchedOffPassesThrough) {
  Magnet on(16, 64, true), off(16, 64, false);
  on.magnet.winding_centre_to_midplane = 0.0;
  off.magnet.winding_centre_to_midplane = 0.2;
  for (int r = 0; r < 64; ++r) {
    EXPECT_EQ(kernel_at(on, 0.1, r), 0.9999990000010001) << r;
    EXPECT_EQ(kernel_at(off, 0.1, r), 0.9999990000010001) << r;
  }
}

// The target sampled at the enlarged FFT grid, computed here from the mesh's own description: the
// FFT mesh spans the winding region at the larger of the two required spacings; enlarged, it has
// twice that spacing and is centred on the region's centre (y = J/2, z = 0).
struct FftGrid {
  double step, origin_y, origin_z;
};
FftGrid fft_grid(int points) {
  const double H = 0.08 + 0.15, J = 0.35;
  const double spacing = std::max((J + 2 * H) / (points - 1), (0.8 + 1.25) / (points - 1));
  const double step = 2 * spacing;
  return {step, J / 2 - step * (points - 1) / 2, -step * (points - 1) / 2};
}

using Cplx = std::complex<long double>;
using Field = std::vector<std::vector<Cplx>>;

// Plain 2-D DFT with the transform's sign convention.
Field dft2(const Field& x, bool inverse) {
  const std::size_t R = x.size(), C = x[0].size();
  const long double sign = inverse ? -1.0L : 1.0L;
  Field X(R, std::vector<Cplx>(C));
  for (std::size_t k1 = 0; k1 < R; ++k1) {
    for (std::size_t k2 = 0; k2 < C; ++k2) {
      Cplx sum = 0;
      for (std::size_t m1 = 0; m1 < R; ++m1) {
        for (std::size_t m2 = 0; m2 < C; ++m2) {
          const long double a =
              sign * 2.0L * M_PIl *
              (static_cast<long double>(m1 * k1 % R) / R + static_cast<long double>(m2 * k2 % C) / C);
          sum += x[m1][m2] * Cplx(std::cos(a), std::sin(a));
        }
      }
      X[k1][k2] = inverse ? sum / static_cast<long double>(R * C) : sum;
    }
  }
  return X;
}

// The whole chain without FFT: sample, transform by the definition, weight each row frequency by
// e^(d |kappa|) / (1 + (e^(d |kappa|) / 1000)^2), transform back and interpolate linearly onto the
// coil mesh (whose points are placed from the same description as the FFT grid).
std::vector<std::vector<double>> reference_potential(const Magnet& m, int coil, int fft, bool inversion) {
  const FftGrid g = fft_grid(fft);
  Field x(fft, std::vector<Cplx>(fft));
  for (int r = 0; r < fft; ++r) {
    for (int c = 0; c < fft; ++c) {
      double v = 0.0;
      target_potential(g.origin_y + r * g.step, g.origin_z + c * g.step, &v, m.magnet);
      x[r][c] = v;
    }
  }
  Field X = dft2(x, false);
  for (int r = 0; r < fft; ++r) {
    const int f = r < fft / 2 ? r : r - fft;
    const long double kappa = 2.0L * M_PIl * f / (g.step * fft);
    const long double e = std::exp(0.02L * std::fabs(kappa));
    const long double factor = inversion ? e / (1 + (e / 1000) * (e / 1000)) : 1 / (1 + 1e-6L);
    for (Cplx& v : X[r]) v *= factor;
  }
  const Field back = dft2(X, true);
  const double coil_spacing = std::max(0.81 / (coil - 1), 2.05 / (coil - 1));
  std::vector<std::vector<double>> out(coil, std::vector<double>(coil, 0.0));
  for (int i = 1; i < coil - 1; ++i) {
    for (int j = 1; j < coil - 1; ++j) {
      const double y = 0.175 + (i - (coil - 1) / 2.0) * coil_spacing;
      const double z = (j - (coil - 1) / 2.0) * coil_spacing;
      const double v = (y - g.origin_y) / g.step, u = (z - g.origin_z) / g.step;
      const int a = static_cast<int>(std::floor(v)), b = static_cast<int>(std::floor(u));
      const double fa = v - a, fb = u - b;
      out[i][j] = static_cast<double>(
          (1 - fa) * (1 - fb) * back[a][b].real() + (1 - fa) * fb * back[a][b + 1].real() +
          fa * (1 - fb) * back[a + 1][b].real() + fa * fb * back[a + 1][b + 1].real());
    }
  }
  return out;
}

double max_abs(const Matrix& m) {
  double peak = 0.0;
  for (std::size_t i = 0; i < m.size(); ++i) peak = std::max(peak, std::fabs(m.data()[i]));
  return peak;
}

TEST(CurrentPotential, MatchesTheChainComputedByDefinition) {
  for (bool inversion : {false, true}) {
    Magnet m(10, 16, inversion);
    const Matrix got = compute_current_potential(m.magnet);
    ASSERT_EQ(got.rows(), 10u);
    ASSERT_EQ(got.columns(), 10u);
    const auto want = reference_potential(m, 10, 16, inversion);
    const double scale = max_abs(got);
    EXPECT_GT(scale, 1e4);  // amperes: B/mu0/k is about 2.5e5
    for (int i = 0; i < 10; ++i) {
      for (int j = 0; j < 10; ++j) {
        EXPECT_NEAR(got[i][j], want[i][j], 1e-11 * scale) << i << "," << j << " inversion " << inversion;
      }
    }
  }
}

TEST(CurrentPotential, SwitchedOffItIsTheInterpolatedTargetWithAZeroBorder) {
  // Coil and FFT meshes both 64: coil row i falls on FFT row 15.75 + i/2, fractions 0.75 and 0.25.
  Magnet m(64, 64, false);
  const Matrix got = compute_current_potential(m.magnet);
  const FftGrid g = fft_grid(64);
  auto psi = [&](double r, double c) {
    double v = 0.0;
    target_potential(g.origin_y + r * g.step, g.origin_z + c * g.step, &v, m.magnet);
    return v;
  };
  const double scale = max_abs(got);
  for (int i = 0; i < 64; ++i) {
    for (int j = 0; j < 64; ++j) {
      if (i == 0 || j == 0 || i == 63 || j == 63) {
        ASSERT_EQ(got[i][j], 0.0) << i << "," << j;
        continue;
      }
      const int a = 15 + (i + 1) / 2, b = 15 + (j + 1) / 2;
      const double fa = i % 2 == 0 ? 0.75 : 0.25, fb = j % 2 == 0 ? 0.75 : 0.25;
      const double want = 0.9999990000010001 * ((1 - fa) * ((1 - fb) * psi(a, b) + fb * psi(a, b + 1)) +
                                                fa * ((1 - fb) * psi(a + 1, b) + fb * psi(a + 1, b + 1)));
      ASSERT_NEAR(got[i][j], want, 1e-12 * scale) << i << "," << j;
    }
  }
}

TEST(CurrentPotential, SymmetricAndIndependentOfTheWorkerCount) {
  Magnet m(33, 64, true);
  set_processor_count(1);
  const Matrix one = compute_current_potential(m.magnet);
  const double scale = max_abs(one);
  for (int i = 0; i < 33; ++i) {
    for (int j = 0; j < 33; ++j) {
      ASSERT_NEAR(one[32 - i][32 - j], one[i][j], 1e-9 * scale) << i << "," << j;
      ASSERT_NEAR(one[i][32 - j], one[i][j], 1e-9 * scale) << i << "," << j;
    }
  }
  for (unsigned workers : {2u, 3u, 7u}) {
    set_processor_count(workers);
    const Matrix many = compute_current_potential(m.magnet);
    EXPECT_EQ(std::memcmp(many.data(), one.data(), one.size() * sizeof(double)), 0) << workers << " workers";
  }
  set_processor_count(0);
}

TEST(CurrentPotential, TwoPointCoilMeshIsAllBorder) {
  Magnet m(2, 16, true);
  const Matrix got = compute_current_potential(m.magnet);
  ASSERT_EQ(got.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(got.data()[i], 0.0);
}

TEST(CurrentPotential, MeshesTheConfigurationWouldRejectThrow) {
  Magnet coil(1, 16, true), fft(16, 0, true);
  EXPECT_THROW(compute_current_potential(coil.magnet), std::invalid_argument);
  EXPECT_THROW(compute_current_potential(fft.magnet), std::invalid_argument);
}

TEST(CurrentPotential, OverflowingTargetIsReportedNotPassedOnAsNaN) {
  Magnet m(16, 32, true);
  m.set.scaling_k = 5000.0;  // e^(k d) overflows a few centimetres into an aperture
  try {
    compute_current_potential(m.magnet);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("the target current potential is not finite at y = "),
              std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace expcoil
