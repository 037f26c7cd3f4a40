#include "magnet/field.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>

namespace expcoil {

std::array<double, 3> windings_field(const WindingSet& windings, double x, double y, double z) {
  const SegmentStream stream(windings);
  double b[3];
  field_kernel_on(field_kernel_targets().back(), stream, &x, &y, &z, 1, b);
  return {b[0], b[1], b[2]};
}

SegmentStream::SegmentStream(const WindingSet& windings) {
  segments_.reserve(windings.count());
  for (const Segment& s : windings) {
    StreamSegment t;
    t.x1 = s.x1;
    t.y1 = s.y1;
    t.z1 = s.z1;
    t.dx = s.x2 - s.x1;
    t.dy = s.y2 - s.y1;
    t.dz = s.z2 - s.z1;
    t.a = (t.dy * t.dy + t.dx * t.dx) + t.dz * t.dz;
    if (t.a == 0.0) continue;
    t.a2 = t.a + t.a;
    t.a4 = 4.0 * t.a;
    t.ki = kFieldConstant * s.current;
    segments_.push_back(t);
  }
}

SegmentChains chain_segments(const StreamSegment* segments, std::size_t count) {
  // End e of segment e / 2: its start for even e, its end (x1 + dx, ...) for odd.
  const auto end_of = [&](std::size_t e) {
    const StreamSegment& g = segments[e / 2];
    return e % 2 == 0 ? std::array<double, 3>{g.x1, g.y1, g.z1}
                      : std::array<double, 3>{g.x1 + g.dx, g.y1 + g.dy, g.z1 + g.dz};
  };
  // Ends that meet: exactly two at a point, of two segments (three or more at a point: no link there).
  // The points in a hash table, open addressing, half full at most, of the first end found at each;
  // link[e]: the end that e meets, -1 none yet, -2 one of three or more.
  std::vector<std::int64_t> link(2 * count, -1);
  std::size_t slots = 16;
  while (slots < 4 * count) slots *= 2;
  std::vector<std::int64_t> table(slots, -1);
  const auto bits = [](double v) {
    std::uint64_t u;
    v += 0.0;  // -0 as +0: the points compare as numbers
    std::memcpy(&u, &v, sizeof u);
    return u;
  };
  for (std::size_t e = 0; e < 2 * count; ++e) {
    const std::array<double, 3> p = end_of(e);
    std::uint64_t h = bits(p[0]) * 0x9E3779B97F4A7C15ULL;
    h = (h ^ (h >> 29) ^ bits(p[1])) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 32) ^ bits(p[2])) * 0x94D049BB133111EBULL;
    for (std::size_t i = (h ^ (h >> 31)) & (slots - 1);; i = (i + 1) & (slots - 1)) {
      if (table[i] < 0) {
        table[i] = static_cast<std::int64_t>(e);
        break;
      }
      const std::size_t f = static_cast<std::size_t>(table[i]);
      if (end_of(f) != p) continue;
      if (link[f] == -1 && f / 2 != e / 2) {
        link[f] = static_cast<std::int64_t>(e);
        link[e] = static_cast<std::int64_t>(f);
      } else {
        if (link[f] >= 0) link[static_cast<std::size_t>(link[f])] = -2;
        link[f] = link[e] = -2;
      }
      break;
    }
  }
  for (std::int64_t& l : link) l = std::max<std::int64_t>(l, -1);
  SegmentChains chains;
  chains.records.reserve(count + count / 8 + 1);
  chains.position.assign(count, -1);
  std::vector<std::uint8_t> laid(count, 0);
  // From end `from` of segment j along the links, to the end where the chain stops.
  const auto lay = [&](std::size_t j, std::size_t from) {
    std::size_t e = 2 * j + from;
    for (;;) {
      const std::size_t g = e / 2;
      const StreamSegment& t = segments[g];
      const std::array<double, 3> at = end_of(e);
      const bool back = e % 2 == 1;
      laid[g] = 1;
      chains.position[g] = static_cast<std::int32_t>(chains.records.size());
      chains.records.push_back({at[0], at[1], at[2], t.dx, t.dy, t.dz, t.a2, t.a4, t.ki, back ? -t.ki : t.ki,
                                kChainClose * t.a, back ? 1.0 : 0.0});
      const std::int64_t next = link[e ^ 1];
      if (next < 0 || laid[static_cast<std::size_t>(next) / 2]) return e ^ 1;
      e = static_cast<std::size_t>(next);
    }
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t j = 0; j < count; ++j) {
      const bool open_start = link[2 * j] < 0, open_end = link[2 * j + 1] < 0;
      // First the open chains, from an end; then what is left, closed ones.
      if (laid[j] || (pass == 0 && !open_start && !open_end)) continue;
      const std::size_t first = chains.records.size();
      const std::array<double, 3> last = end_of(lay(j, open_start ? 0 : 1));
      const std::size_t end = chains.records.size();
      chains.records.push_back({last[0], last[1], last[2], 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0});
      bool flat = true;
      for (std::size_t r = first; r < end; ++r)
        flat = flat && chains.records[r].dz == 0.0 && chains.records[r].z == chains.records[first].z;
      chains.ranges.push_back(first);
      chains.ranges.push_back(end);
      chains.planes.push_back(flat ? chains.records[first].z : NAN);
    }
  }
  chains.record_plane.assign(chains.records.size(), NAN);
  for (std::size_t c = 0; c < chains.planes.size(); ++c) {
    for (std::size_t r = chains.ranges[2 * c]; r <= chains.ranges[2 * c + 1]; ++r)
      chains.record_plane[r] = chains.planes[c];
  }
  return chains;
}

