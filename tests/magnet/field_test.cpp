#include "magnet/field.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace expcoil {
namespace {

constexpr double kMu0Over4Pi = 1e-7;

WindingSet make_set(const std::vector<Segment>& segments) {
  WindingSet set;
  for (const Segment& s : segments) set.append(s);
  return set;
}

double norm(const std::array<double, 3>& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// Biot-Savart by quadrature, in long double: composite 8-point Gauss-Legendre over the segment.
std::array<double, 3> quadrature_field(const Segment& s, double x, double y, double z) {
  static const long double node[4] = {0.1834346424956498049394761L, 0.5255324099163289858177390L,
                                      0.7966664774136267395915539L, 0.9602898564975362316835609L};
  static const long double weight[4] = {0.3626837833783619829651504L, 0.3137066458778872873379622L,
                                        0.2223810344533744705443560L, 0.1012285362903762591525314L};
  const long double d[3] = {(long double)s.x2 - s.x1, (long double)s.y2 - s.y1, (long double)s.z2 - s.z1};
  long double sum[3] = {0, 0, 0};
  const int panels = 400;
  for (int p = 0; p < panels; ++p) {
    const long double mid = (p + 0.5L) / panels;
    const long double half = 0.5L / panels;
    for (int q = 0; q < 8; ++q) {
      const long double t = mid + (q < 4 ? -node[q] : node[q - 4]) * half;
      const long double w = weight[q % 4] * half;
      const long double r[3] = {x - (s.x1 + t * d[0]), y - (s.y1 + t * d[1]), z - (s.z1 + t * d[2])};
      const long double len = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
      const long double k = w / (len * len * len);
      sum[0] += k * (d[1] * r[2] - d[2] * r[1]);
      sum[1] += k * (d[2] * r[0] - d[0] * r[2]);
      sum[2] += k * (d[0] * r[1] - d[1] * r[0]);
    }
  }
  const long double f = kMu0Over4Pi * s.current;
  return {double(f * sum[0]), double(f * sum[1]), double(f * sum[2])};
}

TEST(WindingsField, LongWireAndOrientation) {
  const WindingSet wire = make_set({{0, 0, -1000, 0, 0, 1000, 1.0}});
  const std::array<double, 3> b = windings_field(wire, 1, 0, 0);
  // Finite wire: mu0 I / (4 pi rho) * 2 * (L/2) / sqrt((L/2)^2 + rho^2).
  const double expected = 2e-7 * 1000.0L / std::sqrt(1000.0L * 1000.0L + 1.0L);
  EXPECT_EQ(b[0], 0.0);
  EXPECT_EQ(b[2], 0.0);
  EXPECT_NEAR(b[1], expected, 1e-14 * expected);  // +y on the +x side of a current along +z
  EXPECT_NEAR(b[1], 1.99999900000075e-07, 1e-20);

  // The constant is mu0/(2 pi) as it rounds in double precision, one ulp above 2e-7.
  EXPECT_EQ(kFieldConstant, 4e-7 * M_PI / (2.0 * M_PI));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(kFieldConstant), std::bit_cast<std::uint64_t>(2e-7) + 1);

  double out[3] = {1, 1, 1};
  windings_field_at(1, 0, 0, out, &wire);
  EXPECT_EQ(out[1], b[1]);
  EXPECT_EQ(out[0], 0.0);

  const WindingSet empty;
  EXPECT_EQ(windings_field(empty, 0.3, -0.2, 0.1), (std::array<double, 3>{0.0, 0.0, 0.0}));
}

TEST(WindingsField, AgreesWithQuadratureReversalAndNegation) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n = 0; n < 40; ++n) {
    const Segment s{u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), 100.0 * u(rng)};
    // Points at least 0.3 from both end points and 0.1 from the segment's line keep the quadrature exact
    // to far below the threshold.
    double x, y, z;
    do {
      x = 2 * u(rng);
      y = 2 * u(rng);
      z = 2 * u(rng);
      const double d[3] = {s.x2 - s.x1, s.y2 - s.y1, s.z2 - s.z1};
      const double r[3] = {x - s.x1, y - s.y1, z - s.z1};
      const double cross[3] = {d[1] * r[2] - d[2] * r[1], d[2] * r[0] - d[0] * r[2],
                               d[0] * r[1] - d[1] * r[0]};
      const double dist = norm({cross[0], cross[1], cross[2]}) / norm({d[0], d[1], d[2]});
      if (dist > 0.1 && norm({r[0], r[1], r[2]}) > 0.3 && norm({x - s.x2, y - s.y2, z - s.z2}) > 0.3) break;
    } while (true);

    const std::array<double, 3> b = windings_field(make_set({s}), x, y, z);
    const std::array<double, 3> ref = quadrature_field(s, x, y, z);
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(b[a], ref[a], 1e-10 * norm(ref)) << n << " axis " << a;

    const std::array<double, 3> reversed =
        windings_field(make_set({{s.x2, s.y2, s.z2, s.x1, s.y1, s.z1, s.current}}), x, y, z);
    const std::array<double, 3> negated =
        windings_field(make_set({{s.x1, s.y1, s.z1, s.x2, s.y2, s.z2, -s.current}}), x, y, z);
    for (int a = 0; a < 3; ++a) {
      EXPECT_NEAR(reversed[a], -b[a], 1e-12 * norm(b));
      EXPECT_EQ(negated[a], -b[a]);  // K * (-I) = -(K * I) exactly, so the whole term flips sign exactly
    }
  }
}

