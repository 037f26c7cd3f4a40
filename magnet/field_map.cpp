#include "magnet/field_map.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "lib/number_format.hpp"
#include "lib/output_file.hpp"
#include "lib/progress.hpp"
#include "lib/workers.hpp"
#include "magnet/field.hpp"

namespace expcoil {
namespace {

// Points per kernel call: a multiple of every vector width, so that only the last chunk of a worker's
// range has spare lanes, and small enough that the progress bar moves smoothly on large segment sets.
constexpr std::int64_t kChunk = 64;

// The grid values along one axis, index * cell + min, as every point and every row of the file uses them.
std::vector<double> axis_values(const FieldMapGrid& grid, int axis) {
  std::vector<double> v(static_cast<std::size_t>(grid.count[axis]));
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i) * grid.cell[axis] + grid.min[axis];
  return v;
}

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void append_triple(std::string& line, const double* v) {
  line += '(';
  for (int a = 0; a < 3; ++a) {
    if (a > 0) line += ',';
    line += format_general(v[a], 6);
  }
  line += ")m";
}

}  // namespace

void field_map_compute(const WindingSet& windings, const FieldMapGrid& grid, double* out,
                       ProgressBar* progress) {
  const std::int64_t total = grid.points();
  if (total <= 0) return;
  const SegmentStream stream(windings);
  const std::vector<double> xs = axis_values(grid, 0);
  const std::vector<double> ys = axis_values(grid, 1);
  const std::vector<double> zs = axis_values(grid, 2);
  const std::int64_t ny = grid.count[1];
  const std::int64_t nz = grid.count[2];

  run_workers(total, [&](const WorkerRange& range, unsigned) {
    double px[kChunk];
    double py[kChunk];
    double pz[kChunk];
    std::int64_t i = range.first / (ny * nz);
    std::int64_t j = range.first / nz % ny;
    std::int64_t k = range.first % nz;
    for (std::int64_t first = range.first; first < range.end; first += kChunk) {
      const std::int64_t m = std::min(kChunk, range.end - first);
      for (std::int64_t p = 0; p < m; ++p) {
        px[p] = xs[i];
        py[p] = ys[j];
        pz[p] = zs[k];
        if (++k == nz) {
          k = 0;
          if (++j == ny) {
            j = 0;
            ++i;
          }
        }
      }
      field_kernel(stream, px, py, pz, static_cast<std::size_t>(m), out + 3 * first);
      if (progress != nullptr) progress->add(m);
    }
  });
}

std::string field_map_extent_text(const FieldMapGrid& grid) {
  std::string text = "Fieldmap from ";
  append_triple(text, grid.min);
  text += " to ";
  append_triple(text, grid.max);
  text += "\nFieldmap cell size ";
  append_triple(text, grid.cell);
  text += '\n';
  return text;
}

std::string field_map_count_text(const FieldMapGrid& grid) {
  std::string text;
  for (int a = 0; a < 3; ++a) {
    text += std::to_string(grid.count[a]);
    text += a < 2 ? "x" : " = ";
  }
  text += std::to_string(grid.points());
  text += " cells\n";
  return text;
}

bool field_map_generate(const WindingSet& windings, const MagnetSpec& magnet, const std::string& path,
                        std::string& error) {
  const FieldMapGrid grid = field_map_grid(magnet);
  print(field_map_extent_text(grid));
  if (!grid.valid()) {
    // The configuration check rejects such a grid before any magnet runs; this guards other callers.
    error = "fieldmap of magnet ";
    error += magnet.name;
    error += ": the cell sizes and extent give no grid points";
    return false;
  }
  // Three 32-bit counts may multiply beyond 64 bits; no such map could be held anyway.
  const double points = static_cast<double>(grid.count[0]) * grid.count[1] * grid.count[2];
  if (points * 24.0 >= static_cast<double>(std::numeric_limits<std::int64_t>::max())) {
    error = "fieldmap of magnet ";
    error += magnet.name;
    error += ": too many grid points";
    return false;
  }
  print(field_map_count_text(grid));
  const std::int64_t total = grid.points();

  auto field = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(total) * 3);
  {
    // The messages above stay above the bar on a terminal.
    std::fflush(stdout);
    ProgressBar progress("Fieldmap", total);
    field_map_compute(windings, grid, field.get(), &progress);
  }

  // Rows repeat the same coordinates over and over: their text is made once per grid value.
  auto axis_text = [&](int axis) {
    std::vector<std::string> text;
    for (const double v : axis_values(grid, axis)) text.push_back(format_general(v, 15));
    return text;
  };
  const std::vector<std::string> x_text = axis_text(0);
  const std::vector<std::string> y_text = axis_text(1);
  const std::vector<std::string> z_text = axis_text(2);

  OutputFile file(path);
  file.text("x (m),y,z, Bx (T),By,Bz").line_end();
  const double* b = field.get();
  std::string xy;
  for (const std::string& x : x_text) {
    if (!file.ok()) break;  // the file is lost anyway; commit() reports why
    for (const std::string& y : y_text) {
      xy = x;
      xy += ',';
      xy += y;
      xy += ',';
      for (const std::string& z : z_text) {
        file.text(xy).text(z).text(", ");
        file.general(b[0], 15).text(",").general(b[1], 15).text(",").general(b[2], 15).line_end();
        b += 3;
      }
    }
  }
  if (!file.commit()) {
    error = file.error();
    return false;
  }
  return true;
}

}  // namespace expcoil
