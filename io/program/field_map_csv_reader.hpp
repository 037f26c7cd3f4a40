// Reading fieldmap_<name>.csv (the header line "x (m),y,z, Bx (T),By,Bz", then one "x,y,z, Bx,By,Bz" row
// per grid point, x slowest, z fastest) in bounded memory, for any size of map.
//
// The z and y values come from the first x slab (read twice, which costs one slab) and, read as_read,
// the x values from the first row of each slab; all of them exactly as the file holds them. Every row is
// checked as it is read: a row that is missing, repeated, out of order, off the grid, not six numbers,
// or with a coordinate or field that is not finite stops the reading with a FileFormatError naming its
// line; so does a file that ends inside a slab. Blank lines may only end the file.
//
// FieldMapSpacing::regular (the exporters) also needs even spacing along every axis, and knows the whole
// grid before the first point is handed over, so that writers can put counts in their headers: the x
// count comes from the file's last row, which must be the grid's last point, and a file that ends early
// or goes on past it is refused. A last row that claims more rows than the file's size can hold is not
// believed: the rows are then read up to the first that is off the grid, which the refusal names, so a
// malformed map costs neither memory nor output in proportion to its claim. Coordinates may differ from the
// even grid by 1e-6 of a cell (the file holds them to 15 digits); an axis with a single node has cell 0 and
// is compared exactly. FieldMapSpacing::as_read takes any values along each axis, every row exactly on them,
// as a map made from arrays may hold; the x count is known once the file is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/line_reader.hpp"
#include "magnet/field_map_grid.hpp"

namespace expcoil {

enum class CsvKind { field_map, windings };
// Which of the program's two tables `path` holds, from its first line; FileFormatError if neither.
CsvKind csv_kind(const std::string& path);

enum class FieldMapSpacing { regular, as_read };

class FieldMapCsvReader {
 public:
  // Reads the header and the first slab, and for regular spacing the last row; throws ReadError and
  // FileFormatError.
  explicit FieldMapCsvReader(const std::string& path, FieldMapSpacing spacing = FieldMapSpacing::regular);

  // Regular spacing: min, the first row's coordinates; max, the last row's; cell, (max - min) /
  // (count - 1), 0 for a single node. As read: the counts along y and z only.
  const FieldMapGrid& grid() const { return grid_; }
  // The values along axis 0 (x), 1 (y) or 2 (z) as the file holds them. x: as read only (regular
  // spacing has them in grid(), and the streaming exporters need no list), those of the slabs begun so
  // far.
  const std::vector<double>& axis(int a) const { return axis_[a]; }

  // Up to `max_points` next points into b, (Bx, By, Bz) each; returns how many, 0 once all were read and
  // the rest of the file is blank. Throws ReadError and FileFormatError.
  std::size_t read(double* b, std::size_t max_points);

 private:
  template <bool kRegular>
  std::size_t read_rows(double* b, std::size_t max_points);
  bool data_row(std::string_view& line);
  [[noreturn]] void fail(std::int64_t line, const std::string& reason) const;
  [[noreturn]] void fail_row(std::string_view line) const;
  [[noreturn]] void fail_off_grid(const double* v) const;
  void start_data();
  std::string grid_text() const;

  LineReader lines_;
  bool regular_;
  FieldMapGrid grid_;
  std::vector<double> axis_[3];
  bool grid_known_ = true;  // false: the grid's x count is unknown until the end of the file
  double tolerance_[3] = {0.0, 0.0, 0.0};
  std::int64_t total_ = 0;
  std::int64_t next_ = 0;  // index of the next point in CSV order
  std::int64_t index_[3] = {0, 0, 0};
  std::uint64_t data_offset_ = 0;
  std::int64_t blank_line_ = 0;  // first blank line since the last row
};

}  // namespace expcoil
