#include "config/config_file.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace expcoil {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entries(std::string_view bytes) {
  Entries out;
  for (const ConfigEntry& e : config_parse(bytes, ':')) out.emplace_back(e.key, e.value);
  return out;
}

TEST(ConfigFile, LinesKeysAndValues) {
  const std::pair<std::string_view, Entries> cases[] = {
      {"Bmax:1.5", {{"Bmax", "1.5"}}},
      {"  BMAX :  1.5  ", {{"BMAX", "1.5"}}},
      {"Magnet name: A:B", {{"Magnet name", "A:B"}}},  // the first colon splits
      {"Bmax:\n: 5\nremark without colon", {{"Bmax", ""}, {"", "5"}}},
      {"\t\v\fKey  inner\t:\f value  inner \v", {{"Key  inner", "value  inner"}}},
      // Every line end gives the same entries: LF, CR LF, CR, LF CR, NUL (also inside a value).
      {"a:1\nb:2\r\nc:3\rd:4\n\re:5", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"e", "5"}}},
      {std::string_view("a:1\0xyz\nb:2\0", 12), {{"a", "1"}, {"b", "2"}}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(entries(text), expected) << text;
}

TEST(ConfigFile, LookupRules) {
  ConfigList list = config_parse("Scaling k: 1\nScaling k: 2\nBmax (T): 0.5\nbmax: 0.7\nLengths: 3\n", ':');
  EXPECT_EQ(*config_lookup(list, "Scaling k"), "2");  // the later of equal keys
  EXPECT_EQ(*config_lookup(list, "BMAX"), "0.7");     // the shortest stored key
  EXPECT_EQ(*config_lookup(list, "Length"), "3");     // a longer stored key still matches
  EXPECT_EQ(config_lookup(list, "Angle"), nullptr);
  EXPECT_EQ(config_count(list, "bmax"), 2u);
  EXPECT_EQ(*config_lookup_nth(list, "Bmax", 2), "0.7");
  EXPECT_EQ(config_lookup_nth(list, "Bmax", 3), nullptr);
  for (const char* text : {"Scaling k (1/m): 3\nScaling k: 4\n", "Scaling k: 4\nScaling k (1/m): 3\n"}) {
    EXPECT_EQ(*config_lookup(config_parse(text, ':'), "Scaling k"), "4") << text;
  }
  // Only A-Z fold; an empty stored key is matched by no key text.
  EXPECT_FALSE(config_key_matches("\xC4rea", "\xE4rea"));
  EXPECT_FALSE(config_key_matches("[ength", "{ength"));
  EXPECT_EQ(config_lookup(config_parse(": 5", ':'), "Bmax"), nullptr);
}

// The index answers every query with the very entry the scans find: ties, folding, nested and repeated keys,
// the empty key, a key of more than ten million bytes (once ignored), and seeded random lists of keys that
// are prefixes of one another.
TEST(ConfigFile, IndexAnswersAsTheScansDo) {
  std::vector<std::string> texts = {
      "Bmax (T): 1\nBMAX: 2\nbmax: 3\nBmax extra: 4\nMagnet name: A\nmagnet NAME: B\n\xC4rea: 5\n: 6\n"
      "Length: 7\nLengths: 8\nLength: 9\nScaling k" +
      std::string(10'000'000, 'x') + ": 10\n"};
  std::mt19937 random(7);
  const char* const stems[] = {"a", "ab", "abc", "AB", "Ab c", "b", "B"};
  for (int list = 0; list < 20; ++list) {
    std::string text;
    for (int line = 0; line < 60; ++line)
      text += std::string(stems[random() % 7]) + ": " + std::to_string(line) + "\n";
    texts.push_back(text);
  }
  for (const std::string& text : texts) {
    const ConfigList list = config_parse(text, ':');
    ConfigIndex index(list);
    for (int pass = 0; pass < 2; ++pass) {  // the first query of a key scans, the second is answered from it
      for (const char* key : {"Bmax", "bmax (t)", "Magnet name", "Length", "Lengths", "Scaling k", "\xC4rea",
                              "\xE4rea", "", "Angle", "a", "AB", "abc", "ab c", "b"}) {
        EXPECT_EQ(index.lookup(key), config_lookup(list, key)) << key;
        const std::uint32_t count = config_count(list, key);
        EXPECT_EQ(index.count(key), count) << key;
        for (std::uint32_t n = 0; n <= count + 1; ++n) {
          EXPECT_EQ(index.lookup_nth(key, n), config_lookup_nth(list, key, n)) << key << " " << n;
        }
      }
    }
  }
  const ConfigList list = config_parse(texts[0], ':');
  ASSERT_NE(config_lookup(list, "Scaling k"), nullptr);
  EXPECT_EQ(*config_lookup(list, "Scaling k"), "10");
}

TEST(ConfigFile, SplitString) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split_string(",", "1, 2.5,-3", 0), (V{"1", " 2.5", "-3"}));
  EXPECT_EQ(split_string(",", "", 0), (V{""}));
  EXPECT_EQ(split_string(",", "1,,2,", 0), (V{"1", "", "2", ""}));
  EXPECT_EQ(split_string("::", "a::b:::c", 0), (V{"a", "b", ":c"}));
  EXPECT_EQ(split_string(",", "\"a,b\",c", '"'), (V{"\"a,b\"", "c"}));
}

}  // namespace
}  // namespace expcoil
