#include "lib/fft.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

#include "lib/constants.hpp"
#include "lib/errors.hpp"
#include "lib/workers.hpp"

namespace expcoil {
namespace {

bool power_of_two_or_zero(std::uint32_t n) { return (n & (n - 1)) == 0; }

// Lanes doubles operated on element by element: a vector of the compiler for a batch (each element
// gets exactly the scalar operation: no reassociation, no fused multiply-add), a plain double alone.
template <std::size_t Lanes>
struct PackOf {
  typedef double type __attribute__((vector_size(2 * sizeof(double))));
};
template <>
struct PackOf<1> {
  using type = double;
};
template <std::size_t Lanes>
using Pack = typename PackOf<Lanes>::type;

// The transform itself, for `Lanes` signals of length n at once (n a power of two, >= 1). Element m
// of signal l is read from in[m * element_stride + l * lane_stride] (in_im null: zeros); the result
// is left in work_re[k * work_stride + l] and work_im[k * work_stride + l]. Every signal goes through exactly
// the arithmetic of a transform on its own: the lanes share the twiddle recurrence, whose values do not
// depend on the data, and each lane's butterflies are the same operations in the same order. So one signal
// (Lanes = 1) and a batch agree to the last bit; a batch only spreads the recurrence's serial dependency
// chain over several independent butterflies and lets the compiler vectorise across the lanes.
template <std::size_t Lanes>
void transform(std::uint32_t n, bool inverse, const double* in_re, const double* in_im,
               std::size_t element_stride, std::size_t lane_stride, double* work_re, double* work_im,
               std::size_t work_stride) {
  const unsigned bits = static_cast<unsigned>(std::countr_zero(n));
  for (std::uint32_t m = 0; m < n; ++m) {
    std::uint32_t r = 0;
    std::uint32_t c = m;
    for (unsigned b = 0; b < bits; ++b) {
      r = (r << 1) | (c & 1);
      c >>= 1;
    }
    const std::size_t from = m * element_stride;
    for (std::size_t l = 0; l < Lanes; ++l) {
      work_re[r * work_stride + l] = in_re[from + l * lane_stride];
      work_im[r * work_stride + l] = in_im != nullptr ? in_im[from + l * lane_stride] : 0.0;
    }
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
          double* const x_re = work_re + std::size_t{j} * work_stride;
          double* const x_im = work_im + std::size_t{j} * work_stride;
          double* const y_re = work_re + std::size_t{j + half} * work_stride;
          double* const y_im = work_im + std::size_t{j + half} * work_stride;
          constexpr std::size_t kStep = sizeof(Pack<Lanes>) / sizeof(double);
          for (std::size_t l = 0; l < Lanes; l += kStep) {
            Pack<Lanes> xr, xi, yr, yi;
            std::memcpy(&xr, x_re + l, sizeof xr);
            std::memcpy(&xi, x_im + l, sizeof xi);
            std::memcpy(&yr, y_re + l, sizeof yr);
            std::memcpy(&yi, y_im + l, sizeof yi);
            const Pack<Lanes> tr = yr * ar0 - yi * ai0;
            const Pack<Lanes> ti = yr * ai0 + yi * ar0;
            yr = xr - tr;
            yi = xi - ti;
            xr = tr + xr;
            xi = ti + xi;
            std::memcpy(x_re + l, &xr, sizeof xr);
            std::memcpy(x_im + l, &xi, sizeof xi);
            std::memcpy(y_re + l, &yr, sizeof yr);
            std::memcpy(y_im + l, &yi, sizeof yi);
          }
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
    for (std::size_t m = n; m-- > 0;) {
      for (std::size_t l = 0; l < Lanes; ++l) {
        work_re[m * work_stride + l] = work_re[m * work_stride + l] * s;
        work_im[m * work_stride + l] = work_im[m * work_stride + l] * s;
      }
    }
  }
}

// Rows or columns transformed together in one batch of the 2-D transform: one cache line of
// doubles, so a batch of columns reads whole lines.
constexpr std::size_t kBatch = 8;

// One pass of the 2-D transform over the signals [first, end) of `in`, results into `out` (which may
// be `in`: each batch is read completely before any of it is written back). Signal s has element m
// at [m * element_stride + s * signal_stride] of each matrix's storage.
void transform_signals(std::uint32_t n, bool inverse, const double* in_re, const double* in_im,
                       double* out_re, double* out_im, std::size_t element_stride, std::size_t signal_stride,
                       const WorkerRange& range) {
  // Real and imaginary parts of an element side by side: kept in separate arrays, the two would lie
  // a multiple of 4 KiB apart and every load would wait on the store to the other's address.
  const std::unique_ptr<double[]> scratch = std::make_unique_for_overwrite<double[]>(2 * kBatch * n);
  double* work_re = scratch.get();
  double* work_im = work_re + kBatch;
  constexpr std::size_t kWorkStride = 2 * kBatch;
  auto at = [&](std::int64_t s) { return static_cast<std::size_t>(s) * signal_stride; };
  std::int64_t s = range.first;
  for (; s + static_cast<std::int64_t>(kBatch) <= range.end; s += kBatch) {
    transform<kBatch>(n, inverse, in_re + at(s), in_im != nullptr ? in_im + at(s) : nullptr, element_stride,
                      signal_stride, work_re, work_im, kWorkStride);
    for (std::size_t k = 0; k < n; ++k) {
      for (std::size_t l = 0; l < kBatch; ++l) {
        out_re[at(s) + k * element_stride + l * signal_stride] = work_re[k * kWorkStride + l];
        out_im[at(s) + k * element_stride + l * signal_stride] = work_im[k * kWorkStride + l];
      }
    }
  }
  for (; s < range.end; ++s) {
    transform<1>(n, inverse, in_re + at(s), in_im != nullptr ? in_im + at(s) : nullptr, element_stride, 0,
                 work_re, work_im, kWorkStride);
    for (std::size_t k = 0; k < n; ++k) {
      out_re[at(s) + k * element_stride] = work_re[k * kWorkStride];
      out_im[at(s) + k * element_stride] = work_im[k * kWorkStride];
    }
  }
}

}  // namespace

void fft(std::uint32_t n, bool inverse, const double* in_re, const double* in_im, double* out_re,
         double* out_im) {
  if (!power_of_two_or_zero(n)) throw FftLengthError(n);
  if (n == 0) return;
  transform<1>(n, inverse, in_re, in_im, 1, 0, out_re, out_im, 1);
}

void fft2d(bool inverse, const Matrix& in_re, const Matrix* in_im, Matrix& out_re, Matrix& out_im,
           unsigned workers) {
  const std::uint32_t rows = in_re.rows();
  const std::uint32_t columns = in_re.columns();
  auto same_size = [&](const Matrix& m) { return m.rows() == rows && m.columns() == columns; };
  if ((in_im != nullptr && !same_size(*in_im)) || !same_size(out_re) || !same_size(out_im)) {
    throw InputError("fft2d: every matrix must have the input's size");
  }
  if (&out_re == &out_im || &out_re == &in_re || &out_im == &in_re ||
      (in_im != nullptr && (&out_re == in_im || &out_im == in_im))) {
    throw InputError("fft2d: the outputs must be distinct from each other and from the inputs");
  }
  if (!power_of_two_or_zero(columns)) throw FftLengthError(columns);
  if (!power_of_two_or_zero(rows)) throw FftLengthError(rows);
  if (rows == 0 || columns == 0) return;

  // Row pass, from the input into the same rows of the outputs. Rows are contiguous; a batch of
  // them is transformed together and written back row by row.
  run_workers(rows, workers, [&](const WorkerRange& range, unsigned) {
    transform_signals(columns, inverse, in_re.data(), in_im != nullptr ? in_im->data() : nullptr,
                      out_re.data(), out_im.data(), 1, columns, range);
  });

  // Column pass, in place in the outputs once every row worker has been joined. Columns are strided:
  // a batch of adjacent columns reads and writes whole cache lines. Workers own disjoint columns.
  run_workers(columns, workers, [&](const WorkerRange& range, unsigned) {
    transform_signals(rows, inverse, out_re.data(), out_im.data(), out_re.data(), out_im.data(), columns, 1,
                      range);
  });
}

}  // namespace expcoil
