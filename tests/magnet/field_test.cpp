// The field of straight segments, the vectorised kernel and the field map.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "io/program/field_map_csv.hpp"
#include "lib/errors.hpp"
#include "magnet/field.hpp"
#include "magnet/field_evaluator.hpp"
#include "magnet/field_map.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

// The textbook form, mu0 I / (4 pi rho) (cos t1 - cos t2) along d x r, in long double; r runs from the
// start to the point, r - d from the end.
std::array<double, 3> textbook_field(const Segment& s, long double x, long double y, long double z) {
  const long double d[3] = {s.x2 - s.x1, s.y2 - s.y1, s.z2 - s.z1}, r[3] = {x - s.x1, y - s.y1, z - s.z1};
  const long double n[3] = {d[1] * r[2] - d[2] * r[1], d[2] * r[0] - d[0] * r[2], d[0] * r[1] - d[1] * r[0]};
  const long double rd = r[0] * d[0] + r[1] * d[1] + r[2] * d[2],
                    dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  const long double k =
      1e-7L * s.current / (n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) *
      (rd / std::hypot(r[0], r[1], r[2]) - (rd - dd) / std::hypot(r[0] - d[0], r[1] - d[1], r[2] - d[2]));
  return {double(k * n[0]), double(k * n[1]), double(k * n[2])};
}

// The formula of magnet/field.hpp evaluated literally, operation by operation, for one point: the
// reference whose bits every form of the kernel, and so every file, must reproduce.
std::array<double, 3> literal_field(const WindingSet& windings, double x, double y, double z) {
  double sx = 0.0;
  double sy = 0.0;
  double sz = 0.0;
  for (const Segment& s : windings) {
    const double dx = s.x2 - s.x1;
    const double dy = s.y2 - s.y1;
    const double dz = s.z2 - s.z1;
    const double rx = x - s.x1;
    const double ry = y - s.y1;
    const double rz = z - s.z1;
    const double a = (dy * dy + dx * dx) + dz * dz;
    // Also catches a segment whose squared length underflows.
    if (a == 0.0) continue;
    const double b = ((rx * dx + dy * ry) + rz * dz) * -2.0;
    const double c = (rx * rx + ry * ry) + rz * rz;
    const double cab = c + a + b;
    const double den = 4.0 * a * c - b * b;
    if (!(den != 0.0 && c > 0.0 && cab > 0.0)) continue;
    const double f = (a + a + b) / std::sqrt(cab) - b / std::sqrt(c);
    const double g = kFieldConstant * s.current / den * f;
    sx += g * (dy * rz - ry * dz);
    sy += g * (dz * rx - rz * dx);
    sz += g * (dx * ry - dy * rx);
  }
  return {sx, sy, sz};
}

using test::winding_set;
std::array<double, 3> field_of(const std::vector<Segment>& segments, double x, double y, double z) {
  const std::array<double, 3> b = windings_field(winding_set(segments), x, y, z);
  EXPECT_EQ(std::memcmp(b.data(), literal_field(winding_set(segments), x, y, z).data(), sizeof b), 0);
  return b;
}

