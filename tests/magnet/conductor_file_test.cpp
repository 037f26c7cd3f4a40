#include "magnet/conductor_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lib/number_format.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

using test::list_dir;
using test::read_file;
using test::TempDir;

std::string written(const WindingSet& w) {
  TempDir dir;
  const std::string path = dir / "windings_Q1.cond";
  std::string error;
  EXPECT_TRUE(conductor_file_write(w, path, error)) << error;
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"windings_Q1.cond"});
  return read_file(path);
}

// The nine lines of the block of a single segment, without their CR LF.
std::vector<std::string> block_lines(const Segment& s) {
  WindingSet w;
  w.append(s);
  const std::string file = written(w);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t end = file.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a line without CR LF at the end of the file";
      break;
    }
    lines.push_back(file.substr(at, end - at));
    at = end + 2;
  }
  EXPECT_EQ(lines.size(), 11u);
  if (lines.size() != 11u) return {};
  EXPECT_EQ(lines.front(), "CONDUCTOR");
  EXPECT_EQ(lines.back(), "QUIT");
  return std::vector<std::string>(lines.begin() + 1, lines.end() - 1);
}

TEST(ConductorFile, EmptySetGivesConductorAndQuit) {
  EXPECT_EQ(written(WindingSet()), "CONDUCTOR\r\nQUIT\r\n");
}

TEST(ConductorFile, WholeBlockOfOneSegment) {
  WindingSet w;
  w.append(Segment{0, 0, 0, 0.5, 0.5, 0, 1234.56789012});
  w.append(Segment{0.1, 0.2, 0.3, 0.1, 0.2, 0.3, -7.5});
  EXPECT_EQ(written(w),
            "CONDUCTOR\r\n"
            "DEFINE GSTRAIGHT\r\n"
            "0.000000 0.000000 0.000000 45.000000 90.000000 0.000000\r\n"
            "0.0 0.0 0.0\r\n"
            "0.0 0.0 0.0\r\n"
            "1.000000 1.000000\r\n"
            "707.106781\r\n"
            "1234.56789 1 'Default_Drive'\r\n"
            "0 0 0\r\n"
            "0.0\r\n"
            // A zero-length segment is written too, with the frame of the y and z axes.
            "DEFINE GSTRAIGHT\r\n"
            "100.000000 200.000000 300.000000 90.000000 90.000000 90.000000\r\n"
            "0.0 0.0 0.0\r\n"
            "0.0 0.0 0.0\r\n"
            "1.000000 1.000000\r\n"
            "0.000000\r\n"
            "-7.5 1 'Default_Drive'\r\n"
            "0 0 0\r\n"
            "0.0\r\n"
            "QUIT\r\n");
}

TEST(ConductorFile, AnglesOfTheAxesAndTwoObliqueDirections) {
  struct Case {
    double dx, dy, dz;
    const char* line;
  };
  const Case cases[] = {
      {1, 0, 0, "0.000000 0.000000 0.000000 0.000000 90.000000 180.000000"},
      {-1, 0, 0, "0.000000 0.000000 0.000000 180.000000 90.000000 0.000000"},
      {0, 1, 0, "0.000000 0.000000 0.000000 90.000000 90.000000 0.000000"},
      {0, -1, 0, "0.000000 0.000000 0.000000 -90.000000 90.000000 180.000000"},
      {0, 0, 1, "0.000000 0.000000 0.000000 90.000000 0.000000 0.000000"},
      {0, 0, -1, "0.000000 0.000000 0.000000 90.000000 180.000000 90.000000"},
      {0, 0.6, 0.8, "0.000000 0.000000 0.000000 90.000000 36.869898 0.000000"},
      {0.8, 0, 0.6, "0.000000 0.000000 0.000000 0.000000 53.130102 180.000000"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> lines = block_lines(Segment{0, 0, 0, c.dx, c.dy, c.dz, 5});
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "DEFINE GSTRAIGHT");
    EXPECT_EQ(lines[1], c.line) << c.dx << " " << c.dy << " " << c.dz;
    EXPECT_EQ(lines[4], "1.000000 1.000000");
    EXPECT_EQ(lines[5], "1000.000000");
    EXPECT_EQ(lines[6], "5 1 'Default_Drive'");
  }
}

