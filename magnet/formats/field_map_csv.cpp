#include "magnet/formats/field_map_csv.hpp"

#include <algorithm>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"

namespace expcoil {
namespace {

std::vector<std::string> axis_text(const FieldMapGrid& grid, int axis) {
  std::vector<std::string> text;
  for (const double v : field_map_axis(grid, axis)) text.push_back(format_general(v, 15));
  return text;
}

}  // namespace

FieldMapCsvWriter::FieldMapCsvWriter(std::string path, const FieldMapGrid& grid)
    : file_(std::move(path)),
      grid_(grid),
      x_text_(axis_text(grid, 0)),
      y_text_(axis_text(grid, 1)),
      z_text_(axis_text(grid, 2)) {
  file_.text("x (m),y,z, Bx (T),By,Bz").line_end();
}

void FieldMapCsvWriter::write(const double* b, std::int64_t points) {
  const std::int64_t ny = grid_.count[1], nz = grid_.count[2];
  if (points > grid_.points() - written_) points = grid_.points() - written_;
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
    if (++k_ == nz) {
      k_ = 0;
      if (++j_ == ny) {
        j_ = 0;
        ++i_;
      }
    }
  }
}

void FieldMapCsvWriter::commit() {
  if (file_.ok() && written_ != grid_.points()) {
    // The temporary goes with file_: an incomplete map never reaches the final name.
    throw WriteError(file_.path(), "only " + std::to_string(written_) + " of the map's " +
                                       std::to_string(grid_.points()) + " points were given");
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

}  // namespace expcoil
