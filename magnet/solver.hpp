// The current potential of a magnet's winding surface on the coil mesh.
//
// The target potential is sampled on the FFT mesh enlarged to twice its extent about its centre (so
// that the winding region fills less than half a period of the periodic transform and its images do
// not overlap it), transformed, multiplied per vertical wavenumber kappa by the inversion factor,
// transformed back, and the real part is interpolated bilinearly onto the coil mesh, whose
// outermost ring is set to exactly 0.
//
// With the vertical inversion switched on, the factor e^(|kappa| d) / (1 + (0.001 e^(|kappa| d))^2),
// d = winding centre to mid-plane, undoes the attenuation e^(-|kappa| d) a Fourier component of a
// current sheet's field suffers between the winding plane and the mid-plane; the denominator caps
// the gain (peak 500) for short wavelengths. Switched off, the factor is the constant 1/(1 + 1e-6).
#pragma once

#include "app/parameters.hpp"
#include "lib/matrix.hpp"

namespace expcoil {

struct KernelContext {
  double step = 0.0;                   // FFT grid spacing, m
  const MagnetSpec* magnet = nullptr;  // d, the FFT row count and the switch
};

// The factor of FFT row trunc(x0) (rows 0 .. N/2-1 are the frequencies 0 .. N/2-1, rows N/2 .. N-1
// the frequencies -N/2 .. -1), written to *out; x1 is not used: the factor is the same along a row.
void inversion_kernel(double x0, double x1, double* out, const KernelContext& context);

// Returns coil_meshes[0] x coil_meshes[1] values (amperes) with a zero border. FFT mesh sizes that
// are not powers of two end the program through the FFT's fatal report; mesh sizes the
// configuration check rejects (coil below 2, FFT below 1) throw std::invalid_argument, and a target
// that overflows (e^(k d) beyond double range) throws std::runtime_error naming where. At most four
// FFT-size matrices are alive at once.
Matrix compute_current_potential(const MagnetSpec& magnet);

}  // namespace expcoil
