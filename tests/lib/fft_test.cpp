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

// The definition, summed in long double: forward with e^(+2 pi i m k / n), inverse with the opposite
// sign and 1/n.
std::vector<Complex> naive_dft(const std::vector<Complex>& x, bool inverse) {
  const std::size_t n = x.size();
  const long double sign = inverse ? -1.0L : 1.0L;
  std::vector<Complex> X(n);
  for (std::size_t k = 0; k < n; ++k) {
    Complex sum = 0;
    for (std::size_t m = 0; m < n; ++m) {
      const long double angle = sign * 2.0L * M_PIl * static_cast<long double>((m * k) % n) / n;
      sum += x[m] * Complex(std::cos(angle), std::sin(angle));
    }
    X[k] = inverse ? sum / static_cast<long double>(n) : sum;
  }
  return X;
}

struct Signal {
  std::vector<double> re, im;
  explicit Signal(std::size_t n) : re(n), im(n) {}
};

Signal random_signal(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Signal s(n);
  for (std::size_t i = 0; i < n; ++i) {
    s.re[i] = u(rng);
    s.im[i] = u(rng);
  }
  return s;
}

Signal transform(const Signal& in, bool inverse, bool real_input = false) {
  Signal out(in.re.size());
  fft(static_cast<std::uint32_t>(in.re.size()), inverse, in.re.data(), real_input ? nullptr : in.im.data(),
      out.re.data(), out.im.data());
  return out;
}

TEST(Fft, SmallLengthsAndTheSignConvention) {
  Signal one(1);
  one.re[0] = 2.5;
  one.im[0] = -1.5;
  Signal out = transform(one, false);
  EXPECT_EQ(out.re[0], 2.5);
  EXPECT_EQ(out.im[0], -1.5);
  out = transform(one, true);
  EXPECT_EQ(out.re[0], 2.5);
  EXPECT_EQ(out.im[0], -1.5);
  out = transform(one, false, true);
  EXPECT_EQ(out.im[0], 0.0);

  Signal two(2);
  two.re = {1.0, 2.0};
  out = transform(two, false, true);
  EXPECT_EQ(out.re, (std::vector<double>{3.0, -1.0}));
  EXPECT_EQ(out.im, (std::vector<double>{0.0, 0.0}));

  // x = delta at m = 1: X[k] = e^(+2 pi i k / 4) = 1, i, -1, -i.
  Signal four(4);
  four.re = {0.0, 1.0, 0.0, 0.0};
  out = transform(four, false, true);
  const double expected_re[4] = {1.0, 0.0, -1.0, 0.0};
  const double expected_im[4] = {0.0, 1.0, 0.0, -1.0};
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(out.re[k], expected_re[k], 1e-15) << k;
    EXPECT_NEAR(out.im[k], expected_im[k], 1e-15) << k;
  }
  // The inverse runs the other way round: e^(-2 pi i k / 4) / 4.
  out = transform(four, true, true);
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(out.re[k], expected_re[k] / 4, 1e-15) << k;
    EXPECT_NEAR(out.im[k], -expected_im[k] / 4, 1e-15) << k;
  }
}

TEST(Fft, AgreesWithTheDefinitionUpTo256) {
  for (std::uint32_t n = 1; n <= 256; n *= 2) {
    const Signal x = random_signal(n, n);
    std::vector<Complex> xc(n);
    for (std::uint32_t i = 0; i < n; ++i) xc[i] = Complex(x.re[i], x.im[i]);
    for (bool inverse : {false, true}) {
      const Signal got = transform(x, inverse);
      const std::vector<Complex> want = naive_dft(xc, inverse);
      long double scale = 0;
      for (const Complex& v : want) scale = std::max(scale, std::abs(v));
      for (std::uint32_t k = 0; k < n; ++k) {
        ASSERT_LE(std::abs(Complex(got.re[k], got.im[k]) - want[k]), 1e-12L * scale)
            << "n " << n << " inverse " << inverse << " k " << k;
      }
    }
  }
}

