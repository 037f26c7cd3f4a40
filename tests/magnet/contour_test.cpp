#include "magnet/contour.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "contour_checks.hpp"

namespace expcoil {
namespace {

using test::interpolate;
using test::passages;
using test::Placement;

constexpr double kWide = 1e20;

// The triangle A = (0, 0, 0), B = (0, 1, 0), C = (0, 1, 1) of the hand-worked cases below.
const Point3 kA{0, 0, 0}, kB{0, 1, 0}, kC{0, 1, 1};

std::vector<Segment> triangle(double a, double b, double c, double step = 1.0, double lower = -kWide,
                              double upper = kWide, double factor = 1.0) {
  WindingSet w;
  contour_triangle(w, a, b, c, step, kA, kB, kC, lower, upper, factor);
  return std::vector<Segment>(w.begin(), w.end());
}

void expect_segment(const Segment& s, Point3 first, Point3 second, double current) {
  EXPECT_EQ(std::tie(s.x1, s.y1, s.z1), std::tie(first.x, first.y, first.z));
  EXPECT_EQ(std::tie(s.x2, s.y2, s.z2), std::tie(second.x, second.y, second.z));
  EXPECT_EQ(s.current, current);
}

Matrix matrix_of(const std::vector<std::vector<double>>& rows) {
  Matrix m(static_cast<std::uint32_t>(rows.size()), static_cast<std::uint32_t>(rows[0].size()));
  for (std::uint32_t i = 0; i < m.rows(); ++i) std::copy(rows[i].begin(), rows[i].end(), m[i]);
  return m;
}

// A peak of height 4 in the middle of a 5 x 5 mesh with a zero border.
Matrix ring_matrix() {
  return matrix_of({{0, 0, 0, 0, 0}, {0, 1, 2, 1, 0}, {0, 2, 4, 2, 0}, {0, 1, 2, 1, 0}, {0, 0, 0, 0, 0}});
}

// The level coordinate of a point: an integer k for a point on the level line (k - 0.5) * step.
double level_of(const Matrix& m, const Placement& p, double y, double z, double step) {
  return interpolate(m, p, y, z).value / step + 0.5;
}

TEST(ContourTriangle, HandWorkedCasesGiveTheirExactSegmentsInOrder) {
  // Levels 2 and 3 (potential 1.5 and 2.5), the lower part first.
  std::vector<Segment> s = triangle(3, 2, 1);
  ASSERT_EQ(s.size(), 2u);
  expect_segment(s[0], {0, 1, 0.5}, {0, 0.75, 0.75}, 1);
  expect_segment(s[1], {0, 0.5, 0}, {0, 0.25, 0.25}, 1);

  // The reversed ranking turns the orientation: same places, opposite current, upper part first now.
  s = triangle(1, 2, 3);
  ASSERT_EQ(s.size(), 2u);
  expect_segment(s[0], {0, 0.5, 0}, {0, 0.25, 0.25}, -1);
  expect_segment(s[1], {0, 1, 0.5}, {0, 0.75, 0.75}, -1);

  // A negative step visits the levels from the top and reverses every current.
  s = triangle(3, 2, 1, -1.0);
  ASSERT_EQ(s.size(), 2u);
  expect_segment(s[0], {0, 0.5, 0}, {0, 0.25, 0.25}, -1);
  expect_segment(s[1], {0, 1, 0.5}, {0, 0.75, 0.75}, -1);

  // The factor scales the current and nothing else; a fractional step scales the levels.
  s = triangle(3, 2, 1, 1.0, -kWide, kWide, 2.5);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].current, 2.5);
  EXPECT_EQ(s[1].y1, 0.5);
  s = triangle(0.75, 0.5, 0.25, 0.25);  // the same geometry at a quarter of the potential
  ASSERT_EQ(s.size(), 2u);
  expect_segment(s[0], {0, 1, 0.5}, {0, 0.75, 0.75}, 0.25);
  expect_segment(s[1], {0, 0.5, 0}, {0, 0.25, 0.25}, 0.25);
}

