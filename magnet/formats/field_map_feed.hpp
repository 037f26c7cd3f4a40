// Delivery of a field map to a format writer in the writer's loop order.
//
// A map streamed from its CSV file arrives x slowest, z fastest. A writer that wants another order gets
// the points through a scratch file beside its output: the feed holds a bounded number of whole z lines,
// writes them to their places in the writer's order (runs of consecutive places go out in one write), and
// when the last point has arrived it reads the scratch file back in order. Memory stays at the budget
// whatever the map's size; the disk holds 24 bytes per point for the duration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/scratch_file.hpp"
#include "magnet/field_map.hpp"
#include "magnet/formats/field_map_writer.hpp"

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
  void write_run();

  FieldMapWriter& writer_;
  FieldMapGrid grid_;
  std::string path_;
  bool direct_;
  std::int64_t received_ = 0;
  // Reordering only.
  std::size_t capacity_ = 0;  // points, a whole number of z lines
  std::vector<double> held_;  // CSV order, starting at point spilled_
  std::size_t held_points_ = 0;
  std::int64_t spilled_ = 0;
  std::vector<double> run_;  // consecutive places in the writer's order, from run_first_
  std::size_t run_points_ = 0;
  std::int64_t run_first_ = 0;
  std::unique_ptr<ScratchFile> scratch_;
};

// Hands an in-memory map to the writer in its order, `piece_points` at a time, and finishes the writer.
void field_map_feed(const FieldMap& map, FieldMapWriter& writer, std::size_t piece_points);

}  // namespace expcoil
