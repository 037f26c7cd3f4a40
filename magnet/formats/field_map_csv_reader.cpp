#include "magnet/formats/field_map_csv_reader.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "magnet/formats/export_error.hpp"
#include "magnet/formats/field_map_writer.hpp"
#include "magnet/formats/text_support.hpp"

namespace expcoil {
namespace {

constexpr const char* kAxis[3] = {"x", "y", "z"};
constexpr const char* kField[3] = {"Bx", "By", "Bz"};
// Off-grid allowance, in cells: the file holds 15 significant digits.
constexpr double kTolerance = 1e-6;

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

CsvKind csv_kind(const std::string& path) {
  CsvLines lines(path);
  std::string_view first;
  if (lines.next(first)) {
    first = trimmed(first);
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
  fail(lines_.line_number(), join({"expected six numbers x,y,z, Bx,By,Bz, found ", quote_line(line)}));
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

FieldMapCsvReader::FieldMapCsvReader(const std::string& path) : lines_(path) {
  std::string_view line;
  if (!lines_.next(line) || trimmed(line) != kFieldMapCsvHeader)
    fail(1, join({"not a field map: the first line is not '", kFieldMapCsvHeader, "'"}));
  double first[6], v[6];
  if (!data_row(line)) fail(2, "no rows under the header");
  if (!parse_csv_numbers(line, first, 6)) fail_row(line);
  data_offset_ = lines_.line_offset();
  auto row = [&]() {
    if (!data_row(line)) return false;
    if (!parse_csv_numbers(line, v, 6)) fail_row(line);
    return true;
  };
  auto single = [&](int axis) {
    fail(lines_.line_number(), std::string("the grid has a single node along ") + kAxis[axis] +
                                   "; the export formats need at least two");
  };
  auto increasing = [&](int axis, double step) {
    if (!(step > 0.0))
      fail(lines_.line_number(), std::string(kAxis[axis]) +
                                     " does not increase; the rows must run x slowest, z fastest"
                                     " with rising coordinates");
    return step;
  };

  // The first z line, the first x slab and the first row beyond it.
  double cell[3] = {0.0, 0.0, 0.0};
  std::int64_t count[3] = {0, 1, 0};
  bool more = row();
  while (more && v[0] == first[0] && v[1] == first[1]) {
    if (count[2]++ == 0) cell[2] = increasing(2, v[2] - first[2]);
    more = row();
  }
  ++count[2];
  if (count[2] < 2) single(2);
  if (!more || v[0] != first[0]) single(1);
  cell[1] = increasing(1, v[1] - first[1]);
  std::int64_t slab = count[2];
  while (more && v[0] == first[0]) {
    ++slab;
    more = row();
  }
  if (!more) single(0);
  cell[0] = increasing(0, v[0] - first[0]);
  count[1] = (slab + count[2] - 1) / count[2];
  grid_known_ = slab % count[2] == 0;

  // The x count from the last row, which must be the grid's last point.
  double last[6];
  const std::string tail = lines_.last_line();
  if (grid_known_ && parse_csv_numbers(tail, last, 6)) {
    const double steps = (last[0] - first[0]) / cell[0];
    count[0] = std::llround(steps) + 1;
    grid_known_ = std::fabs(steps - std::round(steps)) < 1e-3 && count[0] >= 2 &&
                  count[0] <= std::numeric_limits<std::int32_t>::max();
    for (int a = 1; a < 3; ++a)
      grid_known_ =
          grid_known_ && std::fabs((last[a] - first[a]) / cell[a] - static_cast<double>(count[a] - 1)) < 1e-3;
  } else {
    grid_known_ = false;
  }
  for (int a = 0; a < 3; ++a) {
    grid_.min[a] = first[a];
    if (grid_known_) {
      grid_.max[a] = last[a];
      cell[a] = (last[a] - first[a]) / static_cast<double>(count[a] - 1);
    }
    grid_.cell[a] = cell[a];
    tolerance_[a] = kTolerance * cell[a];
    if (count[a] > std::numeric_limits<std::int32_t>::max())
      fail(0, std::string("too many nodes along ") + kAxis[a]);
  }
  grid_.h = -first[1];
  grid_.count[1] = static_cast<std::int32_t>(count[1]);
  grid_.count[2] = static_cast<std::int32_t>(count[2]);
  if (!grid_known_) {
    // Some row does not fit: find the first one.
    grid_.count[0] = std::numeric_limits<std::int32_t>::max();
    total_ = std::numeric_limits<std::int64_t>::max();
    start_data();
    std::vector<double> sink(3 * 4096);
    while (read(sink.data(), 4096) > 0) {
    }
    if (next_ % (count[1] * count[2]) == 0) fail(0, "the last row does not end a regular grid");
    fail(lines_.line_number() + 1, join({"the file ends inside an x slab (", std::to_string(next_),
                                         " rows; slabs of ", std::to_string(count[1] * count[2]), ")"}));
  }
  grid_.count[0] = static_cast<std::int32_t>(count[0]);
  try {
    check_export_grid(grid_);
  } catch (const InputError& e) {
    fail(0, e.what());
  }
  total_ = grid_.points();
  start_data();
}

void FieldMapCsvReader::start_data() {
  lines_.rewind(data_offset_, 2);
  blank_line_ = 0;
  next_ = 0;
  index_[0] = index_[1] = index_[2] = 0;
}

std::string FieldMapCsvReader::grid_text() const {
  if (!grid_known_)
    return join({"slabs of ", std::to_string(grid_.count[1]), " x ", std::to_string(grid_.count[2]),
                 " points from the first rows"});
  return join({std::to_string(grid_.count[0]), " x ", std::to_string(grid_.count[1]), " x ",
               std::to_string(grid_.count[2]), " points from the first and last rows"});
}

std::size_t FieldMapCsvReader::read(double* b, std::size_t max_points) {
  std::size_t produced = 0;
  std::string_view line;
  double v[6];
  while (produced < max_points) {
    if (!data_row(line)) {
      if (next_ < total_ && grid_known_)
        fail(lines_.line_number() + 1, join({"the file ends after ", std::to_string(next_), " of the ",
                                             std::to_string(total_), " points (", grid_text(), ")"}));
      return produced;
    }
    if (next_ == total_) {
      const double corner[3] = {grid_.max[0], grid_.max[1], grid_.max[2]};
      fail(lines_.line_number(),
           join({"a row after the grid's last point ", point_text(corner), " (", grid_text(), ")"}));
    }
    if (!parse_csv_numbers(line, v, 6)) fail_row(line);
    for (int a = 0; a < 3; ++a) {
      const double expected = grid_node(grid_, a, index_[a]);
      if (!(std::fabs(v[a] - expected) <= tolerance_[a])) {
        double want[3];
        for (int c = 0; c < 3; ++c) want[c] = grid_node(grid_, c, index_[c]);
        fail(lines_.line_number(),
             join({"found the point ", point_text(v), " where grid point (", std::to_string(index_[0]), ", ",
                   std::to_string(index_[1]), ", ", std::to_string(index_[2]), ") at ", point_text(want),
                   " belongs: a row is missing, repeated, out of order or off the regular grid (rows x "
                   "slowest, "
                   "z fastest; ",
                   grid_text(), ")"}));
      }
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

FieldMap field_map_csv_read_regular(const std::string& path) {
  FieldMapCsvReader reader(path);
  FieldMap map{reader.grid(), std::vector<double>(static_cast<std::size_t>(reader.grid().points()) * 3)};
  std::size_t done = 0;
  while (const std::size_t n = reader.read(map.b.data() + 3 * done, map.b.size() / 3 - done)) done += n;
  // The reader's end check runs when asked for more than the map holds.
  double spare[3];
  reader.read(spare, 1);
  return map;
}

}  // namespace expcoil