TEST(ContourTriangle, TiesAndLevelsThroughVertices) {
  EXPECT_TRUE(triangle(1, 1, 1).empty());
  EXPECT_TRUE(triangle(0.5, 0.5, 0.5).empty());  // even exactly on a level

  // Equal values rank in vertex order: A above B, so the piece keeps the current of (A, B, C).
  std::vector<Segment> s = triangle(2, 2, 1);
  ASSERT_EQ(s.size(), 1u);
  expect_segment(s[0], {0, 1, 0.5}, {0, 0.5, 0.5}, 1);

  // Only the highest vertex on the level: a zero-length piece at that vertex.
  s = triangle(1.5, 0.5, 0.5);
  ASSERT_EQ(s.size(), 1u);
  expect_segment(s[0], {0, 0, 0}, {0, 0, 0}, 1);

  // Two vertices on the level: the piece runs along their edge.
  s = triangle(0.5, 1.5, 1.5);
  ASSERT_EQ(s.size(), 1u);
  expect_segment(s[0], {0, 1, 1}, {0, 1, 0}, 1);

  // A level at the lowest value is left to the neighbouring triangle.
  EXPECT_TRUE(triangle(1.2, 1.0, 0.5).empty());
  // A level at the middle value belongs to the lower part: its first point is the middle vertex.
  s = triangle(2.5, 1.5, 1.0);
  ASSERT_EQ(s.size(), 2u);
  expect_segment(s[0], {0, 1, 0}, {0, 2.0 / 3, 2.0 / 3}, 1);  // level 2, potential 1.5, through B
  expect_segment(s[1], {0, 0, 0}, {0, 0, 0}, 1);              // level 3, potential 2.5, only at A
}

TEST(ContourTriangle, WindowSelectsLevels) {
  std::vector<Segment> s = triangle(3, 2, 1, 1.0, 1.6, kWide);
  ASSERT_EQ(s.size(), 1u);
  expect_segment(s[0], {0, 0.5, 0}, {0, 0.25, 0.25}, 1);
  s = triangle(3, 2, 1, 1.0, -kWide, 2.4);
  ASSERT_EQ(s.size(), 1u);
  expect_segment(s[0], {0, 1, 0.5}, {0, 0.75, 0.75}, 1);

  // A bound exactly at a level's value excludes it from below and includes it from above.
  s = triangle(3, 2, 1, 1.0, 1.5, kWide);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].y1, 0.5);
  s = triangle(3, 2, 1, 1.0, -kWide, 1.5);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].y1, 1.0);
  EXPECT_TRUE(triangle(3, 2, 1, 1.0, 2.5, 1e20).empty());
  EXPECT_TRUE(triangle(3, 2, 1, 1.0, 1.6, 2.4).empty());

  // With a negative step the window is still a range of potential values.
  s = triangle(3, 2, 1, -1.0, 1.6, kWide);
  ASSERT_EQ(s.size(), 1u);
  expect_segment(s[0], {0, 0.5, 0}, {0, 0.25, 0.25}, -1);
}

TEST(ContourMesh, RingMatrixGivesClosedConsistentWindings) {
  const Matrix m = ring_matrix();
  const Placement p{-1.0, 2.0, 0.5};
  const double x0 = 0.25;
  WindingSet w;
  contour_mesh(w, m, 1.0, x0, p.y0, p.z0, p.spacing, -kWide, kWide, 1.0);
  ASSERT_EQ(w.count(), 52u);

  // Per level: the pieces, and twice the area they enclose followed along the current.
  std::map<int, WindingSet> levels;
  std::map<int, double> twice_area;
  const double yc = p.y0 + 2 * p.spacing, zc = p.z0 + 2 * p.spacing;  // the peak
  for (const Segment& s : w) {
    EXPECT_EQ(s.x1, x0);
    EXPECT_EQ(s.x2, x0);
    EXPECT_EQ(std::fabs(s.current), 1.0);
    const double k1 = level_of(m, p, s.y1, s.z1, 1.0), k2 = level_of(m, p, s.y2, s.z2, 1.0);
    EXPECT_NEAR(k1, std::round(k1), 1e-12);
    EXPECT_EQ(std::round(k1), std::round(k2));
    const int k = static_cast<int>(std::round(k1));
    levels[k].append(s);
    const bool forward = s.current > 0;
    const double ya = (forward ? s.y1 : s.y2) - yc, za = (forward ? s.z1 : s.z2) - zc;
    const double yb = (forward ? s.y2 : s.y1) - yc, zb = (forward ? s.z2 : s.z1) - zc;
    twice_area[k] += ya * zb - za * yb;
  }
  // The potential values 0.5, 1.5, 2.5 and 3.5, each a closed ring circulating counterclockwise.
  ASSERT_EQ(levels.size(), 4u);
  EXPECT_EQ(levels.begin()->first, 1);
  EXPECT_EQ(levels.rbegin()->first, 4);
  for (const auto& [k, ring] : levels) {
    EXPECT_GT(twice_area[k], 0.0) << "level " << k;
    for (const auto& [point, passage] : passages(ring, 0, ring.count())) {
      EXPECT_EQ(passage.entered, 1) << "level " << k;
      EXPECT_EQ(passage.left, 1) << "level " << k;
    }
  }
  // The innermost ring by hand: the level 3.5 cuts the four axes at a quarter of a cell from the peak
  // (towards the value 2) and the cell diagonals through the peak at a sixth (towards the value 1): a
  // hexagon of area 7/48 cells, 7/192 m^2 at a spacing of 0.5 m.
  EXPECT_EQ(levels[4].count(), 6u);
  EXPECT_NEAR(0.5 * twice_area[4], 7.0 / 192, 1e-15);

  const auto points = passages(w, 0, w.count());
  EXPECT_EQ(points.size(), 52u);  // every end point shared by exactly two segments
  for (const auto& [point, passage] : points) {
    EXPECT_EQ(passage.entered, 1) << point[1] << ", " << point[2];
    EXPECT_EQ(passage.left, 1) << point[1] << ", " << point[2];
  }
}

