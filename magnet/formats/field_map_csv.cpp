#include "magnet/formats/field_map_csv.hpp"

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
  if (written_ != grid_.points()) {
    // The temporary goes with file_: an incomplete map never reaches the final name.
    throw WriteError(file_.path(), "cannot write " + file_.path() + ": only " + std::to_string(written_) +
                                       " of the map's " + std::to_string(grid_.points()) +
                                       " points were given");
  }
  if (!file_.commit()) throw WriteError(file_.path(), file_.error());
}

void field_map_csv_write(const FieldMap& map, const std::string& path) {
  FieldMapCsvWriter writer(path, map.grid);
  writer.write(map.b.data(), static_cast<std::int64_t>(map.b.size() / 3));
  writer.commit();
}

}  // namespace expcoil
