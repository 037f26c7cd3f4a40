// From config.txt to the records of magnet/records.hpp: every unit conversion of the program happens
// here, once, when the configuration is loaded, and every value the stages rely on is checked before
// the first magnet runs.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/config.hpp"
#include "magnet/records.hpp"

namespace expcoil {

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

// How a front end whose records do not come from config.txt names a key in the messages: config.txt's
// key in (as the program's messages name it), the front end's name for it out.
using KeyName = std::string (*)(std::string_view config_key);

// The value checks of check_parameter_set for records that come from elsewhere than a file, where no
// line can be missing: every message starts with `source` and names the keys through `key_name`
// (nullptr: config.txt's keys).
std::vector<std::string> check_parameter_values(const std::string& source, const ParameterSet& set,
                                                KeyName key_name);

}  // namespace expcoil