TEST(ContourMesh, NegativeStepReversesEveryCurrentAndKeepsThePieces) {
  const Matrix m = ring_matrix();
  WindingSet up, down;
  contour_mesh(up, m, 1.0, 0, 0, 0, 1, -kWide, kWide, 1.0);
  contour_mesh(down, m, -1.0, 0, 0, 0, 1, -kWide, kWide, 1.0);
  const auto key = [](const Segment& s, double sign) {
    return std::make_tuple(s.x1, s.y1, s.z1, s.x2, s.y2, s.z2, sign * s.current);
  };
  std::vector<std::tuple<double, double, double, double, double, double, double>> a, b;
  for (const Segment& s : up) a.push_back(key(s, 1));
  for (const Segment& s : down) b.push_back(key(s, -1));
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
}

TEST(ContourMesh, LinesEndAtTheBorderAndAppendAfterExistingSegments) {
  // psi = column index: the levels 0.5, 1.5, 2.5 run straight across the three row bands, each band
  // crossed through both triangles of one cell (the cell's diagonal cuts the line in two).
  Matrix m = matrix_of({{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}});
  WindingSet w;
  w.append(Segment{9, 9, 9, 9, 9, 9, 9});
  contour_mesh(w, m, 1.0, 0, 0, 0, 1, -kWide, kWide, 1.0);
  ASSERT_EQ(w.count(), 1u + 3 * 3 * 2);
  EXPECT_EQ(w[0].current, 9);

  const auto points = passages(w, 1, w.count());
  int border_ends = 0;
  for (const auto& [point, passage] : points) {
    const bool on_border = point[1] == 0 || point[1] == 3;
    EXPECT_EQ(passage.entered + passage.left, on_border ? 1 : 2);
    border_ends += on_border;
  }
  EXPECT_EQ(border_ends, 6);  // each of the three lines ends once on each border row
  for (std::uint32_t k = 1; k < w.count(); ++k) {
    const Segment& s = w[k];
    EXPECT_EQ(s.z1, s.z2);  // along the line z = j - 0.5, never along the border
    EXPECT_EQ(s.z1 + 0.5, std::round(s.z1 + 0.5));
    EXPECT_NE(s.y1, s.y2);
    // psi grows with z, so the current flows along +y (higher potential on its left, seen from +x).
    EXPECT_GT((s.y2 - s.y1) * s.current, 0.0);
  }
}

TEST(ContourMesh, TooSmallMatricesGiveNothing) {
  WindingSet w;
  contour_mesh(w, matrix_of({{0, 5, 10, 5}}), 1.0, 0, 0, 0, 1, -kWide, kWide, 1.0);
  contour_mesh(w, matrix_of({{0}, {5}, {10}}), 1.0, 0, 0, 0, 1, -kWide, kWide, 1.0);
  contour_mesh(w, Matrix(), 1.0, 0, 0, 0, 1, -kWide, kWide, 1.0);
  EXPECT_EQ(w.count(), 0u);
}