TEST(Fft, RoundTripAndAbsentImaginaryPart) {
  const Signal x = random_signal(16, 7);
  const Signal back = transform(transform(x, false), true);
  for (int i = 0; i < 16; ++i) {
    EXPECT_NEAR(back.re[i], x.re[i], 2e-15) << i;
    EXPECT_NEAR(back.im[i], x.im[i], 2e-15) << i;
  }
  Signal real = random_signal(64, 8);
  const Signal without = transform(real, false, true);
  std::fill(real.im.begin(), real.im.end(), 0.0);
  const Signal zeros = transform(real, false);
  EXPECT_EQ(without.re, zeros.re);
  EXPECT_EQ(without.im, zeros.im);
}

TEST(Fft, LengthZeroDoesNothing) {
  double sentinel[2] = {42.0, 43.0};
  fft(0, false, nullptr, nullptr, &sentinel[0], &sentinel[1]);
  EXPECT_EQ(sentinel[0], 42.0);
  EXPECT_EQ(sentinel[1], 43.0);
}

// --- fatal report -------------------------------------------------------------------------------

// Shows what the fatal report carried, without the console's pause.
void quick_fatal_handler(ReportRecord& r) {
  std::printf("type %d source %s line %d caller-thread %d: %s\n", r.type, r.source, r.line,
              r.thread_id == static_cast<std::uint32_t>(::getpid()) ? 1 : 0, r.text());
}

const char kFatalLine[] =
    "type 5 source fft line 46 caller-thread 1: Some moron called fft with a non-power-of-two-sized array\n";

TEST(FftFatal, ConsoleReportForALengthOfSix) {
  const test::RunResult run = test::run_in_child([] {
    double in[6] = {}, out_re[6], out_im[6];
    fft(6, false, in, nullptr, out_re, out_im);
    std::printf("returned\n");
  });
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "\n[FATAL ERROR] Some moron called fft with a non-power-of-two-sized array\n");
  EXPECT_EQ(run.err, "");
  EXPECT_GE(run.seconds, 2.5);
}

TEST(FftFatal, EveryNonPowerOfTwoLengthIsRefusedBeforeWriting) {
  for (std::uint32_t n : {3u, 12u, 255u, 0x80000001u}) {
    const test::RunResult run = test::run_in_child([n] {
      set_report_handler(quick_fatal_handler);
      static double in[16] = {}, out_re[16], out_im[16];
      std::fill(out_re, out_re + 16, 9.0);
      fft(n, true, in, in, out_re, out_im);
      std::printf("returned\n");
    });
    EXPECT_EQ(run.exit_code, 1) << n;
    EXPECT_EQ(run.out, kFatalLine) << n;
  }
}

TEST(FftFatal, TwoDimensionalRefusesOnceFromTheCallerBeforeAnyPass) {
  // A bad column length (rows) with a good row length, on several workers: the row pass must not
  // have started, and the report comes once, from the calling thread.
  for (auto [rows, columns] : {std::pair{6u, 8u}, std::pair{8u, 12u}}) {
    const test::RunResult run = test::run_in_child([rows, columns] {
      set_processor_count(4);
      static Matrix* watched = nullptr;
      set_report_handler([](ReportRecord& r) {
        quick_fatal_handler(r);
        bool untouched = true;
        for (std::size_t i = 0; i < watched->size(); ++i) untouched = untouched && watched->data()[i] == 9.0;
        std::printf("outputs untouched %d\n", untouched ? 1 : 0);
      });
      Matrix in(rows, columns), out_re(rows, columns), out_im(rows, columns);
      std::fill(in.data(), in.data() + in.size(), 1.0);
      std::fill(out_re.data(), out_re.data() + out_re.size(), 9.0);
      watched = &out_re;
      fft2d(false, in, nullptr, out_re, out_im);
      std::printf("returned\n");
    });
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, std::string(kFatalLine) + "outputs untouched 1\n") << rows << " x " << columns;
  }
}

// --- two-dimensional -----------------------------------------------------------------------------

Matrix random_matrix(std::uint32_t rows, std::uint32_t columns, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(rows, columns);
  for (std::size_t i = 0; i < m.size(); ++i) m.data()[i] = u(rng);
  return m;
}

