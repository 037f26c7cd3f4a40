#include "magnet/checks.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "lib/constants.hpp"
#include "lib/errors.hpp"
#include "lib/memory.hpp"
#include "lib/number_format.hpp"
#include "magnet/field_map.hpp"
#include "magnet/field_map_grid.hpp"
#include "magnet/precise.hpp"
#include "magnet/solver.hpp"

namespace expcoil {

namespace {

std::string quoted(std::string_view s) {
  // Built by appending: operator+ on a literal trips a false -Wrestrict in g++ 12 (GCC bug 105651).
  std::string q(1, '"');
  q.append(s).push_back('"');
  return q;
}

class Checker {
 public:
  Checker(const std::string& file, std::vector<std::string>& problems, KeyName key_name,
          std::vector<std::string>* warnings = nullptr)
      : file_(file),
        problems_(problems),
        warnings_(warnings),
        key_name_(key_name),
        memory_(usable_memory_bytes()),
        reported_(config_keys().size(), false) {}

  // Messages after this name the magnet: by its name, or by its position when it has none.
  void set_magnet(const MagnetSpec* magnet, std::uint32_t n = 0, std::uint32_t count = 0) {
    magnet_ = magnet;
    position_ = "magnet " + std::to_string(n) + " of " + std::to_string(count);
    for (const KeyInfo& k : config_keys()) {
      if (k.scope == KeyScope::kMagnet) reported_[static_cast<std::size_t>(k.id)] = false;
    }
  }

  void fail(const std::string& what) { problems_.push_back(prefix() + what); }
  void warn(const std::string& what) {
    if (warnings_ != nullptr) warnings_->push_back(prefix() + what);
  }

  // A key whose line is missing or unreadable has been reported once: the checks of its value, which
  // would only judge the 0 it was read as, say nothing more about it.
  void mark(KeyId id) { reported_[static_cast<std::size_t>(id)] = true; }
  bool reported(KeyId id) const { return reported_[static_cast<std::size_t>(id)]; }
  bool from_file() const { return key_name_ == nullptr; }

