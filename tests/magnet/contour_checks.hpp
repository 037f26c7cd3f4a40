// Independent checks of contoured windings, shared by the contour and winding-assembly tests.
#pragma once

#include <array>
#include <cmath>
#include <map>

#include "lib/matrix.hpp"
#include "magnet/segment.hpp"

namespace expcoil::test {

// Node (i, j) of a mesh at y = y0 + i * spacing, z = z0 + j * spacing.
struct Placement {
  double y0 = 0.0, z0 = 0.0, spacing = 1.0;
};

// The piecewise-linear potential (cells cut along the diagonal from (i, j) to (i + 1, j + 1)) at (y, z):
// value and gradient.
struct Linear {
  double value, d_dy, d_dz;
};
inline Linear interpolate(const Matrix& m, const Placement& p, double y, double z) {
  const double fi = (y - p.y0) / p.spacing, fj = (z - p.z0) / p.spacing;
  const auto i = static_cast<std::uint32_t>(std::fmin(std::fmax(std::floor(fi), 0.0), m.rows() - 2.0));
  const auto j = static_cast<std::uint32_t>(std::fmin(std::fmax(std::floor(fj), 0.0), m.columns() - 2.0));
  const double ty = fi - i, tz = fj - j;
  const double v00 = m[i][j], v10 = m[i + 1][j], v11 = m[i + 1][j + 1], v01 = m[i][j + 1];
  if (ty >= tz)
    return {v00 + ty * (v10 - v00) + tz * (v11 - v10), (v10 - v00) / p.spacing, (v11 - v10) / p.spacing};
  return {v00 + tz * (v01 - v00) + ty * (v11 - v01), (v11 - v01) / p.spacing, (v01 - v00) / p.spacing};
}

// How often the currents enter and leave each end point (points compared exactly).
struct Passage {
  int entered = 0, left = 0;
};
inline std::map<std::array<double, 3>, Passage> passages(const WindingSet& w, std::uint32_t begin = 0) {
  std::map<std::array<double, 3>, Passage> points;
  for (std::uint32_t k = begin; k < w.count(); ++k) {
    const Segment& s = w[k];
    const std::array<double, 3> first{s.x1, s.y1, s.z1}, second{s.x2, s.y2, s.z2};
    ++points[s.current > 0 ? first : second].left;
    ++points[s.current > 0 ? second : first].entered;
  }
  return points;
}

// A peak of 4 * scale in the middle of a 5 x 5 mesh with a zero border.
inline Matrix ring_matrix(double scale = 1.0) {
  const double v[5] = {0, 1, 2, 1, 0};
  Matrix m(5, 5);
  for (std::uint32_t i = 0; i < 5; ++i) {
    for (std::uint32_t j = 0; j < 5; ++j) m[i][j] = v[i] * v[j] * scale;
  }
  return m;
}

}  // namespace expcoil::test
