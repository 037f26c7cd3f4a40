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

}  // namespace expcoil
