// Contouring of a current potential, the assembly of a magnet's windings and the two winding files.
#include "magnet/windings.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>
#include <vector>

#include "io/program/conductor_file.hpp"
#include "io/program/windings_table.hpp"
#include "lib/constants.hpp"
#include "lib/errors.hpp"
#include "magnet/contour.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

constexpr double kWide = 1e20;

using Values = std::array<double, 7>;
Values values(const Segment& s) { return std::bit_cast<Values>(s); }

using test::winding_set;

// Whether (y, z) is off level k of the potential, (k - 1/2) * step for an integer k, by more than 1e-9 k. The
// potential is linear on the triangles of each cell cut from node (i, j) to (i + 1, j + 1); node (i, j) lies
// at y = y0 + i * h, z = z0 + j * h.
bool off_level(const Matrix& m, double y0, double z0, double h, double step, double y, double z) {
  const double fi = (y - y0) / h, fj = (z - z0) / h;
  const auto i = std::uint32_t(std::clamp(std::floor(fi), 0.0, m.rows() - 2.0)),
             j = std::uint32_t(std::clamp(std::floor(fj), 0.0, m.columns() - 2.0));
  const double ty = fi - i, tz = fj - j;
  const double psi = ty >= tz ? m[i][j] + ty * (m[i + 1][j] - m[i][j]) + tz * (m[i + 1][j + 1] - m[i + 1][j])
                              : m[i][j] + tz * (m[i][j + 1] - m[i][j]) + ty * (m[i + 1][j + 1] - m[i][j + 1]);
  const double k = psi / step + 0.5;
  return std::fabs(k - std::round(k)) > 1e-9 * std::max(1.0, std::fabs(k));
}

// Whether the current enters and leaves every end point exactly once (points compared exactly).
bool closed(const WindingSet& w) {
  std::map<std::array<double, 3>, int> passages;  // 1 for each departure, 10 for each arrival
  for (const Segment& s : w) {
    passages[{s.x1, s.y1, s.z1}] += s.current > 0 ? 1 : 10;
    passages[{s.x2, s.y2, s.z2}] += s.current > 0 ? 10 : 1;
  }
  return !passages.empty() && std::ranges::all_of(passages, [](const auto& p) { return p.second == 11; });
}

// A peak of 4 * scale in the middle of a 5 x 5 mesh (two of them in a 5 x 6 one) with a zero border.
Matrix ring_matrix(double scale = 1.0, int columns = 5) {
  Matrix m(5, columns);
  for (int i = 0; i < 5 * columns; ++i)
    m.data()[i] = (2 - std::abs(i / columns - 2)) * std::min(i % columns, columns - 1 - i % columns) * scale;
  return m;
}

// Worked by hand on the triangle A = (0, 0, 0), B = (0, 1, 0), C = (0, 1, 1).
TEST(ContourTriangle, HandWorkedCases) {
  const Values level2{0, 1, 0.5, 0, 0.75, 0.75, 1}, level3{0, 0.5, 0, 0, 0.25, 0.25, 1};
  const auto negated = [](Values s) { return s[6] = -s[6], s; };
  // a, b, c, step, lower, upper; the segments.
  const std::pair<std::array<double, 6>, std::vector<Values>> cases[] = {
      {{3, 2, 1, 1, -kWide, kWide}, {level2, level3}},  // lower level first
      {{1, 2, 3, 1, -kWide, kWide}, {negated(level3), negated(level2)}},
      {{3, 2, 1, -1, -kWide, kWide}, {negated(level3), negated(level2)}},  // levels from the top
      {{1, 1, 1, 1, -kWide, kWide}, {}},
      {{2, 2, 1, 1, -kWide, kWide}, {{0, 1, 0.5, 0, 0.5, 0.5, 1}}},  // tie: A ranks above B
      {{1.5, 0.5, 0.5, 1, -kWide, kWide}, {{0, 0, 0, 0, 0, 0, 1}}},  // only the top on the level
      {{0.5, 1.5, 1.5, 1, -kWide, kWide}, {{0, 1, 1, 0, 1, 0, 1}}},  // along the edge B-C
      {{1.2, 1.0, 0.5, 1, -kWide, kWide}, {}},                       // level at the lowest value
      {{3, 2, 1, 1, 1.5, kWide}, {level3}},                          // a lower bound on a level excludes it
      {{3, 2, 1, 1, -kWide, 1.5}, {level2}},                         // an upper bound includes it
      {{3, 2, 1, -1, 1.6, kWide}, {negated(level3)}},
  };
  for (const auto& [in, expected] : cases) {
    WindingSet w = winding_set({{9, 9, 9, 9, 9, 9, 9}});  // appended to, not replaced
    contour_triangle(w, in[0], in[1], in[2], in[3], {0, 0, 0}, {0, 1, 0}, {0, 1, 1}, in[4], in[5], 1.0);
    std::vector<Values> got;
    for (std::uint32_t k = 1; k < w.count(); ++k) got.push_back(values(w[k]));
    EXPECT_TRUE(w.count() > 0 && w[0].x1 == 9 && got == expected) << ::testing::PrintToString(in);
  }
}

