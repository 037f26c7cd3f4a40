#include "magnet/coil_chain.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

struct CellKey {
  std::int64_t c[3];
  bool operator==(const CellKey&) const = default;
};

struct CellHash {
  std::size_t operator()(const CellKey& k) const {
    std::uint64_t h = 0x9e3779b97f4a7c15;
    for (std::int64_t v : k.c) h = (h ^ static_cast<std::uint64_t>(v)) * 0xbf58476d1ce4e5b9;
    return static_cast<std::size_t>(h ^ (h >> 31));
  }
};

// Vertices by position: a point joins the first vertex within the tolerance (Euclidean), searched in its
// cell of a grid of tolerance-sized cells and the 26 around it; with tolerance 0, only the same point.
class VertexIndex {
 public:
  VertexIndex(double tolerance, std::vector<double>& points) : tolerance_(tolerance), points_(points) {}

  std::uint32_t find_or_add(const double (&p)[3]) {
    const CellKey home = key(p);
    if (const auto id = find(home, p)) return *id;
    if (tolerance_ > 0.0) {
      for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
          for (int dz = -1; dz <= 1; ++dz) {
            if (dx == 0 && dy == 0 && dz == 0) continue;
            if (const auto id = find({{home.c[0] + dx, home.c[1] + dy, home.c[2] + dz}}, p)) return *id;
          }
    }
    const auto id = static_cast<std::uint32_t>(points_.size() / 3);
    points_.insert(points_.end(), p, p + 3);
    cells_[home].push_back(id);
    return id;
  }

 private:
  CellKey key(const double (&p)[3]) const {
    CellKey k;
    for (int a = 0; a < 3; ++a) {
      // + 0.0 makes -0 and 0 one point.
      // Cells far beyond any coil share the outermost index; neighbours of it stay representable.
      k.c[a] = tolerance_ > 0.0
                   ? static_cast<std::int64_t>(std::clamp(std::floor(p[a] / tolerance_), -0x1p62, 0x1p62))
                   : std::bit_cast<std::int64_t>(p[a] + 0.0);
    }
    return k;
  }

  std::optional<std::uint32_t> find(const CellKey& k, const double (&p)[3]) const {
    const auto it = cells_.find(k);
    if (it == cells_.end()) return std::nullopt;
    for (const std::uint32_t id : it->second) {
      const double* q = points_.data() + 3 * static_cast<std::size_t>(id);
      const double dx = q[0] - p[0], dy = q[1] - p[1], dz = q[2] - p[2];
      if (std::sqrt(dx * dx + dy * dy + dz * dz) <= tolerance_) return id;
    }
    return std::nullopt;
  }

  double tolerance_;
  std::vector<double>& points_;
  std::unordered_map<CellKey, std::vector<std::uint32_t>, CellHash> cells_;
};

}  // namespace

void check_join_tolerance(double join_tolerance) {
  if (join_tolerance == 0.0 || (join_tolerance >= kMinJoinTolerance && std::isfinite(join_tolerance))) return;
  char text[32];
  std::snprintf(text, sizeof text, "%g", join_tolerance);
  throw InputError(
      std::string("the join tolerance must be 0 (ends meet exactly) or a finite length of at least "
                  "1e-12 m, not ") +
      text);
}

CoilChains chain_windings(const WindingSet& windings, double join_tolerance) {
  check_join_tolerance(join_tolerance);
  CoilChains result;
  std::vector<double> vertices;
  VertexIndex index(join_tolerance, vertices);
  const std::size_t n = windings.count();

  // Segments turned to positive current, as (from, to) vertex ids.
  struct Piece {
    std::uint32_t from, to;
    double current;
    std::size_t segment;
  };
  std::vector<Piece> pieces;
  pieces.reserve(n);
  for (std::size_t s = 0; s < n; ++s) {
    const Segment& g = windings[static_cast<std::uint32_t>(s)];
    for (double v : {g.x1, g.y1, g.z1, g.x2, g.y2, g.z2, g.current})
      if (!std::isfinite(v)) throw WindingsError(s, "a coordinate or the current is not a finite number");
    const std::uint32_t a = index.find_or_add({g.x1, g.y1, g.z1});
    const std::uint32_t b = index.find_or_add({g.x2, g.y2, g.z2});
    if (a == b) {
      ++result.zero_length;
    } else if (g.current == 0.0) {
      ++result.zero_current;
    } else {
      pieces.push_back(g.current > 0.0 ? Piece{a, b, g.current, s} : Piece{b, a, -g.current, s});
    }
  }

  // Pieces leaving each vertex, in set order.
  const std::size_t vertex_count = vertices.size() / 3;
  std::vector<std::uint32_t> first_out(vertex_count + 1, 0);
  for (const Piece& p : pieces) ++first_out[p.from + 1];
  for (std::size_t v = 0; v < vertex_count; ++v) first_out[v + 1] += first_out[v];
  std::vector<std::uint32_t> out(pieces.size());
  {
    std::vector<std::uint32_t> fill(first_out.begin(), first_out.end() - 1);
    for (std::size_t k = 0; k < pieces.size(); ++k)
      out[fill[pieces[k].from]++] = static_cast<std::uint32_t>(k);
  }
  std::vector<std::uint32_t> next_out(first_out.begin(), first_out.end() - 1);  // skips used pieces
  std::vector<bool> used(pieces.size(), false);

  auto point = [&](std::uint32_t v) {
    result.points.insert(result.points.end(), vertices.begin() + 3 * v, vertices.begin() + 3 * v + 3);
  };
  for (std::size_t start = 0; start < pieces.size(); ++start) {
    if (used[start]) continue;
    CoilChain chain;
    chain.first_point = result.points.size() / 3;
    chain.current = pieces[start].current;
    chain.first_segment = pieces[start].segment;
    chain.layer = n % 2 != 0 ? 0 : pieces[start].segment < n / 2 ? 1 : 2;
    const std::uint32_t origin = pieces[start].from;
    point(origin);
    std::size_t k = start;
    while (true) {
      used[k] = true;
      chain.last_segment = pieces[k].segment;
      const std::uint32_t v = pieces[k].to;
      if (v == origin) {
        chain.closed = true;
        break;
      }
      point(v);
      std::size_t next = pieces.size();
      bool other = false;
      while (next_out[v] < first_out[v + 1] && used[out[next_out[v]]]) ++next_out[v];
      for (std::uint32_t o = next_out[v]; o < first_out[v + 1]; ++o) {
        if (used[out[o]]) continue;
        if (pieces[out[o]].current == chain.current) {
          next = out[o];
          break;
        }
        other = true;
      }
      if (next == pieces.size()) {
        chain.other_current_continues = other;
        break;
      }
      k = next;
    }
    chain.point_count = result.points.size() / 3 - chain.first_point;
    result.chains.push_back(chain);
  }
  return result;
}

}  // namespace expcoil
