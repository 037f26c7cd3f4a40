#include "magnet/formats/field_map_feed.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "magnet/formats/export_error.hpp"

namespace expcoil {
namespace {

constexpr std::size_t kPointBytes = 3 * sizeof(double);

std::string directory_of(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

// Place of grid point `index` (x, y, z) in the loop order `order`.
std::int64_t place(const std::int64_t (&index)[3], const std::int64_t (&count)[3], LoopOrder order) {
  const int s = order.axis[0], m = order.axis[1], f = order.axis[2];
  return (index[s] * count[m] + index[m]) * count[f] + index[f];
}

}  // namespace

FieldMapFeed::FieldMapFeed(FieldMapWriter& writer, const FieldMapGrid& grid, const std::string& path,
                           std::size_t budget_points)
    : writer_(writer), grid_(grid), path_(path), direct_(writer.order() == kCsvOrder) {
  if (direct_) return;
  const auto line = static_cast<std::size_t>(grid.count[2]);
  capacity_ = std::max(line, budget_points / line * line);
  held_.resize(capacity_ * 3);
  run_.resize(capacity_ * 3);
  try {
    scratch_ = std::make_unique<ScratchFile>(directory_of(path));
  } catch (const std::runtime_error& e) {
    throw WriteError(path, e.what());
  }
}

FieldMapFeed::~FieldMapFeed() = default;

void FieldMapFeed::push(const double* b, std::size_t points) {
  received_ += static_cast<std::int64_t>(points);
  if (received_ > grid_.points()) throw std::logic_error("field map feed: more points than the grid has");
  if (direct_) {
    writer_.write(b, points);
    return;
  }
  while (points > 0) {
    const std::size_t n = std::min(points, capacity_ - held_points_);
    std::memcpy(held_.data() + held_points_ * 3, b, n * kPointBytes);
    held_points_ += n;
    b += 3 * n;
    points -= n;
    if (held_points_ == capacity_) spill();
  }
}

// The held points fill whole z lines: the lines of a partial x slab, whole x slabs, and the lines of
// another partial x slab. Each of these boxes is walked in the writer's order, so that points which are
// neighbours there (the x-neighbours of the held whole slabs, for an x-fastest writer) go out together.
void FieldMapFeed::spill() {
  if (held_points_ == 0) return;
  const std::int64_t count[3] = {grid_.count[0], grid_.count[1], grid_.count[2]};
  const std::int64_t ny = count[1], nz = count[2];
  const std::int64_t first_line = spilled_ / nz;
  const std::int64_t end_line = first_line + static_cast<std::int64_t>(held_points_) / nz;
  const LoopOrder order = writer_.order();
  try {
    std::int64_t line = first_line;
    while (line < end_line) {
      std::int64_t lo[3] = {line / ny, line % ny, 0};
      std::int64_t hi[3] = {lo[0] + 1, ny, nz};
      if (lo[1] == 0 && end_line - line >= ny) {
        hi[0] = lo[0] + (end_line - line) / ny;  // whole slabs
      } else {
        hi[1] = std::min(ny, lo[1] + (end_line - line));
      }
      line = (hi[0] - 1) * ny + hi[1];
      const int s = order.axis[0], m = order.axis[1], f = order.axis[2];
      std::int64_t index[3];
      for (index[s] = lo[s]; index[s] < hi[s]; ++index[s]) {
        for (index[m] = lo[m]; index[m] < hi[m]; ++index[m]) {
          index[f] = lo[f];
          const std::int64_t first = place(index, count, order);
          if (run_points_ > 0 && first != run_first_ + static_cast<std::int64_t>(run_points_)) write_run();
          for (; index[f] < hi[f]; ++index[f]) {
            if (run_points_ == capacity_) write_run();
            if (run_points_ == 0) run_first_ = place(index, count, order);
            const std::int64_t p = (index[0] * ny + index[1]) * nz + index[2] - spilled_;
            std::memcpy(run_.data() + run_points_ * 3, held_.data() + p * 3, kPointBytes);
            ++run_points_;
          }
        }
      }
    }
    write_run();
  } catch (const std::runtime_error& e) {
    throw WriteError(path_, e.what());
  }
  spilled_ += static_cast<std::int64_t>(held_points_);
  held_points_ = 0;
}

void FieldMapFeed::write_run() {
  if (run_points_ == 0) return;
  scratch_->write_at(static_cast<std::uint64_t>(run_first_) * kPointBytes, run_.data(),
                     run_points_ * kPointBytes);
  run_points_ = 0;
}

void FieldMapFeed::finish() {
  if (received_ != grid_.points()) throw std::logic_error("field map feed: fewer points than the grid has");
  if (!direct_) {
    spill();
    const auto total = static_cast<std::uint64_t>(grid_.points());
    for (std::uint64_t first = 0; first < total; first += capacity_) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(capacity_, total - first));
      try {
        scratch_->read_at(first * kPointBytes, held_.data(), n * kPointBytes);
      } catch (const std::runtime_error& e) {
        throw WriteError(path_, e.what());
      }
      writer_.write(held_.data(), n);
    }
    scratch_.reset();
  }
  writer_.finish();
}

void field_map_feed(const FieldMap& map, FieldMapWriter& writer, std::size_t piece_points) {
  const FieldMapGrid& grid = map.grid;
  const auto total = static_cast<std::size_t>(grid.points());
  piece_points = std::max<std::size_t>(piece_points, 1);
  const LoopOrder order = writer.order();
  if (order == kCsvOrder) {
    for (std::size_t first = 0; first < total; first += piece_points)
      writer.write(map.b.data() + 3 * first, std::min(piece_points, total - first));
  } else {
    std::vector<double> piece(3 * std::min(piece_points, total));
    GridWalk walk(grid, order);
    const std::int64_t ny = grid.count[1], nz = grid.count[2];
    for (std::size_t first = 0; first < total; first += piece_points) {
      const std::size_t n = std::min(piece_points, total - first);
      for (std::size_t q = 0; q < n; ++q, walk.next()) {
        const std::size_t p = static_cast<std::size_t>((walk[0] * ny + walk[1]) * nz + walk[2]);
        std::memcpy(piece.data() + 3 * q, map.b.data() + 3 * p, kPointBytes);
      }
      writer.write(piece.data(), n);
    }
  }
  writer.finish();
}

}  // namespace expcoil
