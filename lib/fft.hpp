// The complex discrete Fourier transform of the program: iterative radix-2, power-of-two lengths,
// real and imaginary parts in separate arrays.
//
// Sign convention (note the sign):
//   forward  X[k] = sum_m x[m] e^(+2 pi i m k / n), not normalised;
//   inverse  x[m] = (1/n) sum_k X[k] e^(-2 pi i m k / n), scaled by multiplying with 1.0 / n.
// The twiddle factors come from a three-term recurrence seeded with one sine and one cosine per
// stage, so the results depend on exactly this arithmetic; nothing here may be reordered.
#pragma once

#include <cstdint>

#include "lib/matrix.hpp"

namespace expcoil {

// Transforms n values. `in_im` may be null (all zeros). Input and output arrays must be distinct:
// the output is filled in bit-reversed order while the input is still being read. A length that
// is not a power of two throws FftLengthError before anything is written; n = 0 does nothing.
void fft(std::uint32_t n, bool inverse, const double* in_re, const double* in_im, double* out_re,
         double* out_im);

// Two-dimensional transform, same convention in both indices (the inverse is scaled by
// 1/(rows * columns)): every row, then every column, each pass split over `workers` workers
// (lib/workers.hpp; 0 for all processors). Both lengths are tested on the calling thread before
// anything is transformed: a bad length throws FftLengthError once, with the outputs untouched.
// `in_im` may be null (all zeros). The outputs must have the input's size and be distinct from the
// inputs (InputError otherwise); they also hold the row pass's intermediate result, so the call
// needs no working matrices of its own.
void fft2d(bool inverse, const Matrix& in_re, const Matrix* in_im, Matrix& out_re, Matrix& out_im,
           unsigned workers = 0);

}  // namespace expcoil
