// From config.txt to the records of magnet/records.hpp, judged: every value the stages rely on is
// checked before the first magnet runs, by the rules of the key table (config/keys.hpp) and by the
// checks that involve several keys (memory, the field map's extent, the winding current).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.hpp"
#include "magnet/records.hpp"

namespace expcoil {

// Reads `path` and checks everything the later stages rely on; throws ConfigError (lib/errors.hpp)
// listing every problem, so that a run never starts on a configuration it cannot finish. Text that the
// reading ignores (a unit after a number) is no error: each such line is named in `warnings`.
ParameterSet parameter_set_load(const std::string& path, std::vector<std::string>* warnings = nullptr);

// The two halves of parameter_set_load, for a caller that must see the bytes (the ranks of a cluster
// agree on them): the file's bytes (ConfigError when it cannot be read), and the records from them.
std::string config_bytes_load(const std::string& path);
ParameterSet parameter_set_parse(const std::string& path, std::string_view bytes,
                                 std::vector<std::string>* warnings = nullptr);

// The checks behind parameter_set_load; `file` names the file in the messages.
std::vector<std::string> check_parameter_set(const std::string& file, const ConfigList& list,
                                             const ParameterSet& set,
                                             std::vector<std::string>* warnings = nullptr);

// How a front end whose records do not come from config.txt names a key in the messages.
using KeyName = std::string (*)(const KeyInfo& key);

// The value checks of check_parameter_set for records that come from elsewhere than a file, where no
// line can be missing: every message starts with `source` and names the keys through `key_name`
// (nullptr: config.txt's keys).
std::vector<std::string> check_parameter_values(const std::string& source, const ParameterSet& set,
                                                KeyName key_name);

}  // namespace expcoil