TEST(WindingsField, ClosedFormsTextbookFormulaAndDegenerateSegments) {
  // A 2 km wire along +z, 1 m away on +x: mu0 I / (2 pi) * 1000 / sqrt(1000^2 + 1) along +y.
  const std::array<double, 3> wire = field_of({{0, 0, -1000, 0, 0, 1000, 1.0}}, 1, 0, 0);
  EXPECT_TRUE(wire[0] == 0 && wire[2] == 0 && std::fabs(wire[1] - 1.99999900000075e-07) < 1e-20) << wire[1];
  // mu0 / (2 pi) as it rounds in double precision, one ulp above 2e-7.
  EXPECT_EQ(std::bit_cast<std::uint64_t>(kFieldConstant), std::bit_cast<std::uint64_t>(2e-7) + 1);
  // A square loop of side 2h, counterclockwise seen from +z: 2 sqrt(2) mu0 I / (pi 2h) along +z at its
  // centre.
  const double h = 0.185, I = 250.0, centre = 2 * std::sqrt(2.0L) * 4e-7L * I / (2 * h);
  const auto loop = field_of(
      {{-h, -h, 0, h, -h, 0, I}, {h, -h, 0, h, h, 0, I}, {h, h, 0, -h, h, 0, I}, {-h, h, 0, -h, -h, 0, I}}, 0,
      0, 0);
  EXPECT_TRUE(loop[0] == 0.0 && loop[1] == 0.0 && std::fabs(loop[2] - centre) < 1e-12 * centre) << loop[2];
  // General segments and points; reversing the segment or negating the current flips the field.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::array<double, 3> sum{};
  for (int n = 0; n < 40; ++n) {
    const Segment s{u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), 100.0 * u(rng)};
    const double x = 2 * u(rng), y = 2 * u(rng), z = 2 * u(rng);
    const auto b = field_of({s}, x, y, z), want = textbook_field(s, x, y, z);
    const auto reversed = field_of({{s.x2, s.y2, s.z2, s.x1, s.y1, s.z1, s.current}}, x, y, z);
    const auto negated = field_of({{s.x1, s.y1, s.z1, s.x2, s.y2, s.z2, -s.current}}, x, y, z);
    const double size = std::hypot(want[0], want[1], want[2]);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(b[k], want[k], 1e-12 * size) << n << " axis " << k;
      EXPECT_NEAR(reversed[k], -b[k], 1e-12 * size) << n;
      EXPECT_EQ(negated[k], -b[k]) << n;  // K * (-I) = -(K * I) exactly
      sum[k] += b[k];
    }
  }
  // The order of the operations is the files': their sum to the bit (an order changed in every form of the
  // kernel, or in the only one of a build without the vector kernels, shows here).
  EXPECT_EQ(sum, (std::array{0x1.a80140cacf747p-18, 0x1.3eb3dc1ad0f7bp-16, -0x1.ae7a02a5812ebp-19}));
  // A zero-length segment anywhere, and the points of a segment's line (its ends, inside it and beyond it
  // both ways, exactly), leave the field of the other segment unchanged.
  const Segment other{0.3, -0.2, -0.5, 0.3, 0.4, 0.5, 12.0};
  for (const Segment& s :
       {Segment{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 5}, {0, 0, 0, 0, 0, 1, 3}, {0, 0, 0, 1, 1, 1, 2}})
    for (double t : {0.0, 1.0, 0.5, 2.0, -3.0})
      EXPECT_EQ(field_of({other, s}, s.x2 * t, s.y2 * t, t), field_of({other}, s.x2 * t, s.y2 * t, t)) << t;
  // Points on the extension just past a segment's end where rounding makes |P - E|^2 = c + a + b zero or
  // negative while 4ac - b^2 is not zero: only the c + a + b > 0 test keeps them finite, in every kernel.
  const Segment past_end[2] = {{0.84773838579837091, -0.95121077524936115, 0.52983560310761524,
                                0.49841840479797361, 0.5271131713395738, 0.97379192077089671, 7.0},
                               {0.19411673879612446, 0.14415679005558291, 0.37633231263085487,
                                0.44151386426675754, -0.080887708314515638, 0.27206208844664181, 7.0}};
  const double points[2][3] = {{0.49841840463530884, 0.52711317202797192, 0.97379192097763001},
                               {0.44151386429555839, -0.080887708340714265, 0.27206208843450319}};
  for (int n = 0; n < 2; ++n) {
    const auto [x, y, z] = points[n];
    const WindingSet both = winding_set({other, past_end[n]});
    EXPECT_EQ(windings_field(both, x, y, z), field_of({other}, x, y, z)) << n;
    for (const KernelTarget& target : field_kernel_targets()) {
      double b[3];
      field_kernel_on(target, SegmentStream(both), &x, &y, &z, 1, b);
      EXPECT_EQ((std::array{b[0], b[1], b[2]}), field_of({other}, x, y, z)) << n << " " << target.name;
    }
  }
}

