#include "magnet/field_map.hpp"

#include <algorithm>
#include <limits>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "lib/workers.hpp"

namespace expcoil {
namespace {

// Points per kernel call: a multiple of every vector width, so that only the last chunk of a worker's
// range has spare lanes, and small enough that a progress display moves smoothly on large segment sets.
constexpr std::int64_t kChunk = 64;

void append_triple(std::string& line, const double* v) {
  line += '(';
  for (int a = 0; a < 3; ++a) {
    if (a > 0) line += ',';
    line += format_general(v[a], 6);
  }
  line += ")m";
}

}  // namespace

double field_map_slab_memory_bytes(const FieldMapGrid& grid, std::int64_t slab_points) {
  const double points = static_cast<double>(grid.count[0]) * grid.count[1] * grid.count[2];
  return std::min(points, static_cast<double>(slab_points)) * FieldMapGrid::kBytesPerPoint;
}

std::vector<double> field_map_axis(const FieldMapGrid& grid, int axis) {
  std::vector<double> v(grid.count[axis] > 0 ? static_cast<std::size_t>(grid.count[axis]) : 0);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = grid.value(axis, static_cast<std::int64_t>(i));
  return v;
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

std::string field_map_dimensions_text(const FieldMapGrid& grid) {
  std::string text;
  for (int a = 0; a < 3; ++a) {
    if (a > 0) text += 'x';
    text += std::to_string(grid.count[a]);
  }
  return text;
}

std::string field_map_count_text(const FieldMapGrid& grid) {
  return field_map_dimensions_text(grid) + " = " + std::to_string(grid.points()) + " cells\n";
}

namespace {

// The one way points are handed to the kernel: `count` points split among the workers, each worker's
// range in chunks of kChunk points. `fill(p0, m, px, py, pz)` gives the coordinates of points p0 ..
// p0 + m - 1 of the range, either copied into px, py, pz or as pointers to them (it returns the three
// pointers the kernel reads).
struct ChunkPoints {
  const double* x;
  const double* y;
  const double* z;
};

template <class Fill>
void compute_in_chunks(const SegmentStream& segments, std::int64_t count, double* out, unsigned workers,
                       std::atomic<std::int64_t>* done, Fill&& fill) {
  run_workers(count, workers, [&](const WorkerRange& range, unsigned) {
    double px[kChunk];
    double py[kChunk];
    double pz[kChunk];
    for (std::int64_t p0 = range.first; p0 < range.end; p0 += kChunk) {
      const std::int64_t m = std::min(kChunk, range.end - p0);
      const ChunkPoints points = fill(p0, m, px, py, pz);
      field_kernel(segments, points.x, points.y, points.z, static_cast<std::size_t>(m), out + 3 * p0);
      if (done != nullptr) done->fetch_add(m, std::memory_order_relaxed);
    }
  });
}

}  // namespace

void field_map_compute_points(const SegmentStream& segments, const FieldMapGrid& grid, std::int64_t first,
                              std::int64_t count, double* out, unsigned workers,
                              std::atomic<std::int64_t>* done) {
  if (count <= 0) return;
  const std::vector<double> xs = field_map_axis(grid, 0);
  const std::vector<double> ys = field_map_axis(grid, 1);
  const std::vector<double> zs = field_map_axis(grid, 2);
  const std::int64_t ny = grid.count[1];
  const std::int64_t nz = grid.count[2];

  compute_in_chunks(segments, count, out, workers, done,
                    [&](std::int64_t p0, std::int64_t m, double* px, double* py, double* pz) {
                      const std::int64_t start = first + p0;
                      auto [i, j, k] = grid.index_of(start);
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
                      return ChunkPoints{px, py, pz};
                    });
}

void field_at_points(const SegmentStream& segments, const double* x, const double* y, const double* z,
                     std::size_t m, double* out, unsigned workers) {
  compute_in_chunks(segments, static_cast<std::int64_t>(m), out, workers, nullptr,
                    [&](std::int64_t p0, std::int64_t, double*, double*, double*) {
                      return ChunkPoints{x + p0, y + p0, z + p0};
                    });
}

FieldMap field_map_compute(const WindingSet& windings, const FieldMapGrid& grid, unsigned workers,
                           std::atomic<std::int64_t>* done) {
  if (!grid.valid()) throw InputError("the field map's cell sizes and extent give no grid points");
  if (!grid.holdable()) {
    throw InputError("the field map of " + field_map_dimensions_text(grid) +
                     " points is too large to be held in memory");
  }
  FieldMap map{grid, std::vector<double>(static_cast<std::size_t>(grid.points()) * 3)};
  field_map_compute_points(SegmentStream(windings), grid, 0, grid.points(), map.b.data(), workers, done);
  return map;
}

}  // namespace expcoil
