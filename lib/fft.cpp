#include "lib/fft.hpp"

#include <bit>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "lib/report.hpp"
#include "lib/workers.hpp"

namespace expcoil {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

bool power_of_two_or_zero(std::uint32_t n) { return (n & (n - 1)) == 0; }

}  // namespace

void fft_length_fatal() {
  report_inner("fft", 46, REPORT_FATAL_ERROR, "Some moron called fft with a non-power-of-two-sized array", 0);
  // report_inner does not return for a fatal report; this keeps the promise should a future handler.
  std::abort();
}

void fft(std::uint32_t n, bool inverse, const double* in_re, const double* in_im, double* out_re,
         double* out_im) {
  if (!power_of_two_or_zero(n)) fft_length_fatal();
  if (n == 0) return;

  const unsigned bits = static_cast<unsigned>(std::countr_zero(n));
  for (std::uint32_t m = 0; m < n; ++m) {
    std::uint32_t r = 0;
    std::uint32_t c = m;
    for (unsigned b = 0; b < bits; ++b) {
      r = (r << 1) | (c & 1);
      c >>= 1;
    }
    out_re[r] = in_re[m];
    out_im[r] = in_im != nullptr ? in_im[m] : 0.0;
  }

  if (n > 1) {
    // Seeds of the first stage: the twiddles one and two steps back, as the standard sine gives
    // them for -sigma pi and -2 sigma pi (sigma = +1 forward, -1 inverse).
    const double sigma = inverse ? -1.0 : 1.0;
    double alpha = -sigma * kTwoPi;
    double sin1 = std::sin(-sigma * kPi);
    double sin2 = std::sin(-2.0 * sigma * kPi);
    double cos1 = -1.0;
    double cos2 = 1.0;
    for (std::uint32_t block = 2; block <= n; block *= 2) {
      const std::uint32_t half = block / 2;
      alpha = alpha * 0.5;
      const double w = cos1 + cos1;
      for (std::uint32_t i = 0; i < n; i += block) {
        double ar1 = cos1, ar2 = cos2, ai1 = sin1, ai2 = sin2;
        for (std::uint32_t j = i; j < i + half; ++j) {
          // cos(t + d) = 2 cos d cos(t) - cos(t - d), and the same for the sine.
          const double ar0 = ar1 * w - ar2;
          const double ai0 = ai1 * w - ai2;
          const std::uint32_t k = j + half;
          const double tr = out_re[k] * ar0 - out_im[k] * ai0;
          const double ti = out_re[k] * ai0 + out_im[k] * ar0;
          out_re[k] = out_re[j] - tr;
          out_im[k] = out_im[j] - ti;
          out_re[j] = tr + out_re[j];
          out_im[j] = ti + out_im[j];
          ar2 = ar1;
          ar1 = ar0;
          ai2 = ai1;
          ai1 = ai0;
        }
      }
      if (static_cast<std::uint64_t>(block) * 2 > n) break;
      sin2 = sin1;
      cos2 = cos1;
      sin1 = std::sin(alpha * 0.5);
      cos1 = std::cos(alpha * 0.5);
    }
  }

  if (inverse) {
    const double s = 1.0 / n;
    for (std::uint32_t m = n; m-- > 0;) {
      out_re[m] = out_re[m] * s;
      out_im[m] = out_im[m] * s;
    }
  }
}

void fft2d(bool inverse, const Matrix& in_re, const Matrix* in_im, Matrix& out_re, Matrix& out_im) {
  const std::uint32_t rows = in_re.rows();
  const std::uint32_t columns = in_re.columns();
  auto same_size = [&](const Matrix& m) { return m.rows() == rows && m.columns() == columns; };
  if ((in_im != nullptr && !same_size(*in_im)) || !same_size(out_re) || !same_size(out_im)) {
    throw std::invalid_argument("fft2d: every matrix must have the input's size");
  }
  if (&out_re == &out_im || &out_re == &in_re || &out_im == &in_re ||
      (in_im != nullptr && (&out_re == in_im || &out_im == in_im))) {
    throw std::invalid_argument("fft2d: the outputs must be distinct from each other and from the inputs");
  }
  if (!power_of_two_or_zero(columns) || !power_of_two_or_zero(rows)) fft_length_fatal();
  if (rows == 0 || columns == 0) return;

  // Row pass: each row straight from the input matrix into the same row of the outputs.
  run_workers(rows, [&](const WorkerRange& range, unsigned) {
    for (std::int64_t r = range.first; r < range.end; ++r) {
      const auto row = static_cast<std::uint32_t>(r);
      fft(columns, inverse, in_re[row], in_im != nullptr ? (*in_im)[row] : nullptr, out_re[row], out_im[row]);
    }
  });

  // Column pass, in place in the outputs: a column is strided, so it is gathered into contiguous
  // scratch (allocated once per worker), transformed and scattered back. Workers own disjoint
  // columns, and the row pass has been joined before any of them reads.
  run_workers(columns, [&](const WorkerRange& range, unsigned) {
    const std::unique_ptr<double[]> scratch = std::make_unique_for_overwrite<double[]>(4 * std::size_t{rows});
    double* column_re = scratch.get();
    double* column_im = column_re + rows;
    double* result_re = column_im + rows;
    double* result_im = result_re + rows;
    for (std::int64_t ci = range.first; ci < range.end; ++ci) {
      const auto c = static_cast<std::size_t>(ci);
      for (std::uint32_t r = rows; r-- > 0;) {
        column_re[r] = out_re[r][c];
        column_im[r] = out_im[r][c];
      }
      fft(rows, inverse, column_re, column_im, result_re, result_im);
      for (std::uint32_t r = rows; r-- > 0;) {
        out_re[r][c] = result_re[r];
        out_im[r][c] = result_im[r];
      }
    }
  });
}

}  // namespace expcoil