// L = 2 m, w = 0.1 m, g = 0.05 m; cells (0.1, 0.05, 0.5) m, extensions (0.05, 0.02, 0.5) m.
MagnetSpec map_magnet(double angle = 0.0) {
  static ParameterSet set;
  set.good_field_height = 0.05;
  set.fieldmap_cell[0] = 0.1, set.fieldmap_cell[1] = 0.05, set.fieldmap_cell[2] = 0.5;
  set.fieldmap_extension[0] = 0.05, set.fieldmap_extension[1] = 0.02, set.fieldmap_extension[2] = 0.5;
  MagnetSpec magnet;
  // (std::string: GCC 12 reports a false -Wrestrict for the literal assigned here.)
  magnet.name = std::string("M"), magnet.params = set, magnet.length = 2.0, magnet.angle = angle;
  magnet.winding_centre_to_midplane = 0.1;
  return magnet;
}

TEST(FieldMap, MessagesFileKernelsWorkersAndBentExtents) {
  const FieldMapGrid g = field_map_grid(map_magnet());
  // A conductor along the first grid line in z (grid points at its ends, inside it and beyond), a
  // zero-length segment and random ones.
  WindingSet w = winding_set(
      {{g.min[0], g.min[1], -1.0, g.min[0], g.min[1], 0.5, -15.0}, {0.1, 0, 0.5, 0.1, 0, 0.5, 1}});
  std::mt19937_64 rng(1000);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n = 0; n < 60; ++n) w.append({u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), 5 * u(rng)});
  EXPECT_EQ(field_map_extent_text(g) + field_map_count_text(g),
            "Fieldmap from (-0.15,-0.07,-1.5)m to (0.15,0.02,1.5)m\nFieldmap cell size (0.1,0.05,0.5)m\n"
            "4x2x7 = 56 cells\n");
  test::TempDir dir;
  const std::string path = dir / "fieldmap_M.csv";
  field_map_csv_write(field_map_compute(w, g), path);
  std::istringstream lines(test::read_file(path));
  std::string line;
  EXPECT_TRUE(std::getline(lines, line) && line == "x (m),y,z, Bx (T),By,Bz\r") << line;
  // Bx, By, Bz of the reference at every grid point (x, y, z), x slowest and z fastest.
  std::vector<double> ref, px, py, pz;
  int p = 0;
  for (double v[6]; std::getline(lines, line); ++p) {
    ASSERT_TRUE(line.ends_with('\r') && std::sscanf(line.c_str(), "%lf,%lf,%lf, %lf,%lf,%lf", v, v + 1, v + 2,
                                                    v + 3, v + 4, v + 5) == 6);
    const double x = p / 14 * 0.1 + g.min[0], y = p / 7 % 2 * 0.05 + g.min[1], z = p % 7 * 0.5 + g.min[2];
    const std::array<double, 3> literal = literal_field(w, x, y, z);
    const double* b = literal.data();
    ref.insert(ref.end(), b, b + 3), px.push_back(x), py.push_back(y), pz.push_back(z);
    // The coordinates and the field to the 15 digits written.
    const double want[6] = {x, y, z, b[0], b[1], b[2]};
    for (int a = 0; a < 6; ++a) EXPECT_NEAR(v[a], want[a], 1e-14 * std::fabs(want[a])) << line;
  }
  ASSERT_EQ(p, 56);

  // Bit for bit on every form of the kernel, called directly, on runs of points that start anywhere and
  // leave 0 to 7 spare lanes (the first seven points, in the first three runs, lie on the conductor's
  // line); and through the field map on every worker count, also with fewer points than workers (the
  // first three points alone), where ranges of 18 or 19 points, and of 0 or 1, leave spare lanes.
  const SegmentStream stream(w);
  for (const KernelTarget& target : field_kernel_targets()) {
    for (const auto& [first, n] : {std::pair{0, 56}, {0, 1}, {5, 3}, {11, 9}, {30, 15}, {41, 15}, {49, 7}}) {
      std::vector<double> out(3 * n);
      field_kernel_on(target, stream, &px[first], &py[first], &pz[first], n, out.data());
      EXPECT_EQ(std::memcmp(out.data(), &ref[3 * first], out.size() * sizeof(double)), 0)
          << target.name << " " << first << "+" << n;
    }
  }
  // The tree code's near form, over the stream's chains: within rounding of the reference (the first
  // points on the conductor's line too), and the same bits on every instruction set, so that a tree map
  // does not depend on the vector width either; runs of a chain sum as the chain.
  const SegmentChains chains = chain_segments(stream.data(), stream.size());
  const std::size_t chain_count = chains.planes.size();
  std::vector<double> near(ref.size());
  field_kernel_targets().back().near(chains.records.data(), chains.ranges.data(), chains.planes.data(),
                                     chain_count, px.data(), py.data(), pz.data(), 56, near.data());
  double top = 0.0;
  for (double v : ref) top = std::max(top, std::fabs(v));
  for (std::size_t i = 0; i < ref.size(); ++i) EXPECT_NEAR(near[i], ref[i], 1e-13 * top) << i;
  for (const KernelTarget& target : field_kernel_targets()) {
    for (const auto& [first, n] : {std::pair{0, 56}, {5, 3}, {41, 15}}) {
      std::vector<double> out(3 * n);
      target.near(chains.records.data(), chains.ranges.data(), chains.planes.data(), chain_count, &px[first],
                  &py[first], &pz[first], n, out.data());
      EXPECT_EQ(std::memcmp(out.data(), &near[3 * first], out.size() * sizeof(double)), 0)
          << target.name << " " << first << "+" << n;
    }
  }
  FieldMapGrid tiny = g;
  tiny.count[0] = tiny.count[1] = 1, tiny.count[2] = 3;
  for (const FieldMapGrid& grid : {g, tiny}) {
    for (unsigned workers : {1u, 2u, 3u, 7u}) {
      const FieldMap map = field_map_compute(w, grid, workers);
      EXPECT_EQ(std::memcmp(map.b.data(), ref.data(), map.b.size() * sizeof(double)), 0) << workers;
    }
  }
  // Computed in pieces that start and end anywhere, the map is the same.
  std::vector<double> pieces(3 * 56);
  const std::unique_ptr<FieldEvaluator> direct = direct_sum_evaluator(w);
  EXPECT_TRUE(direct->exact());
  for (std::int64_t first = 0, n = 1; first < 56; first += n, n = n % 9 + 4)
    direct->field_at_grid(g, first, std::min<std::int64_t>(n, 56 - first), pieces.data() + 3 * first, 2);
  EXPECT_EQ(std::memcmp(pieces.data(), ref.data(), pieces.size() * sizeof(double)), 0);
  // An evaluator that only evaluates points gets the grid's coordinates from the interface, as every
  // stage forms them.
  struct PointsOnly final : FieldEvaluator {
    const FieldEvaluator& inner;
    explicit PointsOnly(const FieldEvaluator& e) : inner(e) {}
    std::string_view name() const override { return "points only"; }
    bool exact() const override { return true; }
    void field_at_points(const double* x, const double* y, const double* z, std::size_t n, double* out,
                         unsigned workers, std::atomic<std::int64_t>* done) const override {
      inner.field_at_points(x, y, z, n, out, workers, done);
    }
  };
  std::fill(pieces.begin(), pieces.end(), 0.0);
  PointsOnly(*direct).field_at_grid(g, 0, 56, pieces.data(), 3);
  EXPECT_EQ(std::memcmp(pieces.data(), ref.data(), pieces.size() * sizeof(double)), 0);

  // Bent by 30 degrees either way; counts beyond 32 bits.
  const double thirty_degrees = 0.5235987755982988;
  const FieldMapGrid left = field_map_grid(map_magnet(thirty_degrees));
  EXPECT_EQ(field_map_extent_text(left) + field_map_count_text(left),
            "Fieldmap from (-0.15,-0.07,-1.5)m to (0.409563,0.02,1.5)m\nFieldmap cell size (0.1,0.05,0.5)m\n"
            "6x2x7 = 84 cells\n");
  EXPECT_EQ(
      field_map_extent_text(field_map_grid(map_magnet(-thirty_degrees))),
      "Fieldmap from (-0.409563,-0.07,-1.5)m to (0.15,0.02,1.5)m\nFieldmap cell size (0.1,0.05,0.5)m\n");
  FieldMapGrid big;
  big.count[0] = 2000, big.count[1] = 1500, big.count[2] = 1001;
  EXPECT_EQ(field_map_count_text(big), "2000x1500x1001 = 3003000000 cells\n");
}

