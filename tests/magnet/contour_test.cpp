#include "magnet/contour.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

// Worked by hand on the triangle A = (0, 0, 0), B = (0, 1, 0), C = (0, 1, 1).
TEST(ContourTriangle, HandWorkedCases) {
  struct Case {
    double a, b, c, step, lower, upper;
    std::vector<Segment> expected;
  };
  const Segment level2{0, 1, 0.5, 0, 0.75, 0.75, 1}, level3{0, 0.5, 0, 0, 0.25, 0.25, 1};
  const auto negated = [](Segment s) { return s.current = -s.current, s; };
  const Case cases[] = {
      {3, 2, 1, 1, -kWide, kWide, {level2, level3}},  // lower part first
      {1, 2, 3, 1, -kWide, kWide, {negated(level3), negated(level2)}},
      {3, 2, 1, -1, -kWide, kWide, {negated(level3), negated(level2)}},  // levels from the top
      {1, 1, 1, 1, -kWide, kWide, {}},
      {0.5, 0.5, 0.5, 1, -kWide, kWide, {}},
      {2, 2, 1, 1, -kWide, kWide, {{0, 1, 0.5, 0, 0.5, 0.5, 1}}},  // A ranks above B
      {1.5, 0.5, 0.5, 1, -kWide, kWide, {{0, 0, 0, 0, 0, 0, 1}}},  // only the top on the level
      {0.5, 1.5, 1.5, 1, -kWide, kWide, {{0, 1, 1, 0, 1, 0, 1}}},  // along the edge B-C
      {1.2, 1.0, 0.5, 1, -kWide, kWide, {}},                       // level at the lowest value
      {2.5, 1.5, 1, 1, -kWide, kWide, {{0, 1, 0, 0, 2.0 / 3, 2.0 / 3, 1}, {0, 0, 0, 0, 0, 0, 1}}},
      {3, 2, 1, 1, 1.6, kWide, {level3}},
      {3, 2, 1, 1, -kWide, 2.4, {level2}},
      {3, 2, 1, 1, 1.5, kWide, {level3}},   // a lower bound on a level excludes it
      {3, 2, 1, 1, -kWide, 1.5, {level2}},  // an upper bound includes it
      {3, 2, 1, 1, 1.6, 2.4, {}},
      {3, 2, 1, -1, 1.6, kWide, {negated(level3)}},
  };
  for (const Case& c : cases) {
    WindingSet w;
    w.append(Segment{9, 9, 9, 9, 9, 9, 9});
    contour_triangle(w, c.a, c.b, c.c, c.step, {0, 0, 0}, {0, 1, 0}, {0, 1, 1}, c.lower, c.upper, 1.0);
    ASSERT_EQ(w.count(), c.expected.size() + 1) << c.a << " " << c.b << " " << c.c << " " << c.lower;
    for (std::size_t k = 0; k < c.expected.size(); ++k) {
      const Segment &s = w[k + 1], &e = c.expected[k];
      EXPECT_TRUE(s.x1 == e.x1 && s.y1 == e.y1 && s.z1 == e.z1 && s.x2 == e.x2 && s.y2 == e.y2 &&
                  s.z2 == e.z2 && s.current == e.current)
          << c.a << " " << c.b << " " << c.c << " " << c.step << " " << c.lower << ", segment " << k;
    }
  }
  WindingSet w;
  contour_triangle(w, 3, 2, 1, 1, {0, 0, 0}, {0, 1, 0}, {0, 1, 1}, -kWide, kWide, -2.5);
  EXPECT_EQ(w[0].current, -2.5);
}

TEST(ContourMesh, RingMatrixGivesClosedCounterclockwiseRings) {
  const Matrix m = test::ring_matrix();
  const Placement p{-1.0, 2.0, 0.5};  // the peak at y = 0, z = 3
  WindingSet w;
  contour_mesh(w, m, 1.0, 0.25, p.y0, p.z0, p.spacing, -kWide, kWide, 1.0);
  ASSERT_EQ(w.count(), 52u);
  int innermost = 0;
  double twice_area = 0;  // of the innermost ring, followed along the current
  for (const Segment& s : w) {
    EXPECT_TRUE(s.x1 == 0.25 && s.x2 == 0.25 && std::fabs(s.current) == 1.0);
    const double k = std::round(interpolate(m, p, s.y1, s.z1).value + 0.5);
    EXPECT_NEAR(interpolate(m, p, s.y1, s.z1).value + 0.5, k, 1e-12);
    EXPECT_NEAR(interpolate(m, p, s.y2, s.z2).value + 0.5, k, 1e-12);
    EXPECT_GT((s.y1 * (s.z2 - s.z1) - (s.z1 - 3) * (s.y2 - s.y1)) * s.current, 0.0);  // counterclockwise
    if (k == 4) ++innermost, twice_area += (s.y1 * (s.z2 - 3) - (s.z1 - 3) * s.y2) * s.current;
  }
  for (const auto& [point, passage] : passages(w)) EXPECT_TRUE(passage.entered == 1 && passage.left == 1);
  // The level 3.5 cuts the axes a quarter of a cell from the peak and the diagonal through the peak a
  // sixth of it: a hexagon of 7/48 cells, 7/192 m^2.
  EXPECT_EQ(innermost, 6);
  EXPECT_NEAR(0.5 * twice_area, 7.0 / 192, 1e-15);
}

