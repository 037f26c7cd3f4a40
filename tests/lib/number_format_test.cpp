#include "lib/number_format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>

namespace expcoil {

TEST(NumberFormat, WordForWord) {
  // clang-format off
  const std::tuple<double, int, const char*> cases[] = {  // precision -1: "%lf"
      {1.25e-05, 15, "1.25e-005"}, {0.0001, 15, "0.0001"}, {1.0 / 3, 15, "0.333333333333333"},
      {1e-7, 9, "1e-007"}, {1234.56789012, 9, "1234.56789"}, {2.5e20, 15, "2.5e+020"}, {-0.0, 15, "-0"},
      {-1e-9, -1, "-0.000000"}, {NAN, 15, "nan"}, {-NAN, -1, "nan"}, {2.5, 0, "2"} /* 0 means 1 */,
      {std::bit_cast<double>(0xfff0000000000123), 9, "nan"} /* sign and payload */,
      {0.1, 1000, "0.1000000000000000055511151231257827021182"} /* 40 digits at most */};
  // clang-format on
  for (const auto& [value, precision, want] : cases) {
    EXPECT_EQ(precision < 0 ? format_fixed(value) : format_general(value, precision), want);
  }
}

// Every decade and its neighbours, the 1e-5 and 1e15/1e9/1e6 switch points, exact ties at many digit
// positions, subnormals and the range's ends, and a few hundred thousand random values (bit patterns
// and engineering magnitudes) in the formats of the files and at 16, 17 and 1 digits (the exact
// conversion and the shortest rounding), against glibc with the exponent widened to three digits.
TEST(NumberFormat, MatchesPrintf) {
  // clang-format off
  const double edges[] = {0.00009999999999999999, 0.000099999995, 0.0000999999999999995, 999999999999999.9,
      999999999999999.4, 99999999.95, 999999999.5, 999999.5, 999999.4, 99999.95, 9.9999995, 0.5, 2.5, 0.125,
      2.5e-5, 123456789012345.6, 0.3, 1.0 / 3, 9007199254740993.0, 0.0, DBL_MAX, DBL_MIN, DBL_TRUE_MIN,
      DBL_MIN / 3, DBL_MIN - DBL_TRUE_MIN, HUGE_VAL};
  // clang-format on
  std::vector<double> values, centres(std::begin(edges), std::end(edges));
  for (int e = -323; e <= 308; ++e)
    centres.push_back(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
  for (const double v : centres) {
    for (const double x : {v, std::nextafter(v, 0.0), std::nextafter(v, HUGE_VAL)})
      values.insert(values.end(), {x, -x});
  }
  // Exactly representable ties: k + 0.5 scaled by powers of two.
  for (int i = 0; i < 1800; ++i) values.push_back(std::ldexp(2 * (i / 9) + 1, i % 9 * 5 - 21));
  std::mt19937_64 rng(20240601);
  std::uniform_real_distribution<double> uniform(-1e3, 1e3), log_magnitude(-8.0, 8.0);
  for (int i = 0; i < 100000; ++i) values.push_back(std::bit_cast<double>(rng()));
  for (int i = 0; i < 5000; ++i) values.push_back(std::bit_cast<double>(rng() >> 12));  // subnormals
  for (int i = 0; i < 50000; ++i)
    values.insert(values.end(), {uniform(rng), std::pow(10.0, log_magnitude(rng))});
  int failures = 0;  // only the first few are shown
  for (const double value : values) {
    for (const char* format : {"%.15lg", "%.9lg", "%.6lg", "%.16lg", "%.17lg", "%.1lg", "%lf"}) {
      std::string want(512, '\0');
      want.resize(static_cast<std::size_t>(std::snprintf(want.data(), want.size(), format, value)));
      if (const std::size_t e = want.find('e'); e != std::string::npos && want.size() - e == 4)
        want.insert(e + 2, 1, '0');
      const std::string got =
          format[1] == 'l' ? format_fixed(value) : format_general(value, std::atoi(format + 2));
      // glibc prints "-nan" for a negative NaN; the files never do.
      if (got != want && !std::isnan(value) && ++failures <= 10)
        ADD_FAILURE() << std::hexfloat << value << " " << format << ": " << got << " != " << want;
    }
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace expcoil
