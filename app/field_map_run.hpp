// The field map as the program makes it: slab by slab, so that its memory is bounded whatever the map's
// size (a map whose file fits on disk is computed), with each slab's points split over the cluster's
// ranks and every rank's points over its workers. The root writes the slabs, in order, to the CSV file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/cluster.hpp"
#include "magnet/field_map.hpp"

namespace expcoil {

// Computes the map of `windings` over `grid` and, on the root, writes it to `path`. `done` (root) counts
// the finished points. Throws WriteError on the root when the file cannot be written (the ranks stop
// computing that map then), the rank's own exception when its computation failed, and
// Cluster::RankFailed on the ranks whose computation did not fail when another's did.
void field_map_run(const WindingSet& windings, const FieldMapGrid& grid, const std::string& path,
                   Cluster& cluster, std::atomic<std::int64_t>* done = nullptr,
                   std::int64_t slab_points = kSlabPoints, unsigned workers = 0,
                   const FieldOptions& options = {});

}  // namespace expcoil
