// The magnet's domain model: one ParameterSet shared by all magnets (mesh sizes, the target profile, the
// field-map grid) and one MagnetSpec per magnet, in SI units. Every stage reaches all its inputs from a
// MagnetSpec alone, through `params`. The records are filled once (from config.txt by the program, from
// Python values by the package) and only read afterwards, by any number of threads.
#pragma once

#include <cstdint>
#include <string>

#include "lib/grow_list.hpp"
#include "lib/matrix.hpp"

namespace expcoil {

struct ParameterSet;

struct MagnetSpec {
  std::string name;                            // used in the output file names
  const ParameterSet* params = nullptr;        // the set this magnet belongs to
  double bmax = 0.0;                           // peak field, T
  double length = 0.0;                         // m
  double angle = 0.0;                          // bend angle, rad
  double winding_centre_to_midplane = 0.0;     // distance of each winding layer from x = 0, m
  double winding_return_half_length = 0.0;     // half-width of the longitudinal end ramps, m
  double area_per_winding = 0.0;               // m^2
  double current_density = 0.0;                // A/m^2
  double winding_thickness = 0.0;              // m (recorded, not used by the design)
  CountedArray<double> polynomial_adjustment;  // coefficients in file order; empty only when missing
  std::int32_t angle_mode = 0;                 // 1 exactly when angle is non-zero (a bent magnet)

  // The current every winding carries, A: current_density * area_per_winding.
  double winding_current() const { return current_density * area_per_winding; }
};

struct ParameterSet {
  std::string name;
  double scaling_k = 0.0;                          // exponent of the field profile, 1/m
  double good_field_height = 0.0;                  // m
  double vertical_end_height = 0.0;                // m
  double vertical_middle_join_height = 0.0;        // m
  double vertical_middle_asymmetry = 0.0;          // pure number
  double vertical_middle_ramp = 0.0;               // pure number
  double vertical_end_asymmetry = 0.0;             // pure number
  double vertical_end_ramp = 0.0;                  // pure number
  std::int32_t coil_meshes[2] = {0, 0};            // points of the coil mesh: rows (y), columns (z)
  std::int32_t fft_meshes[2] = {0, 0};             // points of the FFT mesh: rows (y), columns (z)
  std::int32_t use_vertical_fft_inversion = 0;     // 0 or 1
  double fieldmap_cell[3] = {0.0, 0.0, 0.0};       // grid spacing: transverse, vertical, longitudinal, m
  double fieldmap_extension[3] = {0.0, 0.0, 0.0};  // margins around the magnet, m
  GrowList<MagnetSpec> magnets;                    // in the order of their "Magnet name" lines

  std::uint32_t magnet_count() const { return magnets.count(); }
};

}  // namespace expcoil
