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

#include <functional>

#include "lib/matrix.hpp"
#include "magnet/records.hpp"

namespace expcoil {

struct KernelContext {
  double step = 0.0;                   // FFT grid spacing, m
  const MagnetSpec* magnet = nullptr;  // d, the FFT row count and the switch
};

// The factor of FFT row trunc(x0) (rows 0 .. N/2-1 are the frequencies 0 .. N/2-1, rows N/2 .. N-1
// the frequencies -N/2 .. -1), written to *out; x1 is not used: the factor is the same along a row.
void inversion_kernel(double x0, double x1, double* out, const KernelContext& context);

// Returns coil_meshes[0] x coil_meshes[1] values (amperes) with a zero border, computed on `workers`
// workers (0: all processors; the values do not depend on the count). FFT mesh sizes that are not
// powers of two throw FftLengthError; mesh sizes the configuration check rejects (coil below 2, FFT
// below 1) and a target that overflows (e^(k d) beyond double range) throw InputError naming what
// and where. At most four FFT-size matrices are alive at once.
Matrix compute_current_potential(const MagnetSpec& magnet, unsigned workers = 0);

// Another target and inversion factor through the same transforms and meshes (the precise mode's):
// `sample` fills the enlarged FFT grid, whose point (r, c) lies at (origin_y + r step, origin_z + c step);
// `factor` multiplies the component of wavenumbers (kappa_y, kappa_z), 1/m, and must be even in each. Both
// are called from several threads at once. The result is carried onto the coil mesh by tensor-product
// 4-point cubics instead of bilinearly.
struct PotentialModel {
  std::function<void(Matrix& target, double origin_y, double origin_z, double step, unsigned workers)> sample;
  std::function<double(double kappa_y, double kappa_z)> factor;
};
Matrix compute_current_potential(const MagnetSpec& magnet, const PotentialModel& model, unsigned workers = 0);

// The memory compute_current_potential needs for the set's mesh sizes, in bytes (as doubles, so that
// any counts can be judged): the FFT-size matrices alive at once, and the coil-mesh result.
struct SolverMemory {
  double fft_matrices;
  double coil_matrix;
};
SolverMemory solver_memory(const Parameters& set);

}  // namespace expcoil
