#include "lib/text_reader.hpp"

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

TEST(TextReader, NumbersAsTheFormatterWritesThemAndNothingElse) {
  const struct {
    const char* text;
    char separator;
    std::vector<double> want;  // empty: the text is refused
  } cases[] = {
      {"1.25e-005,-2.5e+020, 0.333333333333333", ',', {1.25e-5, -2.5e20, 0.333333333333333}},
      {" 1 ,\t2,3 ", ',', {1, 2, 3}},
      {"20.000000 -817.460317  -326.538906", ' ', {20, -817.460317, -326.538906}},
      {"inf,-inf,+7", ',', {HUGE_VAL, -HUGE_VAL, 7}},
      {"1e999,-1e999,1e-999", ',', {HUGE_VAL, -HUGE_VAL, 0.0}},  // out of range, as strtod reads it
      {"1,2", ',', {}},                                          // too few
      {"1,2,3,4", ',', {}},                                      // too many
      {"1,2,3x", ',', {}},                                       // trailing garbage
      {"1-2 3", ' ', {}},                                        // two numbers without a blank between them
      {"+-1,2,3", ',', {}},                                      // two signs
      {"0x10,2,3", ',', {}},                                     // hexadecimal
      {"1,,3", ',', {}},                                         // an empty field
      {"1;2;3", ',', {}},                                        // another separator
  };
  for (const auto& c : cases) {
    double v[3] = {-1, -1, -1};
    const bool ok = parse_numbers(c.text, c.separator, v, 3);
    EXPECT_EQ(ok, !c.want.empty()) << c.text;
    if (ok) {
      EXPECT_EQ((std::vector<double>(v, v + 3)), c.want) << c.text;
    }
  }
  double nan_value = 0;
  EXPECT_TRUE(parse_numbers("nan", ',', &nan_value, 1) && std::isnan(nan_value));
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

TEST(TextReader, LinesEndInLfOrCrLfAndProblemsNameTheLine) {
  test::TempDir dir;
  test::write_file(dir / "t.txt", "first\r\nsecond\n\nlast");
  TextReader reader((dir / "t.txt").string());
  std::vector<std::string> lines;
  for (std::string line; reader.next(line);) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", "", "last"}));
  EXPECT_EQ(reader.line_number(), 4u);
  try {
    reader.fail("not a number");
    ADD_FAILURE();
  } catch (const InputError& e) {
    EXPECT_EQ(std::string(e.what()), (dir / "t.txt").string() + ": line 4: not a number");
  }
  try {
    TextReader missing((dir / "none.txt").string());
    ADD_FAILURE();
  } catch (const ReadError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot read " + (dir / "none.txt").string() + ": No such file or directory");
    EXPECT_EQ(e.error_number(), ENOENT);
  }
}

}  // namespace
}  // namespace expcoil
