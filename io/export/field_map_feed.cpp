#include "io/export/field_map_feed.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

constexpr std::size_t kPointBytes = FieldMapGrid::kBytesPerPoint;

std::string directory_of(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

}  // namespace

FieldMapFeed::FieldMapFeed(FieldMapWriter& writer, const FieldMapGrid& grid, const std::string& path,
                           std::size_t budget_points)
    : writer_(writer), grid_(grid), path_(path), direct_(writer.order() == kCsvOrder) {
  if (direct_) return;
  const auto line = static_cast<std::size_t>(grid.count[2]);
  capacity_ = std::max(line, budget_points / line * line);
  held_.resize(capacity_ * 3);
  ordered_.resize(capacity_ * 3);
  scratch_ = std::make_unique<ScratchFile>(directory_of(path), path);
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

// A block is whole z lines, consecutive in CSV order. Walking the box of x slabs (or, within one slab, of
// y lines) that holds it in the writer's order and keeping the block's own points lists them in the
// writer's order; the box is at most two partial slabs larger than the block.
void FieldMapFeed::spill() {
  if (held_points_ == 0) return;
  const std::int64_t ny = grid_.count[1], nz = grid_.count[2];
  const std::int64_t first = blocks_ * static_cast<std::int64_t>(capacity_);
  const std::int64_t end = first + static_cast<std::int64_t>(held_points_);
  const std::array<std::int64_t, 3> a = grid_.index_of(first), b = grid_.index_of(end - 1);
  std::int64_t lo[3] = {a[0], 0, 0};
  std::int64_t hi[3] = {b[0] + 1, ny, nz};
  if (hi[0] - lo[0] == 1) {
    lo[1] = a[1];
    hi[1] = b[1] + 1;
  }
  const LoopOrder order = writer_.order();
  const int s = order.axis[0], m = order.axis[1], f = order.axis[2];
  double* out = ordered_.data();
  std::int64_t index[3];
  for (index[s] = lo[s]; index[s] < hi[s]; ++index[s])
    for (index[m] = lo[m]; index[m] < hi[m]; ++index[m])
      for (index[f] = lo[f]; index[f] < hi[f]; ++index[f]) {
        const std::int64_t p = grid_.linear_index(index[0], index[1], index[2]);
        if (p < first || p >= end) continue;
        std::memcpy(out, held_.data() + (p - first) * 3, kPointBytes);
        out += 3;
      }
  scratch_->write_at(static_cast<std::uint64_t>(first) * kPointBytes, ordered_.data(),
                     held_points_ * kPointBytes);
  ++blocks_;
  held_points_ = 0;
}

void FieldMapFeed::finish() {
  if (received_ != grid_.points()) throw std::logic_error("field map feed: fewer points than the grid has");
  if (!direct_) {
    spill();
    // Every block lists its points in the writer's order, so the point at each next place in that order
    // is the next unread point of the block holding its CSV index.
    const std::int64_t total = grid_.points(), capacity = static_cast<std::int64_t>(capacity_);
    const auto blocks = static_cast<std::size_t>(blocks_);
    const std::int64_t slice = std::max<std::int64_t>(256, capacity / blocks_);
    std::vector<double> slices(blocks * static_cast<std::size_t>(slice) * 3);
    std::vector<std::int64_t> read(blocks, 0), taken(blocks, 0), loaded(blocks, 0);
    GridWalk walk(grid_, writer_.order());
    std::size_t piece_points = 0;
    for (std::int64_t placed = 0; placed < total; ++placed, walk.next()) {
      const std::int64_t p = grid_.linear_index(walk[0], walk[1], walk[2]);
      const auto b = static_cast<std::size_t>(p / capacity);
      if (taken[b] == loaded[b]) {
        const std::int64_t n =
            std::min(slice, std::min(capacity, total - static_cast<std::int64_t>(b) * capacity) - read[b]);
        scratch_->read_at(
            static_cast<std::uint64_t>(static_cast<std::int64_t>(b) * capacity + read[b]) * kPointBytes,
            slices.data() + b * static_cast<std::size_t>(slice) * 3,
            static_cast<std::size_t>(n) * kPointBytes);
        read[b] += n;
        taken[b] = 0;
        loaded[b] = n;
      }
      std::memcpy(
          held_.data() + piece_points * 3,
          slices.data() + (b * static_cast<std::size_t>(slice) + static_cast<std::size_t>(taken[b])) * 3,
          kPointBytes);
      ++taken[b];
      if (++piece_points == capacity_ || placed + 1 == total) {
        writer_.write(held_.data(), piece_points);
        piece_points = 0;
      }
    }
    scratch_.reset();
  }
  writer_.finish();
}

void field_map_feed(const FieldMapGrid& grid, const double* b, FieldMapWriter& writer,
                    std::size_t piece_points) {
  const auto total = static_cast<std::size_t>(grid.points());
  piece_points = std::max<std::size_t>(piece_points, 1);
  const LoopOrder order = writer.order();
  if (order == kCsvOrder) {
    for (std::size_t first = 0; first < total; first += piece_points)
      writer.write(b + 3 * first, std::min(piece_points, total - first));
  } else {
    std::vector<double> piece(3 * std::min(piece_points, total));
    GridWalk walk(grid, order);
    for (std::size_t first = 0; first < total; first += piece_points) {
      const std::size_t n = std::min(piece_points, total - first);
      for (std::size_t q = 0; q < n; ++q, walk.next()) {
        const auto p = static_cast<std::size_t>(grid.linear_index(walk[0], walk[1], walk[2]));
        std::memcpy(piece.data() + 3 * q, b + 3 * p, kPointBytes);
      }
      writer.write(piece.data(), n);
    }
  }
  writer.finish();
}

}  // namespace expcoil