TEST(ConductorFile, NumberForms) {
  std::vector<std::string> lines = block_lines(Segment{-0.0, 1e-10, -2.5e-7, 1, 0, 0, 1e-7});
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[1].substr(0, 28), "-0.000000 0.000000 -0.000250");
  EXPECT_EQ(lines[6], "1e-007 1 'Default_Drive'");
  lines = block_lines(Segment{12.3456789, 0, 0, 12.3456789, 0, -3, 2.5e20});
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[1].substr(0, 12), "12345.678900");
  EXPECT_EQ(lines[5], "3000.000000");
  EXPECT_EQ(lines[6], "2.5e+020 1 'Default_Drive'");
}

// The rotation Rz(phi) Ry(theta) Rz(psi) built from the written angles must carry the z axis onto the
// segment's direction and, off the z axis, the x and y axes onto the frame's u and v.
TEST(ConductorFile, AnglesRebuildTheSegmentFrame) {
  using M3 = std::array<std::array<double, 3>, 3>;
  const auto product = [](const M3& a, const M3& b) {
    M3 c{};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) {
        for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
      }
    }
    return c;
  };
  const auto rz = [](double a) {
    return M3{{{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}}};
  };
  const auto ry = [](double a) {
    return M3{{{std::cos(a), 0, std::sin(a)}, {0, 1, 0}, {-std::sin(a), 0, std::cos(a)}}};
  };

  std::mt19937_64 rng(5);
  std::normal_distribution<double> gauss;
  int checked = 0;
  for (int i = 0; i < 20000; ++i) {
    const Vector3 d{gauss(rng) * 3, gauss(rng), gauss(rng) * (i % 3 == 0 ? 1e-3 : 1)};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const Vector3 n{d[0] / length, d[1] / length, d[2] / length};
    if (std::fabs(n[2]) > 0.999) continue;  // only the third column is determined near the axis
    const Vector3 angles = conductor_angles(d);
    const double to_radians = 3.141592653589793 / 180;
    const M3 r =
        product(product(rz(angles[0] * to_radians), ry(angles[1] * to_radians)), rz(angles[2] * to_radians));
    const Frame frame = orthonormal_frame(n);
    // An arc cosine near +-1 turns the last bit of its argument into ~1e-8 of angle.
    for (int row = 0; row < 3; ++row) {
      ASSERT_NEAR(r[row][2], n[row], 1e-7) << i;
      ASSERT_NEAR(r[row][0], frame.u[row], 1e-7) << i;
      ASSERT_NEAR(r[row][1], frame.v[row], 1e-7) << i;
    }
    // A right-handed orthonormal frame: u x v = n, u . n = 0.
    const Vector3& u = frame.u;
    const Vector3& v = frame.v;
    ASSERT_NEAR(u[1] * v[2] - u[2] * v[1], n[0], 1e-15);
    ASSERT_NEAR(u[2] * v[0] - u[0] * v[2], n[1], 1e-15);
    ASSERT_NEAR(u[0] * v[1] - u[1] * v[0], n[2], 1e-15);
    ASSERT_NEAR(u[0] * n[0] + u[1] * n[1] + u[2] * n[2], 0.0, 1e-15);
    ++checked;
  }
  EXPECT_GT(checked, 15000);
}

TEST(ConductorFile, UnwritablePathIsReportedWithItsReason) {
  TempDir dir;
  const std::string path = dir / "windings_Q1.cond";
  std::filesystem::create_directory(path);
  WindingSet w;
  w.append(Segment{1, 2, 3, 4, 5, 6, 7});
  std::string error;
  EXPECT_FALSE(conductor_file_write(w, path, error));
  EXPECT_EQ(error, "cannot write " + path + ": Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"windings_Q1.cond"});
}

}  // namespace
}  // namespace expcoil
