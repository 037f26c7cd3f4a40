#include "lib/number_format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace expcoil {
namespace {

constexpr int kPrecisions[] = {15, 9, 6, 3, 1, 16, 17};

// glibc's text with the exponent widened to three digits, which is what the output files must hold.
std::string reference(const char* format, double value) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, value);
  std::string text = buffer;
  const std::size_t e = text.find('e');
  if (e != std::string::npos && text.size() - (e + 2) == 2) text.insert(e + 2, 1, '0');
  return text;
}

std::string reference_general(double value, int precision) {
  const std::string format = "%." + std::to_string(precision) + "lg";
  return reference(format.c_str(), value);
}

// Checks every conversion of every value and reports at most a few mismatches per call, so a systematic
// fault does not flood the log.
void expect_matches_printf(const std::vector<double>& values) {
  int failures = 0;
  for (const double value : values) {
    if (std::isnan(value)) continue;
    for (const int precision : kPrecisions) {
      const std::string expected = reference_general(value, precision);
      const std::string actual = format_general(value, precision);
      if (actual != expected && ++failures <= 10) {
        ADD_FAILURE() << "%." << precision << "lg of " << reference("%a", value) << ": expected " << expected
                      << ", got " << actual;
      }
    }
    const std::string expected = reference("%lf", value);
    const std::string actual = format_fixed(value);
    if (actual != expected && ++failures <= 10) {
      ADD_FAILURE() << "%lf of " << reference("%a", value) << ": expected " << expected << ", got " << actual;
    }
  }
  EXPECT_EQ(failures, 0);
}

void add_with_neighbours(std::vector<double>& values, double v) {
  for (const double x : {v, std::nextafter(v, 0.0), std::nextafter(v, INFINITY)}) {
    values.push_back(x);
    values.push_back(-x);
  }
}

TEST(NumberFormat, WordForWord) {
  EXPECT_EQ(format_general(1.25e-05, 15), "1.25e-005");
  EXPECT_EQ(format_general(0.0001, 15), "0.0001");
  EXPECT_EQ(format_general(1.0 / 3, 15), "0.333333333333333");
  EXPECT_EQ(format_general(1e-7, 9), "1e-007");
  EXPECT_EQ(format_general(1234.56789012, 9), "1234.56789");
  EXPECT_EQ(format_general(2.5e20, 15), "2.5e+020");
  EXPECT_EQ(format_general(1e100, 15), "1e+100");
  EXPECT_EQ(format_general(250.0, 6), "250");
  EXPECT_EQ(format_general(-0.0, 15), "-0");
  EXPECT_EQ(format_general(0.0, 15), "0");
  EXPECT_EQ(format_general(4.9406564584124654e-324, 15), "4.94065645841247e-324");

  EXPECT_EQ(format_fixed(250.5), "250.500000");
  EXPECT_EQ(format_fixed(-0.0), "-0.000000");
  EXPECT_EQ(format_fixed(-1e-9), "-0.000000");
  EXPECT_EQ(format_fixed(1e20), "100000000000000000000.000000");
}

TEST(NumberFormat, NanAndInfinityHaveOneSpelling) {
  const double quiet = std::numeric_limits<double>::quiet_NaN();
  const double payload = std::bit_cast<double>(std::uint64_t{0x7ff0000000000123});
  for (const double nan : {quiet, -quiet, payload, -payload}) {
    EXPECT_EQ(format_general(nan, 15), "nan");
    EXPECT_EQ(format_fixed(nan), "nan");
  }
  EXPECT_EQ(format_general(INFINITY, 9), "inf");
  EXPECT_EQ(format_general(-INFINITY, 9), "-inf");
  EXPECT_EQ(format_fixed(INFINITY), "inf");
  EXPECT_EQ(format_fixed(-INFINITY), "-inf");
}

TEST(NumberFormat, PrecisionZeroActsAsOneAndLargeIsClamped) {
  EXPECT_EQ(format_general(2.5, 0), "2");
  EXPECT_EQ(format_general(0.1, 40), reference_general(0.1, 40));
  EXPECT_EQ(format_general(0.1, 1000), reference_general(0.1, 40));
}

