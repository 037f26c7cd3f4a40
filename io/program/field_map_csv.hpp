// The field map file, fieldmap_<name>.csv: the header "x (m),y,z, Bx (T),By,Bz", then one line per grid
// point in linear-index order (x slowest, z fastest): "x,y,z, Bx,By,Bz", every number as printf "%.15lg"
// with a three-digit exponent, lines ending in CR LF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/output_file.hpp"
#include "magnet/field_map.hpp"

namespace expcoil {

inline constexpr std::string_view kFieldMapCsvHeader = "x (m),y,z, Bx (T),By,Bz";

// How far, in cells, a coordinate read back from the file may lie from its regular grid node: the file
// holds 15 significant digits.
inline constexpr double kGridTolerance = 1e-6;

// A field map as its file holds it: the grid values along x, y and z, and (Bx, By, Bz) of every point
// in the file's order, 3 * x.size() * y.size() * z.size() values. The reader returns one; a map from
// anywhere (computed, read, or made by a front end) can be written from one.
struct FieldMapTable {
  std::vector<double> x, y, z;
  std::vector<double> b;
};

// The table of a computed map: its axes as field_map_axis gives them and its values, moved out of `map`.
FieldMapTable field_map_table(FieldMap&& map);

// The map of a table whose axes are evenly spaced, as the regular-grid formats need: min the first value,
// cell (last - first) / (n - 1), every value within kGridTolerance cells of its grid position. Throws
// InputError naming the axis and the value otherwise, or when b does not hold three values per point.
FieldMap field_map_from_table(const FieldMapTable& table);

// Writes a map that arrives in pieces (in linear-index order), so that a map need not be held whole.
class FieldMapCsvWriter {
 public:
  FieldMapCsvWriter(std::string path, const FieldMapGrid& grid);
  // The grid given by the values along each axis.
  FieldMapCsvWriter(std::string path, const std::vector<double>& x, const std::vector<double>& y,
                    const std::vector<double>& z);

  // The next `points` points' (Bx, By, Bz), 3 * points values; the text is made by `workers` workers (0:
  // all processors), the same bytes for any count.
  void write(const double* b, std::int64_t points, unsigned workers = 0);

  // False once a write has failed (the rest of the map need not be computed; commit() says why).
  bool ok() const { return file_.ok(); }

  // Renames the finished file into place. Throws WriteError when anything failed, or when the grid's
  // points have not all been written; nothing is left under the path then.
  void commit();

 private:
  OutputFile file_;
  // The coordinates' text is made once per grid value: rows repeat the same values over and over.
  std::vector<std::string> x_text_, y_text_, z_text_;
  std::int64_t points_ = 0;
  std::int64_t written_ = 0;
};

// About how many bytes the file of `grid` takes (the coordinates' text exactly where the axes are
// short, the field values at the width of a typical 15-digit number), as a double so that any grid can
// be judged.
double field_map_csv_size(const FieldMapGrid& grid);

// The whole map in one call. Throws WriteError.
void field_map_csv_write(const FieldMap& map, const std::string& path);
// Throws InputError when the table's values do not fill its grid, WriteError when the file fails.
void field_map_csv_write(const FieldMapTable& map, const std::string& path);

// Reads a field map file with its axes exactly as written, so that writing the table again gives the
// same bytes. Its rows must run over a grid as the writer writes them: row p holds (x[i], y[j], z[k])
// with p = (i * ny + j) * nz + k, any values along each axis. Throws ReadError when the file cannot be
// read and FileFormatError "<path>:<line>: <reason>" for a line that is not what the format holds there
// (FieldMapCsvReader, FieldMapSpacing::as_read).
FieldMapTable field_map_csv_read(const std::string& path);

}  // namespace expcoil
