#include "magnet/field_map.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lib/workers.hpp"
#include "magnet/field.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

struct MapFixture {
  ParameterSet set;
  MagnetSpec magnet;
  explicit MapFixture(double angle) {
    set.good_field_height = 0.05;
    set.fieldmap_cell[0] = 0.1;
    set.fieldmap_cell[1] = 0.05;
    set.fieldmap_cell[2] = 0.5;
    set.fieldmap_extension[0] = 0.05;
    set.fieldmap_extension[1] = 0.02;
    set.fieldmap_extension[2] = 0.5;
    magnet.name = "M";
    magnet.params = &set;
    magnet.length = 2.0;
    magnet.angle = angle;
    magnet.winding_centre_to_midplane = 0.1;
  }
};

// A rectangular winding in the plane x = 0.05, and a conductor along z on the grid line x = x_min,
// y = y_min, so that grid points lie on its line (inside it, at its ends, beyond).
WindingSet test_windings() {
  const FieldMapGrid grid = field_map_grid(MapFixture(0.0).magnet);
  WindingSet w;
  w.append({grid.min[0], grid.min[1], -1.0, grid.min[0], grid.min[1], 0.5, -15.0});
  w.append({0.05, -0.04, -0.8, 0.05, 0.01, -0.8, 40.0});
  w.append({0.05, 0.01, -0.8, 0.05, 0.01, 0.8, 40.0});
  w.append({0.05, 0.01, 0.8, 0.05, -0.04, 0.8, 40.0});
  w.append({0.05, -0.04, 0.8, 0.05, -0.04, -0.8, 40.0});
  return w;
}

std::vector<std::string> split_lines(const std::string& text, const std::string& end) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(end, from)) != std::string::npos; from = at + end.size()) {
    lines.push_back(text.substr(from, at - from));
  }
  EXPECT_EQ(from, text.size()) << "text does not end with a line end";
  return lines;
}

std::vector<double> parse_row(const std::string& row) {
  std::vector<double> v;
  std::stringstream in(row);
  for (std::string cell; std::getline(in, cell, ',');) v.push_back(std::stod(cell));
  return v;
}

TEST(FieldMap, StraightMagnetMessagesAndFile) {
  const MapFixture f(0.0);
  const WindingSet windings = test_windings();
  const FieldMapGrid grid = field_map_grid(f.magnet);
  test::TempDir dir;
  const std::string path = (dir / "fieldmap_M.csv").string();
  // In a child whose standard error is a file: the progress bar stays silent.
  const test::RunResult r = test::run_in_child([&] {
    std::string error;
    if (!field_map_generate(windings, f.magnet, path, error)) ::_exit(3);
  });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Fieldmap from (-0.15,-0.07,-1.5)m to (0.15,0.02,1.5)m\n"
            "Fieldmap cell size (0.1,0.05,0.5)m\n"
            "4x2x7 = 56 cells\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"fieldmap_M.csv"});

  const std::string text = test::read_file(path);
  EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1) << "lines end in CR LF";
  const std::vector<std::string> lines = split_lines(text, "\r\n");
  ASSERT_EQ(lines.size(), 57u);
  EXPECT_EQ(lines[0], "x (m),y,z, Bx (T),By,Bz");
  const char* first_z[] = {"-1.5", "-1", "-0.5", "0", "0.5", "1", "1.5"};
  for (int k = 0; k < 7; ++k)
    EXPECT_EQ(lines[1 + k].substr(0, lines[1 + k].find(", ")), std::string("-0.15,-0.07,") + first_z[k]);
  for (std::size_t n = 1; n < lines.size(); ++n) {
    ASSERT_NE(lines[n].find(", "), std::string::npos);
    EXPECT_EQ(lines[n].find("nan"), std::string::npos) << lines[n];
    const std::vector<double> v = parse_row(lines[n]);
    ASSERT_EQ(v.size(), 6u);
    EXPECT_TRUE(v[1] == -0.07 || v[1] == -0.02) << lines[n];
    // 15 significant digits of the reference field at the row's grid point (the text of the coordinates
    // is rounded, so the point is taken from the grid).
    const std::size_t p = n - 1;
    const std::array<double, 3> b =
        windings_field(windings, double(p / 14) * 0.1 + grid.min[0], double(p / 7 % 2) * 0.05 + grid.min[1],
                       double(p % 7) * 0.5 + grid.min[2]);
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(v[3 + a], b[a], 1e-14 * (std::abs(b[a]) + 1e-30)) << lines[n];
  }
}

