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
  std::uint32_t line = 0;  // from 1, counting every line of the file
};

// No configuration comes near this; a larger file is something else (a log, a device, a mistake).
constexpr std::size_t kConfigMaxBytes = std::size_t{16} << 20;

using ConfigList = GrowList<ConfigEntry>;

// Splits `bytes` into lines and entries. A line ends at LF, CR, CR LF or NUL; it is an entry when it
// holds `separator`, split at the first one, key and value trimmed of isspace() whitespace.
ConfigList config_parse(std::string_view bytes, char separator);

// The bytes of the file at `path`; throws ReadError (lib/errors.hpp) with the system's reason when it
// cannot be read, and (error number 0 or EFBIG) when it is not a regular file or holds more than
// kConfigMaxBytes.
std::string config_read_bytes(const std::string& path);
// config_parse of config_read_bytes.
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

  const std::string* lookup(std::string_view key) { return value(entry(key)); }
  const std::string* lookup_nth(std::string_view key, std::uint32_t n) { return value(entry_nth(key, n)); }
  std::uint32_t count(std::string_view key) {
    return static_cast<std::uint32_t>(matches(key).entries.size());
  }
  // The entries behind lookup and lookup_nth, with their line numbers.
  const ConfigEntry* entry(std::string_view key) { return matches(key).best; }
  const ConfigEntry* entry_nth(std::string_view key, std::uint32_t n) {
    const Matches& m = matches(key);
    return n >= 1 && n <= m.entries.size() ? m.entries[n - 1] : nullptr;
  }

 private:
  struct Matches {
    std::vector<const ConfigEntry*> entries;  // every matching entry, in file order
    const ConfigEntry* best = nullptr;        // config_lookup's answer
  };
  static const std::string* value(const ConfigEntry* e) { return e != nullptr ? &e->value : nullptr; }
  const Matches& matches(std::string_view key);

  const ConfigList& list_;
  std::map<std::string, Matches, std::less<>> by_key_;
};

// The pieces of `text` between occurrences of `separator`, verbatim. A `quote` byte (0: none) toggles a
// quoted stretch in which the separator does not cut.
std::vector<std::string> split_string(std::string_view separator, std::string_view text, char quote);

}  // namespace expcoil
