#include "magnet/grid.hpp"

#include <cstdint>

#include "lib/workers.hpp"

namespace expcoil {

void grid_evaluate(Matrix& matrix, GridFunction function, const void* context, double origin0, double origin1,
                   double step0, double step1, unsigned workers) {
  const std::int64_t columns = matrix.columns();
  const std::int64_t total = static_cast<std::int64_t>(matrix.rows()) * columns;
  if (total == 0) return;
  run_workers(total, workers, [&](const WorkerRange& range, unsigned) {
    for (std::int64_t i = range.first; i < range.end; ++i) {
      const std::int64_t r = i / columns;
      const std::int64_t c = i % columns;
      function(static_cast<double>(r) * step0 + origin0, static_cast<double>(c) * step1 + origin1,
               &matrix[static_cast<std::uint32_t>(r)][c], context);
    }
  });
}

}  // namespace expcoil