// A winding as contouring leaves it: pieces end to end, each laid either way round with the current's
// sign to match; a closed loop; three pieces meeting at one point; a lone piece. Two of them flat.
TEST(FieldKernel, ChainsLinkWindingsAndTheirNearSumsKeepToTheReference) {
  // (On a grid of 2^-20 m, so that x1 + (x2 - x1) is x2: ends meet to the bit as the stream gives them.)
  WindingSet w;
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto on_grid = [](double v) { return std::round(v * 0x1p20) * 0x1p-20; };
  double p[3] = {0.1, -0.3, 0.02};
  for (int n = 0; n < 30; ++n) {  // an open winding in the plane z = 0.02, alternate pieces reversed
    const double q[3] = {on_grid(p[0] + 0.01 + 0.01 * u(rng)), on_grid(p[1] + 0.02 * u(rng)), 0.02};
    if (n % 2 == 0) {
      w.append({p[0], p[1], p[2], q[0], q[1], q[2], 1000.0});
    } else {
      w.append({q[0], q[1], q[2], p[0], p[1], p[2], -1000.0});
    }
    std::copy(q, q + 3, p);
  }
  const int loop = static_cast<int>(w.count());
  for (int n = 0; n < 12; ++n) {  // a closed loop, not flat
    const double a0 = n * M_PI / 6, a1 = (n + 1) * M_PI / 6;
    w.append({on_grid(0.05 * std::cos(a0)), on_grid(0.05 * std::sin(a0)), on_grid(0.01 * n),
              on_grid(0.05 * std::cos(a1)), on_grid(0.05 * std::sin(a1)),
              n == 11 ? 0.0 : on_grid(0.01 * (n + 1)), 500.0});
  }
  const int star = static_cast<int>(w.count());
  for (int n = 0; n < 3; ++n) w.append({0.3, 0.3, -0.02, 0.3 + 0.01 * (n + 1), 0.31, -0.02, 200.0});
  w.append({-0.4, 0.1, 0.0, -0.35, 0.12, 0.05, 300.0});
  const SegmentStream stream(w);
  const SegmentChains chains = chain_segments(stream.data(), stream.size());
  ASSERT_EQ(stream.size(), w.count());

  // Every segment once, each chain's records ending where the next begins, each chain closed by a record
  // that carries no current; the winding one chain, the loop one, the star's and the lone pieces alone.
  std::vector<int> seen(chains.records.size(), 0);
  for (std::int32_t r : chains.position) ++seen[static_cast<std::size_t>(r)];
  const std::size_t chain_count = chains.planes.size();
  std::size_t records = 0;
  for (std::size_t c = 0; c < chain_count; ++c) {
    const std::size_t first = chains.ranges[2 * c], end = chains.ranges[2 * c + 1];
    EXPECT_EQ(first, records);
    for (std::size_t r = first; r < end; ++r) {
      EXPECT_EQ(seen[r], 1) << r;
      const ChainSegment& s = chains.records[r];
      const double sign = s.backwards != 0.0 ? -1.0 : 1.0;
      const double reached[3] = {s.x + sign * s.dx, s.y + sign * s.dy, s.z + sign * s.dz};
      const double* leaves = &chains.records[r + 1].x;
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(leaves[k], reached[k], 1e-15) << r;
      EXPECT_EQ(s.kc, sign * s.ki);
    }
    EXPECT_EQ(seen[end], 0);
    EXPECT_EQ(chains.records[end].ki, 0.0);
    records = end + 1;
  }
  EXPECT_EQ(records, chains.records.size());
  const auto chain_of = [&](int segment) {
    const std::size_t r = static_cast<std::size_t>(chains.position[static_cast<std::size_t>(segment)]);
    for (std::size_t c = 0; c < chain_count; ++c) {
      if (chains.ranges[2 * c] <= r && r < chains.ranges[2 * c + 1]) return c;
    }
    return chain_count;
  };
  EXPECT_EQ(chain_count, 1u + 1u + 3u + 1u);
  for (int n = 1; n < loop; ++n) EXPECT_EQ(chain_of(n), chain_of(0));
  for (int n = loop + 1; n < star; ++n) EXPECT_EQ(chain_of(n), chain_of(loop));
  EXPECT_EQ(chains.planes[chain_of(0)], 0.02);
  EXPECT_EQ(chains.planes[chain_of(star)], -0.02);
  EXPECT_TRUE(std::isnan(chains.planes[chain_of(loop)]));

  // Points anywhere, and some a few nanometres from a conductor of the winding and of the loop, where the
  // reference's own terms cancel: the near sums keep to the reference's bits there within rounding.
  std::vector<double> x, y, z;
  for (int n = 0; n < 40; ++n)
    x.push_back(0.5 * u(rng)), y.push_back(0.5 * u(rng)), z.push_back(0.1 * u(rng));
  for (int segment : {3, 8, loop + 4}) {
    const Segment& s = w[static_cast<std::size_t>(segment)];
    for (double t : {0.3, 0.7}) {
      x.push_back(s.x1 + t * (s.x2 - s.x1) + 3e-9);
      y.push_back(s.y1 + t * (s.y2 - s.y1));
      z.push_back(s.z1 + t * (s.z2 - s.z1) + 2e-9);
    }
  }
  const std::size_t n = x.size();
  std::vector<double> ref(3 * n);
  field_kernel_on(field_kernel_targets().back(), stream, x.data(), y.data(), z.data(), n, ref.data());
  for (const KernelTarget& target : field_kernel_targets()) {
    std::vector<double> near(3 * n);
    target.near(chains.records.data(), chains.ranges.data(), chains.planes.data(), chain_count, x.data(),
                y.data(), z.data(), n, near.data());
    for (std::size_t i = 0; i < n; ++i) {
      const double size = std::hypot(ref[3 * i], ref[3 * i + 1], ref[3 * i + 2]);
      for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(near[3 * i + k], ref[3 * i + k], 1e-12 * size) << target.name << i;
    }
    // Runs of a chain (the winding cut in three, the middle run alone) sum as the whole.
    const std::size_t c = chain_of(0), first = chains.ranges[2 * c], end = chains.ranges[2 * c + 1];
    const std::size_t runs[6] = {first, first + 7, first + 7, first + 19, first + 19, end};
    const double planes[3] = {chains.planes[c], chains.planes[c], chains.planes[c]};
    std::vector<double> whole(3 * n), cut(3 * n);
    target.near(chains.records.data(), chains.ranges.data() + 2 * c, chains.planes.data() + c, 1, x.data(),
                y.data(), z.data(), n, whole.data());
    target.near(chains.records.data(), runs, planes, 3, x.data(), y.data(), z.data(), n, cut.data());
    for (std::size_t i = 0; i < 3 * n; ++i)
      EXPECT_NEAR(cut[i], whole[i], 1e-13 * std::fabs(whole[i]) + 1e-300);
  }
}

