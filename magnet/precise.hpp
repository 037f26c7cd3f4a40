// The precise design mode ("Design mode: precise"): windings whose field follows Bmax e^(k y) across
// each good-field band to the promise of magnet/promise.hpp, with no hand-tuning.
//
// The literal chain's 2-D inversion factor e^(|kappa_y| d) ignores the magnet's finite length, which
// shifts k by a few per cent for d / L^2 of the order of the examples'. Here the factor is the exact one
// for the mid-plane By of two mirror planar layers, e^(sqrt(kappa_y^2 + kappa_z^2) d); the longitudinal
// ramps are raised cosines (the linear ramps' kinks would come back as noise windings under the 3-D
// factor); the profile's constant is c0 = -e^(-k g), which puts the potential's zero at the weak edge of
// the band so that the level lines there are not starved; and the meshes and the current per winding are
// chosen so that neither the mesh nor the winding pitch limits the field: spacings of at most 0.4 d
// (coil) and 0.5 d (FFT), and a pitch mu0 I e^(k g) / Bmax of at most 0.2 d at the weak edge.
//
// The domain in which this holds (measured): k g <= 1.2, L / d >= 20, g / d >= 7.5, vertical end height
// and vertical middle join height >= 15 d. A magnet outside it is refused, not designed; one inside is
// still judged on its own field (magnet/promise.hpp), since the limits are measured, not proven.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/matrix.hpp"
#include "magnet/records.hpp"

namespace expcoil {

inline constexpr std::string_view kLiteralMode = "literal";
inline constexpr std::string_view kPreciseMode = "precise";

inline bool precise_mode(const MagnetSpec& magnet) { return magnet.params.design_mode == kPreciseMode; }

// The domain's limits.
inline constexpr double kPreciseMaxKG = 1.2;                // k g
inline constexpr double kPreciseMinLengthOverD = 20.0;      // L / d
inline constexpr double kPreciseMinGoodFieldOverD = 7.5;    // g / d
inline constexpr double kPreciseMinEndHeightOverD = 15.0;   // vertical end height / d
inline constexpr double kPreciseMinJoinHeightOverD = 15.0;  // vertical middle join height / d
inline constexpr double kPreciseMaxPitchOverD = 0.2;        // mu0 I e^(k g) / |Bmax| over d
// The meshes' largest spacings over d: the coil mesh's, and the enlarged FFT grid's.
inline constexpr double kPreciseCoilSpacingOverD = 0.4;
inline constexpr double kPreciseFftStepOverD = 0.5;

// How a message names a key given by its config.txt text (quoted, or a front end's name for it).
using KeyQuoter = std::function<std::string(std::string_view config_key)>;

// What keeps `magnet` (of finite values) out of the precise mode's domain, one message per limit, each
// naming the keys, their values and the values that would bring it inside; empty inside.
std::vector<std::string> precise_domain_problems(const MagnetSpec& magnet, const KeyQuoter& key = {});

// The largest current per winding the pitch rule allows, A.
double precise_max_winding_current(const MagnetSpec& magnet);

// The magnet as the precise mode designs it: the coil and FFT meshes chosen from the geometry (never
// coarser than the configuration's; the FFT's a power of two), the profile's polynomial replaced by the
// constant c0 = -e^(-k g), and the vertical steps (end and middle) of ramp 2 and asymmetry 0.
MagnetSpec precise_magnet(const MagnetSpec& magnet);

// The magnet as its design mode designs it: precise_magnet's in the precise mode, itself in the literal.
inline MagnetSpec designed_magnet(const MagnetSpec& magnet) {
  return precise_mode(magnet) ? precise_magnet(magnet) : magnet;
}

// Z(z): 1 along the body, a raised cosine down to 0 over +-h about each end (h the winding return
// half-length); its integral is L, as the literal linear ramps'.
double raised_cosine_ramp(const MagnetSpec& magnet, double z);

// The 3-D inversion factor at (kappa_y, kappa_z) for layers at d: e^(kappa d) with kappa the length of
// the wavenumber, capped (at most 500) as the literal factor is, 1 / (e^(-kappa d) + 1e-6 e^(kappa d)).
double precise_inversion_factor(double kappa_y, double kappa_z, double d);

// The current potential of `designed` (from precise_magnet) on its coil mesh, A, times `scale`, corrected
// for the rounding into windings (correct_rounding_bias).
Matrix precise_current_potential(const MagnetSpec& designed, unsigned workers = 0, double scale = 1.0);

// The windings are the level lines of the potential at (n - 1/2) I: they carry the potential rounded to
// whole windings. Along z, at every height, that rounding leaves a bias in the potential's integral (the
// source of the integrated field) where the windings return, from the partial windings at the ramps' flat
// ends; it is largest near the weak edge of the band and grows as I^1.5 (the example at 1750 A: k_int
// 0.56 % off). This adds c(y) |Z'(z)| / 2, at the ramps alone so that the body's field is left as it is,
// until the integral of the rounded potential, smoothed over d / 2 in y (the field does not see the
// faster ripple of the single windings), is the unrounded one's. `rows` and `columns` of `potential` are
// the coil mesh of `designed`. Returns the largest smoothed bias left, A m.
double correct_rounding_bias(Matrix& potential, const MagnetSpec& designed, int iterations);

// The bias on the line at t (0 .. 1) of the way from mesh row i - 1 to row i: the integral over z of the
// rounded potential less the potential's, A m, the potential interpolated on the contouring's triangles.
double line_rounding_bias(const Matrix& potential, std::uint32_t i, double t, double spacing,
                          double winding_current);

}  // namespace expcoil
