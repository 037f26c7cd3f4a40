// The parameter set and the magnet records, in SI units. Every unit conversion of the program
// happens here, once, when the configuration is loaded.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/config.hpp"
#include "lib/grow_list.hpp"
#include "lib/matrix.hpp"

namespace expcoil {

struct ParameterSet;

struct MagnetSpec {
  std::string name;
  const ParameterSet* params = nullptr;        // the set this magnet belongs to
  double bmax = 0.0;                           // T
  double length = 0.0;                         // m
  double angle = 0.0;                          // rad
  double winding_centre_to_midplane = 0.0;     // m
  double winding_return_half_length = 0.0;     // m
  double area_per_winding = 0.0;               // m^2
  double current_density = 0.0;                // A/m^2
  double winding_thickness = 0.0;              // m
  CountedArray<double> polynomial_adjustment;  // coefficients in file order; empty only when missing
  std::int32_t angle_mode = 0;                 // 1 exactly when angle is non-zero (a bent magnet)
};

struct ParameterSet {
  std::string name;
  double scaling_k = 0.0;  // 1/m
  double good_field_height = 0.0;
  double vertical_end_height = 0.0;
  double vertical_middle_join_height = 0.0;
  double vertical_middle_asymmetry = 0.0;
  double vertical_middle_ramp = 0.0;
  double vertical_end_asymmetry = 0.0;
  double vertical_end_ramp = 0.0;
  std::int32_t coil_meshes[2] = {0, 0};  // rows (y), columns (z)
  std::int32_t fft_meshes[2] = {0, 0};
  std::int32_t use_vertical_fft_inversion = 0;
  double fieldmap_cell[3] = {0.0, 0.0, 0.0};       // transverse, vertical, longitudinal, m
  double fieldmap_extension[3] = {0.0, 0.0, 0.0};  // m
  GrowList<MagnetSpec> magnets;

  std::uint32_t magnet_count() const { return magnets.count(); }
};

// Value conversions of the configuration, as the C library does them in the "C" locale.
double config_real(const std::string& value);           // atof: numeric prefix, 0 when there is none
std::int32_t config_integer(const std::string& value);  // atoi: numeric prefix, saturated to 32 bits
std::int32_t config_switch(const std::string& value);   // 1 when it starts with t, y or 1 (any case)

// Builds the records from a parsed configuration without judging the values: a missing key takes its
// default, and the n-th magnet takes the n-th occurrence of every magnet key.
std::unique_ptr<ParameterSet> parameter_set_read(const ConfigList& list);
void magnet_spec_read(ConfigIndex& index, std::uint32_t n, const ParameterSet& set, MagnetSpec& magnet);

// Every problem found in a configuration, one message each.
class ConfigError : public std::runtime_error {
 public:
  explicit ConfigError(std::vector<std::string> problems);
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::vector<std::string> problems_;
};

// Reads `path` and checks everything the later stages rely on; throws ConfigError listing every
// problem, so that a run never starts on a configuration it cannot finish.
std::unique_ptr<ParameterSet> parameter_set_load(const std::string& path);

// The checks behind parameter_set_load; `file` names the file in the messages.
std::vector<std::string> check_parameter_set(const std::string& file, const ConfigList& list,
                                             const ParameterSet& set);

}  // namespace expcoil