// A ring matrix, then smooth random potentials (sine modes, 0 on the border up to rounding): every line
// closed, every end point on its level.
TEST(ContourMesh, ClosedWindingsOnTheirLevelsAndUnusableInput) {
  WindingSet w;
  contour_mesh(w, ring_matrix(), 1.0, 0.25, -1.0, 2.0, 0.5, -kWide, kWide, -2.0);  // the peak at y = 0, z = 3
  ASSERT_TRUE(w.count() == 52 && closed(w));
  // Clockwise about the peak: the factor -2 reverses the counterclockwise rings of a positive step.
  for (const Segment& s : w)
    EXPECT_TRUE(s.x1 == 0.25 && s.x2 == 0.25 && std::fabs(s.current) == 2.0 &&
                (s.y1 * (s.z2 - s.z1) - (s.z1 - 3) * (s.y2 - s.y1)) * s.current < 0);
  // Rejected before anything is appended: a zero step, one whose reciprocal overflows, a NaN, more than
  // 2^52 windings.
  for (const auto& [value, step] : {std::pair{1.0, 0.0}, {1.0, 1e-310}, {std::nan(""), 1.0}, {1e16, 1.0}}) {
    Matrix bad = ring_matrix();
    bad[3][1] = value;
    EXPECT_THROW(contour_mesh(w, bad, step, 0, 0, 0, 1, -kWide, kWide, 1.0), InputError) << value;
    EXPECT_EQ(w.count(), 52u);
  }
  // The level coordinate value / step + 0.5 may come up to 2^52 - 0.5 (the levels are still counted
  // exactly) but not reach 2^52. Six triangles meet at the peak, one piece each per level.
  for (const auto& [peak, levels] : {std::pair{0x1p52 - 1.0, 2u}, {0x1p52 - 0.5, 0u}}) {
    Matrix near_limit = ring_matrix(0.0);
    std::fill_n(near_limit.data(), near_limit.size(), 0x1p52 - 3.5);
    near_limit[2][2] = peak;
    WindingSet rings;
    if (levels == 0) {
      EXPECT_THROW(contour_mesh(rings, near_limit, 1.0, 0, 0, 0, 1, -kWide, kWide, 1.0), InputError);
    } else {
      contour_mesh(rings, near_limit, 1.0, 0, 0, 0, 1, -kWide, kWide, 1.0);
      EXPECT_TRUE(closed(rings) && rings.count() == 6 * levels) << rings.count();
    }
  }
  std::mt19937_64 rng(4242);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    const auto rows = std::uint32_t(8 + u(rng) * 40), columns = std::uint32_t(8 + u(rng) * 40);
    const double y0 = u(rng) - 0.5, z0 = u(rng) - 1, h = 0.01 + 0.1 * u(rng);
    const double step = (trial % 4 == 3 ? -1 : 1) * (0.05 + u(rng) * 3);
    std::array<double, 3> modes[3];  // amplitude, half-waves along y and z
    for (auto& mode : modes) mode = {40 * u(rng) - 20, std::ceil(4 * u(rng)), std::ceil(4 * u(rng))};
    Matrix m(rows, columns);
    for (std::uint32_t n = 0; n < m.size(); ++n) {
      const double y = n / columns * M_PI / (rows - 1), z = n % columns * M_PI / (columns - 1);
      m.data()[n] = 0;
      for (const auto& [a, p, q] : modes) m.data()[n] += a * std::sin(p * y) * std::sin(q * z);
    }
    w = WindingSet();
    contour_mesh(w, m, step, 0.0, y0, z0, h, -kWide, kWide, 1.0);
    int wrong = 0;
    for (const Segment& s : w)
      wrong += off_level(m, y0, z0, h, step, s.y1, s.z1) + off_level(m, y0, z0, h, step, s.y2, s.z2);
    EXPECT_TRUE(closed(w) && wrong == 0) << "trial " << trial << ", end points off their level: " << wrong;
    EXPECT_EQ(contour_piece_count(m, step), w.count()) << "trial " << trial;  // counted without making them
  }
}