TEST(WindingsField, SquareLoopCentreAndSuperposition) {
  const double side = 0.37;
  const double h = side / 2;
  const double current = 250.0;
  // Counter-clockwise seen from +z: the field at the centre points along +z.
  const std::vector<Segment> loop = {{-h, -h, 0, h, -h, 0, current},
                                     {h, -h, 0, h, h, 0, current},
                                     {h, h, 0, -h, h, 0, current},
                                     {-h, h, 0, -h, -h, 0, current}};
  const WindingSet set = make_set(loop);
  const std::array<double, 3> b = windings_field(set, 0, 0, 0);
  const long double pi = 3.141592653589793238462643383279503L;
  const double expected = 2 * std::sqrt(2.0L) * (4e-7L * pi) * current / (pi * side);
  EXPECT_NEAR(b[2], expected, 1e-12 * expected);
  EXPECT_EQ(b[0], 0.0);
  EXPECT_EQ(b[1], 0.0);

  // Off the centre the sum equals the single-segment results, up to rounding.
  const std::array<double, 3> p = {0.05, -0.11, 0.2};
  std::array<double, 3> sum = {0, 0, 0};
  for (const Segment& s : loop) {
    const std::array<double, 3> one = windings_field(make_set({s}), p[0], p[1], p[2]);
    for (int a = 0; a < 3; ++a) sum[a] += one[a];
  }
  const std::array<double, 3> all = windings_field(set, p[0], p[1], p[2]);
  for (int a = 0; a < 3; ++a) EXPECT_NEAR(all[a], sum[a], 1e-14 * norm(sum));
}

TEST(WindingsField, DegenerateSegmentsContributeNothing) {
  const Segment other{0.3, -0.2, -0.5, 0.3, 0.4, 0.5, 12.0};
  const WindingSet base = make_set({other});
  // A zero-length segment, anywhere in the set, leaves every point's field exactly as it was.
  const WindingSet with_dot =
      make_set({{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 5.0}, other, {1, 2, 3, 1, 2, 3, -1.0}});
  for (const std::array<double, 3>& p : {std::array<double, 3>{0, 0, 0}, {0.1, 0.1, 0.1}, {-1, 2, 0.25}}) {
    EXPECT_EQ(windings_field(with_dot, p[0], p[1], p[2]), windings_field(base, p[0], p[1], p[2]));
  }
  // Points on the line of a segment, exactly representable: at its start, its end, inside it and on its
  // extension both ways; the axis-aligned and the diagonal case.
  const std::vector<std::pair<Segment, std::vector<std::array<double, 3>>>> cases = {
      {{0, 0, 0, 0, 0, 1, 3.0}, {{0, 0, 0}, {0, 0, 1}, {0, 0, 0.5}, {0, 0, 2}, {0, 0, -3}}},
      {{0, 0, 0, 1, 1, 1, -2.0}, {{0, 0, 0}, {1, 1, 1}, {0.5, 0.5, 0.5}, {2, 2, 2}, {-1, -1, -1}}},
  };
  for (const auto& [segment, points] : cases) {
    const WindingSet set = make_set({other, segment});
    for (const auto& p : points) {
      const std::array<double, 3> b = windings_field(set, p[0], p[1], p[2]);
      EXPECT_EQ(b, windings_field(base, p[0], p[1], p[2])) << p[0] << ' ' << p[1] << ' ' << p[2];
      for (double v : b) EXPECT_TRUE(std::isfinite(v));
    }
  }
}

