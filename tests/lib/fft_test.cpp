#include "lib/fft.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstring>
#include <random>

#include "lib/errors.hpp"
#include "lib/workers.hpp"

namespace expcoil {

using namespace std::complex_literals;
using Signal = std::vector<std::complex<double>>;
static std::mt19937_64 rng(1);
static std::uniform_real_distribution<double> uniform(-1.0, 1.0);

// x with the 1-D transform applied to its n values x[at + m * stride].
static Signal transform(Signal x, bool inverse, std::size_t n, std::size_t at = 0, std::size_t stride = 1) {
  std::vector<double> re(n), im(n), out_re(n), out_im(n);
  for (std::size_t m = 0; m < n; ++m) re[m] = x[at + m * stride].real(), im[m] = x[at + m * stride].imag();
  fft(static_cast<std::uint32_t>(n), inverse, re.data(), im.data(), out_re.data(), out_im.data());
  for (std::size_t k = 0; k < n; ++k) x[at + k * stride] = {out_re[k], out_im[k]};
  return x;
}

TEST(Fft, AgreesWithTheDefinitionAndRoundTrips) {
  // n = 1 copies; n = 2 sums and differences; a delta at m = 1 of n = 4 gives e^(+2 pi i k / 4) = 1, i,
  // -1, -i forward and the conjugates over 4 inverse.
  // clang-format off
  for (auto [inverse, x, want] : {std::tuple<bool, Signal, Signal>{false, {2.5 - 1.5i}, {2.5 - 1.5i}},
       {false, {1.0, 2.0}, {3.0, -1.0}}, {false, {0.0, 1.0, 0.0, 0.0}, {1.0, 1i, -1.0, -1i}},
       {true, {0.0, 1.0, 0.0, 0.0}, {0.25, -0.25i, -0.25, 0.25i}}}) {
    // clang-format on
    const Signal got = transform(x, inverse, x.size());
    for (std::size_t k = 0; k < x.size(); ++k) EXPECT_LE(std::abs(got[k] - want[k]), 1e-15) << k;
  }
  for (std::uint32_t n = 1; n <= 256; n *= 2) {  // random signals against the sum in long double
    Signal x(n);
    for (auto& v : x) v = {uniform(rng), uniform(rng)};
    for (bool inverse : {false, true}) {
      const Signal got = transform(x, inverse, n);
      long double scale = 0, error = 0;
      for (std::uint32_t k = 0; k < n; ++k) {
        std::complex<long double> want = 0;
        const long double angle = (inverse ? -2 : 2) * M_PIl * k / n;
        for (std::uint32_t m = 0; m < n; ++m)
          want += std::complex<long double>(x[m]) * std::polar(1.0L, angle * m);
        scale = std::max(scale, std::abs(want /= inverse ? n : 1));
        error = std::max(error, std::abs(want - std::complex<long double>(got[k])));
      }
      EXPECT_LE(error, 1e-12L * scale) << "n " << n << " inverse " << inverse;
    }
    // The three-term twiddle recurrence is only marginally stable for small angles: its rounding
    // grows as about n^2 ulps (2e-13 at n = 256), which is the price of its exact arithmetic.
    const Signal back = transform(transform(x, false, n), true, n);
    for (std::uint32_t m = 0; m < n; ++m) ASSERT_LE(std::abs(back[m] - x[m]), 4e-15 + 1e-17 * n * n) << n;
  }
}

// A bad length of a 1-D transform (rows 0 here), or of either side of a matrix on several workers: one
// FftLengthError, thrown on the calling thread before anything is written.
TEST(Fft, NonPowerOfTwoLengthThrowsBeforeAnyOutput) {
  for (auto [rows, columns] : {std::pair{0u, 12u}, std::pair{6u, 8u}, std::pair{8u, 12u}}) {
    Matrix in(std::max(rows, 1u), columns), out_re(in.rows(), columns), out_im(in.rows(), columns);
    std::fill_n(in.data(), in.size(), 1.0);
    std::fill_n(out_re.data(), out_re.size(), 9.0);
    std::uint64_t length = 0;
    try {
      if (rows == 0) fft(columns, true, in.data(), nullptr, out_re.data(), out_im.data());
      if (rows != 0) fft2d(false, in, nullptr, out_re, out_im, 4);
    } catch (const FftLengthError& e) {
      length = e.length();
      EXPECT_EQ(std::string(e.what()), "FFT length " + std::to_string(length) + " is not a power of two");
    }
    EXPECT_EQ(length, rows == 6 ? 6u : 12u) << rows << " x " << columns;
    EXPECT_EQ(std::count(out_re.data(), out_re.data() + out_re.size(), 9.0), std::ptrdiff_t(out_re.size()));
  }
}

// Rows and columns go through in batches, with the odd ones left over when a worker's share is not a
// whole batch; the result must still be exactly one 1-D transform per row, then per column.
TEST(Fft2d, IsEveryRowThenEveryColumnToTheLastBitOnAnyWorkerCount) {
  for (auto [rows, columns, real] :
       {std::tuple{32u, 64u, false}, std::tuple{64u, 16u, true}, std::tuple{2u, 1u, true}}) {
    Signal want(rows * columns);
    Matrix re(rows, columns), im(rows, columns);
    for (std::size_t i = 0; i < want.size(); ++i)
      want[i] = {re.data()[i] = uniform(rng), im.data()[i] = real ? 0 : uniform(rng)};
    for (bool inverse : {false, true}) {
      Signal got(want.size()), reference = want;
      for (std::uint32_t r = 0; r < rows; ++r)
        reference = transform(reference, inverse, columns, r * columns, 1);
      for (std::uint32_t c = 0; c < columns; ++c) reference = transform(reference, inverse, rows, c, columns);
      for (unsigned workers : {1u, 2u, 3u, 7u}) {
        Matrix got_re(rows, columns), got_im(rows, columns);
        fft2d(inverse, re, real ? nullptr : &im, got_re, got_im, workers);
        for (std::size_t i = 0; i < got.size(); ++i) got[i] = {got_re.data()[i], got_im.data()[i]};
        EXPECT_EQ(std::memcmp(got.data(), reference.data(), got.size() * sizeof got[0]), 0)
            << rows << " x " << columns << " inverse " << inverse << " workers " << workers;
      }
    }
  }
}

}  // namespace expcoil
