// The configuration file: lines of key, colon, value, read byte for byte. There are no sections:
// the parameter block and the magnet blocks are given by the lookup rules alone (a key matches every
// stored key it is a prefix of, ignoring the case of A-Z).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/grow_list.hpp"
#include "lib/matrix.hpp"

namespace expcoil {

struct ConfigEntry {
  std::string key;
  std::string value;
};

using ConfigList = GrowList<ConfigEntry>;

// Splits `bytes` into lines and entries. A line ends at LF, CR, CR LF or NUL; it is an entry when it
// holds `separator`, split at the first one, key and value trimmed of isspace() whitespace.
ConfigList config_parse(std::string_view bytes, char separator);

// Reads the file at `path` in byte mode; throws ReadError (lib/errors.hpp) with the system's reason
// when it cannot be read.
ConfigList config_read(const std::string& path, char separator);

// One line from `text` starting at `pos`, without its line end; none when `pos` is at the end.
std::optional<std::string_view> read_line(std::string_view text, std::size_t& pos);

// True when `searched` is a prefix of `stored`, with only A-Z folded onto a-z.
bool config_key_matches(std::string_view stored, std::string_view searched);

// The value of the matching entry with the shortest stored key (the later line on a tie), or null.
const std::string* config_lookup(const ConfigList& list, std::string_view key);
// The value of the n-th matching entry in file order (n from 1), or null.
const std::string* config_lookup_nth(const ConfigList& list, std::string_view key, std::uint32_t n);
std::uint32_t config_count(const ConfigList& list, std::string_view key);

// The same three lookups, by the same rules, for a reader that asks for the same few key texts over and
// over (the n-th of every magnet key, for every magnet): the first query of a key text scans the list
// once and keeps its matches in file order, every later query of that text is answered from them. The
// list must outlive the index and stay unchanged.
class ConfigIndex {
 public:
  explicit ConfigIndex(const ConfigList& list) : list_(list) {}

  const std::string* lookup(std::string_view key) { return matches(key).best; }
  const std::string* lookup_nth(std::string_view key, std::uint32_t n) {
    const Matches& m = matches(key);
    return n >= 1 && n <= m.values.size() ? m.values[n - 1] : nullptr;
  }
  std::uint32_t count(std::string_view key) { return static_cast<std::uint32_t>(matches(key).values.size()); }

 private:
  struct Matches {
    std::vector<const std::string*> values;  // of every matching entry, in file order
    const std::string* best = nullptr;       // config_lookup's answer
  };
  const Matches& matches(std::string_view key);

  const ConfigList& list_;
  std::map<std::string, Matches, std::less<>> by_key_;
};

// The pieces of `text` between occurrences of `separator`, verbatim. A `quote` byte (0: none) toggles a
// quoted stretch in which the separator does not cut.
std::vector<std::string> split_string(std::string_view separator, std::string_view text, char quote);

}  // namespace expcoil