  // A key as the messages name it: config.txt's key, or the front end's name for it.
  std::string key(std::string_view config_key) const {
    const KeyInfo* info = find_key(config_key);
    return quoted(key_name_ != nullptr && info != nullptr ? key_name_(*info) : std::string(config_key));
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
  std::string prefix() const {
    std::string line = file_ + ": ";
    if (magnet_ != nullptr)
      line += (magnet_->name.empty() ? position_ : "magnet " + quoted(magnet_->name)) + ": ";
    return line;
  }

  const std::string& file_;
  std::vector<std::string>& problems_;
  std::vector<std::string>* warnings_;
  const MagnetSpec* magnet_ = nullptr;
  std::string position_;
  KeyName key_name_;
  double memory_;
  std::vector<bool> reported_;
};

const char* const kAxis[3] = {"transverse", "vertical", "longitudinal"};

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

// The value of a real key of the record; NaN for a key of another kind.
template <class Record>
double real_value(const Record& record, const KeyInfo& k) {
  const RecordField field = record_field(const_cast<Record&>(record), k.id);
  const double* const* v = std::get_if<double*>(&field);
  return v != nullptr ? **v : std::nan("");
}

// The rules of the key table that a single real value must pass, each rule in its own pass over the
// keys so that the messages come in the order the program has always printed them: every value that
// is not finite, then every one out of its range.
template <class Record>
void check_finite_reals(Checker& check, const Record& record, KeyScope scope) {
  for (const KeyInfo& k : config_keys()) {
    if (k.scope == scope && k.kind == KeyKind::kReal && !check.reported(k.id)) {
      check.finite(k.key, real_value(record, k));
    }
  }
}

template <class Record>
void check_real_ranges(Checker& check, const Record& record, KeyScope scope) {
  for (const KeyInfo& k : config_keys()) {
    if (k.scope != scope || k.kind != KeyKind::kReal || k.rule != KeyRule::kNonZero || check.reported(k.id))
      continue;
    if (real_value(record, k) == 0.0) check.fail(check.key(k.key) + " must not be zero");
  }
  for (const KeyInfo& k : config_keys()) {
    if (k.scope != scope || k.kind != KeyKind::kReal || k.rule != KeyRule::kNonNegative ||
        check.reported(k.id))
      continue;
    const double v = real_value(record, k);
    if (v < 0.0) check.fail(check.key(k.key) + " must not be negative (it is " + format_general(v, 6) + ")");
  }
  for (const KeyInfo& k : config_keys()) {
    if (k.scope == scope && k.kind == KeyKind::kReal && k.rule == KeyRule::kPositive &&
        !check.reported(k.id)) {
      check.positive(k.key, real_value(record, k));
    }
  }
}

// The values of the parameter set that the stages divide by, take logarithms of or count with.
void check_set(Checker& check, const ParameterSet& set) {
  for (const KeyInfo& k : config_keys()) {
    if (k.scope != KeyScope::kParameters || k.rule != KeyRule::kAtLeastTwo || check.reported(k.id)) continue;
    const std::int32_t n = std::get<std::int32_t*>(record_field(const_cast<ParameterSet&>(set), k.id))[0];
    if (n < 2) check.fail(check.key(k.key) + " must be at least 2 (it is " + std::to_string(n) + ")");
  }
  check_finite_reals(check, set, KeyScope::kParameters);
  check_real_ranges(check, set, KeyScope::kParameters);
  for (const KeyInfo& k : config_keys()) {
    if (k.scope != KeyScope::kParameters || k.rule != KeyRule::kChoice) continue;
    const std::string& value = *std::get<std::string*>(record_field(const_cast<ParameterSet&>(set), k.id));
    std::string accepted;
    bool known = false;
    for (std::string_view rest = k.choices; !rest.empty();) {
      const std::size_t bar = rest.find('|');
      const std::string_view choice = rest.substr(0, bar);
      known = known || value == choice;
      accepted += (accepted.empty()                ? ""
                   : bar == std::string_view::npos ? " or "
                                                   : ", ") +
                  std::string(choice);
      rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
    }
    if (!known) check.fail(check.key(k.key) + " must be " + accepted + " (it is " + quoted(value) + ")");
  }
}

// What the solver will hold, as the solver counts it; meshes the checks above reject count as empty.
void check_solver_memory(Checker& check, const ParameterSet& set) {
  Parameters usable;
  for (int d = 0; d < 2; ++d) {
    usable.coil_meshes[d] = set.coil_meshes[d] >= 2 ? set.coil_meshes[d] : 0;
    usable.fft_meshes[d] = set.fft_meshes[d] >= 2 ? set.fft_meshes[d] : 0;
  }
  const SolverMemory need = solver_memory(usable);
  check.memory(check.key("FFT meshes") + " of " + std::to_string(set.fft_meshes[0]), need.fft_matrices);
  check.memory(check.key("Coil meshes") + " of " + std::to_string(set.coil_meshes[0]), need.coil_matrix);
}

// The lines of one record (the parameter block, or magnet n of `count`): each magnet key must have
// its n-th line, since a block without one would take the next block's; and every number must read
// as the number written.
void check_texts(Checker& check, ConfigIndex& index, KeyScope scope, std::uint32_t n = 0,
                 std::uint32_t count = 0) {
  std::vector<std::string> missing;
  bool shifted = false;
  for (const KeyInfo& k : config_keys()) {
    if (k.scope != scope) continue;
    const ConfigEntry* e = scope == KeyScope::kParameters ? index.entry(k.key) : index.entry_nth(k.key, n);
    if (e == nullptr) {
      if (scope != KeyScope::kMagnet || k.id == KeyId::kMagnetName || k.optional) continue;
      missing.push_back(quoted(k.key));
      shifted = shifted || index.count(k.key) > 0;
      check.mark(k.id);
      continue;
    }
    const ValueText v = judge_value_text(k.kind, e->value);
    const std::string where = check.key(k.key) + " on line " + std::to_string(e->line);
    switch (v.verdict) {
      case ValueText::Verdict::kGood:
        break;
      case ValueText::Verdict::kNotANumber:
        check.fail(where + (k.kind == KeyKind::kSwitch ? " must be yes or no: " : " is not a number: ") +
                   quoted(v.piece));
        check.mark(k.id);
        break;
      case ValueText::Verdict::kDecimalComma:
        check.fail(where + " has a decimal comma: " + quoted(v.piece) + " (write the decimal point as '.')");
        check.mark(k.id);
        break;
      case ValueText::Verdict::kTrailing:
        check.warn(where + ": " + quoted(v.rest) + " after the number " + quoted(v.number) + " is ignored");
        break;
    }
  }
  if (missing.empty()) return;
  std::string what = "no " + missing.front();
  for (std::size_t i = 1; i < missing.size(); ++i)
    what += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
  what += (missing.size() == 1 ? " line" : " lines");
  what += " for this magnet (magnet " + std::to_string(n) + " of " + std::to_string(count);
  if (shifted) what += "; a block that leaves out a line takes the next block's";
  check.fail(what + ")");
}

// The values of one magnet. Returns whether its values are all finite.
bool check_magnet(Checker& check, const MagnetSpec& magnet) {
  if (magnet.name.find_first_of("/\\") != std::string::npos) {
    check.fail(check.key("Magnet name") +
               " must not contain '/' or '\\': output files are written to the working directory");
  }
  bool magnet_finite = true;
  for (const KeyInfo& k : config_keys()) {
    if (k.scope == KeyScope::kMagnet && k.kind == KeyKind::kReal) {
      magnet_finite = magnet_finite && std::isfinite(real_value(magnet, k));
    }
  }
  check_finite_reals(check, magnet, KeyScope::kMagnet);
  for (double c : magnet.polynomial_adjustment) {
    if (!std::isfinite(c)) {
      check.finite("Polynomial adjustment", c);
      break;
    }
  }
  check_real_ranges(check, magnet, KeyScope::kMagnet);
  // A full turn or more would lay the bent coil over itself.
  const double full_turn = check.from_file() ? 360.0 : 360.0 * kRadiansPerDegree;
  const double angle = check.from_file() ? magnet.angle / kRadiansPerDegree : magnet.angle;
  if (!check.reported(KeyId::kAngle) && std::isfinite(angle) && !(std::fabs(angle) < full_turn)) {
    check.fail(check.key("Angle (degrees)") + " must be less than " + format_general(full_turn, 6) +
               " in magnitude (it is " + format_general(angle, 6) + ")");
  }
  const double winding_current = magnet.winding_current();
  const std::string winding_current_keys = "the winding current (" +
                                           check.key("Winding current density (A/mm^2)") + " times " +
                                           check.key("Area per winding (cm^2)") + ")";
  const bool current_read =
      !check.reported(KeyId::kWindingCurrentDensity) && !check.reported(KeyId::kAreaPerWinding);
  if (current_read && winding_current == 0.0) {
    check.fail(winding_current_keys + " must not be zero");
  } else if (current_read && !std::isfinite(winding_current) && std::isfinite(magnet.current_density) &&
             std::isfinite(magnet.area_per_winding)) {
    check.fail(winding_current_keys + " is not a finite number");
  }
  if (magnet_finite && precise_mode(magnet) && std::isfinite(winding_current)) {
    const KeyQuoter quote = [&check](std::string_view k) { return check.key(k); };
    for (const std::string& problem : precise_domain_problems(magnet, quote)) check.fail(problem);
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
  if (index != nullptr) check_texts(check, *index, KeyScope::kParameters);
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
    if (index != nullptr) check_texts(check, *index, KeyScope::kMagnet, i + 1, set.magnet_count());
    const bool magnet_finite = check_magnet(check, magnet);
    if (map_inputs_usable && magnet_finite) check_field_map(check, magnet);
  }
}

}  // namespace

std::vector<std::string> check_parameter_set(const std::string& file, const ConfigList& list,
                                             const ParameterSet& set, std::vector<std::string>* warnings) {
  std::vector<std::string> problems;
  Checker check(file, problems, nullptr, warnings);
  ConfigIndex index(list);  // one scan of the list for all magnets, not one per magnet
  if (index.lookup("Parameters name") == nullptr) check.fail("no \"Parameters name\" line");
  // A block without its "Magnet name" line would silently shift every later magnet onto the next
  // block's values; its extra lines are the sign.
  for (const KeyInfo& k : config_keys()) {
    if (k.scope != KeyScope::kMagnet || k.id == KeyId::kMagnetName) continue;
    const std::string_view key = k.key;
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

ParameterSet parameter_set_parse(const std::string& path, std::string_view bytes,
                                 std::vector<std::string>* warnings) {
  const ConfigList list = config_parse(bytes, ':');
  ParameterSet set = parameter_set_read(list);
  std::vector<std::string> problems = check_parameter_set(path, list, set, warnings);
  if (!problems.empty()) throw ConfigError(std::move(problems));
  return set;
}

std::string config_bytes_load(const std::string& path) {
  try {
    return config_read_bytes(path);
  } catch (const ReadError& e) {
    // config_read_bytes says "cannot read <path>: <reason>"; the configuration's messages start with it.
    const std::string lead = "cannot read " + path + ": ";
    const std::string message = e.what();
    throw ConfigError(
        {path + ": cannot be read: " + (message.starts_with(lead) ? message.substr(lead.size()) : message)});
  }
}

ParameterSet parameter_set_load(const std::string& path, std::vector<std::string>* warnings) {
  return parameter_set_parse(path, config_bytes_load(path), warnings);
}

}  // namespace expcoil
