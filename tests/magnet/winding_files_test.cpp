// The windings table file and the conductor file.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "magnet/conductor_file.hpp"
#include "magnet/windings_table.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

using test::list_dir;
using test::read_file;

using Writer = bool (*)(const WindingSet&, const std::string&, std::string&);

// The file `write` makes of `w`; the directory must hold nothing else afterwards (no temporary).
std::string written(Writer write, const WindingSet& w) {
  test::TempDir dir;
  const std::string path = dir / "windings_Q1";
  test::write_file(path, "an older and longer file of an earlier run\r\n");
  std::string error;
  EXPECT_TRUE(write(w, path, error)) << error;
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"windings_Q1"});
  return read_file(path);
}

WindingSet set_of(std::initializer_list<Segment> segments) {
  WindingSet w;
  for (const Segment& s : segments) w.append(s);
  return w;
}

TEST(WindingsTable, HeaderThenOneLinePerSegmentInSetOrder) {
  const std::string header = "x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n";
  EXPECT_EQ(written(windings_table_write, WindingSet()), header);
  EXPECT_EQ(written(windings_table_write, set_of({{0, 0.05, -1.2, 0.001, 0.05, -1.2, 250},
                                                  {1.25e-05, 0.0001, -0.0, 1.0 / 3, 2.5e20, -1e-300, -100},
                                                  {0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 1e15}})),
            header +
                "0,0.05,-1.2, 0.001,0.05,-1.2, 250\r\n"
                "1.25e-005,0.0001,-0, 0.333333333333333,2.5e+020,-1e-300, -100\r\n"
                "0.3,0.3,0.3, 0.3,0.3,0.3, 1e+015\r\n");
}

TEST(ConductorFile, BlocksOfTheGivenSegments) {
  EXPECT_EQ(written(conductor_file_write, WindingSet()), "CONDUCTOR\r\nQUIT\r\n");
  const std::string rest = "0.0 0.0 0.0\r\n0.0 0.0 0.0\r\n1.000000 1.000000\r\n";
  EXPECT_EQ(written(conductor_file_write, set_of({{0, 0, 0, 0.5, 0.5, 0, 1234.56789012},
                                                  {0.1, 0.2, 0.3, 0.1, 0.2, 0.3, -7.5},  // zero length
                                                  {-0.0, 1e-10, -2.5e-7, 1, 1e-10, -2.5e-7, 1e-7}})),
            "CONDUCTOR\r\nDEFINE GSTRAIGHT\r\n0.000000 0.000000 0.000000 45.000000 90.000000 0.000000\r\n" +
                rest +
                "707.106781\r\n1234.56789 1 'Default_Drive'\r\n0 0 0\r\n0.0\r\n"
                "DEFINE GSTRAIGHT\r\n100.000000 200.000000 300.000000 90.000000 90.000000 90.000000\r\n" +
                rest +
                "0.000000\r\n-7.5 1 'Default_Drive'\r\n0 0 0\r\n0.0\r\n"
                "DEFINE GSTRAIGHT\r\n-0.000000 0.000000 -0.000250 0.000000 90.000000 180.000000\r\n" +
                rest + "1000.000000\r\n1e-007 1 'Default_Drive'\r\n0 0 0\r\n0.0\r\nQUIT\r\n");
}

TEST(ConductorFile, AnglesOfTheAxesAndTwoObliqueDirections) {
  const std::pair<Vector3, const char*> cases[] = {
      {{1, 0, 0}, "0.000000 90.000000 180.000000"},    {{-1, 0, 0}, "180.000000 90.000000 0.000000"},
      {{0, 1, 0}, "90.000000 90.000000 0.000000"},     {{0, -1, 0}, "-90.000000 90.000000 180.000000"},
      {{0, 0, 1}, "90.000000 0.000000 0.000000"},      {{0, 0, -1}, "90.000000 180.000000 90.000000"},
      {{0, 0.6, 0.8}, "90.000000 36.869898 0.000000"}, {{0.8, 0, 0.6}, "0.000000 53.130102 180.000000"},
  };
  for (const auto& [d, angles] : cases) {
    const std::string file = written(conductor_file_write, set_of({{0, 0, 0, d[0], d[1], d[2], 5}}));
    EXPECT_EQ(file, "CONDUCTOR\r\nDEFINE GSTRAIGHT\r\n0.000000 0.000000 0.000000 " + std::string(angles) +
                        "\r\n0.0 0.0 0.0\r\n0.0 0.0 0.0\r\n1.000000 1.000000\r\n1000.000000\r\n"
                        "5 1 'Default_Drive'\r\n0 0 0\r\n0.0\r\nQUIT\r\n");
  }
}

// Rz(phi) Ry(theta) Rz(psi) built from the angles must carry z onto the segment's direction n and, off
// the z axis, x and y onto the frame's u and v, which are a right-handed orthonormal frame.
TEST(ConductorFile, AnglesRebuildTheSegmentFrame) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> gauss;
  int checked = 0;
  for (int i = 0; i < 20000; ++i) {
    const Vector3 d{gauss(rng) * 3, gauss(rng), gauss(rng) * (i % 3 == 0 ? 1e-3 : 1)};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const Vector3 n{d[0] / length, d[1] / length, d[2] / length};
    if (std::fabs(n[2]) > 0.999) continue;  // near the axis only the third column is determined
    const Vector3 a = conductor_angles(d);
    const double f = std::acos(-1.0) / 180, cf = std::cos(a[0] * f), sf = std::sin(a[0] * f);
    const double ct = std::cos(a[1] * f), st = std::sin(a[1] * f), cp = std::cos(a[2] * f),
                 sp = std::sin(a[2] * f);
    const Vector3 column[3] = {{cf * ct * cp - sf * sp, sf * ct * cp + cf * sp, -st * cp},
                               {-cf * ct * sp - sf * cp, -sf * ct * sp + cf * cp, st * sp},
                               {cf * st, sf * st, ct}};
    const auto [u, v] = orthonormal_frame(n);
    for (int r = 0; r < 3; ++r) {
      // An arc cosine near +-1 turns the last bit of its argument into ~1e-8 of angle.
      ASSERT_NEAR(column[0][r], u[r], 1e-7) << i;
      ASSERT_NEAR(column[1][r], v[r], 1e-7) << i;
      ASSERT_NEAR(column[2][r], n[r], 1e-7) << i;
      ASSERT_NEAR(u[(r + 1) % 3] * v[(r + 2) % 3] - u[(r + 2) % 3] * v[(r + 1) % 3], n[r], 1e-15) << i;
    }
    ASSERT_NEAR(u[0] * n[0] + u[1] * n[1] + u[2] * n[2], 0.0, 1e-15);
    ++checked;
  }
  EXPECT_GT(checked, 15000);
}

TEST(WindingFiles, UnwritablePathIsReportedWithItsReason) {
  test::TempDir dir;
  const std::string path = dir / "windings_Q1.csv";
  std::filesystem::create_directory(path);
  const std::string missing = dir / "no such directory" / "windings_Q1.cond";
  const WindingSet w = set_of({{1, 2, 3, 4, 5, 6, 7}});
  for (const Writer write : {windings_table_write, conductor_file_write}) {
    std::string error;
    EXPECT_FALSE(write(w, path, error));
    EXPECT_EQ(error, "cannot write " + path + ": Is a directory");
    EXPECT_FALSE(write(w, missing, error));
    EXPECT_EQ(error, "cannot write " + missing + ": No such file or directory");
  }
  // The directory in the way is untouched and no temporary is left beside it.
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"windings_Q1.csv"});
}

}  // namespace
}  // namespace expcoil