// The float near sums against the true field (long double, segment by segment): within their bound at
// every point, the bound not loose beyond reason, a point on a conductor's line summed in double, the
// same bits on every target.
TEST(FieldKernel, FloatNearSumsKeepWithinTheirBoundTheSameOnEveryTarget) {
  WindingSet w;
  std::mt19937_64 rng(91);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto on_grid = [](double v) { return std::round(v * 0x1p20) * 0x1p-20; };
  double p[3] = {-0.2, -0.05, 0.02};
  for (int n = 0; n < 60; ++n) {  // a flat winding, pieces of 2 to 10 mm, alternate pieces reversed
    const double q[3] = {on_grid(p[0] + 0.006 + 0.004 * u(rng)), on_grid(p[1] + 0.004 * u(rng)), 0.02};
    if (n % 2 == 0) {
      w.append({p[0], p[1], p[2], q[0], q[1], q[2], 3000.0});
    } else {
      w.append({q[0], q[1], q[2], p[0], p[1], p[2], -3000.0});
    }
    std::copy(q, q + 3, p);
  }
  for (int n = 0; n < 24; ++n) {  // a rising loop, not flat
    const double a0 = n * M_PI / 12, a1 = (n + 1) * M_PI / 12;
    w.append({on_grid(0.06 * std::cos(a0)), on_grid(0.06 * std::sin(a0)), on_grid(0.002 * n - 0.03),
              on_grid(0.06 * std::cos(a1)), on_grid(0.06 * std::sin(a1)), on_grid(0.002 * (n + 1) - 0.03),
              700.0});
  }
  // Two pieces end to end that carry different currents: one chain, cut where its current changes.
  w.append({0.05, 0.08, -0.02, 0.06, 0.085, -0.02, 200.0});
  w.append({0.06, 0.085, -0.02, 0.07, 0.08, -0.02, 900.0});
  const SegmentStream stream(w);
  const SegmentChains chains = chain_segments(stream.data(), stream.size());
  const std::vector<float> lengths = record_lengths(chains);

  const double origin[3] = {0.01, -0.02, 0.0};
  std::vector<double> x, y, z;
  for (int n = 0; n < 300; ++n) {
    x.push_back(origin[0] + 0.12 * u(rng));
    y.push_back(origin[1] + 0.12 * u(rng));
    z.push_back(origin[2] + 0.05 * u(rng));
  }
  // Beside conductors: 2 mm, 0.3 mm and 1 um off a segment's middle, and near a vertex.
  const std::size_t beside = x.size();
  for (int segment : {5, 20, 70}) {
    const Segment& s = w[static_cast<std::size_t>(segment)];
    for (double off : {2e-3, 3e-4, 1e-6}) {
      x.push_back(0.5 * (s.x1 + s.x2));
      y.push_back(0.5 * (s.y1 + s.y2));
      z.push_back(0.5 * (s.z1 + s.z2) + off);
    }
    x.push_back(s.x1 + 2e-5);
    y.push_back(s.y1);
    z.push_back(s.z1 + 1e-5);
  }
  const std::size_t n = x.size();
  double radius = 0.0;
  for (std::size_t i = 0; i < n; ++i)
    radius = std::max(radius, std::hypot(x[i] - origin[0], y[i] - origin[1], z[i] - origin[2]));

  FloatNearSums sums;
  sums.prepare(chains, lengths, chains.ranges.data(), chains.planes.size(), origin, radius, x.data(),
               y.data(), z.data(), n);
  EXPECT_EQ(sums.job().range_count, chains.planes.size() + 1);  // the two currents' chain cut in two

  // The double near sums, for the points that take theirs.
  std::vector<double> in_double(3 * n);
  field_kernel_targets().back().near(chains.records.data(), chains.ranges.data(), chains.planes.data(),
                                     chains.planes.size(), x.data(), y.data(), z.data(), n, in_double.data());
  std::vector<double> first_out, first_bound;
  for (const KernelTarget& target : field_kernel_targets()) {
    ASSERT_NE(target.near_float, nullptr) << target.name;
    std::vector<double> out(3 * n), bound(n);
    target.near_float(sums.job(), out.data(), bound.data());
    for (std::size_t i = 0; i < n; ++i) {
      long double want[3] = {0.0L, 0.0L, 0.0L};
      double magnitudes = 0.0;
      for (const Segment& s : w) {
        const std::array<double, 3> b = textbook_field(s, x[i], y[i], z[i]);
        for (int k = 0; k < 3; ++k) want[k] += b[static_cast<std::size_t>(k)];
        magnitudes += std::hypot(b[0], b[1], b[2]);
      }
      const double err = std::hypot(double(out[3 * i] - want[0]), double(out[3 * i + 1] - want[1]),
                                    double(out[3 * i + 2] - want[2]));
      if (i >= beside && i % 4 == 2) {
        // 1 um from a conductor's line, where NearKernel's own rounding (in the reference's form) is
        // well above 1e-12 of the terms: the runs beside it in double, the others within their bound of
        // NearKernel's, which float there (1e-7 of 600 T) could never be.
        const double off = std::hypot(out[3 * i] - in_double[3 * i], out[3 * i + 1] - in_double[3 * i + 1],
                                      out[3 * i + 2] - in_double[3 * i + 2]);
        EXPECT_LE(off, bound[i] + 1e-13 * magnitudes) << target.name << " point " << i;
        EXPECT_LT(bound[i], 1e-9 * magnitudes) << target.name << " point " << i;
        continue;
      }
      // Within the bound; what double rounding adds on top is far below 1e-12 of the terms.
      EXPECT_LE(err, bound[i] + 1e-12 * magnitudes) << target.name << " point " << i;
      if (i < beside) {
        EXPECT_GT(bound[i], 0.0) << i;
        EXPECT_LT(bound[i], 1e-4 * magnitudes) << target.name << " point " << i;
      }
    }
    if (first_out.empty()) {
      first_out = out;
      first_bound = bound;
      continue;
    }
    EXPECT_EQ(std::memcmp(out.data(), first_out.data(), out.size() * sizeof(double)), 0) << target.name;
    EXPECT_EQ(std::memcmp(bound.data(), first_bound.data(), bound.size() * sizeof(double)), 0) << target.name;
  }
}