TEST(ContourMesh, UnsoundInputIsRejectedBeforeAnythingIsAppended) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const std::tuple<double, double, const char*> cases[] = {
      {1, 0.0, "current per winding of 0 A: it must be finite and non-zero"},
      {1, nan, "of nan A"},
      {1, 1e-310, "must be finite"},  // its reciprocal overflows
      {nan, 1, "the current potential is nan at row 3, column 1"},
      {-inf, 1, "is -inf at row 3"},
      {1e16, 1, "spans more than 2^52 windings"}};  // the level counter would stop stepping by one
  for (const auto& [value, step, fragment] : cases) {
    Matrix m = test::ring_matrix();
    m[3][1] = value;
    WindingSet w;
    try {
      contour_mesh(w, m, step, 0, 0, 0, 1, -kWide, kWide, 1.0);
      ADD_FAILURE() << "accepted " << value << " with the step " << step;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
    EXPECT_EQ(w.count(), 0u);
  }
}

// Smooth random potentials with a zero border: every line closes inside the mesh.
TEST(ContourMesh, RandomPotentialsGiveClosedWindingsOnTheirLevels) {
  std::mt19937_64 rng(4242);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    const auto rows = static_cast<std::uint32_t>(8 + unit(rng) * 40),
               columns = static_cast<std::uint32_t>(8 + unit(rng) * 40);
    const Placement p{unit(rng) - 0.5, unit(rng) - 1, 0.01 + 0.1 * unit(rng)};
    const double step = (trial % 4 == 3 ? -1 : 1) * (0.05 + unit(rng) * 3);
    std::vector<std::array<double, 4>> bumps(2 + trial % 5);  // centre i, j, width, height
    for (auto& b : bumps) b = {unit(rng) * rows, unit(rng) * columns, 2 + unit(rng) * 6, 40 * unit(rng) - 20};
    Matrix m(rows, columns);
    for (std::uint32_t i = 0; i < rows; ++i) {
      for (std::uint32_t j = 0; j < columns; ++j) {
        double v = 0;
        for (const auto& b : bumps)
          v += b[3] * std::exp(-(std::pow(i - b[0], 2) + std::pow(j - b[1], 2)) / (b[2] * b[2]));
        m[i][j] = (i == 0 || j == 0 || i == rows - 1 || j == columns - 1) ? 0.0 : v;
      }
    }
    WindingSet w;
    contour_mesh(w, m, step, 0.0, p.y0, p.z0, p.spacing, -kWide, kWide, 1.0);
    ASSERT_GT(w.count(), 0u);
    int wrong = 0;
    for (const Segment& s : w) {
      for (const double k : {interpolate(m, p, s.y1, s.z1).value / step + 0.5,
                             interpolate(m, p, s.y2, s.z2).value / step + 0.5}) {
        wrong += std::fabs(k - std::round(k)) > 1e-9 * std::max(1.0, std::fabs(k));
      }
      // For a positive step the current flows along (d psi/dz, -d psi/dy), the higher potential on its
      // left; a negative step reverses it.
      const auto g = interpolate(m, p, 0.5 * (s.y1 + s.y2), 0.5 * (s.z1 + s.z2));
      const double along = ((s.y2 - s.y1) * g.d_dz - (s.z2 - s.z1) * g.d_dy) * s.current / step;
      wrong += !(along > 0) && (s.y1 != s.y2 || s.z1 != s.z2);
    }
    EXPECT_EQ(wrong, 0) << "trial " << trial;
    int open = 0;
    for (const auto& [point, passage] : passages(w)) open += passage.entered != 1 || passage.left != 1;
    EXPECT_EQ(open, 0) << "trial " << trial;
  }
}

}  // namespace
}  // namespace expcoil
