// The magnet's domain model: the parameters shared by all magnets (mesh sizes, the target profile, the
// field-map grid) and one MagnetSpec per magnet, in SI units. Every stage reaches all its inputs from a
// MagnetSpec alone: it carries its own copy of the shared parameters, so a record can be moved, copied
// and changed (with_value) without reaching back into the set it came from. The records are filled
// once (from config.txt by the program, from Python values by the package) and only read afterwards,
// by any number of threads.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "config/config_file.hpp"
#include "config/keys.hpp"
#include "lib/grow_list.hpp"

namespace expcoil {

// The parameter block of config.txt.
struct Parameters {
  std::string name;
  double scaling_k = 0.0;                    // exponent of the field profile, 1/m
  double good_field_height = 0.0;            // m
  double vertical_end_height = 0.0;          // m
  double vertical_middle_join_height = 0.0;  // m
  double vertical_middle_asymmetry = 0.0;    // pure number
  double vertical_middle_ramp = 0.0;         // pure number
  double vertical_end_asymmetry = 0.0;       // pure number
  double vertical_end_ramp = 0.0;            // pure number
  std::int32_t coil_meshes[2] = {0, 0};      // points of the coil mesh: rows (y), columns (z)
  std::int32_t fft_meshes[2] = {0, 0};       // points of the FFT mesh: rows (y), columns (z)
  bool use_vertical_fft_inversion = false;
  double fieldmap_cell[3] = {0.0, 0.0, 0.0};       // grid spacing: transverse, vertical, longitudinal, m
  double fieldmap_extension[3] = {0.0, 0.0, 0.0};  // margins around the magnet, m
  double fieldmap_tolerance = 0.0;                 // relative to the map's largest |B|; 0: exact
  std::string design_mode = "literal";             // "literal" or "precise" (magnet/precise.hpp)
};

struct MagnetSpec {
  std::string name;                           // used in the output file names
  Parameters params;                          // those of the set this magnet belongs to
  double bmax = 0.0;                          // peak field, T
  double length = 0.0;                        // m
  double angle = 0.0;                         // bend angle, rad
  double winding_centre_to_midplane = 0.0;    // distance of each winding layer from x = 0, m
  double winding_return_half_length = 0.0;    // half-width of the longitudinal end ramps, m
  double area_per_winding = 0.0;              // m^2
  double current_density = 0.0;               // A/m^2
  double winding_thickness = 0.0;             // m (recorded, not used by the design)
  std::vector<double> polynomial_adjustment;  // coefficients in file order; empty only when missing
  bool bent = false;                          // exactly when angle is non-zero and not NaN

  // The current every winding carries, A: current_density * area_per_winding.
  double winding_current() const { return current_density * area_per_winding; }

  // A copy with one key's value changed, in SI units (for a mesh key, both sides of the mesh); the
  // key's kind must be a real or a mesh size (InputError otherwise). Keeps `bent` in step with the angle.
  MagnetSpec with_value(KeyId key, double value) const;
};

struct ParameterSet : Parameters {
  GrowList<MagnetSpec> magnets;  // in the order of their "Magnet name" lines

  std::uint32_t magnet_count() const { return magnets.count(); }
};

// Where a key's value lives in a record: text, a real, a mesh pair, a switch or a list of reals, as the
// key's kind says. Null for a key of the other scope.
using RecordField =
    std::variant<std::monostate, std::string*, double*, std::int32_t*, bool*, std::vector<double>*>;
RecordField record_field(Parameters& parameters, KeyId key);
RecordField record_field(MagnetSpec& magnet, KeyId key);

// Builds the records from a parsed configuration without judging the values: a missing key takes its
// default, and the n-th magnet takes the n-th occurrence of every magnet key.
ParameterSet parameter_set_read(const ConfigList& list);

// Sets the derived members of a magnet whose keys were filled one by one.
void finish_magnet(MagnetSpec& magnet);

}  // namespace expcoil