TEST(FieldKernel, ChoiceMeasuredOrForcedByTheVariable) {
  const std::vector<KernelTarget>& targets = field_kernel_targets();
  ASSERT_FALSE(targets.empty());
  EXPECT_EQ(targets.back().name, "scalar");
  std::string names = targets.size() > 1 ? "one of " : "";
  for (const KernelTarget& t : targets) names += t.name + (&t == &targets.back() ? "" : ", ");
  const auto listed = [&](const KernelTarget& k) {
    return std::any_of(targets.begin(), targets.end(),
                       [&](const KernelTarget& t) { return t.name == k.name && t.function == k.function; });
  };
  // A name picks its form as it is; unset or empty, the measurement picks one of them.
  for (const KernelTarget& t : targets) {
    const KernelChoice c = choose_field_kernel(t.name.c_str());
    EXPECT_TRUE(c.target.name == t.name && c.target.function == t.function &&
                c.how == "forced by EXPCOIL_KERNEL")
        << t.name << " " << c.target.name << " " << c.how;
  }
  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    const KernelChoice c = choose_field_kernel(unset);
    EXPECT_TRUE(listed(c.target)) << c.target.name;
    EXPECT_EQ(c.how, targets.size() > 1 ? "measured" : "the only one");
    EXPECT_EQ(c.seconds > 0.0, targets.size() > 1) << c.seconds;
  }
  EXPECT_TRUE(listed(field_kernel_choice().target));
  // Names are exact; Highway's own names for its fallback are not ours.
  for (const std::string bad : {"avx9", "AVX2", "avx2 ", "emu128", "auto", "-"}) {
    EXPECT_EQ(test::thrown<InputError>([&] { choose_field_kernel(bad.c_str()); }),
              "EXPCOIL_KERNEL is \"" + bad + "\", which is not a field kernel this machine runs: use " +
                  names + ", or leave it unset to pick the fastest");
  }
}

}  // namespace
}  // namespace expcoil
