// Windings chained into loops, and the MAKEGRID coils file read back by LIBSTELL's rules.
#include "magnet/coil_chain.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>

#include "io/export/export.hpp"
#include "io/export/makegrid.hpp"
#include "magnet/field.hpp"
#include "magnet/windings_error.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

using test::winding_set;

// The 1 m square in the z = 0 plane, (0,0) -> (1,0) -> (1,1) -> (0,1), 1000 A.
std::vector<Segment> square(double current = 1000.0) {
  return {{0, 0, 0, 1, 0, 0, current},
          {1, 0, 0, 1, 1, 0, current},
          {1, 1, 0, 0, 1, 0, current},
          {0, 1, 0, 0, 0, 0, current}};
}

Segment reversed(const Segment& s) { return {s.x2, s.y2, s.z2, s.x1, s.y1, s.z1, -s.current}; }

// The vertices of a closed chain starting at its lowest (x, y), in order.
std::vector<std::array<double, 2>> ring(const CoilChains& c, const CoilChain& chain) {
  std::vector<std::array<double, 2>> v;
  for (std::size_t p = 0; p < chain.point_count; ++p)
    v.push_back({c.points[3 * (chain.first_point + p)], c.points[3 * (chain.first_point + p) + 1]});
  std::rotate(v.begin(), std::min_element(v.begin(), v.end()), v.end());
  return v;
}

// Every order of the four sides, each side given either way round: one closed loop, counterclockwise.
TEST(CoilChain, ShuffledAndReversedSidesCloseIntoTheSameLoop) {
  std::vector<int> order{0, 1, 2, 3};
  const std::vector<std::array<double, 2>> want{{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  do {
    for (int flips = 0; flips < 16; ++flips) {
      std::vector<Segment> s;
      for (int k : order) s.push_back(flips >> k & 1 ? reversed(square()[k]) : square()[k]);
      const CoilChains c = chain_windings(winding_set(s), 0.0);
      ASSERT_EQ(c.chains.size(), 1u);
      EXPECT_TRUE(c.chains[0].closed);
      EXPECT_EQ(c.chains[0].current, 1000.0);
      EXPECT_EQ(ring(c, c.chains[0]), want);
    }
  } while (std::next_permutation(order.begin(), order.end()));
}

// What MAKEGRID cannot take is refused naming a segment of the trouble (its line in a windings table is
// that index + 2); segments without length are left out and counted.
TEST(CoilChain, OpenChainsAndMixedCurrentsAreRefusedForMakegrid) {
  test::TempDir dir;
  const auto refusal = [&](const std::vector<Segment>& s, double tolerance = 1e-9) {
    try {
      makegrid_write(chain_windings(winding_set(s), tolerance), dir / "coils", "c");
    } catch (const WindingsError& e) {
      return "segment " + std::to_string(e.segment()) + ": " + e.reason();
    } catch (const InputError& e) {
      return std::string(e.what());
    }
    return std::string("written");
  };
  auto sides = square();
  EXPECT_EQ(refusal({sides[0], sides[1], sides[2]}),
            "segment 2: the winding through this segment does not close: no segment of 1000 A continues from "
            "(0, 1, 0); MAKEGRID takes closed loops only");
  EXPECT_EQ(refusal({sides[3]}).substr(0, 42), "segment 0: the winding through this segmen");
  auto mixed = square();
  mixed[2].current = 2000;
  EXPECT_EQ(
      refusal(mixed),
      "segment 1: windings of different currents meet at (1, 1, 0); MAKEGRID takes loops of one current");
  EXPECT_EQ(refusal({{0.5, 0.5, 0, 0.5, 0.5, 0, 1000}}), "there are no windings to write");
  EXPECT_EQ(refusal({sides[0], {1, 0, 0, 0, 0, 0, 1000}}),
            "there are no windings to write");  // there and back
  // The join tolerance, just inside and just outside: a corner 0.9 or 1.1 nm away.
  auto gap = square();
  gap[1].x1 += 0.9e-9;
  EXPECT_EQ(refusal(gap), "written");
  gap[1].x1 += 0.2e-9;
  EXPECT_EQ(refusal(gap).substr(0, 11), "segment 0: ");
  EXPECT_EQ(refusal(gap, 2e-9), "written");
  auto with_dot = square();
  with_dot.insert(with_dot.begin() + 2, {0.5, 0.5, 0, 0.5, 0.5, 0, 1000});
  EXPECT_EQ(chain_windings(winding_set(with_dot), 0.0).zero_length, 1u);
  EXPECT_EQ(refusal(with_dot), "written");
  EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"coils"});
}

// The field of the coils file as LIBSTELL reads it (first node's current for the whole coil, the repeated
// last node dropped, the loop closed) equals the field of the windings, at points around them: a
// doubled or missing closing segment, a lost loop or a reversed current would show.
TEST(CoilChain, MakegridFileGivesTheWindingsField) {
  // Two layers of three rectangular loops in shuffled order, every other segment turned round.
  std::vector<Segment> s;
  for (int layer = 0; layer < 2; ++layer)
    for (int loop = 0; loop < 3; ++loop) {
      const double x = layer ? -0.02 : 0.02, h = 0.1 + 0.05 * loop, l = 0.3 + 0.1 * loop,
                   I = layer ? -300.0 : 300.0;
      const double c[5][2] = {{-h, -l}, {h, -l}, {h, l}, {-h, l}, {-h, -l}};
      for (int e = 0; e < 4; ++e) s.push_back({x, c[e][0], c[e][1], x, c[e + 1][0], c[e + 1][1], I});
    }
  std::mt19937 rng(5);
  std::shuffle(s.begin(), s.begin() + 12, rng);  // within each layer, so the halves stay the layers
  std::shuffle(s.begin() + 12, s.end(), rng);
  for (std::size_t k = 0; k < s.size(); k += 2) s[k] = reversed(s[k]);
  const WindingSet windings = winding_set(s);

  test::TempDir dir;
  ExportOptions options;
  options.coil_name = "two layers";
  EXPECT_EQ(export_windings(windings, "makegrid", dir / "coils", options).loops, 6u);
  WindingSet read;
  std::istringstream in(test::read_file(dir / "coils"));
  std::string line, last;
  std::vector<std::array<double, 4>> nodes;
  int lines = 0;
  while (std::getline(in, line)) {
    EXPECT_LT(line.size(), 200u);
    last = line;
    if (++lines <= 3 || line == "end") continue;
    std::istringstream w(line);
    std::array<double, 4> n;
    w >> n[0] >> n[1] >> n[2] >> n[3];
    nodes.push_back(n);
    std::string group, name;
    if (w >> group >> name) {  // closes the coil
      EXPECT_EQ(group + " " + name, "1 two_layers");
      for (std::size_t k = 0; k + 1 < nodes.size(); ++k) {
        const auto& a = nodes[k];
        const auto& b = nodes[(k + 1) % (nodes.size() - 1)];
        read.append({a[0], a[1], a[2], b[0], b[1], b[2], nodes[0][3]});
      }
      nodes.clear();
    }
  }
  EXPECT_EQ(last, "end");
  EXPECT_EQ(read.count(), windings.count());
  for (int p = 0; p < 10; ++p) {
    const double x = 0.05 * p - 0.2, y = 0.03 * p - 0.1, z = 0.07 * p - 0.3;
    const auto want = windings_field(windings, x, y, z), got = windings_field(read, x, y, z);
    const double size = std::hypot(want[0], want[1], want[2]);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], want[c], 1e-12 * size) << p;
  }
}

}  // namespace
}  // namespace expcoil
