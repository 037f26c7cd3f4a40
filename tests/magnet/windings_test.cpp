#include "magnet/windings.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "contour_checks.hpp"

namespace expcoil {
namespace {

using test::interpolate;
using test::passages;
using test::Placement;

// A magnet whose 5 x 5 coil mesh has the spacing 0.5 m and node (0, 0) at y = z = -1: length 0.75 m
// plus the 0.625 m margins at each end spans 2 m in z, and the heights span y = -1 .. 1.
struct Fixture {
  ParameterSet set;
  MagnetSpec magnet;
  Fixture() {
    set.good_field_height = 0.5;
    set.vertical_end_height = 0.5;
    set.vertical_middle_join_height = 0.0;
    magnet.params = &set;
    magnet.length = 0.75;
    magnet.winding_centre_to_midplane = 0.02;
    magnet.current_density = 2e6;    // 2 A/mm^2
    magnet.area_per_winding = 5e-5;  // 0.5 cm^2: 100 A per winding
  }
  void bend(double degrees) {
    magnet.angle = degrees * 0.017453292519943295;
    magnet.angle_mode = 1;
  }
};
const Placement kPlacement{-1.0, -1.0, 0.5};

// A peak of 4 windings (400 A) in the middle of the mesh, on the magnet's centre (y = z = 0).
Matrix ring_potential(double scale = 100.0) {
  const double rows[5][5] = {
      {0, 0, 0, 0, 0}, {0, 1, 2, 1, 0}, {0, 2, 4, 2, 0}, {0, 1, 2, 1, 0}, {0, 0, 0, 0, 0}};
  Matrix m(5, 5);
  for (std::uint32_t i = 0; i < 5; ++i) {
    for (std::uint32_t j = 0; j < 5; ++j) m[i][j] = rows[i][j] * scale;
  }
  return m;
}

WindingSet segments(std::initializer_list<Segment> list) {
  WindingSet w;
  for (const Segment& s : list) w.append(s);
  return w;
}

TEST(WindingsGenerate, StraightMagnetGivesTwoMirrorLayersOnTheLevels) {
  Fixture f;
  const Matrix potential = ring_potential();
  WindingSet w;
  w.append(Segment{7, 7, 7, 7, 7, 7, 7});  // replaced, not appended to
  EXPECT_EQ(&windings_generate(w, f.magnet, potential), &w);
  ASSERT_EQ(w.count(), 104u);
  // A fresh list grown one segment at a time: capacities 1, 2, 3, 5, ..., 92, 116.
  EXPECT_EQ(w.capacity(), 116u);

  const std::uint32_t n = 52;
  for (std::uint32_t k = 0; k < n; ++k) {
    const Segment& s = w[k];
    const Segment& m = w[n + k];
    EXPECT_EQ(s.x1, 0.02);
    EXPECT_EQ(s.x2, 0.02);
    EXPECT_EQ(m.x1, -0.02);
    EXPECT_EQ(m.x2, -0.02);
    EXPECT_EQ(std::tie(m.y1, m.z1, m.y2, m.z2), std::tie(s.y1, s.z1, s.y2, s.z2));
    EXPECT_EQ(m.current, -s.current);
    EXPECT_EQ(std::fabs(s.current), 100.0);
    // On the coil mesh as the magnet places it: every end on a level (k - 0.5) * 100 A.
    for (const auto& [y, z] : {std::pair{s.y1, s.z1}, std::pair{s.y2, s.z2}}) {
      const double level = interpolate(potential, kPlacement, y, z).value / 100.0 + 0.5;
      EXPECT_NEAR(level, std::round(level), 1e-12);
      EXPECT_GE(level, 0.5);
    }
    // Counterclockwise about the peak at y = z = 0 in the upper layer.
    const double turn = s.y1 * (s.z2 - s.z1) - s.z1 * (s.y2 - s.y1);
    EXPECT_GT(turn * s.current, 0.0);
  }
  for (const auto& [point, passage] : passages(w, 0, w.count())) {
    EXPECT_EQ(passage.entered, 1);
    EXPECT_EQ(passage.left, 1);
  }
}

TEST(WindingsGenerate, WeakPotentialsAndDegenerateMeshesGiveNoWindings) {
  Fixture f;
  WindingSet w;
  // Everything strictly inside +-0.5 windings: no level is reached.
  EXPECT_EQ(windings_generate(w, f.magnet, ring_potential(49.99 / 4)).count(), 0u);
  f.bend(15);
  EXPECT_EQ(windings_generate(w, f.magnet, ring_potential(49.99 / 4)).count(), 0u);
  EXPECT_EQ(windings_generate(w, f.magnet, Matrix(1, 5)).count(), 0u);
  EXPECT_EQ(windings_generate(w, f.magnet, Matrix()).count(), 0u);
  // Just above half a winding the peak gets its first ring (6 pieces, twice).
  EXPECT_EQ(windings_generate(w, f.magnet, ring_potential(50.01 / 4)).count(), 12u);
}

TEST(WindingsGenerate, LayersAtTheMidplaneCancel) {
  Fixture f;
  f.magnet.winding_centre_to_midplane = 0.0;
  WindingSet w;
  windings_generate(w, f.magnet, ring_potential());
  ASSERT_EQ(w.count(), 104u);
  // Each piece and its copy: the same place, opposite currents, so that their fields cancel.
  const std::uint32_t n = w.count() / 2;
  for (std::uint32_t k = 0; k < n; ++k) {
    const Segment& s = w[k];
    const Segment& m = w[n + k];
    EXPECT_EQ(s.x1, 0.0);
    EXPECT_EQ(s.x2, 0.0);
    EXPECT_EQ(m.x1, 0.0);
    EXPECT_EQ(m.x2, 0.0);
    EXPECT_EQ(s.current * (s.y2 - s.y1) + m.current * (m.y2 - m.y1), 0.0);
    EXPECT_EQ(s.current * (s.z2 - s.z1) + m.current * (m.z2 - m.z1), 0.0);
  }
}

TEST(WindingsGenerate, UnsoundPotentialIsRejectedAndLeavesNoWindings) {
  Fixture f;
  Matrix potential = ring_potential();
  potential[1][2] = std::numeric_limits<double>::quiet_NaN();
  WindingSet w;
  w.append(Segment{1, 2, 3, 4, 5, 6, 7});
  try {
    windings_generate(w, f.magnet, potential);
    ADD_FAILURE() << "a NaN potential was contoured";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "the current potential is nan at row 1, column 2 of the coil mesh");
  }
  EXPECT_EQ(w.count(), 0u);