// Segments of every kind the kernel must agree on: random ones, a zero-length one, and axis-aligned ones
// through points of the set, so that some lanes meet a segment's line while their neighbours do not.
struct KernelCase {
  WindingSet set;
  std::vector<double> x, y, z;
};

KernelCase kernel_case(std::size_t points, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  KernelCase k;
  for (int n = 0; n < 150; ++n) k.set.append({u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), 50 * u(rng)});
  k.set.append({0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 9.0});
  k.set.append({0.5, -0.5, -1.0, 0.5, -0.5, 1.0, 7.0});
  k.set.append({-1.0, 0.75, 0.25, 1.0, 0.75, 0.25, -4.0});
  for (std::size_t p = 0; p < points; ++p) {
    switch (p % 5) {
      case 1:  // on the line x = 0.5, y = -0.5 (inside, at an end or beyond)
        k.x.push_back(0.5), k.y.push_back(-0.5), k.z.push_back(p % 3 == 0 ? 1.0 : 0.5 * (p % 7) - 1.0);
        break;
      case 3:  // on the line y = 0.75, z = 0.25
        k.x.push_back(0.25 * (p % 11) - 1.5), k.y.push_back(0.75), k.z.push_back(0.25);
        break;
      case 4: {  // a segment's start point
        const Segment& s = k.set[static_cast<std::uint32_t>(p % 150)];
        k.x.push_back(s.x1), k.y.push_back(s.y1), k.z.push_back(s.z1);
        break;
      }
      default:
        k.x.push_back(1.5 * u(rng)), k.y.push_back(1.5 * u(rng)), k.z.push_back(1.5 * u(rng));
    }
  }
  return k;
}

TEST(FieldKernel, BitIdenticalToReferenceOnEveryInstructionSet) {
  const std::vector<KernelTarget> targets = field_kernel_targets();
  ASSERT_FALSE(targets.empty());
  for (const KernelTarget& target : targets) {
    force_field_kernel_target(target.id);
    EXPECT_EQ(field_kernel_target(), target.name);
    // Point counts below, at and above the vector widths (2, 4, 8), so that spare lanes are exercised.
    for (std::size_t n : {1u, 3u, 5u, 8u, 13u, 16u, 37u}) {
      const KernelCase k = kernel_case(n, 1000 + n);
      const SegmentStream stream(k.set);
      std::vector<double> out(3 * n, -1.0);
      field_kernel(stream, k.x.data(), k.y.data(), k.z.data(), n, out.data());
      for (std::size_t p = 0; p < n; ++p) {
        const std::array<double, 3> ref = windings_field(k.set, k.x[p], k.y[p], k.z[p]);
        for (int a = 0; a < 3; ++a) {
          EXPECT_EQ(std::bit_cast<std::uint64_t>(out[3 * p + a]), std::bit_cast<std::uint64_t>(ref[a]))
              << target.name << " n=" << n << " point " << p << " axis " << a;
          EXPECT_TRUE(std::isfinite(out[3 * p + a]));
        }
      }
    }
  }
  force_field_kernel_target(0);
}

}  // namespace
}  // namespace expcoil
