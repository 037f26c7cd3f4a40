// Delivery of a field map to a format writer in the writer's loop order.
//
// A map streamed from its CSV file arrives x slowest, z fastest. A writer that wants another order gets
// the points through a scratch file beside its output, in two sequential passes (an external transpose):
// the feed holds a block of whole z lines at a time, puts the block into the writer's order in memory and
// appends it to the scratch file; when the last point has arrived, it reads all blocks at once, a slice
// of each in turn, taking every next point from the block it came from. Memory stays near the budget
// (held block, its reordered copy, the read slices) for maps up to about budget^2 / 256 points, beyond
// which the slices keep a floor of 256 points per block; the disk holds 24 bytes per point meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/export/field_map_writer.hpp"
#include "lib/scratch_file.hpp"
#include "magnet/field_map.hpp"

namespace expcoil {

class FieldMapFeed {
 public:
  // `path` is the writer's output: its directory takes the scratch file and failures name it. At least
  // one z line is held whatever `budget_points` says.
  FieldMapFeed(FieldMapWriter& writer, const FieldMapGrid& grid, const std::string& path,
               std::size_t budget_points);
  ~FieldMapFeed();

  // The next points in CSV order, (Bx, By, Bz) each.
  void push(const double* b, std::size_t points);
  // After exactly grid.points() points: hands any held points over and finishes the writer.
  void finish();

 private:
  void spill();

  FieldMapWriter& writer_;
  FieldMapGrid grid_;
  std::string path_;
  bool direct_;
  std::int64_t received_ = 0;
  // Reordering only.
  std::size_t capacity_ = 0;  // points of a block, a whole number of z lines
  std::vector<double> held_;  // the block being filled, CSV order
  std::size_t held_points_ = 0;
  std::vector<double> ordered_;  // the block in the writer's order
  std::int64_t blocks_ = 0;      // blocks in the scratch file
  std::unique_ptr<ScratchFile> scratch_;
};

// Hands an in-memory map to the writer in its order, `piece_points` at a time, and finishes the writer.
void field_map_feed(const FieldMapGrid& grid, const double* b, FieldMapWriter& writer,
                    std::size_t piece_points);

}  // namespace expcoil
