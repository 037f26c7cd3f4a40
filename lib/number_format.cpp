#include "lib/number_format.hpp"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace expcoil {
namespace {

// Both fast paths below start from the shortest round-trip digits S of a normal double v (at most 17
// digits), as std::to_chars produces them: of all shortest decimals that read back as v, the one nearest
// to v. Subnormals have a much larger relative ulp (4.9e-324 round-trips as "5e-324" but "%.15g" must
// print 4.94065645841247e-324), so they always take the exact conversion.
//
// S has n <= p digits: |v - S| <= half an ulp <= 2^-53 |v| = 1.1e-16 |v|, while half a unit in the last
// place of a p-digit decimal is at least 0.5 * 10^-p relative, which is larger for every p <= 15. So S is
// the unique nearest p-digit decimal: exactly printf's correctly rounded result. At p = 16 the margin is
// gone (9.9999999999999991e-308 round-trips as "1e-307").
constexpr int kShortDigitsMaxPrecision = 15;

// S has n > p digits: rounding S to p digits equals rounding v unless a rounding midpoint M lies between
// v and S. Such an M would itself read back as v and has at most p + 1 <= n digits, so it would be shorter
// than S, or as short and at least as near to v; either contradicts the choice of S, unless M = S, i.e. the
// discarded digits of S are exactly half a unit. A power of ten between v and S is ruled out the same way,
// so both are rounded on the same decade's grid.
bool round_shortest_digits(char* digits, int& count, int& exponent, int precision) {
  if (count <= precision) return precision <= kShortDigitsMaxPrecision;
  std::uint64_t tail = 0;
  for (int i = precision; i < count; ++i) tail = tail * 10 + static_cast<std::uint64_t>(digits[i] - '0');
  std::uint64_t half = 5;
  for (int i = precision + 1; i < count; ++i) half *= 10;
  if (tail == half) return false;
  count = precision;
  if (tail > half) {
    int i = precision - 1;
    while (i >= 0 && digits[i] == '9') digits[i--] = '0';
    if (i >= 0) {
      ++digits[i];
    } else {
      digits[0] = '1';
      count = 1;
      ++exponent;
    }
  }
  return true;
}

// Room for "d.<39 digits>e-324" from std::to_chars in scientific notation.
constexpr std::size_t kScientificBuffer = 64;

struct Digits {
  char* digits;  // significant digits, contiguous, no point
  int count;
  int exponent;  // decimal exponent of the first digit
};

// Takes to_chars's scientific text "d[.ddd]e<sign><2 or 3 digits>" apart, in place.
Digits to_scientific_digits(char* text, std::to_chars_result result) {
  // The exponent has a sign and two or three digits.
  char* const e = result.ptr[-4] == 'e' ? result.ptr - 4 : result.ptr - 5;
  Digits d{text, static_cast<int>(e - text), 0};
  if (d.count > 1) {
    // Moving the leading digit onto the decimal point makes the digits contiguous.
    text[1] = text[0];
    ++d.digits;
    --d.count;
  }
  for (const char* p = e + 2; p < result.ptr; ++p) d.exponent = d.exponent * 10 + (*p - '0');
  if (e[1] == '-') d.exponent = -d.exponent;
  return d;
}

char* write_non_finite(char* out, double value) {
  if (std::isnan(value)) {
    std::memcpy(out, "nan", 3);
    return out + 3;
  }
  if (std::signbit(value)) *out++ = '-';
  std::memcpy(out, "inf", 3);
  return out + 3;
}

}  // namespace

char* format_general(char* out, double value, int precision) {
  if (!std::isfinite(value)) return write_non_finite(out, value);
  if (precision < 1) precision = 1;
  if (precision > kMaxGeneralPrecision) precision = kMaxGeneralPrecision;

  if (std::signbit(value)) *out++ = '-';
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0) {
    *out++ = '0';
    return out;
  }

  char buffer[kScientificBuffer];
  Digits d{};
  bool rounded = false;
  if (magnitude >= DBL_MIN) {
    d = to_scientific_digits(
        buffer, std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific));
    rounded = round_shortest_digits(d.digits, d.count, d.exponent, precision);
  }
  if (!rounded) {
    d = to_scientific_digits(buffer, std::to_chars(buffer, buffer + sizeof buffer, magnitude,
                                                   std::chars_format::scientific, precision - 1));
  }
  const char* const digits = d.digits;
  int count = d.count;
  const int exponent = d.exponent;
  while (count > 1 && digits[count - 1] == '0') --count;

  if (exponent < -4 || exponent >= precision) {
    *out++ = digits[0];
    if (count > 1) {
      *out++ = '.';
      std::memcpy(out, digits + 1, count - 1);
      out += count - 1;
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    // Doubles span exponents -324..308, so three digits always suffice and are always required.
    const int magnitude_exponent = exponent < 0 ? -exponent : exponent;
    out[0] = static_cast<char>('0' + magnitude_exponent / 100);
    out[1] = static_cast<char>('0' + magnitude_exponent / 10 % 10);
    out[2] = static_cast<char>('0' + magnitude_exponent % 10);
    return out + 3;
  }
  if (exponent >= 0) {
    const int integer_digits = exponent + 1;
    if (count <= integer_digits) {
      std::memcpy(out, digits, count);
      std::memset(out + count, '0', integer_digits - count);
      return out + integer_digits;
    }
    std::memcpy(out, digits, integer_digits);
    out += integer_digits;
    *out++ = '.';
    std::memcpy(out, digits + integer_digits, count - integer_digits);
    return out + (count - integer_digits);
  }
  const int leading_zeros = -exponent - 1;
  *out++ = '0';
  *out++ = '.';
  std::memset(out, '0', leading_zeros);
  out += leading_zeros;
  std::memcpy(out, digits, count);
  return out + count;
}

char* format_fixed(char* out, double value) {
  if (!std::isfinite(value)) return write_non_finite(out, value);
  // to_chars keeps the sign of -0.0 and of negatives that round to zero ("-0.000000"), as printf does.
  return std::to_chars(out, out + kMaxNumberChars, value, std::chars_format::fixed, 6).ptr;
}

std::string format_general(double value, int precision) {
  char buffer[kMaxNumberChars];
  return std::string(buffer, format_general(buffer, value, precision));
}

std::string format_fixed(double value) {
  char buffer[kMaxNumberChars];
  return std::string(buffer, format_fixed(buffer, value));
}

}  // namespace expcoil
