#include "app/parameters.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <unordered_map>

#include "app/memory.hpp"
#include "lib/constants.hpp"
#include "lib/number_format.hpp"
#include "magnet/field_map.hpp"
#include "magnet/field_map_grid.hpp"
#include "magnet/solver.hpp"

namespace expcoil {

double config_real(const std::string& value) { return std::strtod(value.c_str(), nullptr); }

std::int32_t config_integer(const std::string& value) {
  errno = 0;
  const long long v = std::strtoll(value.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

std::int32_t config_switch(const std::string& value) {
  if (value.empty()) return 0;
  char c = value[0];
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return (c == 't' || c == 'y' || c == '1') ? 1 : 0;
}

namespace {

void read_real(ConfigIndex& index, std::string_view key, double factor, double& field) {
  if (const std::string* v = index.lookup(key)) field = config_real(*v) * factor;
}

void read_real_nth(ConfigIndex& index, std::string_view key, std::uint32_t n, double factor, double& field) {
  if (const std::string* v = index.lookup_nth(key, n)) field = config_real(*v) * factor;
}

}  // namespace

void magnet_spec_read(ConfigIndex& index, std::uint32_t n, const ParameterSet& set, MagnetSpec& magnet) {
  magnet = MagnetSpec{};
  if (const std::string* v = index.lookup_nth("Magnet name", n)) magnet.name = *v;
  magnet.params = &set;
  read_real_nth(index, "Bmax", n, 1.0, magnet.bmax);
  read_real_nth(index, "Length", n, 1.0, magnet.length);
  read_real_nth(index, "Angle (degrees)", n, kRadiansPerDegree, magnet.angle);
  read_real_nth(index, "Winding centre to midplane", n, 1.0, magnet.winding_centre_to_midplane);
  read_real_nth(index, "Winding return half-length", n, 1.0, magnet.winding_return_half_length);
  read_real_nth(index, "Area per winding (cm^2)", n, 0.0001, magnet.area_per_winding);
  read_real_nth(index, "Winding current density (A/mm^2)", n, 1000000.0, magnet.current_density);
  read_real_nth(index, "Winding thickness (cm)", n, 0.01, magnet.winding_thickness);
  if (const std::string* v = index.lookup_nth("Polynomial adjustment", n)) {
    for (const std::string& piece : split_string(",", *v, 0)) {
      magnet.polynomial_adjustment.push_back(config_real(piece));
    }
  }
  // NaN compares unequal to everything, but a NaN angle must not make a bent magnet.
  magnet.angle_mode = (magnet.angle != 0.0 && !std::isnan(magnet.angle)) ? 1 : 0;
}

std::unique_ptr<ParameterSet> parameter_set_read(const ConfigList& list) {
  ConfigIndex index(list);
  auto set = std::make_unique<ParameterSet>();
  if (const std::string* v = index.lookup("Parameters name")) set->name = *v;
  read_real(index, "Scaling k", 1.0, set->scaling_k);
  read_real(index, "Good field height", 1.0, set->good_field_height);
  read_real(index, "Vertical end height", 1.0, set->vertical_end_height);
  read_real(index, "Vertical middle join height", 1.0, set->vertical_middle_join_height);
  read_real(index, "Vertical middle asymmetry", 1.0, set->vertical_middle_asymmetry);
  read_real(index, "Vertical middle ramp", 1.0, set->vertical_middle_ramp);
  read_real(index, "Vertical end asymmetry", 1.0, set->vertical_end_asymmetry);
  read_real(index, "Vertical end ramp", 1.0, set->vertical_end_ramp);
  if (const std::string* v = index.lookup("Coil meshes")) {
    set->coil_meshes[0] = set->coil_meshes[1] = config_integer(*v);
  }
  if (const std::string* v = index.lookup("FFT meshes")) {
    set->fft_meshes[0] = set->fft_meshes[1] = config_integer(*v);
  }
  if (const std::string* v = index.lookup("Use vertical FFT inversion")) {
    set->use_vertical_fft_inversion = config_switch(*v);
  }
  read_real(index, "Fieldmap transverse cell", 1.0, set->fieldmap_cell[0]);
  read_real(index, "Fieldmap vertical cell", 1.0, set->fieldmap_cell[1]);
  read_real(index, "Fieldmap longitudinal cell", 1.0, set->fieldmap_cell[2]);
  read_real(index, "Fieldmap transverse extension", 1.0, set->fieldmap_extension[0]);
  read_real(index, "Fieldmap vertical extension", 1.0, set->fieldmap_extension[1]);
  read_real(index, "Fieldmap longitudinal extension", 1.0, set->fieldmap_extension[2]);

  const std::uint32_t m = index.count("Magnet name");
  for (std::uint32_t n = 1; n <= m; ++n) {
    MagnetSpec magnet;
    magnet_spec_read(index, n, *set, magnet);
    set->magnets.append(std::move(magnet));
  }
  return set;
}

ConfigError::ConfigError(std::vector<std::string> problems)
    : std::runtime_error(problems.empty() ? std::string("configuration error") : problems.front()),
      problems_(std::move(problems)) {}

namespace {

std::string quoted(std::string_view s) {
  // Built by appending: operator+ on a literal trips a false -Wrestrict in g++ 12 (GCC bug 105651).
  std::string q(1, '"');
  q.append(s).push_back('"');
  return q;
}

class Checker {
 public:
  Checker(const std::string& file, std::vector<std::string>& problems, KeyName key_name)
      : file_(file), problems_(problems), key_name_(key_name), memory_(usable_memory_bytes()) {}

  // Messages after this name the magnet: by its name, or by its position when it has none.
  void set_magnet(const MagnetSpec* magnet, std::uint32_t n = 0, std::uint32_t count = 0) {
    magnet_ = magnet;
    position_ = "magnet " + std::to_string(n) + " of " + std::to_string(count);
  }

  void fail(const std::string& what) {
    std::string line = file_ + ": ";
    if (magnet_ != nullptr)
      line += (magnet_->name.empty() ? position_ : "magnet " + quoted(magnet_->name)) + ": ";
    problems_.push_back(line + what);
  }

  // A key as the messages name it: config.txt's key, or the front end's name for it.
  std::string key(std::string_view config_key) const {
    return quoted(key_name_ != nullptr ? key_name_(config_key) : std::string(config_key));
  }

  void finite(std::string_view config_key, double value) {
    if (!std::isfinite(value)) fail(key(config_key) + " is not a finite number");
  }
  void positive(std::string_view config_key, double value) {
    if (std::isfinite(value) && !(value > 0.0)) {
      fail(key(config_key) + " must be positive (it is " + format_general(value, 6) + ")");
    }
  }
  void memory(const std::string& what, double bytes) {
    if (bytes > memory_) {
      fail(what + " needs " + format_gib(bytes) + " of memory, more than this machine's " +
           format_gib(memory_));
    }
  }

 private:
  const std::string& file_;
  std::vector<std::string>& problems_;
  const MagnetSpec* magnet_ = nullptr;
  std::string position_;
  KeyName key_name_;
  double memory_;
};

const char* const kAxis[3] = {"transverse", "vertical", "longitudinal"};

const char* const kMagnetKeys[] = {"Bmax",
                                   "Length",
                                   "Angle (degrees)",
                                   "Winding centre to midplane",
                                   "Winding return half-length",
                                   "Area per winding (cm^2)",
                                   "Winding current density (A/mm^2)",
                                   "Winding thickness (cm)",
                                   "Polynomial adjustment"};

// "1st", "2nd", "3rd", "4th" ... "11th", "12th", "13th", "21st".
std::string ordinal(std::uint32_t n) {
  const char* suffix = "th";
  if (n % 100 < 11 || n % 100 > 13) {
    if (n % 10 == 1) suffix = "st";
    if (n % 10 == 2) suffix = "nd";
    if (n % 10 == 3) suffix = "rd";
  }
  return std::to_string(n) + suffix;
}

// The field map's extent is judged only from inputs that are usable in themselves, so that one bad
// value gives one message.
bool field_map_inputs_usable(const ParameterSet& set) {
  bool usable = std::isfinite(set.good_field_height);
  for (int a = 0; a < 3; ++a) {
    usable = usable && set.fieldmap_cell[a] > 0 && std::isfinite(set.fieldmap_cell[a]) &&
             std::isfinite(set.fieldmap_extension[a]);
  }
  return usable;
}

// The values of the parameter set that the stages divide by, take logarithms of or count with.
void check_set(Checker& check, const ParameterSet& set) {
  const std::pair<const char*, std::int32_t> meshes[] = {{"Coil meshes", set.coil_meshes[0]},
                                                         {"FFT meshes", set.fft_meshes[0]}};
  for (const auto& [key, n] : meshes) {
    if (n < 2) check.fail(check.key(key) + " must be at least 2 (it is " + std::to_string(n) + ")");
  }
  const std::pair<const char*, double> reals[] = {
      {"Scaling k", set.scaling_k},
      {"Good field height", set.good_field_height},
      {"Vertical end height", set.vertical_end_height},
      {"Vertical middle join height", set.vertical_middle_join_height},
      {"Vertical middle asymmetry", set.vertical_middle_asymmetry},
      {"Vertical middle ramp", set.vertical_middle_ramp},
      {"Vertical end asymmetry", set.vertical_end_asymmetry},
      {"Vertical end ramp", set.vertical_end_ramp},
      {"Fieldmap transverse cell", set.fieldmap_cell[0]},
      {"Fieldmap vertical cell", set.fieldmap_cell[1]},
      {"Fieldmap longitudinal cell", set.fieldmap_cell[2]},
      {"Fieldmap transverse extension", set.fieldmap_extension[0]},
      {"Fieldmap vertical extension", set.fieldmap_extension[1]},
      {"Fieldmap longitudinal extension", set.fieldmap_extension[2]},
  };
  for (const auto& [key, value] : reals) check.finite(key, value);
  if (set.scaling_k == 0.0) check.fail(check.key("Scaling k") + " must not be zero");
  check.positive("Good field height", set.good_field_height);
  check.positive("Vertical end height", set.vertical_end_height);
  for (int a = 0; a < 3; ++a) {
    check.positive(std::string("Fieldmap ") + kAxis[a] + " cell", set.fieldmap_cell[a]);
  }
}

// What the solver will hold, as the solver counts it; meshes the checks above reject count as empty.
void check_solver_memory(Checker& check, const ParameterSet& set) {
  ParameterSet usable;
  for (int d = 0; d < 2; ++d) {
    usable.coil_meshes[d] = set.coil_meshes[d] >= 2 ? set.coil_meshes[d] : 0;
    usable.fft_meshes[d] = set.fft_meshes[d] >= 2 ? set.fft_meshes[d] : 0;
  }
  const SolverMemory need = solver_memory(usable);
  check.memory(check.key("FFT meshes") + " of " + std::to_string(set.fft_meshes[0]), need.fft_matrices);
  check.memory(check.key("Coil meshes") + " of " + std::to_string(set.coil_meshes[0]), need.coil_matrix);
}

// The values of magnet n (from 1), and with the file's `index` its lines. Returns whether its values are
// all finite.
bool check_magnet(Checker& check, ConfigIndex* index, std::uint32_t n, const ParameterSet& set,
                  const MagnetSpec& magnet) {
  if (magnet.name.find_first_of("/\\") != std::string::npos) {
    check.fail(check.key("Magnet name") +
               " must not contain '/' or '\\': output files are written to the working directory");
  }
  if (index != nullptr && index->lookup_nth("Polynomial adjustment", n) == nullptr) {
    check.fail("no \"Polynomial adjustment\" line for this magnet (magnet " + std::to_string(n) + " of " +
               std::to_string(set.magnet_count()) + ")");
  }
  const std::pair<const char*, double> magnet_reals[] = {
      {"Bmax", magnet.bmax},
      {"Length", magnet.length},
      {"Angle (degrees)", magnet.angle},
      {"Winding centre to midplane", magnet.winding_centre_to_midplane},
      {"Winding return half-length", magnet.winding_return_half_length},
      {"Area per winding (cm^2)", magnet.area_per_winding},
      {"Winding current density (A/mm^2)", magnet.current_density},
      {"Winding thickness (cm)", magnet.winding_thickness},
  };
  bool magnet_finite = true;
  for (const auto& [key, value] : magnet_reals) {
    check.finite(key, value);
    magnet_finite = magnet_finite && std::isfinite(value);
  }
  for (double c : magnet.polynomial_adjustment) {
    if (!std::isfinite(c)) {
      check.finite("Polynomial adjustment", c);
      break;
    }
  }
  if (magnet.length < 0.0) {
    check.fail(check.key("Length") + " must not be negative (it is " + format_general(magnet.length, 6) +
               ")");
  }
  check.positive("Winding return half-length", magnet.winding_return_half_length);
  const double winding_current = magnet.winding_current();
  const std::string winding_current_keys = "the winding current (" +
                                           check.key("Winding current density (A/mm^2)") + " times " +
                                           check.key("Area per winding (cm^2)") + ")";
  if (winding_current == 0.0) {
    check.fail(winding_current_keys + " must not be zero");
  } else if (!std::isfinite(winding_current) && std::isfinite(magnet.current_density) &&
             std::isfinite(magnet.area_per_winding)) {
    check.fail(winding_current_keys + " is not a finite number");
  }
  if (magnet.angle_mode == 1 && magnet.length == 0.0) {
    check.fail("a bent magnet (non-zero " + check.key("Angle (degrees)") + ") must have a non-zero " +
               check.key("Length"));
  }
  return magnet_finite;
}

// The magnet's field map must have points along every axis. Its size is judged by the program against
// the disk (the map is computed in slabs of bounded memory, so memory does not limit it).
void check_field_map(Checker& check, const MagnetSpec& magnet) {
  const FieldMapGrid grid = field_map_grid(magnet);
  for (int a = 0; a < 3; ++a) {
    if (grid.count[a] == 0) {
      check.fail(std::string("the field map has no usable number of points along its ") + kAxis[a] +
                 " axis: check " + check.key(std::string("Fieldmap ") + kAxis[a] + " cell") + " and " +
                 check.key(std::string("Fieldmap ") + kAxis[a] + " extension"));
    }
  }
}

// Everything but the file's own lines ("Parameters name", blocks without their name), in the order the
// messages are printed; the magnets' "Polynomial adjustment" lines only with the file's `index`.
void check_records(Checker& check, ConfigIndex* index, const ParameterSet& set) {
  if (set.magnet_count() == 0) return;
  check_set(check, set);
  check_solver_memory(check, set);
  const bool map_inputs_usable = field_map_inputs_usable(set);
  std::unordered_map<std::string_view, std::uint32_t> first_with_name;
  for (std::uint32_t i = 0; i < set.magnet_count(); ++i) {
    const MagnetSpec& magnet = set.magnets[i];
    check.set_magnet(&magnet, i + 1, set.magnet_count());
    // Output files are named after the magnet: an empty name or a name used twice loses files.
    if (magnet.name.empty()) check.fail(check.key("Magnet name") + " must not be empty");
    const auto [first, inserted] = first_with_name.emplace(magnet.name, i + 1);
    if (!inserted && !magnet.name.empty()) {
      check.fail(check.key("Magnet name") + " is also the name of magnet " + std::to_string(first->second) +
                 ": its output files would replace that magnet's");
    }
    const bool magnet_finite = check_magnet(check, index, i + 1, set, magnet);
    if (map_inputs_usable && magnet_finite) check_field_map(check, magnet);
  }
}

}  // namespace

std::vector<std::string> check_parameter_set(const std::string& file, const ConfigList& list,
                                             const ParameterSet& set) {
  std::vector<std::string> problems;
  Checker check(file, problems, nullptr);
  ConfigIndex index(list);  // one scan of the list for all magnets, not one per magnet
  if (index.lookup("Parameters name") == nullptr) check.fail("no \"Parameters name\" line");
  // A block without its "Magnet name" line would silently shift every later magnet onto the next
  // block's values; its extra lines are the sign.
  for (const char* key : kMagnetKeys) {
    const std::uint32_t lines = index.count(key);
    if (lines <= set.magnet_count()) continue;
    check.fail("the " + ordinal(set.magnet_count() + 1) + " " + quoted(key) +
               " line belongs to no magnet: " + std::to_string(lines) + " " + quoted(key) + " lines but " +
               std::to_string(set.magnet_count()) +
               " \"Magnet name\" lines (a magnet block without its \"Magnet name\" line?)");
    break;  // the other keys of that block say the same
  }
  check_records(check, &index, set);
  return problems;
}

std::vector<std::string> check_parameter_values(const std::string& source, const ParameterSet& set,
                                                KeyName key_name) {
  std::vector<std::string> problems;
  Checker check(source, problems, key_name);
  check_records(check, nullptr, set);
  return problems;
}

std::unique_ptr<ParameterSet> parameter_set_load(const std::string& path) {
  std::string error;
  ConfigList list = config_read(path, ':', &error);
  if (!error.empty()) throw ConfigError({path + ": cannot be read: " + error});
  std::unique_ptr<ParameterSet> set = parameter_set_read(list);
  std::vector<std::string> problems = check_parameter_set(path, list, *set);
  if (!problems.empty()) throw ConfigError(std::move(problems));
  return set;
}

}  // namespace expcoil
