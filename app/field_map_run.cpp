#include "app/field_map_run.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "io/program/field_map_csv.hpp"
#include "lib/workers.hpp"

namespace expcoil {

void field_map_run(const WindingSet& windings, const FieldMapGrid& grid, const std::string& path,
                   Cluster& cluster, std::atomic<std::int64_t>* done, std::int64_t slab_points,
                   unsigned workers, const FieldOptions& options) {
  const std::int64_t total = grid.points();
  const std::int64_t slab = std::max<std::int64_t>(1, std::min(slab_points, total));
  const std::unique_ptr<FieldEvaluator> evaluator = make_field_evaluator(windings, options, &grid);
  std::optional<FieldMapCsvWriter> writer;
  if (cluster.root()) writer.emplace(path, grid);
  // The root gathers whole slabs; the others hold their share only.
  std::vector<double> values(3 * static_cast<std::size_t>(cluster.root() ? slab : slab / cluster.size() + 1));

  for (std::int64_t first = 0; first < total; first += slab) {
    const std::int64_t n = std::min(slab, total - first);
    // The ranks' shares of a slab follow the workers' splitting rule, so each rank's points are
    // contiguous and the gathered slab is in linear-index order.
    const std::vector<WorkerRange> shares = split_work(n, static_cast<unsigned>(cluster.size()));
    const WorkerRange& mine = shares[static_cast<std::size_t>(cluster.rank())];
    double* const out = cluster.root() ? values.data() + 3 * mine.first : values.data();
    cluster.run_agreed([&] {
      evaluator->field_at_grid(grid, first + mine.first, mine.end - mine.first, out, workers, done);
    });
    std::vector<std::int64_t> counts;
    for (const WorkerRange& share : shares) counts.push_back(3 * (share.end - share.first));
    cluster.gather(out, counts, values.data());
    if (cluster.root()) {
      writer->write(values.data(), n, workers);
      if (done != nullptr) done->fetch_add(n - (mine.end - mine.first), std::memory_order_relaxed);
    }
    // A file that has failed is lost: the ranks stop computing it (commit says why).
    if (!cluster.from_root(!writer || writer->ok())) break;
  }
  if (writer) writer->commit();
}

}  // namespace expcoil
