#include "lib/line_reader.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <string>
#include <vector>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

// The same double, the sign of a zero included; NaN equals NaN.
bool same(double a, double b) {
  return std::isnan(a) ? std::isnan(b) : a == b && std::signbit(a) == std::signbit(b);
}

TEST(LineReader, NumbersAsTheFormatterWritesThemAndNothingElse) {
  const struct {
    const char* text;
    char separator;
    std::vector<double> want;  // empty: the text is refused
  } cases[] = {
      {"1.25e-005,-2.5e+020, 0.333333333333333", ',', {1.25e-5, -2.5e20, 0.333333333333333}},
      {"-0,nan,-inf", ',', {-0.0, NAN, -HUGE_VAL}},
      {" 1 ,\t2,3 \r", ',', {1, 2, 3}},
      {"20.000000 -817.460317  -326.538906", ' ', {20, -817.460317, -326.538906}},
      {"\t1\t 2 3 ", ' ', {1, 2, 3}},
      {"inf,+7,4.9e-324", ',', {HUGE_VAL, 7, 4.9e-324}},
      {"1e999,-1e999,-1e-999", ',', {HUGE_VAL, -HUGE_VAL, -0.0}},  // out of range, as strtod reads it
      {"1,2", ',', {}},                                            // too few
      {"1,2,3,4", ',', {}},                                        // too many
      {"1,2,3x", ',', {}},                                         // trailing garbage
      {"1-2 3", ' ', {}},                                          // two numbers without a blank between them
      {"1,2 3", ',', {}},                                          // blanks where a comma belongs
      {"1 2,3", ' ', {}},                                          // a comma between blank-separated numbers
      {"+-1,2,3", ',', {}},                                        // two signs
      {"0x10,2,3", ',', {}},                                       // hexadecimal
      {"1,,3", ',', {}},                                           // an empty field
      {",1,2", ',', {}},                                           // a leading separator
      {"1;2;3", ',', {}},                                          // another separator
  };
  for (const auto& c : cases) {
    double v[3] = {-1, -1, -1};
    const bool ok = parse_numbers(c.text, c.separator, v, 3);
    EXPECT_EQ(ok, !c.want.empty()) << c.text;
    for (std::size_t i = 0; i < c.want.size(); ++i) EXPECT_TRUE(same(v[i], c.want[i])) << c.text << " " << i;
  }
  // Every value the formatter writes reads back to the value the text stands for, in any locale (where
  // a German one is installed, its decimal comma changes nothing).
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  for (const double x : {0.1, -1.0 / 3, 6.02214076e23, 4.9e-324, 1.7976931348623157e308}) {
    const std::string text = format_general(x, 17);
    double back = 0;
    EXPECT_TRUE(parse_numbers(text, ',', &back, 1) && back == x) << text;
  }
  std::setlocale(LC_NUMERIC, "C");
}

TEST(LineReader, LinesEndInLfOrCrLfAndCanBeReadAgain) {
  test::TempDir dir;
  const std::string path = (dir / "t.txt").string();
  test::write_file(path, "first\r\nsecond\n\n \t\r\nlast\n \r\n");
  LineReader reader(path);
  EXPECT_EQ(reader.last_line(), "last");
  std::vector<std::string> lines;
  std::uint64_t second = 0;
  for (std::string_view line; reader.next(line);) {
    lines.emplace_back(line);
    if (reader.line_number() == 2) second = reader.line_offset();
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", "", " \t", "last", " "}));
  EXPECT_EQ(second, 7u);
  reader.rewind(second, 2);
  std::string_view line;
  ASSERT_TRUE(reader.next(line));
  EXPECT_EQ(line, "second");
  ASSERT_TRUE(reader.next(line) && reader.next(line));  // line 4
  try {
    reader.fail("not a number");
    ADD_FAILURE();
  } catch (const FileFormatError& e) {
    EXPECT_EQ(std::string(e.what()), path + ":4: not a number");
  }
  // Lines across the 1 MiB buffer's refills, and a last line without a line end.
  std::string many;
  for (int i = 0; i < 300000; ++i) many.append(std::to_string(i)).append(i % 2 ? "\r\n" : "\n");
  test::write_file(path, many + "end");
  LineReader long_file(path);
  int n = 0;
  while (long_file.next(line) && line == (n < 300000 ? std::to_string(n) : "end")) ++n;
  EXPECT_EQ(n, 300001);
  EXPECT_EQ(long_file.line_number(), 300001);
  EXPECT_EQ(long_file.last_line(), "end");
  EXPECT_TRUE(is_blank(" \t\r") && !is_blank(" x"));
  EXPECT_EQ(trim_blanks("\t a b \r"), "a b");
  EXPECT_EQ(quote_line(std::string(61, 'a')), "'" + std::string(60, 'a') + "...'");
}

TEST(LineReader, AnUnreadableFileIsAReadErrorAnOverlongLineAFormatError) {
  test::TempDir dir;
  test::write_file(dir / "long.txt", "ok\n" + std::string(std::size_t{1} << 20, '7') + "\n");
  LineReader reader((dir / "long.txt").string());
  std::string_view line;
  ASSERT_TRUE(reader.next(line));
  try {
    reader.next(line);
    ADD_FAILURE();
  } catch (const FileFormatError& e) {
    EXPECT_EQ(e.line(), 2);
    EXPECT_EQ(e.reason(), "a line is longer than a MiB");
  }
  const struct {
    std::string path;
    int error_number;
    const char* reason;
  } cases[] = {{(dir / "none.txt").string(), ENOENT, "No such file or directory"},
               {dir.path().string(), EISDIR, "Is a directory"}};
  for (const auto& c : cases) {
    try {
      LineReader unreadable(c.path);
      ADD_FAILURE() << c.path;
    } catch (const ReadError& e) {
      EXPECT_EQ(std::string(e.what()), "cannot read " + c.path + ": " + c.reason);
      EXPECT_EQ(e.error_number(), c.error_number);
      EXPECT_EQ(e.path(), c.path);
    }
  }
}

}  // namespace
}  // namespace expcoil
