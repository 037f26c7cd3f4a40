#include "lib/line_reader.hpp"

#include <gtest/gtest.h>

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
    std::vector<double> want;
  } cases[] = {
      {"1.25e-005,-2.5e+020, 0.333333333333333", ',', {1.25e-5, -2.5e20, 0.333333333333333}},
      {"-0,nan,-inf", ',', {-0.0, NAN, -HUGE_VAL}},
      {" 1 ,\t2,3 \r", ',', {1, 2, 3}},
      {"20.000000 -817.460317  -326.538906", ' ', {20, -817.460317, -326.538906}},
      {"\t1\t 2 3 ", ' ', {1, 2, 3}},
      {"inf,+7,4.9e-324", ',', {HUGE_VAL, 7, 4.9e-324}},
      {"1e999,-1e999,-1e-999", ',', {HUGE_VAL, -HUGE_VAL, -0.0}},  // out of range, as strtod reads it
  };
  for (const auto& c : cases) {
    double v[3] = {-1, -1, -1};
    EXPECT_TRUE(parse_numbers(c.text, c.separator, v, 3)) << c.text;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(same(v[i], c.want[i])) << c.text << " " << i;
  }
  // Too few, too many, garbage, two signs, hexadecimal, an empty field, a leading or another separator;
  // for blank-separated numbers, none or a comma between two.
  double v[3];
  for (const char* bad :
       {"1,2", "1,2,3,4", "1,2,3x", "+-1,2,3", "0x10,2,3", "1,,3", ",1,2", "1;2;3", "1,2 3"})
    EXPECT_FALSE(parse_numbers(bad, ',', v, 3)) << bad;
  for (const char* bad : {"1-2 3", "1 2,3"}) EXPECT_FALSE(parse_numbers(bad, ' ', v, 3)) << bad;
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

// Rewinding is the field map reader's, tested there: every read goes back to the first row.
TEST(LineReader, LinesEndInLfOrCrLfAndProblemsNameTheFile) {
  test::TempDir dir;
  const std::string path = (dir / "t.txt").string(), missing = (dir / "none").string();
  // Lines across the 1 MiB buffer's refills, and a last line without a line end.
  std::vector<std::string> want{"first", "", " \t"}, lines;
  std::string text = "first\r\n\n \t\r\n";
  for (int i = 0; i < 300000; ++i)
    text.append(want.emplace_back(std::to_string(i))).append(i % 2 ? "\r\n" : "\n");
  test::write_file(path, text + want.emplace_back("end"));
  LineReader reader(path);
  EXPECT_EQ(reader.last_line(), "end");
  for (std::string_view line; reader.next(line);) lines.emplace_back(line);
  EXPECT_TRUE(lines == want);
  EXPECT_EQ(test::thrown<FileFormatError>([&] { reader.fail("not a number"); }),
            path + ":300004: not a number");
  test::write_file(path, "ok\n" + std::string(std::size_t{1} << 20, '7') + "\n");
  EXPECT_EQ(test::thrown<FileFormatError>([&] {
              LineReader long_lines(path);
              for (std::string_view line; long_lines.next(line);) {
              }
            }),
            path + ":2: a line is longer than a MiB");
  EXPECT_EQ(test::thrown<ReadError>([&] { LineReader none(missing); }),
            "cannot read " + missing + ": No such file or directory");
  EXPECT_EQ(test::thrown<ReadError>([&] { LineReader directory(dir.path().string()); }),
            "cannot read " + dir.path().string() + ": Is a directory");
  EXPECT_EQ(quote_line(std::string(61, 'a')), std::string("'").append(60, 'a').append("...'"));
}

}  // namespace
}  // namespace expcoil