// A magnet whose 5 x 6 coil mesh has the spacing 0.5 m and node (0, 0) at y = -1, z = -1.25: the heights
// y = -1 .. 1 over 4 cells need more than the length 0.75 m and the 0.625 m margins, 2 m, over 5 cells, and
// the mesh is centred in z. 2 A/mm^2 on 0.5 cm^2: 100 A a winding.
TEST(Windings, MirrorLayersAndBend) {
  ParameterSet set;
  set.good_field_height = set.vertical_end_height = 0.5;
  MagnetSpec magnet;
  magnet.params = set, magnet.length = 0.75, magnet.winding_centre_to_midplane = 0.02;
  magnet.current_density = 2e6, magnet.area_per_winding = 5e-5;
  WindingSet plain, w;
  contour_mesh(plain, ring_matrix(100, 6), 100.0, 0.0, -1.0, -1.25, 0.5, -kWide, kWide, 1.0);
  w = windings_generate(magnet, ring_matrix(100, 6));
  ASSERT_TRUE(plain.count() > 0 && w.count() == 2 * plain.count());
  for (std::uint32_t k = 0; k < plain.count(); ++k) {
    const Segment& s = plain[k];
    EXPECT_EQ(values(w[k]), (Values{0.02, s.y1, s.z1, 0.02, s.y2, s.z2, s.current})) << k;
    EXPECT_EQ(values(w[plain.count() + k]), (Values{-0.02, s.y1, s.z1, -0.02, s.y2, s.z2, -s.current})) << k;
  }
  // A bent magnet's windings are the straight ones, bent.
  magnet.angle = 0.5, magnet.bent = true;
  const WindingSet bent = windings_generate(magnet, ring_matrix(100, 6));
  ASSERT_EQ(bent.count(), w.count());
  windings_bend(w, magnet);
  for (std::uint32_t k = 0; k < w.count(); ++k) EXPECT_EQ(values(bent[k]), values(w[k])) << k;
}

// The exact bend of (x, z), in long double and in forms without cancellation: x cos(phi) + 2 R sin^2(phi / 2)
// on the arc, the same with theta on the tangents.
std::array<long double, 2> exact_bend(long double L, long double alpha, long double x, long double z) {
  const long double R = L / alpha, h = L / 2, theta = alpha / 2;
  if (fabsl(z) <= h) {
    const long double phi = z / R, s = sinl(phi / 2);
    return {x * cosl(phi) + 2 * R * s * s, (R - x) * sinl(phi)};
  }
  const long double w = fabsl(z) - h, s = sinl(theta / 2);
  const long double zb = w * cosl(theta) - x * sinl(theta) + R * sinl(theta);
  return {w * sinl(theta) + x * cosl(theta) + 2 * R * s * s, z > 0 ? zb : -zb};
}

