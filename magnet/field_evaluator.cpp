#include "magnet/field_evaluator.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "lib/errors.hpp"
#include "lib/workers.hpp"
#include "magnet/field.hpp"
#include "magnet/field_tree.hpp"

namespace expcoil {
namespace {

// Points per kernel call: a multiple of every vector width, so that only the last chunk of a worker's
// range has spare lanes, and small enough that a progress display moves smoothly on large segment sets.
constexpr std::int64_t kChunk = 64;

// Grid points handed out at a time by the default field_at_grid: coordinates for 24 * 65536 bytes.
constexpr std::int64_t kGridBlock = 65536;

struct ChunkPoints {
  const double* x;
  const double* y;
  const double* z;
};

// The one way points reach the kernel: `count` points split among the workers, each worker's range in
// chunks of kChunk points. `fill(p0, m, px, py, pz)` gives the coordinates of points p0 .. p0 + m - 1,
// either copied into px, py, pz or as pointers to them.
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

class DirectSum final : public FieldEvaluator {
 public:
  explicit DirectSum(const WindingSet& windings) : stream_(windings) { field_kernel_choice(); }

  std::string_view name() const override { return "direct sum"; }
  bool exact() const override { return true; }

  void field_at_points(const double* x, const double* y, const double* z, std::size_t n, double* out,
                       unsigned workers, std::atomic<std::int64_t>* done) const override {
    compute_in_chunks(stream_, static_cast<std::int64_t>(n), out, workers, done,
                      [&](std::int64_t p0, std::int64_t, double*, double*, double*) {
                        return ChunkPoints{x + p0, y + p0, z + p0};
                      });
  }

  // The grid's coordinates are formed chunk by chunk, as the map's nodes are everywhere (grid.value).
  void field_at_grid(const FieldMapGrid& grid, std::int64_t first, std::int64_t count, double* out,
                     unsigned workers, std::atomic<std::int64_t>* done) const override {
    if (count <= 0) return;
    const std::int64_t ny = grid.count[1];
    const std::int64_t nz = grid.count[2];
    compute_in_chunks(stream_, count, out, workers, done,
                      [&](std::int64_t p0, std::int64_t m, double* px, double* py, double* pz) {
                        auto [i, j, k] = grid.index_of(first + p0);
                        for (std::int64_t p = 0; p < m; ++p) {
                          px[p] = grid.value(0, i);
                          py[p] = grid.value(1, j);
                          pz[p] = grid.value(2, k);
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

 private:
  SegmentStream stream_;
};

// Within a tolerance: the tree code (field_tree.hpp), on all points of a request at once.
class TreeCode final : public FieldEvaluator {
 public:
  TreeCode(const WindingSet& windings, double tolerance) : windings_(windings), tolerance_(tolerance) {}

  std::string_view name() const override { return "tree code"; }
  bool exact() const override { return false; }

  void field_at_points(const double* x, const double* y, const double* z, std::size_t n, double* out,
                       unsigned workers, std::atomic<std::int64_t>* done) const override {
    field_tree(windings_, x, y, z, n, tolerance_, workers, out, done);
  }

  // The tree is built over the request's points: all of them at once, not in blocks.
  void field_at_grid(const FieldMapGrid& grid, std::int64_t first, std::int64_t count, double* out,
                     unsigned workers, std::atomic<std::int64_t>* done) const override {
    if (count <= 0) return;
    std::vector<double> x(static_cast<std::size_t>(count)), y(x.size()), z(x.size());
    for (std::int64_t p = 0; p < count; ++p) {
      const auto [i, j, k] = grid.index_of(first + p);
      x[p] = grid.value(0, i);
      y[p] = grid.value(1, j);
      z[p] = grid.value(2, k);
    }
    field_at_points(x.data(), y.data(), z.data(), x.size(), out, workers, done);
  }

 private:
  const WindingSet& windings_;
  double tolerance_;
};

}  // namespace

void FieldEvaluator::field_at_grid(const FieldMapGrid& grid, std::int64_t first, std::int64_t count,
                                   double* out, unsigned workers, std::atomic<std::int64_t>* done) const {
  std::vector<double> x, y, z;
  for (std::int64_t b = 0; b < count; b += kGridBlock) {
    const std::int64_t m = std::min(kGridBlock, count - b);
    x.resize(static_cast<std::size_t>(m));
    y.resize(x.size());
    z.resize(x.size());
    for (std::int64_t p = 0; p < m; ++p) {
      const auto [i, j, k] = grid.index_of(first + b + p);
      x[p] = grid.value(0, i);
      y[p] = grid.value(1, j);
      z[p] = grid.value(2, k);
    }
    field_at_points(x.data(), y.data(), z.data(), x.size(), out + 3 * b, workers, done);
  }
}

std::unique_ptr<FieldEvaluator> direct_sum_evaluator(const WindingSet& windings) {
  return std::make_unique<DirectSum>(windings);
}

std::unique_ptr<FieldEvaluator> make_field_evaluator(const WindingSet& windings, const FieldOptions& options,
                                                     const FieldMapGrid* /*grid*/) {
  if (!(options.tolerance >= 0.0) || !std::isfinite(options.tolerance)) {
    throw InputError("the field tolerance must be a finite number >= 0");
  }
  if (options.tolerance == 0.0) return direct_sum_evaluator(windings);
  return std::make_unique<TreeCode>(windings, options.tolerance);
}

}  // namespace expcoil
