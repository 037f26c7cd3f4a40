// The target current potential psi(y, z) = V(y) * Z(z) of a magnet: the stream function, in amperes,
// of the surface current the windings must carry in the plane of a winding (y vertical, z along the
// magnet). In each of the two apertures the vertical derivative of psi, the sheet current density,
// grows as e^(k d) with the height d into the aperture (plus the polynomial adjustment); the lower
// aperture is measured up from y = 0, the upper one down from y = join height, so V is mirror-
// symmetric about half the join height. Smooth steps blend the apertures into each other and fade
// the profile out beyond their outer edges; Z is 1 along the body of the magnet and falls linearly
// to 0 over +-h about each end.
//
// Every formula is evaluated in the order written here: the windings are level lines of psi, and the
// output files are compared to the last bit.
#pragma once

#include <cstdint>
#include <string>

#include "lib/matrix.hpp"
#include "magnet/grid.hpp"
#include "magnet/records.hpp"

namespace expcoil {

inline constexpr double kInverseMu0 = 795774.7154594767;  // 1 / (4 pi 1e-7), A/(T m)

// u atan(1e6 u) - 5e-7 ln(u^2 + 1e-12): (pi/2)|u| with its corner rounded over about a micrometre.
// Its derivative is exactly atan(1e6 u), so it is smooth everywhere and finite at u = 0.
double soft_abs(double u);

// Horner's rule from the last coefficient: c[0] + c[1] t + ...; 0 for no coefficients.
double polynomial(const std::vector<double>& coefficients, double t);

// ((e^(k d) + P((g/2 + d) / g)) * B/mu0) / k: the potential at height d into an aperture. The
// polynomial's argument runs from 0 at d = -g/2 to 1 at d = +g/2.
double aperture_potential(const MagnetSpec& magnet, double d);

// A smooth step from 0 (x <= 0) to the full `term` (x >= 1); in between
// (tanh(r tan((x - 1/2) pi) + a) + 1) * (term / 2). r sets the steepness, a moves the midpoint.
double tanh_step(double x, double r, double a, double term);

// V(y): the lower end (y <= 0), the upper end (y >= join height) and the blended middle, tested in
// that order, so a join height <= 0 leaves a single aperture.
double vertical_profile(const MagnetSpec& magnet, double y);

// The two factors of psi: S(z) / 2h, S the sum of the four soft_abs terms of the longitudinal ramps
// (Z(z) = S / (2 h pi)), and V(y) / pi.
double longitudinal_factor(const MagnetSpec& magnet, double z);
double vertical_factor(const MagnetSpec& magnet, double y);

// psi(y, z) = longitudinal_factor(z) * vertical_factor(y), written to *out. Safe to call from any
// number of threads: it reads the records only.
void target_potential(double y, double z, double* out, const MagnetSpec& magnet);

// Why the target is not a finite number at height y: the keys whose values take a factor of psi beyond
// double range, with their values. For messages; called only once psi has been found non-finite.
std::string target_overflow_cause(const MagnetSpec& magnet, double y);

// The same bits as grid_evaluate(target, target_potential) over a grid with these origins and steps
// (y along the rows, z along the columns), but with each factor evaluated once per row or column
// rather than once per element.
void sample_target(Matrix& target, const MagnetSpec& magnet, double origin_y, double origin_z, double step_y,
                   double step_z, unsigned workers = 0);

// target[r][c] = longitudinal(z_c) * vertical(y_r), each factor evaluated once per row or column. The
// factors are tabulated through grid_evaluate, so their coordinates are the grid's to the last bit.
template <class Vertical, class Longitudinal>
void sample_separable(Matrix& target, const Vertical& vertical, const Longitudinal& longitudinal,
                      double origin_y, double origin_z, double step_y, double step_z, unsigned workers) {
  Matrix rows(target.rows(), 1);
  grid_evaluate(
      rows, [&vertical](double y, double, double* out) { *out = vertical(y); }, origin_y, 0.0, step_y, 0.0,
      workers);
  Matrix columns(1, target.columns());
  grid_evaluate(
      columns, [&longitudinal](double, double z, double* out) { *out = longitudinal(z); }, 0.0, origin_z, 0.0,
      step_z, workers);
  grid_evaluate(
      target,
      [&](double r, double c, double* out) {
        *out = columns[0][static_cast<std::uint32_t>(c)] * rows[static_cast<std::uint32_t>(r)][0];
      },
      0.0, 0.0, 1.0, 1.0, workers);
}

}  // namespace expcoil