struct Spectrum {
  Matrix re, im;
  Spectrum(std::uint32_t rows, std::uint32_t columns) : re(rows, columns), im(rows, columns) {}
};

Spectrum transform2d(bool inverse, const Matrix& re, const Matrix* im) {
  Spectrum out(re.rows(), re.columns());
  fft2d(inverse, re, im, out.re, out.im);
  return out;
}

bool bit_identical(const Matrix& a, const Matrix& b) {
  return a.rows() == b.rows() && a.columns() == b.columns() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Fft2d, ImpulseGivesOnesAndComesBack) {
  for (auto [rows, columns] : {std::pair{8u, 8u}, std::pair{4u, 8u}, std::pair{16u, 2u}}) {
    Matrix impulse(rows, columns);
    std::fill(impulse.data(), impulse.data() + impulse.size(), 0.0);
    impulse[0][0] = 1.0;
    const Spectrum forward = transform2d(false, impulse, nullptr);
    for (std::size_t i = 0; i < impulse.size(); ++i) {
      ASSERT_EQ(forward.re.data()[i], 1.0) << i;
      ASSERT_EQ(forward.im.data()[i], 0.0) << i;
    }
    const Spectrum back = transform2d(true, forward.re, &forward.im);
    for (std::size_t i = 0; i < impulse.size(); ++i) {
      ASSERT_NEAR(back.re.data()[i], impulse.data()[i], 4e-16) << i;
      ASSERT_NEAR(back.im.data()[i], 0.0, 4e-16) << i;
    }
  }
}

TEST(Fft2d, AgreesWithTheDefinitionOnANonSquareMatrix) {
  // 4 x 8: each pass has its own length; forward X[k1][k2] = sum x e^(+2 pi i (m1 k1 / 4 + m2 k2 / 8)).
  const std::uint32_t rows = 4, columns = 8;
  const Matrix re = random_matrix(rows, columns, 1), im = random_matrix(rows, columns, 2);
  for (bool inverse : {false, true}) {
    const Spectrum got = transform2d(inverse, re, &im);
    const long double sign = inverse ? -1.0L : 1.0L;
    for (std::uint32_t k1 = 0; k1 < rows; ++k1) {
      for (std::uint32_t k2 = 0; k2 < columns; ++k2) {
        Complex sum = 0;
        for (std::uint32_t m1 = 0; m1 < rows; ++m1) {
          for (std::uint32_t m2 = 0; m2 < columns; ++m2) {
            const long double angle =
                sign * 2.0L * M_PIl *
                (static_cast<long double>(m1 * k1) / rows + static_cast<long double>(m2 * k2) / columns);
            sum += Complex(re[m1][m2], im[m1][m2]) * Complex(std::cos(angle), std::sin(angle));
          }
        }
        if (inverse) sum /= static_cast<long double>(rows * columns);
        EXPECT_LE(std::abs(Complex(got.re[k1][k2], got.im[k1][k2]) - sum), 1e-13L)
            << k1 << "," << k2 << " inverse " << inverse;
      }
    }
  }
}

TEST(Fft2d, RoundTripNullImaginaryAndSingleElement) {
  const Matrix re = random_matrix(16, 32, 3), im = random_matrix(16, 32, 4);
  const Spectrum forward = transform2d(false, re, &im);
  const Spectrum back = transform2d(true, forward.re, &forward.im);
  for (std::size_t i = 0; i < re.size(); ++i) {
    ASSERT_NEAR(back.re.data()[i], re.data()[i], 4e-15) << i;
    ASSERT_NEAR(back.im.data()[i], im.data()[i], 4e-15) << i;
  }

  Matrix zeros(16, 32);
  std::fill(zeros.data(), zeros.data() + zeros.size(), 0.0);
  const Spectrum with_null = transform2d(false, re, nullptr);
  const Spectrum with_zeros = transform2d(false, re, &zeros);
  EXPECT_TRUE(bit_identical(with_null.re, with_zeros.re));
  EXPECT_TRUE(bit_identical(with_null.im, with_zeros.im));

  Matrix single(1, 1);
  single[0][0] = -3.25;
  const Spectrum s = transform2d(true, single, nullptr);
  EXPECT_EQ(s.re[0][0], -3.25);
  EXPECT_EQ(s.im[0][0], 0.0);

  Matrix empty(0, 0);
  const Spectrum e = transform2d(false, empty, nullptr);
  EXPECT_EQ(e.re.size(), 0u);
}