TEST(ContourMesh, UnsoundInputIsRejectedBeforeAnythingIsAppended) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const auto rejects = [](const Matrix& m, double step, const char* fragment) {
    WindingSet w;
    w.append(Segment{1, 2, 3, 4, 5, 6, 7});
    try {
      contour_mesh(w, m, step, 0, 0, 0, 1, -kWide, kWide, 1.0);
      ADD_FAILURE() << "accepted step " << step << " (expected: " << fragment << ")";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
    EXPECT_EQ(w.count(), 1u);
  };
  Matrix good = ring_matrix();
  rejects(good, 0.0, "current per winding of 0 A");
  rejects(good, -0.0, "current per winding of -0 A");
  rejects(good, nan, "current per winding of nan A");
  rejects(good, inf, "must be finite and non-zero");
  rejects(good, 1e-310, "must be finite and non-zero");  // its reciprocal overflows

  Matrix bad = ring_matrix();
  bad[3][1] = nan;
  rejects(bad, 1.0, "is nan at row 3, column 1");
  bad[3][1] = -inf;
  rejects(bad, 1.0, "is -inf at row 3, column 1");
  // The level counter could no longer step by one.
  bad[3][1] = 1e16;
  rejects(bad, 1.0, "spans more than 2^52 windings");
  bad[3][1] = 1e6;
  rejects(bad, 1e-12, "spans more than 2^52 windings");
}

// Smooth random potentials with a zero border, so that every level line closes inside the mesh.
TEST(ContourMesh, RandomSmoothPotentialsGiveClosedWindingsOnTheirLevels) {
  std::mt19937_64 rng(4242);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    const std::uint32_t rows = 8 + static_cast<std::uint32_t>(unit(rng) * 40);
    const std::uint32_t columns = 8 + static_cast<std::uint32_t>(unit(rng) * 40);
    const Placement p{-0.5 + unit(rng), -1.0 + unit(rng), 0.01 + 0.1 * unit(rng)};
    const double step = (trial % 4 == 3 ? -1 : 1) * (0.05 + unit(rng) * 3);
    struct Bump {
      double i, j, width, height;
    };
    std::vector<Bump> bumps(2 + trial % 5);
    for (Bump& b : bumps)
      b = {unit(rng) * rows, unit(rng) * columns, 2 + unit(rng) * 6, -20 + 40 * unit(rng)};
    Matrix m(rows, columns);
    for (std::uint32_t i = 0; i < rows; ++i) {
      for (std::uint32_t j = 0; j < columns; ++j) {
        double v = 0;
        for (const Bump& b : bumps) {
          v += b.height * std::exp(-((i - b.i) * (i - b.i) + (j - b.j) * (j - b.j)) / (b.width * b.width));
        }
        const bool border = i == 0 || j == 0 || i == rows - 1 || j == columns - 1;
        m[i][j] = border ? 0.0 : v;
      }
    }

    WindingSet w;
    contour_mesh(w, m, step, 0.0, p.y0, p.z0, p.spacing, -kWide, kWide, 1.0);
    ASSERT_GT(w.count(), 0u) << "trial " << trial;
    int wrong = 0;
    for (const Segment& s : w) {
      EXPECT_EQ(std::fabs(s.current), std::fabs(step));
      for (const auto& [y, z] : {std::pair{s.y1, s.z1}, std::pair{s.y2, s.z2}}) {
        const double k = level_of(m, p, y, z, step);
        if (std::fabs(k - std::round(k)) > 1e-9 * std::max(1.0, std::fabs(k))) ++wrong;
      }
      // For a positive step the current keeps the higher potential on its left, flowing along
      // (d psi/dz, -d psi/dy); a negative step reverses it.
      const double dy = s.y2 - s.y1, dz = s.z2 - s.z1;
      const auto lin = interpolate(m, p, 0.5 * (s.y1 + s.y2), 0.5 * (s.z1 + s.z2));
      if (dy != 0 || dz != 0) {
        const double along = (dy * lin.d_dz - dz * lin.d_dy) * s.current * (step > 0 ? 1 : -1);
        if (!(along > 0)) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0) << "trial " << trial;
    for (const auto& [point, passage] : passages(w, 0, w.count())) {
      if (passage.entered != 1 || passage.left != 1) {
        ADD_FAILURE() << "trial " << trial << ": point (" << point[1] << ", " << point[2] << ") entered "
                      << passage.entered << " and left " << passage.left << " times";
        break;
      }
    }
  }
}

}  // namespace
}  // namespace expcoil
