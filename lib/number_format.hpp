#pragma once

// Number-to-text conversion for every numeric output file.
//
// The files must be byte-identical to those printed by a Windows C runtime, so the text follows printf
// digit for digit (correct rounding, round-half-even on exact ties, as glibc does) with two deliberate
// differences from glibc:
//   * the exponent of the general format always has at least three digits: "1.25e-005", "2.5e+020",
//     "1e+100" (glibc prints "1.25e-05");
//   * NaN is always "nan" whatever its sign bit or payload (glibc prints "-nan" for a negative NaN);
//     infinities are "inf" and "-inf".
// Negative zero keeps its sign: "-0" (general) and "-0.000000" (fixed), as printf prints it.
//
// The char* overloads write no terminating NUL and return the end of the text; `out` must have room for
// kMaxNumberChars characters.

#include <cstddef>
#include <string>

namespace expcoil {

// "%lf" of -DBL_MAX needs 317 characters (sign, 309 integer digits, point, 6 decimals).
inline constexpr std::size_t kMaxNumberChars = 400;

// Precisions above this are clamped to it; a double carries at most 17 meaningful significant digits,
// and the bound keeps the general format within kMaxNumberChars.
inline constexpr int kMaxGeneralPrecision = 40;

// printf "%.<precision>lg": `precision` significant digits, trailing zeros and a trailing point removed,
// exponential notation when the decimal exponent is < -4 or >= precision. Precision 0 means 1, as in
// printf. Precision 6 is plain "%lg".
char* format_general(char* out, double value, int precision);

// printf "%lf": fixed notation with six decimals.
char* format_fixed(char* out, double value);

std::string format_general(double value, int precision);
std::string format_fixed(double value);

}  // namespace expcoil
