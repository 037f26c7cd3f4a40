#include "config/keys.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "config/config_file.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

TEST(Keys, ValueConversionsFollowTheCLibrary) {
  EXPECT_EQ(config_real("  -2.5e3 m"), -2500.0);
  EXPECT_EQ(config_real("abc"), 0.0);
  EXPECT_TRUE(std::isinf(config_real("1e999")));
  EXPECT_EQ(config_integer("64.9"), 64);
  EXPECT_EQ(config_integer(" -7x"), -7);
  EXPECT_EQ(config_integer("x7"), 0);
  EXPECT_EQ(config_integer("99999999999"), INT32_MAX);
  for (const char* yes : {"yes", "Y", "true", "T", "1", "10"}) EXPECT_TRUE(config_switch(yes)) << yes;
  for (const char* no : {"no", "false", "0", "2", "on", ""}) EXPECT_FALSE(config_switch(no)) << no;
}

TEST(Keys, EachIdFindsItsOwnEntryAndNamesAreUnique) {
  std::set<std::string> keys, names[2];
  for (const KeyInfo& k : config_keys()) {
    EXPECT_EQ(&key_info(k.id), &k) << k.key;
    EXPECT_EQ(find_key(k.key), &k) << k.key;
    EXPECT_TRUE(keys.insert(k.key).second) << k.key;
    EXPECT_TRUE(names[static_cast<int>(k.scope)].insert(k.python).second) << k.python;
  }
}

// config.txt's keys match by prefix: a key that is a prefix of another would take that key's lines.
TEST(Keys, NoKeyIsAPrefixOfAnother) {
  for (const KeyInfo& a : config_keys()) {
    for (const KeyInfo& b : config_keys()) {
      if (&a != &b) {
        EXPECT_FALSE(config_key_matches(b.key, a.key)) << a.key << " / " << b.key;
      }
    }
  }
}

// The cells of a Markdown table row, "\|" kept as a literal bar.
std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> out;
  std::string cell;
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
      cell += '|';
      ++i;
    } else if (row[i] == '|') {
      const std::size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
      out.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
      cell.clear();
    } else {
      cell += row[i];
    }
  }
  return out;
}

// The rows of the README's table whose header starts with `header`.
std::vector<std::vector<std::string>> readme_table(const std::string& header) {
  const std::string readme =
      test::read_file(std::filesystem::path(EXPCOIL_TEST_DATA) / ".." / ".." / "README.md");
  std::vector<std::vector<std::string>> rows;
  std::size_t at = readme.find("\n" + header);
  if (at == std::string::npos) return rows;
  at = readme.find('\n', readme.find('\n', at + 1) + 1);  // past the header and the |---| line
  while (at + 1 < readme.size() && readme[at + 1] == '|') {
    const std::size_t end = readme.find('\n', at + 1);
    rows.push_back(cells(readme.substr(at + 1, end - at - 1)));
    at = end;
  }
  return rows;
}

TEST(Keys, TheReadmeTablesAreTheKeyTable) {
  const std::vector<std::vector<std::string>> tables[2] = {readme_table("| Parameter key |"),
                                                           readme_table("| Magnet key |")};
  std::size_t row[2] = {0, 0};
  for (const KeyInfo& k : config_keys()) {
    const int t = static_cast<int>(k.scope);
    ASSERT_LT(row[t], tables[t].size()) << "no README row for " << k.key;
    const std::vector<std::string>& r = tables[t][row[t]++];
    ASSERT_EQ(r.size(), 5u) << k.key;
    EXPECT_EQ(r[0], k.key);
    EXPECT_EQ(r[1], k.unit) << k.key;
    std::string python = std::string("`") + k.python + "`";
    if (*k.si_unit != '\0') python.append(" (").append(k.si_unit).append(")");
    EXPECT_EQ(r[2], python) << k.key;
    EXPECT_EQ(r[3], k.default_text) << k.key;
    EXPECT_TRUE(r[4].starts_with(k.doc))
        << k.key << ": the README says \"" << r[4] << "\", the table \"" << k.doc << "\"";
  }
  EXPECT_EQ(row[0], tables[0].size()) << "the README's parameter table has rows for keys the program lacks";
  EXPECT_EQ(row[1], tables[1].size()) << "the README's magnet table has rows for keys the program lacks";
}

}  // namespace
}  // namespace expcoil
