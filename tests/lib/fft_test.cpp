#include "lib/fft.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "lib/report.hpp"
#include "lib/workers.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

using Complex = std::complex<long double>;
using Values = std::vector<double>;

std::vector<double> random_values(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v) x = u(rng);
  return v;
}

// Returns {re, im} of fft(n, inverse, re, im-or-null).
std::pair<Values, Values> transform(bool inverse, const Values& re, const Values* im) {
  Values out_re(re.size()), out_im(re.size());
  fft(static_cast<std::uint32_t>(re.size()), inverse, re.data(), im != nullptr ? im->data() : nullptr,
      out_re.data(), out_im.data());
  return {out_re, out_im};
}

TEST(Fft, SmallLengthsShowTheSignConvention) {
  const Values one_im = {-1.5};
  EXPECT_EQ(transform(false, {2.5}, &one_im), (std::pair<Values, Values>{{2.5}, {-1.5}}));
  EXPECT_EQ(transform(true, {2.5}, nullptr), (std::pair<Values, Values>{{2.5}, {0.0}}));
  EXPECT_EQ(transform(false, {1.0, 2.0}, nullptr), (std::pair<Values, Values>{{3.0, -1.0}, {0.0, 0.0}}));
  // A delta at m = 1: forward e^(+2 pi i k / 4) = 1, i, -1, -i; inverse the conjugates over 4.
  const auto [f_re, f_im] = transform(false, {0.0, 1.0, 0.0, 0.0}, nullptr);
  const auto [i_re, i_im] = transform(true, {0.0, 1.0, 0.0, 0.0}, nullptr);
  const double want_re[4] = {1, 0, -1, 0}, want_im[4] = {0, 1, 0, -1};
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(f_re[k], want_re[k], 1e-15) << k;
    EXPECT_NEAR(f_im[k], want_im[k], 1e-15) << k;
    EXPECT_NEAR(i_re[k], want_re[k] / 4, 1e-15) << k;
    EXPECT_NEAR(i_im[k], -want_im[k] / 4, 1e-15) << k;
  }
}

TEST(Fft, AgreesWithTheDefinitionUpTo256AndRoundTrips) {
  for (std::uint32_t n = 1; n <= 256; n *= 2) {
    const Values re = random_values(n, n), im = random_values(n, n + 1000);
    for (bool inverse : {false, true}) {
      // The definition, summed in long double.
      std::vector<Complex> want(n);
      long double scale = 0;
      for (std::uint32_t k = 0; k < n; ++k) {
        for (std::uint32_t m = 0; m < n; ++m) {
          const long double a = (inverse ? -2.0L : 2.0L) * M_PIl * ((m * k) % n) / n;
          want[k] += Complex(re[m], im[m]) * Complex(std::cos(a), std::sin(a));
        }
        if (inverse) want[k] /= n;
        scale = std::max(scale, std::abs(want[k]));
      }
      const auto [got_re, got_im] = transform(inverse, re, &im);
      for (std::uint32_t k = 0; k < n; ++k) {
        ASSERT_LE(std::abs(Complex(got_re[k], got_im[k]) - want[k]), 1e-12L * scale)
            << "n " << n << " inverse " << inverse << " k " << k;
      }
    }
    // The three-term twiddle recurrence is only marginally stable for small angles: its rounding
    // grows as about n^2 ulps (2e-13 at n = 256), which is the price of its exact arithmetic.
    const double tolerance = 4e-15 + 1e-17 * n * n;
    const auto [f_re, f_im] = transform(false, re, &im);
    const auto [b_re, b_im] = transform(true, f_re, &f_im);
    for (std::uint32_t m = 0; m < n; ++m) {
      ASSERT_NEAR(b_re[m], re[m], tolerance) << n;
      ASSERT_NEAR(b_im[m], im[m], tolerance) << n;
    }
  }
  double untouched[2] = {42.0, 43.0};
  fft(0, false, nullptr, nullptr, &untouched[0], &untouched[1]);  // nothing to do
  EXPECT_EQ(untouched[1], 43.0);
}

// Prints the fatal record without the console's pause, and whether the outputs were still untouched.
const Matrix* g_watched = nullptr;
void quick_fatal_handler(ReportRecord& r) {
  bool untouched = true;
  for (std::size_t i = 0; g_watched != nullptr && i < g_watched->size(); ++i) {
    untouched = untouched && g_watched->data()[i] == 9.0;
  }
  std::printf("%d %s:%d caller %d untouched %d: %s\n", r.type, r.source, r.line,
              r.thread_id == static_cast<std::uint32_t>(::getpid()) ? 1 : 0, untouched ? 1 : 0, r.text());
}

