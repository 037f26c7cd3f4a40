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

double kernel_at(const Magnet& m, double row, double column = 0.0) {
  double out = 0.0;
  inversion_kernel(row, column, &out, KernelContext{0.1, &m.magnet});
  return out;
}

TEST(InversionKernel, GainPerRowFrequency) {
  // N = 64, step 0.1 m, d = 0.2 m: kappa = 2 pi f / 6.4 per metre, e^(d |kappa|) / (1 + 1e-6 e^(2 d
  // |kappa|)).
  Magnet m(16, 64, true);
  m.magnet.winding_centre_to_midplane = 0.2;
  EXPECT_EQ(kernel_at(m, 0.0), 0.9999990000010001);
  for (auto [row, want] : {std::pair{1.0, 1.21695040323735}, std::pair{63.0, 1.21695040323735},
                           std::pair{31.0, 368.647909548002}, std::pair{33.0, 368.647909548002},
                           std::pair{32.0, 416.157846553443}}) {
    EXPECT_NEAR(kernel_at(m, row), want, 1e-12 * want) << row;
    EXPECT_EQ(kernel_at(m, row, 17.0), kernel_at(m, row)) << row;  // the same along a row
  }
  // The gain is capped at 500, where e^(d |kappa|) = 1000 (f = 28 comes close with d = 0.25 m).
  m.magnet.winding_centre_to_midplane = 0.25;
  double peak = 0.0;
  for (int r = 0; r < 64; ++r) peak = std::max(peak, kernel_at(m, r));
  EXPECT_LE(peak, 500.0);
  EXPECT_GT(peak, 499.0);
  // Without distance, or switched off, every row passes 1/(1 + 1e-6) to the last bit.
  Magnet off(16, 64, false);
  m.magnet.winding_centre_to_midplane = 0.0;
  for (int r = 0; r < 64; ++r) {
    EXPECT_EQ(kernel_at(m, r), 0.9999990000010001) << r;
    EXPECT_EQ(kernel_at(off, r), 0.9999990000010001) << r;
  }
}

// The whole chain by definition: the target sampled on the enlarged FFT grid (twice the extent of
// the winding region's mesh, centred on the region's centre y = J/2, z = 0), a plain 2-D DFT, the
// gain per row frequency, the plain inverse, and linear interpolation at the coil-mesh points.
std::vector<double> reference_potential(const Magnet& m, int coil, int fft, bool inversion) {
  using C = std::complex<long double>;
  const double step = 2 * 2.05 / (fft - 1);  // 0.8 m long + 2 x 0.625 m beats 0.81 m high
  const double y0 = 0.175 - step * (fft - 1) / 2, z0 = -step * (fft - 1) / 2;
  std::vector<C> x(fft * fft), X(fft * fft);
  for (int r = 0; r < fft; ++r) {
    for (int c = 0; c < fft; ++c) {
      double v = 0.0;
      target_potential(y0 + r * step, z0 + c * step, &v, m.magnet);
      x[r * fft + c] = v;
    }
  }
  auto dft = [fft](const std::vector<C>& in, std::vector<C>& out, long double sign) {
    for (int k1 = 0; k1 < fft; ++k1) {
      for (int k2 = 0; k2 < fft; ++k2) {
        C sum = 0;
        for (int m1 = 0; m1 < fft; ++m1) {
          for (int m2 = 0; m2 < fft; ++m2) {
            const long double a = sign * 2 * M_PIl * ((m1 * k1 + m2 * k2) % fft) / fft;
            sum += in[m1 * fft + m2] * C(std::cos(a), std::sin(a));
          }
        }
        out[k1 * fft + k2] = sum;
      }
    }
  };
  dft(x, X, 1);
  for (int r = 0; r < fft; ++r) {
    const long double e = std::exp(0.02L * 2 * M_PIl * std::abs(r < fft / 2 ? r : r - fft) / (step * fft));
    const long double gain = inversion ? e / (1 + (e / 1000) * (e / 1000)) : 1 / (1 + 1e-6L);
    for (int c = 0; c < fft; ++c) X[r * fft + c] *= gain / (fft * fft);
  }
  dft(X, x, -1);
  const double spacing = 2.05 / (coil - 1);
  std::vector<double> out(coil * coil, 0.0);
  for (int i = 1; i < coil - 1; ++i) {
    for (int j = 1; j < coil - 1; ++j) {
      const double v = (0.175 + (i - (coil - 1) / 2.0) * spacing - y0) / step;
      const double u = ((j - (coil - 1) / 2.0) * spacing - z0) / step;
      const int a = static_cast<int>(v), b = static_cast<int>(u);
      const double fa = v - a, fb = u - b;
      auto at = [&](int r, int c) { return static_cast<double>(x[r * fft + c].real()); };
      out[i * coil + j] = (1 - fa) * ((1 - fb) * at(a, b) + fb * at(a, b + 1)) +
                          fa * ((1 - fb) * at(a + 1, b) + fb * at(a + 1, b + 1));
    }
  }
  return out;
}

double max_abs(const Matrix& m) {
  double peak = 0.0;
  for (std::size_t i = 0; i < m.size(); ++i) peak = std::max(peak, std::fabs(m.data()[i]));
  return peak;
}

TEST(CurrentPotential, MatchesTheChainComputedByDefinitionWithAZeroBorder) {
  for (bool inversion : {false, true}) {
    Magnet m(10, 16, inversion);
    const Matrix got = compute_current_potential(m.magnet);
    ASSERT_EQ(got.rows(), 10u);
    ASSERT_EQ(got.columns(), 10u);
    const std::vector<double> want = reference_potential(m, 10, 16, inversion);
    const double scale = max_abs(got);
    EXPECT_GT(scale, 1e4);  // amperes: B/(mu0 k) is about 2.5e5
    for (int i = 0; i < 10; ++i) {
      for (int j = 0; j < 10; ++j) {
        if (i == 0 || j == 0 || i == 9 || j == 9) {
          EXPECT_EQ(got[i][j], 0.0) << i << "," << j;
        } else {
          EXPECT_NEAR(got[i][j], want[i * 10 + j], 1e-11 * scale)
              << i << "," << j << " inversion " << inversion;
        }
      }
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
      ASSERT_NEAR(one[32 - i][j], one[i][j], 1e-9 * scale) << i << "," << j;
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

TEST(CurrentPotential, DegenerateMeshesAndOverflowingTargets) {
  const Matrix all_border = compute_current_potential(Magnet(2, 16, true).magnet);
  ASSERT_EQ(all_border.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(all_border.data()[i], 0.0);
  // What the configuration check rejects is refused here too, rather than divided by zero.
  EXPECT_THROW(compute_current_potential(Magnet(1, 16, true).magnet), std::invalid_argument);
  EXPECT_THROW(compute_current_potential(Magnet(16, 0, true).magnet), std::invalid_argument);
  // e^(k d) beyond double range a few centimetres into an aperture: an error, not NaN windings.
  Magnet steep(16, 32, true);
  steep.set.scaling_k = 5000.0;
  try {
    compute_current_potential(steep.magnet);
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("the target current potential is not finite at y = ", 0), 0u)
        << e.what();
  }
}

}  // namespace
}  // namespace expcoil
