// Number text and file handling shared by the text formats. The tracking programs are read on Linux with
// C++ streams, strtod, sscanf or Fortran list-directed input: every one accepts what std::to_chars
// writes, while several of them reject or misread a carriage return, so these files end lines in LF.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "lib/output_file.hpp"
#include "magnet/field_map_grid.hpp"

namespace expcoil {

// Room for any text below.
inline constexpr std::size_t kNumberText = 32;

// The shortest text that reads back as the same double, always with an exponent ("1.025e+00", "0e+00",
// "-0e+00"): exact for double readers, and a coordinate never prints as the bare "0" that TOPAS takes for
// the end of its header.
inline char* put_exact(char* out, double v) {
  return std::to_chars(out, out + kNumberText, v, std::chars_format::scientific).ptr;
}

// printf "%.15g" ("10", "0.05", "1e-05"): header values and coordinates to the 15 digits of the CSV, so
// that a grid node computed as 19 * 0.01 - 0.17 prints as 0.02, not 0.019999999999999990.
inline char* put_plain(char* out, double v) {
  return std::to_chars(out, out + kNumberText, v, std::chars_format::general, 15).ptr;
}

// A coordinate for the data lines: rounded to 15 significant digits like put_plain, then written in
// exponent form like put_exact ("-5.6e-01").
inline char* put_coordinate(char* out, double v) {
  char digits[kNumberText];
  double rounded = v;
  std::from_chars(digits, put_plain(digits, v), rounded);
  return put_exact(out, rounded);
}

// For readers that store single precision: the shortest text of the nearest float, so the reader gets
// exactly that float. Magnitudes below the smallest normal float are written as zero (a stream reading
// them into a float may fail instead of giving a subnormal); callers reject values beyond the float range.
inline char* put_single(char* out, double v) {
  float f = static_cast<float>(v);
  if (std::fabs(f) < std::numeric_limits<float>::min()) f = std::signbit(f) ? -0.0f : 0.0f;
  return std::to_chars(out, out + kNumberText, f, std::chars_format::scientific).ptr;
}

// The parts one after the other. (Chains of string + string trip a false -Wrestrict of g++ 12.)
inline std::string join(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (std::string_view p : parts) text.append(p);
  return text;
}

// "(x, y, z)" of a point.
inline std::string point_text(const double* p) {
  char buffer[kNumberText];
  std::string text = "(";
  for (int a = 0; a < 3; ++a) text.append(buffer, put_plain(buffer, p[a])).append(a < 2 ? ", " : ")");
  return text;
}

inline std::string exact_text(double v) {
  char buffer[kNumberText];
  return std::string(buffer, put_exact(buffer, v));
}
inline std::string plain_text(double v) {
  char buffer[kNumberText];
  return std::string(buffer, put_plain(buffer, v));
}

// The text of every node along `axis`, in `scale` times metres, made once instead of once per point.
template <class Put>
std::vector<std::string> axis_texts(const FieldMapGrid& grid, int axis, double scale, Put put) {
  std::vector<std::string> texts(static_cast<std::size_t>(grid.count[axis]));
  char buffer[kNumberText];
  for (std::size_t i = 0; i < texts.size(); ++i) {
    texts[i].assign(buffer, put(buffer, grid.value(axis, static_cast<std::int64_t>(i)) * scale));
  }
  return texts;
}

// One data line of a text format into `line` (room for kLineText characters): the point's coordinate
// texts when `coordinates` is not null (each made by axis_texts, so at most kNumberText long), then its three
// field values as `put` writes them; every item after the first is preceded by `separator`, the first too
// when `leading`; a line feed ends it. Returns the end of the line.
inline constexpr std::size_t kLineText = 6 * (kNumberText + 1) + 1;
template <class Put>
char* point_line(char* line, const std::string* const* coordinates, const double* b, char separator,
                 bool leading, Put put) {
  char* end = line;
  bool first = !leading;
  const auto next_item = [&] {
    if (!first) *end++ = separator;
    first = false;
  };
  if (coordinates != nullptr) {
    for (int a = 0; a < 3; ++a) {
      next_item();
      end = std::copy(coordinates[a]->begin(), coordinates[a]->end(), end);
    }
  }
  for (int c = 0; c < 3; ++c) {
    next_item();
    end = put(end, b[c]);
  }
  *end++ = '\n';
  return end;
}

// Throws InputError unless |v| fits a float; `format` names the files in the message.
void check_single_range(double v, const char* format);

}  // namespace expcoil
