#include "magnet/windings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "contour_checks.hpp"

namespace expcoil {
namespace {

// A magnet whose 5 x 5 coil mesh has the spacing 0.5 m and node (0, 0) at y = z = -1: the length 0.75 m
// and the 0.625 m margins span 2 m in z, the heights y = -1 .. 1. 2 A/mm^2 on 0.5 cm^2: 100 A a winding.
struct Fixture {
  ParameterSet set;
  MagnetSpec magnet;
  Fixture() {
    set.good_field_height = set.vertical_end_height = 0.5;
    magnet.params = &set;
    magnet.length = 0.75;
    magnet.winding_centre_to_midplane = 0.02;
    magnet.current_density = 2e6;
    magnet.area_per_winding = 5e-5;
  }
};

TEST(WindingsGenerate, StraightMagnetHasTwoMirrorLayersOnTheLevels) {
  Fixture f;
  const Matrix potential = test::ring_matrix(100.0);
  WindingSet w;
  w.append(Segment{7, 7, 7, 7, 7, 7, 7});  // replaced, not appended to
  EXPECT_EQ(&windings_generate(w, f.magnet, potential), &w);
  ASSERT_EQ(w.count(), 104u);
  EXPECT_EQ(w.capacity(), 116u);  // a fresh list grown by appends: 1, 2, 3, 5, ..., 92, 116
  for (std::uint32_t k = 0; k < 52; ++k) {
    const Segment &s = w[k], &m = w[52 + k];
    EXPECT_TRUE(s.x1 == 0.02 && s.x2 == 0.02 && m.x1 == -0.02 && m.x2 == -0.02);
    EXPECT_TRUE(m.y1 == s.y1 && m.z1 == s.z1 && m.y2 == s.y2 && m.z2 == s.z2 && m.current == -s.current);
    EXPECT_EQ(std::fabs(s.current), 100.0);
    for (const auto& [y, z] : {std::pair{s.y1, s.z1}, std::pair{s.y2, s.z2}}) {
      const double level = test::interpolate(potential, {-1.0, -1.0, 0.5}, y, z).value / 100.0 + 0.5;
      EXPECT_NEAR(level, std::round(level), 1e-12);
    }
  }
  for (const auto& [point, passage] : test::passages(w))
    EXPECT_TRUE(passage.entered == 1 && passage.left == 1);

  // At the midplane the two layers coincide with opposite currents.
  f.magnet.winding_centre_to_midplane = 0.0;
  windings_generate(w, f.magnet, potential);
  for (std::uint32_t k = 0; k < 52; ++k) {
    EXPECT_TRUE(w[k].x1 == 0.0 && w[52 + k].x1 == 0.0 && w[k].current == -w[52 + k].current);
  }
}

TEST(WindingsGenerate, WeakOrUnsoundPotentialsGiveNoWindings) {
  Fixture f;
  f.magnet.angle = 0.25;
  f.magnet.angle_mode = 1;
  WindingSet w;
  EXPECT_EQ(windings_generate(w, f.magnet, test::ring_matrix(49.99 / 4)).count(), 0u);   // below 0.5 windings
  EXPECT_EQ(windings_generate(w, f.magnet, test::ring_matrix(50.01 / 4)).count(), 12u);  // a first ring
  EXPECT_EQ(windings_generate(w, f.magnet, Matrix(1, 5)).count(), 0u);
  Matrix potential = test::ring_matrix(100.0);
  potential[1][2] = std::numeric_limits<double>::quiet_NaN();
  windings_generate(w, f.magnet, test::ring_matrix(100.0));
  EXPECT_THROW(windings_generate(w, f.magnet, potential), std::invalid_argument);
  EXPECT_EQ(w.count(), 0u);  // nothing half-done is left behind
  f.magnet.length = 0.0;     // bent without a radius
  EXPECT_THROW(windings_generate(w, f.magnet, test::ring_matrix(100.0)), std::invalid_argument);
}

TEST(WindingsBend, GivenPointsLandOnTheArcAndItsTangents) {
  Fixture f;
  f.magnet.length = 2.0;
  f.magnet.angle = 0.5;  // R = 4
  WindingSet w;
  w.append(Segment{0.3, 1, 0.5, 0.3, 1, 1.0, 42});
  w.append(Segment{0.3, 1, 1.5, 0.3, 2, -1.5, -42});
  w.append(Segment{-0.3, 1, 0, 0, 0, 0, 1});
  windings_bend(w, f.magnet);
  ASSERT_EQ(w.count(), 3u);
  const double expected[3][4] = {{0.328869, 0.461297, 0.415024, 0.915395},  // |z| = L/2 is on the arc
                                 {0.538726, 1.399851, 0.538726, -1.399851},
                                 {-0.3, 0, 0, 0}};
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(w[k].x1, expected[k][0], 5e-7);
    EXPECT_NEAR(w[k].z1, expected[k][1], 5e-7);
    EXPECT_NEAR(w[k].x2, expected[k][2], 5e-7);
    EXPECT_NEAR(w[k].z2, expected[k][3], 5e-7);
  }
  EXPECT_TRUE(w[0].y1 == 1 && w[1].y2 == 2 && w[0].current == 42 && w[1].current == -42 && w[2].current == 1);
}

// Where a point must go: onto the arc about the line x = R, z = 0 with the arc length z for |z| <= L/2;
// beyond an end, as far along the arc's tangent there as it lies beyond the end.
std::pair<double, double> expected_bend(double x, double z, double L, double alpha) {
  const double R = L / alpha, h = L / 2, on_arc = std::fabs(z) <= h ? z : std::copysign(h, z);
  double xb = R - (R - x) * std::cos(on_arc / R), zb = (R - x) * std::sin(on_arc / R);
  if (std::fabs(z) > h) {
    xb += (std::fabs(z) - h) * std::sin(alpha / 2);
    zb += std::copysign((std::fabs(z) - h) * std::cos(alpha / 2), z);
  }
  return {xb, zb};
}

TEST(WindingsGenerate, BentMagnetIsTheStraightOneOnTheArc) {
  for (const double degrees : {15.0, -40.0}) {
    Fixture straight, bent;
    bent.magnet.angle = degrees * 0.017453292519943295;
    bent.magnet.angle_mode = 1;
    WindingSet s, b;
    windings_generate(s, straight.magnet, test::ring_matrix(100.0));
    windings_generate(b, bent.magnet, test::ring_matrix(100.0));
    ASSERT_EQ(b.count(), s.count());
    int beyond_an_end = 0;
    for (std::uint32_t k = 0; k < b.count(); ++k) {
      EXPECT_TRUE(b[k].y1 == s[k].y1 && b[k].y2 == s[k].y2 && b[k].current == s[k].current);
      const auto [x1, z1] = expected_bend(s[k].x1, s[k].z1, 0.75, bent.magnet.angle);
      const auto [x2, z2] = expected_bend(s[k].x2, s[k].z2, 0.75, bent.magnet.angle);
      EXPECT_NEAR(b[k].x1, x1, 1e-12);
      EXPECT_NEAR(b[k].z1, z1, 1e-12);
      EXPECT_NEAR(b[k].x2, x2, 1e-12);
      EXPECT_NEAR(b[k].z2, z2, 1e-12);
      beyond_an_end += std::fabs(s[k].z1) > 0.375;
    }
    EXPECT_GT(beyond_an_end, 0);
  }
}

}  // namespace
}  // namespace expcoil