  // A bent magnet that cannot be bent: nothing half-done is left behind either.
  f.bend(15);
  f.magnet.length = 0.0;
  EXPECT_THROW(windings_generate(w, f.magnet, ring_potential()), std::invalid_argument);
  EXPECT_EQ(w.count(), 0u);
}

// Where the bend must put a point: on the arc about the line x = R, z = 0 for |z| <= L/2, the arc
// length along the layer equal to z; beyond an end, as far along the arc's tangent there as the point
// lies beyond the end.
struct Bent {
  double x, z;
};
Bent expected_bend(double x, double z, double L, double alpha) {
  const double R = L / alpha, h = L / 2;
  const double angle = (std::fabs(z) <= h ? z : std::copysign(h, z)) / R;
  Bent p{R - (R - x) * std::cos(angle), (R - x) * std::sin(angle)};
  if (std::fabs(z) > h) {
    const double w = std::fabs(z) - h;
    p.x += w * std::sin(alpha / 2);
    p.z += std::copysign(w * std::cos(alpha / 2), z);
  }
  return p;
}

TEST(WindingsBend, GivenPointsLandOnTheArcAndItsTangents) {
  Fixture f;
  f.magnet.length = 2.0;
  f.magnet.angle = 0.5;  // R = 4
  WindingSet w =
      segments({{0.3, 1, 0.5, 0.3, 1, 1.0, 42}, {0.3, 1, 1.5, 0.3, 2, -1.5, -42}, {-0.3, 1, 0, 0, 0, 0, 1}});
  windings_bend(w, f.magnet);
  ASSERT_EQ(w.count(), 3u);
  EXPECT_NEAR(w[0].x1, 0.328869, 5e-7);
  EXPECT_NEAR(w[0].z1, 0.461297, 5e-7);
  EXPECT_NEAR(w[0].x2, 0.415024, 5e-7);  // |z| = L/2 belongs to the arc
  EXPECT_NEAR(w[0].z2, 0.915395, 5e-7);
  EXPECT_NEAR(w[1].x1, 0.538726, 5e-7);
  EXPECT_NEAR(w[1].z1, 1.399851, 5e-7);
  EXPECT_NEAR(w[1].x2, 0.538726, 5e-7);
  EXPECT_NEAR(w[1].z2, -1.399851, 5e-7);
  EXPECT_NEAR(w[2].x1, -0.3, 1e-15);
  EXPECT_EQ(w[2].z1, 0.0);
  EXPECT_EQ(w[2].x2, 0.0);  // the centre of the magnet stays where it is
  EXPECT_EQ(w[2].z2, 0.0);
  // y and the currents are untouched, the order kept.
  EXPECT_EQ(w[0].y1, 1);
  EXPECT_EQ(w[1].y2, 2);
  EXPECT_EQ(w[0].current, 42);
  EXPECT_EQ(w[1].current, -42);
  EXPECT_EQ(w[2].current, 1);
}

TEST(WindingsBend, IsARigidArcAndTangentMapForEitherSign) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (const double alpha : {0.5, -0.5, 1.2, 1e-3}) {
    Fixture f;
    f.magnet.length = 1.6;
    f.magnet.angle = alpha;
    const double R = 1.6 / alpha, h = 0.8;
    WindingSet w, flipped;
    for (int i = 0; i < 2000; ++i) {
      const Segment s{0.05 * unit(rng), unit(rng),       1.5 * unit(rng), 0.05 * unit(rng),
                      unit(rng),        1.5 * unit(rng), 1.0 * i};
      w.append(s);
      flipped.append(Segment{-s.x1, s.y1, s.z1, -s.x2, s.y2, s.z2, s.current});
    }
    // Points on the seam between arc and tangent.
    w.append(Segment{0.02, 0, h, 0.02, 0, std::nextafter(h, 2.0), 0});
    w.append(Segment{-0.02, 0, -h, -0.02, 0, std::nextafter(-h, -2.0), 0});
    const WindingSet straight = [&] {
      WindingSet copy;
      for (const Segment& s : w) copy.append(s);
      return copy;
    }();
    windings_bend(w, f.magnet);
    f.magnet.angle = -alpha;
    windings_bend(flipped, f.magnet);

    for (std::uint32_t k = 0; k < straight.count(); ++k) {
      const Segment& s = straight[k];
      const Segment& b = w[k];
      EXPECT_EQ(b.y1, s.y1);
      EXPECT_EQ(b.y2, s.y2);
      EXPECT_EQ(b.current, s.current);
      const Bent e1 = expected_bend(s.x1, s.z1, 1.6, alpha), e2 = expected_bend(s.x2, s.z2, 1.6, alpha);
      const double tolerance = 1e-12 * std::max(1.0, std::fabs(R));
      EXPECT_NEAR(b.x1, e1.x, tolerance);
      EXPECT_NEAR(b.z1, e1.z, tolerance);
      EXPECT_NEAR(b.x2, e2.x, tolerance);
      EXPECT_NEAR(b.z2, e2.z, tolerance);
      // Segments wholly beyond one end move rigidly.
      if ((s.z1 > h && s.z2 > h) || (s.z1 < -h && s.z2 < -h)) {
        EXPECT_NEAR(std::hypot(b.x2 - b.x1, b.z2 - b.z1), std::hypot(s.x2 - s.x1, s.z2 - s.z1), 1e-12);
      }
      // Bending the other way is the mirror image in x.
      if (k < flipped.count()) {
        EXPECT_NEAR(flipped[k].x1, -b.x1, 1e-15 * std::max(1.0, std::fabs(R)));
        EXPECT_NEAR(flipped[k].z1, b.z1, 1e-15 * std::max(1.0, std::fabs(R)));
      }
    }
    // No step where the arc meets the tangent.
    const std::uint32_t seam = straight.count() - 2;
    EXPECT_NEAR(w[seam].x1, w[seam].x2, 1e-12);
    EXPECT_NEAR(w[seam].z1, w[seam].z2, 1e-12);
    EXPECT_NEAR(w[seam + 1].x1, w[seam + 1].x2, 1e-12);
    EXPECT_NEAR(w[seam + 1].z1, w[seam + 1].z2, 1e-12);
  }
}