// Every angle, down to those whose radius is far beyond the coil (1e-12 degree once moved the layers from
// 0.02 to 0.0234 m, 1e-300 collapsed them onto x = 0) or beyond double range, bends to within 1e-12 of the
// point's size of the exact arc; y and the current stay. Where the literal forms are that accurate, as for
// the example's 15 degrees, their bits are kept: the files of ordinary bends do not change.
TEST(Windings, BendFollowsTheExactArcAtEveryAngle) {
  const double L = 0.8;
  std::vector<Segment> points;
  for (const double x : {0.02, -0.02, 0.0, 0.25}) {
    for (const double z : {0.0, 1e-7, -0.13, 0.3999, 0.4, -0.4, 0.55, -0.9, 3.0}) {
      points.push_back({x, 0.1, z, x, 0.2, z, 7});
    }
  }
  for (const double degrees : {1e-310, 1e-306, 1e-300, 1e-12, 1e-6, 15.0, -15.0, 90.0, 400.0}) {
    MagnetSpec magnet;
    magnet.length = L, magnet.angle = degrees * kRadiansPerDegree, magnet.bent = true;
    WindingSet w = winding_set(points);
    windings_bend(w, magnet);
    // Single points bend to the bits of the windings' ends: a beam path lies exactly where they do.
    std::vector<double> xs, zs;
    for (const Segment& p : points) xs.push_back(p.x1), zs.push_back(p.z1);
    bend_points(magnet, xs.data(), zs.data(), xs.size());
    for (std::uint32_t k = 0; k < w.count(); ++k) {
      const Segment& p = points[k];
      EXPECT_TRUE(xs[k] == w[k].x1 && zs[k] == w[k].z1) << degrees << " degrees at " << p.x1 << ", " << p.z1;
      const auto [x, z] = exact_bend(L, magnet.angle, p.x1, p.z1);
      const long double size = std::max(fabsl(x), fabsl(z));
      EXPECT_LE(fabsl(w[k].x1 - x), 1e-12L * size) << degrees << " degrees at " << p.x1 << ", " << p.z1;
      EXPECT_LE(fabsl(w[k].z1 - z), 1e-12L * size) << degrees << " degrees at " << p.x1 << ", " << p.z1;
      EXPECT_TRUE(w[k].y1 == 0.1 && w[k].y2 == 0.2 && w[k].current == 7 && w[k].x2 == w[k].x1 &&
                  w[k].z2 == w[k].z1);
      if (std::fabs(degrees) != 15.0 || p.x1 == 0.0) continue;
      // The literal forms, as the files of bent magnets have always been written.
      const double R = L / magnet.angle, theta = 0.5 * magnet.angle, c = std::cos(theta), s = std::sin(theta);
      const double phi = p.z1 * (1.0 / R), w_end = std::fabs(p.z1) - 0.5 * L, xp = p.x1;
      const Values literal =
          std::fabs(p.z1) <= 0.5 * L
              ? Values{R - std::cos(phi) * (R - xp), 0.1, (R - xp) * std::sin(phi)}
              : Values{(w_end * s + c * xp) + (1 - c) * R, 0.1,
                       p.z1 > 0 ? (w_end * c - s * xp) + s * R : (s * xp - s * R) - w_end * c};
      EXPECT_TRUE(w[k].x1 == literal[0] && w[k].z1 == literal[2]) << degrees << " at " << xp << ", " << p.z1;
    }
  }
}

using Writer = void (*)(const WindingSet&, const std::string&);
using Text = std::string (*)(const WindingSet&);

