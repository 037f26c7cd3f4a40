// Independent checks of contoured windings: the piecewise-linear potential of a mesh evaluated at any
// point, its gradient, and the end-point bookkeeping of closed windings.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <map>

#include "lib/matrix.hpp"
#include "magnet/segment.hpp"

namespace expcoil::test {

// A mesh placed in the plane: node (i, j) at y = y0 + i * spacing, z = z0 + j * spacing.
struct Placement {
  double y0 = 0.0, z0 = 0.0, spacing = 1.0;
};

// The linear interpolant over the triangle (of the cell diagonal from (i, j) to (i + 1, j + 1)) that
// holds (y, z): value and gradient (d/dy, d/dz).
struct Linear {
  double value;
  double d_dy;
  double d_dz;
};

inline Linear interpolate(const Matrix& m, const Placement& p, double y, double z) {
  const double fi = (y - p.y0) / p.spacing;
  const double fj = (z - p.z0) / p.spacing;
  const auto cell = [](double f, std::uint32_t n) {
    double c = std::floor(f);
    if (c < 0) c = 0;
    if (c > n - 2.0) c = n - 2.0;
    return static_cast<std::uint32_t>(c);
  };
  const std::uint32_t i = cell(fi, m.rows());
  const std::uint32_t j = cell(fj, m.columns());
  const double ty = fi - i, tz = fj - j;
  const double v00 = m[i][j], v10 = m[i + 1][j], v11 = m[i + 1][j + 1], v01 = m[i][j + 1];
  if (ty >= tz) {
    return {v00 + ty * (v10 - v00) + tz * (v11 - v10), (v10 - v00) / p.spacing, (v11 - v10) / p.spacing};
  }
  return {v00 + tz * (v01 - v00) + ty * (v11 - v01), (v11 - v01) / p.spacing, (v01 - v00) / p.spacing};
}

struct Passage {
  int entered = 0;
  int left = 0;
};

// Every end point with how often the currents enter and leave it (a segment with a negative current
// flows from its second point to its first). Points are compared exactly.
inline std::map<std::array<double, 3>, Passage> passages(const WindingSet& w, std::uint32_t begin,
                                                         std::uint32_t end) {
  std::map<std::array<double, 3>, Passage> points;
  for (std::uint32_t k = begin; k < end; ++k) {
    const Segment& s = w[k];
    const std::array<double, 3> first{s.x1, s.y1, s.z1}, second{s.x2, s.y2, s.z2};
    const bool forward = s.current > 0;
    ++points[forward ? first : second].left;
    ++points[forward ? second : first].entered;
  }
  return points;
}

}  // namespace expcoil::test
