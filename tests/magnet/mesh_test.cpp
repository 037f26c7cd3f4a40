#include "magnet/mesh.hpp"

#include <gtest/gtest.h>

namespace expcoil {
namespace {

struct Fixture {
  ParameterSet set;
  MagnetSpec magnet;
  Fixture(double length, double g, double e, double j) {
    set.good_field_height = g;
    set.vertical_end_height = e;
    set.vertical_middle_join_height = j;
    magnet.params = &set;
    magnet.length = length;
  }
};

TEST(Mesh, TheLargerSpacingWinsAndTheMeshIsCentred) {
  Fixture f(2.0, 0.1, 0.05, 0.3);
  const MeshGeometry m = mesh_geometry(f.magnet, 65, 65);
  EXPECT_EQ(m.spacing, 0.05078125);  // 3.25 / 64 along z beats 0.6 / 64 along y
  EXPECT_EQ(m.origin[0], 0.0);
  EXPECT_DOUBLE_EQ(m.origin[1], -1.475);
  EXPECT_EQ(m.origin[2], -1.625);
}

TEST(Mesh, VerticalSpacingWinsForTallShortMagnets) {
  Fixture f(0.0, 1.0, 0.5, 2.0);  // height 5 m, length 1.25 m with the end margins
  const MeshGeometry m = mesh_geometry(f.magnet, 11, 6);
  EXPECT_EQ(m.spacing, 0.5);
  EXPECT_EQ(m.origin[1], -1.5);   // covers -1.5 .. 3.5 edge to edge
  EXPECT_EQ(m.origin[2], -1.25);  // 2.5 m of mesh centred on z = 0
}

TEST(Mesh, DegenerateHeightsKeepTheLongitudinalSpan) {
  Fixture f(0.0, 0.0, 0.0, 0.0);
  const MeshGeometry m = mesh_geometry(f.magnet, 5, 5);
  EXPECT_EQ(m.spacing, 1.25 / 4);
  EXPECT_EQ(m.origin[2], -0.625);
  EXPECT_EQ(m.origin[1], -0.625);
}

}  // namespace
}  // namespace expcoil