TEST(FftFatal, NonPowerOfTwoLengthsEndTheProgramOnceBeforeWriting) {
  const std::string report =
      "5 fft:46 caller 1 untouched 1: Some moron called fft with a non-power-of-two-sized array\n";
  for (std::uint32_t n : {12u, 0x80000001u}) {
    const test::RunResult run = test::run_in_child([n] {
      set_report_handler(quick_fatal_handler);
      Matrix in(1, 16), out_re(1, 16), out_im(1, 16);
      std::fill(out_re.data(), out_re.data() + 16, 9.0);
      g_watched = &out_re;
      fft(n, true, in.data(), in.data(), out_re.data(), out_im.data());
    });
    EXPECT_EQ(run.exit_code, 1) << n;
    EXPECT_EQ(run.out, report) << n;
  }
  // Either length of a matrix, on several workers: one report, from the calling thread, before the
  // row pass has written anything.
  for (auto [rows, columns] : {std::pair{6u, 8u}, std::pair{8u, 12u}}) {
    const test::RunResult run = test::run_in_child([rows, columns] {
      set_processor_count(4);
      set_report_handler(quick_fatal_handler);
      Matrix in(rows, columns), out_re(rows, columns), out_im(rows, columns);
      std::fill(in.data(), in.data() + in.size(), 1.0);
      std::fill(out_re.data(), out_re.data() + out_re.size(), 9.0);
      g_watched = &out_re;
      fft2d(false, in, nullptr, out_re, out_im);
    });
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, report) << rows << " x " << columns;
  }
}

Matrix random_matrix(std::uint32_t rows, std::uint32_t columns, unsigned seed) {
  Matrix m(rows, columns);
  const Values v = random_values(m.size(), seed);
  std::copy(v.begin(), v.end(), m.data());
  return m;
}

bool bit_identical(const Matrix& a, const Matrix& b) {
  return a.rows() == b.rows() && a.columns() == b.columns() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Fft2d, IsEveryRowThenEveryColumnToTheLastBitOnAnyWorkerCount) {
  // Rows and columns go through in batches, with the odd ones left over when a worker's share is
  // not a whole batch; the result must still be exactly one 1-D transform per row, then per column.
  for (auto [rows, columns, real_input] : {std::tuple{32u, 64u, false}, std::tuple{64u, 16u, true},
                                           std::tuple{4u, 8u, false}, std::tuple{2u, 1u, true}}) {
    const Matrix re = random_matrix(rows, columns, rows), im = random_matrix(rows, columns, columns);
    const Matrix* in_im = real_input ? nullptr : &im;
    for (bool inverse : {false, true}) {
      Matrix want_re(rows, columns), want_im(rows, columns);
      for (std::uint32_t r = 0; r < rows; ++r) {
        fft(columns, inverse, re[r], in_im != nullptr ? im[r] : nullptr, want_re[r], want_im[r]);
      }
      Values c_re(rows), c_im(rows), x_re(rows), x_im(rows);
      for (std::uint32_t c = 0; c < columns; ++c) {
        for (std::uint32_t r = 0; r < rows; ++r) c_re[r] = want_re[r][c], c_im[r] = want_im[r][c];
        fft(rows, inverse, c_re.data(), c_im.data(), x_re.data(), x_im.data());
        for (std::uint32_t r = 0; r < rows; ++r) want_re[r][c] = x_re[r], want_im[r][c] = x_im[r];
      }
      for (unsigned workers : {1u, 2u, 3u, 7u}) {
        set_processor_count(workers);
        Matrix got_re(rows, columns), got_im(rows, columns);
        fft2d(inverse, re, in_im, got_re, got_im);
        set_processor_count(0);
        EXPECT_TRUE(bit_identical(got_re, want_re) && bit_identical(got_im, want_im))
            << rows << " x " << columns << " inverse " << inverse << " workers " << workers;
      }
    }
  }
}

TEST(Fft2d, ImpulseAndDegenerateSizes) {
  Matrix impulse(8, 4), re(8, 4), im(8, 4), back_re(8, 4), back_im(8, 4);
  std::fill(impulse.data(), impulse.data() + impulse.size(), 0.0);
  impulse[0][0] = 1.0;
  fft2d(false, impulse, nullptr, re, im);
  for (std::size_t i = 0; i < re.size(); ++i) {
    ASSERT_EQ(re.data()[i], 1.0);
    ASSERT_EQ(im.data()[i], 0.0);
  }
  fft2d(true, re, &im, back_re, back_im);
  for (std::size_t i = 0; i < re.size(); ++i) {
    ASSERT_NEAR(back_re.data()[i], impulse.data()[i], 4e-16) << i;
    ASSERT_NEAR(back_im.data()[i], 0.0, 4e-16) << i;
  }
  Matrix single(1, 1), s_re(1, 1), s_im(1, 1), empty(0, 0), e_re(0, 0), e_im(0, 0);
  single[0][0] = -3.25;
  fft2d(true, single, nullptr, s_re, s_im);
  EXPECT_EQ(s_re[0][0], -3.25);
  fft2d(false, empty, nullptr, e_re, e_im);
}

TEST(Fft2d, MismatchedOrAliasedMatricesAreRejected) {
  Matrix in(4, 4), out_re(4, 4), out_im(4, 4), wrong(4, 8);
  EXPECT_THROW(fft2d(false, in, nullptr, wrong, out_im), std::invalid_argument);
  EXPECT_THROW(fft2d(false, in, &wrong, out_re, out_im), std::invalid_argument);
  EXPECT_THROW(fft2d(false, in, nullptr, out_re, out_re), std::invalid_argument);
  EXPECT_THROW(fft2d(false, in, &out_im, out_re, out_im), std::invalid_argument);
}

}  // namespace
}  // namespace expcoil
