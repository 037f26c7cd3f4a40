#include "magnet/formats/field_map_csv.hpp"

#include <algorithm>
#include <cmath>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "lib/text_reader.hpp"

namespace expcoil {
namespace {

constexpr const char* kHeader = "x (m),y,z, Bx (T),By,Bz";

std::vector<std::string> axis_text(const std::vector<double>& values) {
  std::vector<std::string> text;
  text.reserve(values.size());
  for (const double v : values) text.push_back(format_general(v, 15));
  return text;
}

}  // namespace

FieldMapTable field_map_table(FieldMap&& map) {
  FieldMapTable table{field_map_axis(map.grid, 0), field_map_axis(map.grid, 1), field_map_axis(map.grid, 2),
                      std::move(map.b)};
  map.b.clear();
  return table;
}

FieldMapCsvWriter::FieldMapCsvWriter(std::string path, const FieldMapGrid& grid)
    : FieldMapCsvWriter(std::move(path), field_map_axis(grid, 0), field_map_axis(grid, 1),
                        field_map_axis(grid, 2)) {}

FieldMapCsvWriter::FieldMapCsvWriter(std::string path, const std::vector<double>& x,
                                     const std::vector<double>& y, const std::vector<double>& z)
    : file_(std::move(path)),
      x_text_(axis_text(x)),
      y_text_(axis_text(y)),
      z_text_(axis_text(z)),
      points_(static_cast<std::int64_t>(x.size() * y.size() * z.size())) {
  file_.text(kHeader).line_end();
}

void FieldMapCsvWriter::write(const double* b, std::int64_t points) {
  if (points > points_ - written_) points = points_ - written_;
  written_ += points;
  // Once a write has failed the file is lost anyway; commit() reports why.
  if (!file_.ok()) return;
  for (const double* end = b + 3 * points; b != end; b += 3) {
    if (k_ == 0) {
      xy_ = x_text_[i_];
      xy_ += ',';
      xy_ += y_text_[j_];
      xy_ += ',';
    }
    file_.text(xy_).text(z_text_[k_]).text(", ");
    file_.general(b[0], 15).text(",").general(b[1], 15).text(",").general(b[2], 15).line_end();
    if (++k_ == z_text_.size()) {
      k_ = 0;
      if (++j_ == y_text_.size()) {
        j_ = 0;
        ++i_;
      }
    }
  }
}

void FieldMapCsvWriter::commit() {
  if (file_.ok() && written_ != points_) {
    // The temporary goes with file_: an incomplete map never reaches the final name.
    throw WriteError(file_.path(), "only " + std::to_string(written_) + " of the map's " +
                                       std::to_string(points_) + " points were given");
  }
  file_.commit_or_throw();
}

double field_map_csv_size(const FieldMapGrid& grid) {
  const double counts[3] = {static_cast<double>(grid.count[0]), static_cast<double>(grid.count[1]),
                            static_cast<double>(grid.count[2])};
  const double points = counts[0] * counts[1] * counts[2];
  // "x,y,z, Bx,By,Bz" and CR LF: two commas, a comma and a space, two commas, two line-end characters.
  constexpr double kSeparators = 8;
  // "-1.23456789012345e-005" is 22 characters, "0.0123456789012345" 18.
  constexpr double kFieldValue = 21;
  double bytes = points * (kSeparators + 3 * kFieldValue) + 25;
  for (int a = 0; a < 3; ++a) {
    // Every value of an axis appears points / count times; a long axis is sampled evenly.
    const std::int64_t n = grid.count[a];
    const std::int64_t samples = std::min<std::int64_t>(n, 1000);
    double length = 0;
    for (std::int64_t s = 0; s < samples; ++s) {
      length += static_cast<double>(format_general(grid.value(a, s * n / samples), 15).size());
    }
    if (samples > 0) bytes += points * (length / static_cast<double>(samples));
  }
  return bytes;
}

void field_map_csv_write(const FieldMap& map, const std::string& path) {
  FieldMapCsvWriter writer(path, map.grid);
  writer.write(map.b.data(), static_cast<std::int64_t>(map.b.size() / 3));
  writer.commit();
}

void field_map_csv_write(const FieldMapTable& map, const std::string& path) {
  const std::size_t points = map.x.size() * map.y.size() * map.z.size();
  if (map.b.size() != 3 * points) {
    throw InputError("a field map of " + std::to_string(map.x.size()) + 'x' + std::to_string(map.y.size()) +
                     'x' + std::to_string(map.z.size()) + " points needs " + std::to_string(3 * points) +
                     " field values, not " + std::to_string(map.b.size()));
  }
  FieldMapCsvWriter writer(path, map.x, map.y, map.z);
  writer.write(map.b.data(), static_cast<std::int64_t>(points));
  writer.commit();
}

FieldMapTable field_map_csv_read(const std::string& path) {
  TextReader reader(path);
  std::string line;
  if (!reader.next(line)) throw InputError(path + ": the file is empty, not a field map");
  if (line != kHeader)
    reader.fail(std::string("not a field map file: the first line is not \"") + kHeader + '"');
  std::vector<double> coordinates;
  FieldMapTable map;
  while (reader.next(line)) {
    double v[6];
    if (!parse_numbers(line, ',', v, 6)) reader.fail("expected six numbers: x,y,z, Bx,By,Bz");
    if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2])) {
      reader.fail("the coordinates are not finite numbers");
    }
    coordinates.insert(coordinates.end(), v, v + 3);
    map.b.insert(map.b.end(), v + 3, v + 6);
  }
  const std::size_t n = coordinates.size() / 3;
  if (n == 0) throw InputError(path + ": the file holds no points");
  const auto at = [&](std::size_t p, int axis) { return coordinates[3 * p + axis]; };
  // The grid's shape from its first rows: z runs while x and y stay, y runs while x stays.
  std::size_t nz = 1;
  while (nz < n && at(nz, 0) == at(0, 0) && at(nz, 1) == at(0, 1)) ++nz;
  std::size_t ny = 1;
  while (ny * nz < n && at(ny * nz, 0) == at(0, 0)) ++ny;
  for (std::size_t k = 0; k < nz; ++k) map.z.push_back(at(k, 2));
  for (std::size_t j = 0; j < ny; ++j) map.y.push_back(at(j * nz, 1));
  for (std::size_t i = 0; i * ny * nz < n; ++i) map.x.push_back(at(i * ny * nz, 0));
  // Every row must be the point of its index; the first that is not is the line to report.
  for (std::size_t p = 0; p < n; ++p) {
    const std::size_t i = p / (ny * nz), j = p / nz % ny, k = p % nz;
    if (at(p, 0) != map.x[i] || at(p, 1) != map.y[j] || at(p, 2) != map.z[k]) {
      reader.fail_at(p + 2, "the point is not the next one of a regular grid (x slowest, z fastest) of " +
                                std::to_string(ny) + " y and " + std::to_string(nz) +
                                " z values, as the lines above it begin");
    }
  }
  if (n % (ny * nz) != 0) {
    reader.fail_at(n + 1, "the file ends inside a grid plane: " + std::to_string(n % (ny * nz)) + " of " +
                              std::to_string(ny * nz) + " points of the last x value are there");
  }
  return map;
}

}  // namespace expcoil