TEST(NumberFormat, LongestOutputsFitTheBound) {
  char buffer[kMaxNumberChars];
  for (const double v : {-DBL_MAX, -DBL_TRUE_MIN, -1.0 / 3e-300}) {
    EXPECT_LE(static_cast<std::size_t>(format_fixed(buffer, v) - buffer), kMaxNumberChars);
    EXPECT_LE(static_cast<std::size_t>(format_general(buffer, v, kMaxGeneralPrecision) - buffer),
              kMaxNumberChars);
  }
}

// Where the text changes shape or rounding is decided: decades, the -4 and precision switch points,
// exact ties, subnormals and the extremes of the range.
TEST(NumberFormat, EdgeValuesMatchPrintf) {
  std::vector<double> values;
  for (int exponent = -323; exponent <= 308; ++exponent) {
    add_with_neighbours(values, std::strtod(("1e" + std::to_string(exponent)).c_str(), nullptr));
  }
  for (const double v : {0.0001,
                         0.00009999999999999999,
                         0.000099999995,
                         0.0000999999999999995,
                         999999999999999.9,
                         999999999999999.4,
                         99999999.95,
                         999999999.5,
                         999999.5,
                         999999.4,
                         99999.95,
                         9.9999995,
                         0.5,
                         1.5,
                         2.5,
                         0.125,
                         0.375,
                         1.5e-5,
                         2.5e-5,
                         1.25e-5,
                         250.0,
                         1e15,
                         1e9,
                         1e6,
                         123456789012345.6,
                         0.3,
                         0.1,
                         1.0 / 3}) {
    add_with_neighbours(values, v);
  }
  for (const double v : {DBL_MAX, DBL_MIN, DBL_TRUE_MIN, DBL_MIN / 3, DBL_MIN - DBL_TRUE_MIN, 5e-324,
                         2.2250738585072014e-308, 0.0, 9007199254740993.0, 9007199254740992.0}) {
    add_with_neighbours(values, v);
  }
  // Exactly representable ties at every digit position: k + 0.5 scaled by powers of two.
  for (int k = 0; k < 200; ++k) {
    for (int shift = -20; shift <= 20; shift += 5) values.push_back(std::ldexp(2 * k + 1, shift - 1));
  }
  expect_matches_printf(values);
}

TEST(NumberFormat, RandomBitPatternsMatchPrintf) {
  std::mt19937_64 rng(20240601);
  std::vector<double> values;
  for (int i = 0; i < 100000; ++i) values.push_back(std::bit_cast<double>(rng()));
  // Subnormals are rare among random bit patterns but take their own path.
  std::uniform_int_distribution<std::uint64_t> subnormal_bits(1, (std::uint64_t{1} << 52) - 1);
  for (int i = 0; i < 5000; ++i) values.push_back(std::bit_cast<double>(subnormal_bits(rng)));
  expect_matches_printf(values);
}

// Values within a hair of a rounding midpoint at 15, 9 or 6 digits: here the shortest round-trip digits
// end in or near ...5, and only correct handling of their tail rounds the same way as printf.
TEST(NumberFormat, NearMidpointsMatchPrintf) {
  std::mt19937_64 rng(99);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::vector<double> values;
  for (const int precision : {15, 9, 6}) {
    for (const char* tail : {"5", "49999999999", "50000000001", "4999", "5001"}) {
      for (int i = 0; i < 3000; ++i) {
        std::string text(1, static_cast<char>('1' + digit(rng) % 9));
        text += '.';
        for (int d = 1; d < precision; ++d) text += static_cast<char>('0' + digit(rng));
        text += tail;
        text += 'e';
        text += std::to_string(exponent(rng));
        values.push_back(std::strtod(text.c_str(), nullptr));
      }
    }
  }
  expect_matches_printf(values);
}

TEST(NumberFormat, RandomValuesOfEngineeringRangeMatchPrintf) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> uniform(-1e3, 1e3);
  std::uniform_real_distribution<double> log_magnitude(-8.0, 8.0);
  std::vector<double> values;
  for (int i = 0; i < 100000; ++i) values.push_back(uniform(rng));
  for (int i = 0; i < 50000; ++i) values.push_back(std::pow(10.0, log_magnitude(rng)) * (i % 2 ? 1 : -1));
  // Grid coordinates carry accumulated representation error (0.06999999999999999) or none (0.07).
  for (int i = -3000; i <= 3000; ++i) {
    values.push_back(i * 0.01 - 0.15);
    values.push_back(i * 0.001);
    values.push_back(i / 7.0);
  }
  expect_matches_printf(values);
}

}  // namespace
}  // namespace expcoil