TEST(WindingsBend, RejectsMagnetsWithoutARadius) {
  Fixture f;
  WindingSet w = segments({{0, 0, 0, 1, 1, 1, 1}});
  for (const auto& [length, angle] : {std::pair{0.0, 0.5}, std::pair{2.0, 0.0}, std::pair{std::nan(""), 0.5},
                                      std::pair{2.0, std::numeric_limits<double>::infinity()}}) {
    f.magnet.length = length;
    f.magnet.angle = angle;
    EXPECT_THROW(windings_bend(w, f.magnet), std::invalid_argument) << length << " " << angle;
  }
  EXPECT_EQ(w[0].x2, 1.0);
}

TEST(WindingsGenerate, BentMagnetIsTheStraightOneOnTheArc) {
  Fixture straight_fixture, bent_fixture;
  bent_fixture.bend(15);
  const Matrix potential = ring_potential();
  WindingSet straight, bent;
  windings_generate(straight, straight_fixture.magnet, potential);
  windings_generate(bent, bent_fixture.magnet, potential);
  ASSERT_EQ(bent.count(), straight.count());
  const double alpha = bent_fixture.magnet.angle;
  bool beyond_an_end = false;
  for (std::uint32_t k = 0; k < bent.count(); ++k) {
    const Segment& s = straight[k];
    const Segment& b = bent[k];
    EXPECT_EQ(b.y1, s.y1);
    EXPECT_EQ(b.y2, s.y2);
    EXPECT_EQ(b.current, s.current);
    const Bent e1 = expected_bend(s.x1, s.z1, 0.75, alpha), e2 = expected_bend(s.x2, s.z2, 0.75, alpha);
    EXPECT_NEAR(b.x1, e1.x, 1e-12);
    EXPECT_NEAR(b.z1, e1.z, 1e-12);
    EXPECT_NEAR(b.x2, e2.x, 1e-12);
    EXPECT_NEAR(b.z2, e2.z, 1e-12);
    beyond_an_end = beyond_an_end || std::fabs(s.z1) > 0.375;
  }
  EXPECT_TRUE(beyond_an_end);
}

}  // namespace
}  // namespace expcoil