// The file `write` makes of `segments` over an older file, which `text` makes in memory as well. Written
// onto a directory in the way instead, the failure is reported with the path and the reason; no temporary
// is left either time.
std::string written(Writer write, Text text, const std::vector<Segment>& segments) {
  test::TempDir dir;
  const std::string path = dir / "windings_Q1", blocked = dir / "blocked";
  test::write_file(path, "an older and longer file of an earlier run\r\n");
  std::filesystem::create_directory(blocked);
  write(winding_set(segments), path);
  try {
    write(winding_set(segments), blocked);
    ADD_FAILURE() << "no error for " << blocked;
  } catch (const WriteError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot write " + blocked + ": Is a directory");
    EXPECT_EQ(e.path(), blocked);
  }
  EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"blocked", "windings_Q1"}));
  const std::string bytes = test::read_file(path);
  EXPECT_EQ(text(winding_set(segments)), bytes);
  return bytes;
}

TEST(WindingFiles, TableAndConductorFile) {
  const std::string header = "x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n";
  EXPECT_EQ(written(windings_table_write, windings_table_text, {}), header);
  EXPECT_EQ(written(windings_table_write, windings_table_text,
                    {{0, 0.05, -1.2, 0.001, 0.05, -1.2, 250}, {1.0 / 3, -0.0, 2.5e20, 0, 0, 0, -1}}),
            header + "0,0.05,-1.2, 0.001,0.05,-1.2, 250\r\n0.333333333333333,-0,2.5e+020, 0,0,0, -1\r\n");

  EXPECT_EQ(written(conductor_file_write, conductor_file_text, {}), "CONDUCTOR\r\nQUIT\r\n");
  const auto block = [](const std::string& start_and_angles, const char* length, const char* current) {
    return "DEFINE GSTRAIGHT\r\n" + start_and_angles +
           "\r\n0.0 0.0 0.0\r\n0.0 0.0 0.0\r\n1.000000 1.000000\r\n" + length + "\r\n" + current +
           " 1 'Default_Drive'\r\n0 0 0\r\n0.0\r\n";
  };
  // A zero-length segment; a small current on a segment with |x| = |y| > |z|; the axes and two more
  // directions. The angles are phi, theta, psi of Rz(phi) Ry(theta) Rz(psi), whose third column is the
  // direction and whose first is the direction crossed with x (with y when |x| is strictly the largest
  // component), normalised.
  std::vector<Segment> segments{{0.1, 0.2, 0.3, 0.1, 0.2, 0.3, -1234.56789012},
                                {-0.0, 0.0, -2.5e-7, 2.0 / 3, 2.0 / 3, -2.5e-7 + 1.0 / 3, 1e-7}};
  std::string want =
      "CONDUCTOR\r\n" +
      block("100.000000 200.000000 300.000000 90.000000 90.000000 90.000000", "0.000000", "-1234.56789") +
      block("-0.000000 0.000000 -0.000250 45.000000 70.528779 18.434949", "1000.000000", "1e-007");
  const std::pair<std::array<double, 3>, const char*> directions[] = {
      {{1, 0, 0}, "0.000000 90.000000 180.000000"},    {{-1, 0, 0}, "180.000000 90.000000 0.000000"},
      {{0, 1, 0}, "90.000000 90.000000 0.000000"},     {{0, -1, 0}, "-90.000000 90.000000 180.000000"},
      {{0, 0, 1}, "90.000000 0.000000 0.000000"},      {{0, 0, -1}, "90.000000 180.000000 90.000000"},
      {{0, 0.6, 0.8}, "90.000000 36.869898 0.000000"}, {{0.8, 0, 0.6}, "0.000000 53.130102 180.000000"},
  };
  for (const auto& [d, angles] : directions) {
    segments.push_back({0, 0, 0, d[0], d[1], d[2], 5});
    want += block("0.000000 0.000000 0.000000 " + std::string(angles), "1000.000000", "5");
  }
  // n_x / sin(theta) rounds to -1.0000000000000018 here: the arc cosine must clamp it to 180 degrees.
  segments.push_back({0, 0, 0, -1, 0, 5, 5});
  want += block("0.000000 0.000000 0.000000 180.000000 11.309932 -90.000000", "5099.019514", "5");
  EXPECT_EQ(written(conductor_file_write, conductor_file_text, segments), want + "QUIT\r\n");
}

}  // namespace
}  // namespace expcoil