TEST(Fft2d, ResultsDoNotDependOnTheWorkerCount) {
  const Matrix re = random_matrix(32, 16, 5), im = random_matrix(32, 16, 6);
  const Matrix small = random_matrix(2, 4, 7);  // fewer rows and columns than workers
  auto run = [&](unsigned workers) {
    set_processor_count(workers);
    std::vector<Spectrum> out;
    out.push_back(transform2d(false, re, &im));
    out.push_back(transform2d(true, re, nullptr));
    out.push_back(transform2d(false, small, nullptr));
    set_processor_count(0);
    return out;
  };
  const std::vector<Spectrum> one = run(1);
  for (unsigned workers : {2u, 3u, 7u}) {
    const std::vector<Spectrum> many = run(workers);
    for (std::size_t t = 0; t < one.size(); ++t) {
      EXPECT_TRUE(bit_identical(many[t].re, one[t].re)) << workers << " workers, case " << t;
      EXPECT_TRUE(bit_identical(many[t].im, one[t].im)) << workers << " workers, case " << t;
    }
  }
}

TEST(Fft2d, MismatchedOrAliasedMatricesAreRejected) {
  Matrix in(4, 4), out_re(4, 4), out_im(4, 4), wrong(4, 8);
  std::fill(in.data(), in.data() + in.size(), 1.0);
  EXPECT_THROW(fft2d(false, in, nullptr, wrong, out_im), std::invalid_argument);
  EXPECT_THROW(fft2d(false, in, &wrong, out_re, out_im), std::invalid_argument);
  EXPECT_THROW(fft2d(false, in, nullptr, out_re, out_re), std::invalid_argument);
  EXPECT_THROW(fft2d(false, in, nullptr, in, out_im), std::invalid_argument);
  EXPECT_THROW(fft2d(false, in, &out_im, out_re, out_im), std::invalid_argument);
}

TEST(Fft2d, IsEveryRowThenEveryColumnOfTheOneDimensionalTransform) {
  // Batches of rows and columns, and the odd ones left over when a worker's share is not a whole
  // batch, must give exactly the bits of one transform per row and then one per column.
  for (auto [rows, columns, workers] : {std::tuple{32u, 64u, 1u}, std::tuple{64u, 32u, 3u},
                                        std::tuple{16u, 4u, 2u}, std::tuple{2u, 2u, 7u}}) {
    const Matrix re = random_matrix(rows, columns, rows), im = random_matrix(rows, columns, columns);
    for (bool inverse : {false, true}) {
      Matrix tmp_re(rows, columns), tmp_im(rows, columns), want_re(rows, columns), want_im(rows, columns);
      for (std::uint32_t r = 0; r < rows; ++r) fft(columns, inverse, re[r], im[r], tmp_re[r], tmp_im[r]);
      std::vector<double> col_re(rows), col_im(rows), res_re(rows), res_im(rows);
      for (std::uint32_t c = 0; c < columns; ++c) {
        for (std::uint32_t r = 0; r < rows; ++r) {
          col_re[r] = tmp_re[r][c];
          col_im[r] = tmp_im[r][c];
        }
        fft(rows, inverse, col_re.data(), col_im.data(), res_re.data(), res_im.data());
        for (std::uint32_t r = 0; r < rows; ++r) {
          want_re[r][c] = res_re[r];
          want_im[r][c] = res_im[r];
        }
      }
      set_processor_count(workers);
      const Spectrum got = transform2d(inverse, re, &im);
      set_processor_count(0);
      EXPECT_TRUE(bit_identical(got.re, want_re)) << rows << " x " << columns << " inverse " << inverse;
      EXPECT_TRUE(bit_identical(got.im, want_im)) << rows << " x " << columns << " inverse " << inverse;
    }
  }
}

}  // namespace
}  // namespace expcoil