TEST(FieldMap, BentMagnetExtentAndLargeCounts) {
  const double thirty_degrees = 0.5235987755982988;
  EXPECT_EQ(field_map_extent_text(field_map_grid(MapFixture(thirty_degrees).magnet)),
            "Fieldmap from (-0.15,-0.07,-1.5)m to (0.409563,0.02,1.5)m\n"
            "Fieldmap cell size (0.1,0.05,0.5)m\n");
  EXPECT_EQ(field_map_count_text(field_map_grid(MapFixture(thirty_degrees).magnet)), "6x2x7 = 84 cells\n");
  EXPECT_EQ(field_map_extent_text(field_map_grid(MapFixture(-thirty_degrees).magnet)),
            "Fieldmap from (-0.409563,-0.07,-1.5)m to (0.15,0.02,1.5)m\n"
            "Fieldmap cell size (0.1,0.05,0.5)m\n");
  // Beyond 2^31 points the product is still counted right.
  FieldMapGrid big;
  big.count[0] = 2000;
  big.count[1] = 1500;
  big.count[2] = 1001;
  EXPECT_EQ(field_map_count_text(big), "2000x1500x1001 = 3003000000 cells\n");
}

// Runs field_map_generate in a child; its standard output ends with "<result>|<error>".
std::string generate_in_child(const WindingSet& windings, const MagnetSpec& magnet, const std::string& path) {
  return test::run_in_child([&] {
           std::string error;
           const bool ok = field_map_generate(windings, magnet, path, error);
           std::printf("%d|%s", ok ? 1 : 0, error.c_str());
         })
      .out;
}

TEST(FieldMap, BadGridOrPathIsReportedAndLeavesNoFile) {
  test::TempDir dir;
  const WindingSet windings = test_windings();
  MapFixture f(0.0);
  f.set.fieldmap_cell[1] = 0.0;
  const std::string out = generate_in_child(windings, f.magnet, (dir / "a.csv").string());
  EXPECT_NE(out.find("m\n0|fieldmap of magnet M: "), std::string::npos) << out;
  EXPECT_EQ(out.find("cells"), std::string::npos) << out;

  // Counts that each fit 32 bits but whose product does not fit 64 bits.
  for (double& cell : f.set.fieldmap_cell) cell = 1e-9;
  f.set.fieldmap_cell[2] = 1e-8;
  const std::string huge = generate_in_child(windings, f.magnet, (dir / "a.csv").string());
  EXPECT_NE(huge.find("m\n0|fieldmap of magnet M: too many grid points"), std::string::npos) << huge;

  f.set.fieldmap_cell[0] = 0.1;
  f.set.fieldmap_cell[1] = 0.05;
  f.set.fieldmap_cell[2] = 0.5;
  const std::string missing = (dir / "no-such-dir" / "b.csv").string();
  const std::string out2 = generate_in_child(windings, f.magnet, missing);
  EXPECT_NE(out2.find("4x2x7 = 56 cells\n0|cannot write " + missing), std::string::npos) << out2;
  EXPECT_TRUE(test::list_dir(dir.path()).empty());
}

class FieldMapWorkers : public ::testing::TestWithParam<unsigned> {
 protected:
  void TearDown() override { set_processor_count(0); }
};

TEST_P(FieldMapWorkers, EveryPointEqualsTheReferenceBitForBit) {
  set_processor_count(GetParam());
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-0.4, 0.4);
  WindingSet windings;
  for (int n = 0; n < 60; ++n) windings.append({u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), 30 * u(rng)});
  // Grid points on the lines of these two.
  windings.append({0.0, 0.0, -0.4, 0.0, 0.0, 0.2, 11.0});
  windings.append({-0.3, -0.1, -0.2, 0.3, -0.1, -0.2, -6.0});

  // 5 x 4 x 9 = 180 points: chunks and vectors end in the middle of the ranges; and a map with fewer
  // points than workers.
  for (const std::array<std::int32_t, 3> counts : {std::array<std::int32_t, 3>{5, 4, 9}, {1, 1, 3}}) {
    FieldMapGrid grid;
    grid.min[0] = -0.3;
    grid.min[1] = -0.2;
    grid.min[2] = -0.4;
    grid.cell[0] = 0.15;
    grid.cell[1] = 0.1;
    grid.cell[2] = 0.1;
    for (int a = 0; a < 3; ++a) grid.count[a] = counts[a];
    const std::int64_t total = grid.points();
    std::vector<double> out(static_cast<std::size_t>(3 * total), -1.0);
    field_map_compute(windings, grid, out.data());
    std::int64_t p = 0;
    for (int i = 0; i < counts[0]; ++i) {
      for (int j = 0; j < counts[1]; ++j) {
        for (int k = 0; k < counts[2]; ++k, ++p) {
          const std::array<double, 3> b =
              windings_field(windings, i * grid.cell[0] + grid.min[0], j * grid.cell[1] + grid.min[1],
                             k * grid.cell[2] + grid.min[2]);
          for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(out[3 * p + a]), std::bit_cast<std::uint64_t>(b[a]))
                << i << ' ' << j << ' ' << k << " axis " << a;
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, FieldMapWorkers, ::testing::Values(1u, 2u, 3u, 7u));

}  // namespace
}  // namespace expcoil
