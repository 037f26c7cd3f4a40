#include "app/config.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace expcoil {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entries(std::string_view bytes) {
  Entries out;
  for (const ConfigEntry& e : config_parse(bytes, ':')) out.emplace_back(e.key, e.value);
  return out;
}

TEST(ConfigFile, KeysAndValuesAreTrimmedAndSplitAtTheFirstColon) {
  EXPECT_EQ(entries("Bmax:1.5"), (Entries{{"Bmax", "1.5"}}));
  EXPECT_EQ(entries("  Bmax :  1.5  "), (Entries{{"Bmax", "1.5"}}));
  EXPECT_EQ(entries("BMAX:1.5"), (Entries{{"BMAX", "1.5"}}));
  EXPECT_EQ(entries("Magnet name: A:B"), (Entries{{"Magnet name", "A:B"}}));
  EXPECT_EQ(entries("Bmax:"), (Entries{{"Bmax", ""}}));
  EXPECT_EQ(entries(": 5"), (Entries{{"", "5"}}));
  EXPECT_EQ(entries("\t\v\fKey with  inner space\t:\f value  inner \v"),
            (Entries{{"Key with  inner space", "value  inner"}}));
  EXPECT_EQ(entries("a remark without colon\n\nk:v"), (Entries{{"k", "v"}}));
}

TEST(ConfigFile, EveryKindOfLineEndGivesTheSameEntries) {
  const Entries expected{{"a", "1"}, {"b", "2"}, {"c", "3"}};
  EXPECT_EQ(entries("a:1\nb:2\nc:3"), expected);
  EXPECT_EQ(entries("a:1\r\nb:2\r\nc:3\r\n"), expected);
  EXPECT_EQ(entries("a:1\rb:2\rc:3\r"), expected);
  EXPECT_EQ(entries("a:1\n\rb:2\r\r\nc:3\n"), expected);
  EXPECT_EQ(entries(std::string_view("a:1\0b:2\0c:3", 11)), expected);
  // A NUL ends the line even in the middle of a value.
  EXPECT_EQ(entries(std::string_view("a:1\0xyz\nb:2", 11)), (Entries{{"a", "1"}, {"b", "2"}}));
}

TEST(ConfigFile, ReadLineSeparatesEveryLineEnd) {
  const std::string_view text("x\r\ny\rz\n\r\0w", 10);
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (auto line = read_line(text, pos)) lines.emplace_back(*line);
  EXPECT_EQ(lines, (std::vector<std::string>{"x", "y", "z", "", "", "w"}));
}

TEST(ConfigFile, LookupRules) {
  ConfigList list = config_parse(
      "Scaling k: 1\n"
      "Scaling k: 2\n"
      "Bmax (T): 0.5\n"
      "bmax: 0.7\n"
      "Lengths: 3\n",
      ':');
  EXPECT_EQ(*config_lookup(list, "Scaling k"), "2");  // later line wins a tie
  EXPECT_EQ(*config_lookup(list, "BMAX"), "0.7");     // shortest stored key wins
  EXPECT_EQ(*config_lookup(list, "Length"), "3");     // a longer stored key still matches
  EXPECT_EQ(config_lookup(list, "Angle"), nullptr);
  EXPECT_EQ(config_count(list, "bmax"), 2u);
  EXPECT_EQ(*config_lookup_nth(list, "Bmax", 1), "0.5");
  EXPECT_EQ(*config_lookup_nth(list, "Bmax", 2), "0.7");
  EXPECT_EQ(config_lookup_nth(list, "Bmax", 3), nullptr);
  EXPECT_EQ(config_count(list, ""), 5u);  // the empty text is a prefix of every key

  for (const char* text : {"Scaling k (1/m): 3\nScaling k: 4\n", "Scaling k: 4\nScaling k (1/m): 3\n"}) {
    ConfigList l = config_parse(text, ':');
    EXPECT_EQ(*config_lookup(l, "Scaling k"), "4") << text;
  }
  // Only A-Z fold: bytes above 127 and punctuation compare as they are.
  EXPECT_TRUE(config_key_matches("WINDING CENTRE", "winding c"));
  EXPECT_FALSE(config_key_matches("\xC4rea", "\xE4rea"));
  EXPECT_FALSE(config_key_matches("[ength", "{ength"));
  // An empty stored key is matched only by the empty text.
  ConfigList empty_key = config_parse(": 5", ':');
  EXPECT_EQ(config_lookup(empty_key, "Bmax"), nullptr);
}

TEST(ConfigFile, SplitString) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split_string(",", "1, 2.5,-3", 0), (V{"1", " 2.5", "-3"}));
  EXPECT_EQ(split_string(",", "", 0), (V{""}));
  EXPECT_EQ(split_string(",", "1,,2", 0), (V{"1", "", "2"}));
  EXPECT_EQ(split_string(",", "1,", 0), (V{"1", ""}));
  EXPECT_EQ(split_string("::", "a::b:::c", 0), (V{"a", "b", ":c"}));
  EXPECT_EQ(split_string(",", "\"a,b\",c", '"'), (V{"\"a,b\"", "c"}));
}

TEST(ConfigFile, MissingFileGivesAnEmptyListAndTheReason) {
  test::TempDir dir;
  std::string error;
  ConfigList list = config_read(dir / "absent.txt", ':', &error);
  EXPECT_EQ(list.count(), 0u);
  EXPECT_EQ(error, "No such file or directory");

  test::write_file(dir / "config.txt", "k: v\r\n");
  error.clear();
  list = config_read(dir / "config.txt", ':', &error);
  EXPECT_TRUE(error.empty());
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list[0].value, "v");
}

}  // namespace
}  // namespace expcoil
