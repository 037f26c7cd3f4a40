#include "io/program/field_map_csv.hpp"

#include <cmath>

#include <algorithm>

#include "io/program/field_map_csv_reader.hpp"
#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "lib/workers.hpp"

namespace expcoil {
namespace {

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

FieldMap field_map_from_table(const FieldMapTable& table) {
  const std::vector<double>* axes[3] = {&table.x, &table.y, &table.z};
  static constexpr const char* kNames[3] = {"x", "y", "z"};
  FieldMap map;
  for (int a = 0; a < 3; ++a) {
    const std::vector<double>& v = *axes[a];
    if (v.empty() || v.size() > static_cast<std::size_t>(INT32_MAX)) {
      throw InputError(std::string("the field map's ") + kNames[a] + " axis has " + std::to_string(v.size()) +
                       " values");
    }
    const std::size_t n = v.size();
    map.grid.count[a] = static_cast<std::int32_t>(n);
    map.grid.min[a] = v.front();
    map.grid.max[a] = v.back();
    map.grid.cell[a] = n > 1 ? (v.back() - v.front()) / static_cast<double>(n - 1) : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      if (!(std::fabs(v[i] - map.grid.value(a, static_cast<std::int64_t>(i))) <=
            kGridTolerance * std::fabs(map.grid.cell[a]))) {
        throw InputError(std::string("the field map's ") + kNames[a] + " axis is not evenly spaced: value " +
                         std::to_string(i) + " is " + format_general(v[i], 15) + ", not " +
                         format_general(map.grid.value(a, static_cast<std::int64_t>(i)), 15));
      }
    }
  }
  map.grid.h = -map.grid.min[1];
  if (table.b.size() != 3 * static_cast<std::size_t>(map.grid.points())) {
    throw InputError("the field map holds " + std::to_string(table.b.size()) + " values for " +
                     std::to_string(map.grid.points()) + " points");
  }
  map.b = table.b;
  return map;
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
  file_.text(kFieldMapCsvHeader).line_end();
}

void FieldMapCsvWriter::write(const double* b, std::int64_t points, unsigned workers) {
  if (points > points_ - written_) points = points_ - written_;
  const std::int64_t first = written_;
  written_ += points;
  // Once a write has failed the file is lost anyway; commit() reports why.
  if (!file_.ok()) return;
  // Turning numbers into text is most of the time a big map takes to write: blocks of lines are made on
  // the workers and appended in order, the bytes of one line at a time.
  constexpr std::int64_t kBlock = 4096;
  const std::int64_t nz = static_cast<std::int64_t>(z_text_.size());
  const std::int64_t ny = static_cast<std::int64_t>(y_text_.size());
  const std::int64_t blocks = (points + kBlock - 1) / kBlock;
  const std::int64_t round = std::max<std::int64_t>(1, 2 * worker_count(workers));
  std::vector<std::string> text(static_cast<std::size_t>(std::min(blocks, round)));
  for (std::int64_t b0 = 0; b0 < blocks && file_.ok(); b0 += round) {
    const std::int64_t count = std::min(round, blocks - b0);
    run_workers(count, workers, [&](const WorkerRange& r, unsigned) {
      char number[kMaxNumberChars];
      for (std::int64_t k = r.first; k < r.end; ++k) {
        std::string& out = text[static_cast<std::size_t>(k)];
        out.clear();
        const std::int64_t from = (b0 + k) * kBlock, to = std::min(points, from + kBlock);
        for (std::int64_t p = from; p < to; ++p) {
          const std::int64_t index = first + p;
          out += x_text_[static_cast<std::size_t>(index / (ny * nz))];
          out += ',';
          out += y_text_[static_cast<std::size_t>(index / nz % ny)];
          out += ',';
          out += z_text_[static_cast<std::size_t>(index % nz)];
          out += ", ";
          for (int c = 0; c < 3; ++c) {
            if (c > 0) out += ',';
            out.append(number, format_general(number, b[3 * p + c], 15));
          }
          out += "\r\n";
        }
      }
    });
    for (std::int64_t k = 0; k < count; ++k) file_.text(text[static_cast<std::size_t>(k)]);
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
  FieldMapCsvReader reader(path, FieldMapSpacing::as_read);
  FieldMapTable map;
  // A slab at a time: the reader finds the x count at the end of the file.
  const std::size_t slab = reader.axis(1).size() * reader.axis(2).size();
  std::size_t points = 0;
  for (;;) {
    map.b.resize(3 * (points + slab));
    const std::size_t n = reader.read(map.b.data() + 3 * points, slab);
    if (n == 0) break;
    points += n;
  }
  map.b.resize(3 * points);
  map.x = reader.axis(0);
  map.y = reader.axis(1);
  map.z = reader.axis(2);
  return map;
}

}  // namespace expcoil
