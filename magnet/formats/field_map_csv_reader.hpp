// Reading fieldmap_<name>.csv (the header line "x (m),y,z, Bx (T),By,Bz", then one "x,y,z, Bx,By,Bz" row
// per grid point, x slowest, z fastest) in bounded memory, for any size of map.
//
// The grid is worked out before the first point is handed over, so that writers can put counts in their
// headers: the z and y runs and the x spacing come from the first x slab (read twice, which costs one
// slab), the x count from the file's last row. Every row is then checked against that grid as it is read:
// a row that is missing, repeated, out of order, off the regular spacing, not six numbers, or with a field
// that is not finite stops the reading with an InputError naming its line; so does a file that ends early
// or goes on past the last point. Coordinates may differ from the exact grid by 1e-6 of a cell (the file
// holds them to 15 digits). Blank lines may only end the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "magnet/field_map.hpp"
#include "magnet/formats/csv_lines.hpp"

namespace expcoil {

inline constexpr std::string_view kFieldMapCsvHeader = "x (m),y,z, Bx (T),By,Bz";
inline constexpr std::string_view kWindingsCsvHeader = "x1 (m),y1,z1, x2,y2,z2, I (Amps)";

enum class CsvKind { field_map, windings };
// Which of the program's two tables `path` holds, from its first line; InputError if neither.
CsvKind csv_kind(const std::string& path);

class FieldMapCsvReader {
 public:
  // Reads the header, works out the grid (at least two nodes per axis) and checks it; throws InputError.
  explicit FieldMapCsvReader(const std::string& path);
  // min: the first row's coordinates; cell: (last - first) / (count - 1) per axis; max: the last row's.
  const FieldMapGrid& grid() const { return grid_; }
  // Up to `max_points` next points into b, (Bx, By, Bz) each; returns how many, 0 once all were read and
  // the rest of the file is blank. Throws InputError.
  std::size_t read(double* b, std::size_t max_points);

 private:
  bool data_row(std::string_view& line);
  [[noreturn]] void fail(std::int64_t line, const std::string& reason) const;
  [[noreturn]] void fail_row(std::string_view line) const;
  void start_data();
  std::string grid_text() const;

  CsvLines lines_;
  FieldMapGrid grid_;
  bool grid_known_ = true;  // false: the grid's x count is unknown, the reading can only find the fault
  double tolerance_[3] = {0.0, 0.0, 0.0};
  std::int64_t total_ = 0;
  std::int64_t next_ = 0;  // index of the next point in CSV order
  std::int64_t index_[3] = {0, 0, 0};
  std::uint64_t data_offset_ = 0;
  std::int64_t blank_line_ = 0;  // first blank line since the last row
};

// The whole map in memory.
FieldMap field_map_csv_read_regular(const std::string& path);

}  // namespace expcoil