std::vector<float> record_lengths(const SegmentChains& chains) {
  std::vector<float> lengths(chains.records.size());
  for (std::size_t j = 0; j < lengths.size(); ++j) {
    const ChainSegment& g = chains.records[j];
    lengths[j] = static_cast<float>(std::sqrt((g.dx * g.dx + g.dy * g.dy) + g.dz * g.dz));
  }
  return lengths;
}

// eta bounds the rounding of the coordinates of a point against a vertex: each is rounded about the origin
// o, and their difference once more, 2 u (|p - o| + |a - o|) (1 + u) <= 4.01 u R, u = 2^-24, R the
// largest distance of a point or a vertex from o. The bound's weights are those of field_kernel.cpp.
void FloatNearSums::prepare(const SegmentChains& chains, const std::vector<float>& lengths,
                            const std::size_t* ranges, std::size_t range_count, const double* origin,
                            double radius, const double* x, const double* y, const double* z, std::size_t n) {
  const std::vector<ChainSegment>& records = chains.records;
  chunks_.clear();
  chunk_vertices_.clear();
  planes_.clear();
  float_planes_.clear();
  vertices_.clear();
  double reach2 = 0.0;
  for (std::size_t r = 0; r < range_count; ++r) {
    const std::size_t first = ranges[2 * r], end = ranges[2 * r + 1];
    if (first == end) continue;
    const double plane = chains.record_plane[first];
    const float float_plane = static_cast<float>(plane - origin[2]);
    // A change of current along a chain is an end of the current's path for the bound.
    for (std::size_t start = first, j = first + 1; j <= end; ++j) {
      if (j == end || records[j].kc != records[j - 1].kc) {
        chunks_.push_back(start);
        chunks_.push_back(j);
        chunk_vertices_.push_back(vertices_.size() + (start - first));
        planes_.push_back(plane);
        float_planes_.push_back(float_plane);
        start = j;
      }
    }
    for (std::size_t j = first; j <= end; ++j) {
      const ChainSegment& g = records[j];
      const double d[3] = {g.x - origin[0], g.y - origin[1], g.z - origin[2]};
      reach2 = std::max(reach2, (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
      vertices_.push_back({static_cast<float>(d[0]), static_cast<float>(d[1]), static_cast<float>(d[2]),
                           static_cast<float>(g.kc), lengths[j], 0.0f});
    }
  }
  const double u = 0x1p-24;
  const double eta = 4.01 * u * std::max(radius, std::sqrt(reach2) * (1.0 + 1e-15));
  const double lambda = 4.04 * eta / (kFloatEvaluation * u) * (1.0 + 1e-6);
  // Each length to a float above (L + 2 eta) (1 + 1e-6), above L however L was rounded.
  for (FloatVertex& v : vertices_) {
    const double length = (static_cast<double>(v.length) + 2.0 * eta) * (1.0 + 1e-6);
    v.length = static_cast<float>(length);
    v.weight = static_cast<float>(lambda * length);
  }
  fx_.resize(n);
  fy_.resize(n);
  fz_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    fx_[i] = static_cast<float>(x[i] - origin[0]);
    fy_[i] = static_cast<float>(y[i] - origin[1]);
    fz_[i] = static_cast<float>(z[i] - origin[2]);
  }
  job_.segments = records.data();
  job_.vertices = vertices_.data();
  job_.ranges = chunks_.data();
  job_.vertex_first = chunk_vertices_.data();
  job_.planes = planes_.data();
  job_.float_planes = float_planes_.data();
  job_.range_count = planes_.size();
  job_.x = x;
  job_.y = y;
  job_.z = z;
  job_.fx = fx_.data();
  job_.fy = fy_.data();
  job_.fz = fz_.data();
  job_.n = n;
  // At least 1e-14 (a vertex 1e-7 m away), so that den stays a normal float wherever the run is taken
  // in float (field_kernel.cpp).
  job_.close2 = static_cast<float>(std::max(kFloatClose * kFloatClose * eta * eta * 1.01, 1e-14));
  job_.end_weight = static_cast<float>(0.505 * eta / (kFloatEvaluation * u) * (1.0 + 1e-6));
}

}  // namespace expcoil
