#include "io/program/field_map_csv_reader.hpp"

#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <vector>

#include "io/export/field_map_writer.hpp"
#include "io/program/field_map_csv.hpp"
#include "io/program/windings_table.hpp"
#include "io/text_support.hpp"
#include "lib/errors.hpp"

namespace expcoil {
namespace {

constexpr const char* kAxis[3] = {"x", "y", "z"};
constexpr const char* kField[3] = {"Bx", "By", "Bz"};
constexpr std::int64_t kMaxCount = std::numeric_limits<std::int32_t>::max();
// The shortest row: six one-digit numbers, five commas and a line feed.
constexpr double kMinRowBytes = 12.0;

}  // namespace

CsvKind csv_kind(const std::string& path) {
  LineReader lines(path);
  std::string_view first;
  if (lines.next(first)) {
    first = trim_blanks(first);
    if (first == kFieldMapCsvHeader) return CsvKind::field_map;
    if (first == kWindingsCsvHeader) return CsvKind::windings;
  }
  throw FileFormatError(path, 1,
                        join({"neither a field map nor a windings table of expcoil: the first line is not '",
                              kFieldMapCsvHeader, "' or '", kWindingsCsvHeader, "'"}));
}

void FieldMapCsvReader::fail(std::int64_t line, const std::string& reason) const {
  throw FileFormatError(lines_.path(), line, reason);
}

void FieldMapCsvReader::fail_row(std::string_view line) const {
  // A NUL shown as \0: the message would end at it.
  std::string shown;
  for (const char c : line.substr(0, 256)) {
    if (c == '\0') {
      shown.append("\\0");
    } else {
      shown.push_back(c);
    }
  }
  fail(lines_.line_number(), join({"expected six numbers x,y,z, Bx,By,Bz, found ", quote_line(shown)}));
}

bool FieldMapCsvReader::data_row(std::string_view& line) {
  while (lines_.next(line)) {
    if (!is_blank(line)) {
      if (blank_line_ > 0) fail(blank_line_, "a blank line inside the data");
      return true;
    }
    if (blank_line_ == 0) blank_line_ = lines_.line_number();
  }
  return false;
}

FieldMapCsvReader::FieldMapCsvReader(const std::string& path, FieldMapSpacing spacing)
    : lines_(path), regular_(spacing == FieldMapSpacing::regular) {
  std::string_view line;
  if (!lines_.next(line) || trim_blanks(line) != kFieldMapCsvHeader)
    fail(1, join({"not a field map: the first line is not '", kFieldMapCsvHeader, "'"}));
  if (!data_row(line)) fail(2, "no rows under the header");
  double first[6], v[6];
  const auto finite_point = [&](const double* p) {
    for (int a = 0; a < 3; ++a)
      if (!std::isfinite(p[a])) fail(lines_.line_number(), std::string(kAxis[a]) + " is not a finite number");
  };
  if (!parse_numbers(line, ',', first, 6)) fail_row(line);
  finite_point(first);
  data_offset_ = lines_.line_offset();
  const auto row = [&]() {
    if (!data_row(line)) return false;
    if (!parse_numbers(line, ',', v, 6)) fail_row(line);
    finite_point(v);
    return true;
  };
  // Regular spacing: an axis's first step is its cell, which must be positive.
  double cell[3] = {0.0, 0.0, 0.0};
  const auto first_step = [&](int a) {
    cell[a] = v[a] - first[a];
    if (regular_ && !(cell[a] > 0.0))
      fail(lines_.line_number(), std::string(kAxis[a]) +
                                     " does not increase; the rows must run x slowest, z fastest"
                                     " with rising coordinates");
  };

  // The first z line, the first x slab and the first row beyond it.
  axis_[1] = {first[1]};
  axis_[2] = {first[2]};
  bool more = row();
  while (more && v[0] == first[0] && v[1] == first[1]) {
    if (axis_[2].size() == 1) first_step(2);
    axis_[2].push_back(v[2]);
    more = row();
  }
  const auto nz = static_cast<std::int64_t>(axis_[2].size());
  std::int64_t slab = nz;
  while (more && v[0] == first[0]) {
    if (slab % nz == 0) {
      if (axis_[1].size() == 1) first_step(1);
      axis_[1].push_back(v[1]);
    }
    ++slab;
    more = row();
  }
  if (more) first_step(0);
  std::int64_t count[3] = {more ? 0 : 1, static_cast<std::int64_t>(axis_[1].size()), nz};
  grid_known_ = regular_ && slab % nz == 0;

  // Regular spacing: the x count from the last row, which must be the grid's last point.
  double last[6];
  if (grid_known_ && parse_numbers(lines_.last_line(), ',', last, 6)) {
    if (more) {
      const double steps = (last[0] - first[0]) / cell[0];
      grid_known_ = steps >= 0.5 && steps < static_cast<double>(kMaxCount) - 1 &&
                    std::fabs(steps - std::round(steps)) < 1e-3;
      if (grid_known_) count[0] = std::llround(steps) + 1;
    }
    for (int a = 0; a < 3; ++a) {
      if (count[a] == 1) {
        grid_known_ = grid_known_ && last[a] == first[a];
      } else if (a > 0) {
        grid_known_ = grid_known_ &&
                      std::fabs((last[a] - first[a]) / cell[a] - static_cast<double>(count[a] - 1)) < 1e-3;
      }
    }
  } else {
    grid_known_ = false;
  }
  // The last row's claim is only believed if the file is large enough to hold that many rows, so that
  // writers never size anything by a count one row made up: otherwise the rows are read until the one
  // that does not fit.
  if (grid_known_) {
    struct stat info;
    const double rows =
        static_cast<double>(count[0]) * static_cast<double>(count[1]) * static_cast<double>(count[2]);
    grid_known_ =
        ::stat(path.c_str(), &info) == 0 && rows * kMinRowBytes <= static_cast<double>(info.st_size);
  }
  for (int a = 0; a < 3; ++a) {
    grid_.min[a] = first[a];
    if (grid_known_) {
      grid_.max[a] = last[a];
      if (count[a] > 1) cell[a] = (last[a] - first[a]) / static_cast<double>(count[a] - 1);
    }
    if (regular_) {
      grid_.cell[a] = cell[a];
      tolerance_[a] = kGridTolerance * cell[a];
    }
    if (count[a] > kMaxCount) fail(0, std::string("too many nodes along ") + kAxis[a]);
  }
  grid_.h = -first[1];
  grid_.count[1] = static_cast<std::int32_t>(count[1]);
  grid_.count[2] = static_cast<std::int32_t>(count[2]);
  if (!grid_known_) {
    // The x count is found by reading to the end.
    grid_.count[0] = static_cast<std::int32_t>(kMaxCount);
    total_ = std::numeric_limits<std::int64_t>::max();
    start_data();
    if (!regular_) return;
    // Some row does not fit: find the first one.
    std::vector<double> sink(3 * 4096);
    while (read(sink.data(), 4096) > 0) {
    }
    fail(next_ + 1, "the last row does not end a regular grid");
  }
  grid_.count[0] = static_cast<std::int32_t>(count[0]);
  if (!grid_.holdable()) fail(grid_.points() + 1, "the grid has too many points");
  total_ = grid_.points();
  start_data();
}

void FieldMapCsvReader::start_data() {
  lines_.rewind(data_offset_, 2);
  blank_line_ = 0;
  next_ = 0;
  index_[0] = index_[1] = index_[2] = 0;
  axis_[0].clear();
}

std::string FieldMapCsvReader::grid_text() const {
  if (!grid_known_)
    return join({"slabs of ", std::to_string(grid_.count[1]), " x ", std::to_string(grid_.count[2]),
                 " points from the first rows"});
  return join({std::to_string(grid_.count[0]), " x ", std::to_string(grid_.count[1]), " x ",
               std::to_string(grid_.count[2]), " points from the first and last rows"});
}

void FieldMapCsvReader::fail_off_grid(const double* v) const {
  for (int a = 0; a < 3; ++a)
    if (!std::isfinite(v[a])) fail(lines_.line_number(), std::string(kAxis[a]) + " is not a finite number");
  double want[3];
  for (int a = 0; a < 3; ++a) want[a] = regular_ ? grid_.value(a, index_[a]) : axis_[a][index_[a]];
  fail(lines_.line_number(),
       join({"found the point ", point_text(v), " where grid point (", std::to_string(index_[0]), ", ",
             std::to_string(index_[1]), ", ", std::to_string(index_[2]), ") at ", point_text(want),
             " belongs: a row is missing, repeated, out of order or off the regular grid (rows x slowest, "
             "z fastest; ",
             grid_text(), ")"}));
}

std::size_t FieldMapCsvReader::read(double* b, std::size_t max_points) {
  return regular_ ? read_rows<true>(b, max_points) : read_rows<false>(b, max_points);
}

template <bool kRegular>
std::size_t FieldMapCsvReader::read_rows(double* b, std::size_t max_points) {
  std::size_t produced = 0;
  std::string_view line;
  double v[6];
  while (produced < max_points) {
    if (!data_row(line)) {
      if (next_ < total_) {
        const std::int64_t end = blank_line_ > 0 ? blank_line_ : lines_.line_number() + 1;
        if (grid_known_)
          fail(end, join({"the file ends after ", std::to_string(next_), " of the ", std::to_string(total_),
                          " points (", grid_text(), ")"}));
        const std::int64_t slab = static_cast<std::int64_t>(grid_.count[1]) * grid_.count[2];
        if (next_ % slab != 0)
          fail(end, join({"the file ends inside an x slab (", std::to_string(next_), " rows; slabs of ",
                          std::to_string(slab), ")"}));
      }
      return produced;
    }
    if (next_ == total_) {
      const double corner[3] = {grid_.max[0], grid_.max[1], grid_.max[2]};
      fail(lines_.line_number(),
           join({"a row after the grid's last point ", point_text(corner), " (", grid_text(), ")"}));
    }
    if (!parse_numbers(line, ',', v, 6)) fail_row(line);
    if (!kRegular && index_[1] == 0 && index_[2] == 0) axis_[0].push_back(v[0]);
    for (int a = 0; a < 3; ++a) {
      const double expected = kRegular ? grid_.value(a, index_[a]) : axis_[a][index_[a]];
      if (!(std::fabs(v[a] - expected) <= tolerance_[a])) fail_off_grid(v);
    }
    for (int c = 0; c < 3; ++c)
      if (!std::isfinite(v[3 + c]))
        fail(lines_.line_number(), std::string(kField[c]) + " is not a finite number");
    b[0] = v[3];
    b[1] = v[4];
    b[2] = v[5];
    b += 3;
    ++produced;
    ++next_;
    if (++index_[2] == grid_.count[2]) {
      index_[2] = 0;
      if (++index_[1] == grid_.count[1]) {
        index_[1] = 0;
        ++index_[0];
      }
    }
  }
  return produced;
}

}  // namespace expcoil
