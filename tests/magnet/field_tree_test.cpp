// The tree code against the exact sum: the error bound on random and on magnet-like segment sets, next to
// conductors, at several tolerances; the same bits for any worker count; the tolerance it refuses.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <vector>

#include "lib/errors.hpp"
#include "magnet/checks.hpp"
#include "magnet/design.hpp"
#include "magnet/field.hpp"
#include "magnet/field_evaluator.hpp"
#include "magnet/field_map.hpp"
#include "magnet/field_tree.hpp"

namespace expcoil {
namespace {

struct Points {
  std::vector<double> x, y, z;
  std::size_t size() const { return x.size(); }
  void add(double a, double b, double c) {
    x.push_back(a);
    y.push_back(b);
    z.push_back(c);
  }
};

// Two mirror layers at y = +-0.02: a meander of runs along z, 8 mm apart in x, each cut into 2 mm pieces,
// the current alternating from run to run and opposite in the lower layer; about 20,000 segments (more
// with more pieces).
WindingSet mirror_layers(int pieces = 400) {
  WindingSet w;
  for (int layer = 0; layer < 2; ++layer) {
    const double y = layer == 0 ? 0.02 : -0.02;
    for (int run = 0; run < 26; ++run) {
      const double x = -0.1 + 0.008 * run;
      const double sign = (run % 2 == 0 ? 1.0 : -1.0) * (layer == 0 ? 1.0 : -1.0);
      for (int piece = 0; piece < pieces; ++piece) {
        const double z0 = -0.4 + 0.8 * piece / pieces, z1 = -0.4 + 0.8 * (piece + 1) / pieces;
        w.append({x, y, sign > 0 ? z0 : z1, x, y, sign > 0 ? z1 : z0, 3000.0});
      }
      if (run + 1 < 26) {  // the turn to the next run, at the end where this one arrives
        const double zt = sign > 0 ? 0.4 : -0.4;
        w.append({x, y, zt, x + 0.008, y, zt, 3000.0});
      }
    }
  }
  return w;
}

// A grid around the layers with planes 2 and 3 mm from each of them, and points on conductors: at the ends
// of segments and inside them, where a segment's own term is left out.
Points mirror_points() {
  Points p;
  const double ys[] = {-0.05, -0.03, -0.022, -0.017, -0.005, 0.0, 0.005, 0.017, 0.022, 0.03, 0.05};
  for (int i = 0; i < 17; ++i) {
    for (double y : ys) {
      for (int k = 0; k < 101; ++k) p.add(-0.3 + 0.0375 * i + 0.001, y, -1.0 + k / 50.0);
    }
  }
  for (int run = 0; run < 26; run += 5) {
    for (double z : {-0.4, -0.2, 0.0, 0.1001, 0.4}) p.add(-0.1 + 0.008 * run, 0.02, z);
  }
  return p;
}

// Random segments up to 2 cm long in eight clusters 10 cm wide at the corners of a 1 m cube, and one in a
// hundred from its cluster across the cube (longer than most cells are wide).
WindingSet random_segments(int count, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  WindingSet w;
  for (int i = 0; i < count; ++i) {
    const double x = (i & 1 ? 0.5 : -0.5) + 0.05 * u(rng), y = (i & 2 ? 0.5 : -0.5) + 0.05 * u(rng),
                 z = (i & 4 ? 0.5 : -0.5) + 0.05 * u(rng);
    const double reach = i % 100 == 0 ? 0.8 : 0.02;
    w.append({x, y, z, x - reach * std::copysign(std::fabs(u(rng)), x), y + 0.02 * u(rng), z + 0.02 * u(rng),
              500.0 * u(rng)});
  }
  return w;
}

std::vector<double> exact(const WindingSet& w, const Points& p) {
  std::vector<double> b(3 * p.size());
  direct_sum_evaluator(w)->field_at_points(p.x.data(), p.y.data(), p.z.data(), p.size(), b.data(), 2);
  return b;
}

// max |tree - exact| / max |exact| over the points.
double relative_error(const std::vector<double>& tree, const std::vector<double>& want) {
  double err = 0.0, top = 0.0;
  for (std::size_t i = 0; i < want.size(); i += 3) {
    err = std::max(err, std::hypot(tree[i] - want[i], tree[i + 1] - want[i + 1], tree[i + 2] - want[i + 2]));
    top = std::max(top, std::hypot(want[i], want[i + 1], want[i + 2]));
  }
  return err / top;
}

void expect_within_bound(const WindingSet& w, const Points& p, const char* what) {
  const std::vector<double> want = exact(w, p);
  double previous = INFINITY;
  for (double tolerance : {1e-3, 1e-6, 1e-9}) {
    std::vector<double> tree(3 * p.size());
    FieldTreeStats stats;
    field_tree(w, p.x.data(), p.y.data(), p.z.data(), p.size(), tolerance, 2, tree.data(), nullptr, &stats);
    const double err = relative_error(tree, want);
    EXPECT_LE(err, tolerance) << what << " at tolerance " << tolerance;
    // The expansions must carry part of the sum, or the bound is met by doing the exact sum.
    EXPECT_GT(stats.far_pairs, 0) << what << " at tolerance " << tolerance;
    EXPECT_LT(stats.near_pairs, static_cast<std::int64_t>(w.count() * p.size()) * 3 / 4) << what;
    // Float near sums at the loose tolerances (where a point's bound exceeds its share, double).
    EXPECT_EQ(stats.float_near, tolerance >= 1e-7) << what << " at tolerance " << tolerance;
    EXPECT_LE(stats.double_points, stats.float_near ? static_cast<std::int64_t>(p.size()) : 0) << what;
    // A tighter tolerance must buy accuracy: the orders follow it.
    EXPECT_LE(err, previous) << what << " at tolerance " << tolerance;
    previous = std::max(err, 1e-300);
  }
}

TEST(FieldTree, ErrorWithinToleranceOnRandomSegments) {
  std::mt19937_64 rng(21);
  const WindingSet w = random_segments(4000, rng);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Points p;
  // Most inside the cube, some among the clusters.
  for (int i = 0; i < 6000; ++i) p.add(0.4 * u(rng), 0.4 * u(rng), 0.4 * u(rng));
  for (int i = 0; i < 1000; ++i) p.add(0.6 * u(rng), 0.6 * u(rng), 0.6 * u(rng));
  expect_within_bound(w, p, "random segments");
}

TEST(FieldTree, ErrorWithinToleranceOnMirrorLayersNextToConductors) {
  expect_within_bound(mirror_layers(), mirror_points(), "mirror layers");
  // Enough segments for the larger leaves of large sets.
  Points some;
  const Points all = mirror_points();
  for (std::size_t i = 0; i < all.size(); i += 3) some.add(all.x[i], all.y[i], all.z[i]);
  expect_within_bound(mirror_layers(700), some, "mirror layers of 36,000 segments");
}

// The float near sums pay only where their bounds fit the share, a part of the tolerance times the
// largest |B|. A grid that stays 10 mm from the layers has a largest |B| not much above its points' near
// fields: most bounds exceed the share, and the leaves whose centres' do go to double untried. With one
// node 1 um beside a conductor (600 T) the share is large against them, and every leaf tries float.
TEST(FieldTree, FloatNearSumsAreTriedOnlyWhereTheirBoundsCanFit) {
  const WindingSet w = mirror_layers(150);
  Points clear;
  for (int i = 0; i < 17; ++i) {
    for (double y : {-0.05, -0.03, -0.01, 0.0, 0.01, 0.03, 0.05}) {
      for (int k = 0; k < 101; ++k) clear.add(-0.3 + 0.0375 * i + 0.001, y, -1.0 + k / 50.0);
    }
  }
  Points beside = clear;
  beside.add(-0.1 + 1e-6, 0.02, 0.1001);
  const double tolerance = 1e-6;
  for (const auto& [p, through] : {std::pair{beside, true}, std::pair{clear, false}}) {
    const char* what = through ? "a node beside a conductor" : "clear of the layers";
    std::vector<double> tree(3 * p.size());
    FieldTreeStats stats;
    field_tree(w, p.x.data(), p.y.data(), p.z.data(), p.size(), tolerance, 2, tree.data(), nullptr, &stats);
    EXPECT_LE(relative_error(tree, exact(w, p)), tolerance) << what;
    ASSERT_TRUE(stats.float_near) << what;
    if (through) {
      EXPECT_EQ(stats.double_leaves, 0) << what;
      EXPECT_LT(stats.double_points, static_cast<std::int64_t>(p.size()) / 10) << what;
    } else {
      EXPECT_GT(stats.double_leaves, 0) << what;
      EXPECT_GT(stats.double_points, static_cast<std::int64_t>(p.size()) / 2) << what;
    }
  }
}

// Windings in planes are computed in a frame turned so that the planes' normal is its z axis, with cells
// split between planes first. The same windings and points turned to each axis (three planes of unequal
// size, a plane holding both a run and the mirror of another) must keep the bound, and agree with each
// other within it; so must a set where one segment leaves its plane (no plane split, general cells).
TEST(FieldTree, LayersInPlanesOfEveryOrientationKeepTheBound) {
  const WindingSet base = mirror_layers(150);
  std::vector<Segment> layers;
  for (std::size_t i = 0; i < base.count(); ++i) layers.push_back(base[i]);
  for (std::size_t i = 0; i < base.count() / 3; ++i) {  // a third plane at y = 0.05, a third as large
    Segment g = base[i];
    g.y1 = g.y2 = 0.05;
    layers.push_back(g);
  }
  const Points grid = mirror_points();
  Points some;
  for (std::size_t i = 0; i < grid.size(); i += 2) some.add(grid.x[i], grid.y[i], grid.z[i]);
  some.add(-0.1, 0.05, 0.1);  // on a conductor of the third plane
  auto turn = [](double a, double b, double c, int axis, double* out) {
    const double v[3] = {a, b, c};  // the plane normal (y) becomes `axis`
    for (int k = 0; k < 3; ++k) out[(axis + 2 + k) % 3] = v[k];
  };
  const double tolerance = 1e-6;
  std::vector<double> first;
  for (int axis = 0; axis < 3; ++axis) {
    for (bool tilted : {false, true}) {
      WindingSet w;
      for (std::size_t i = 0; i < layers.size(); ++i) {
        const Segment& g = layers[i];
        double a[3], b[3];
        turn(g.x1, g.y1, g.z1, axis, a);
        turn(g.x2, g.y2 + (tilted && i == 7 ? 0.001 : 0.0), g.z2, axis, b);
        w.append({a[0], a[1], a[2], b[0], b[1], b[2], g.current});
      }
      Points p;
      for (std::size_t i = 0; i < some.size(); ++i) {
        double q[3];
        turn(some.x[i], some.y[i], some.z[i], axis, q);
        p.add(q[0], q[1], q[2]);
      }
      std::vector<double> tree(3 * p.size());
      field_tree(w, p.x.data(), p.y.data(), p.z.data(), p.size(), tolerance, 2, tree.data());
      const std::vector<double> want = exact(w, p);
      const std::string what = "normal along axis " + std::to_string(axis) + (tilted ? ", one tilted" : "");
      EXPECT_LE(relative_error(tree, want), tolerance) << what;
      if (tilted) continue;
      // Back in the first orientation's frame: the maps agree within twice the bound.
      std::vector<double> back(tree.size());
      for (std::size_t i = 0; i < p.size(); ++i) {
        for (std::size_t k = 0; k < 3; ++k)
          back[3 * i + k] = tree[3 * i + (static_cast<std::size_t>(axis) + 2 + k) % 3];
      }
      if (first.empty()) {
        first = back;
      } else {
        EXPECT_LE(relative_error(back, first), 2.0 * tolerance) << what;
      }
    }
  }
}

TEST(FieldTree, SameBitsForAnyWorkerCount) {
  const WindingSet w = mirror_layers();
  const Points p = mirror_points();
  std::vector<double> one(3 * p.size());
  std::atomic<std::int64_t> done{0};
  field_tree(w, p.x.data(), p.y.data(), p.z.data(), p.size(), 1e-6, 1, one.data(), &done);
  EXPECT_EQ(done.load(), static_cast<std::int64_t>(p.size()));
  for (unsigned workers : {2u, 3u, 7u}) {
    std::vector<double> many(3 * p.size(), -1.0);
    field_tree(w, p.x.data(), p.y.data(), p.z.data(), p.size(), 1e-6, workers, many.data());
    EXPECT_EQ(std::memcmp(one.data(), many.data(), one.size() * sizeof(double)), 0) << workers << " workers";
  }
}

TEST(FieldTree, NoWindingsGiveNoField) {
  const WindingSet none;
  const Points p = mirror_points();
  std::vector<double> b(3 * p.size(), 1.0);
  field_tree(none, p.x.data(), p.y.data(), p.z.data(), p.size(), 1e-6, 2, b.data());
  for (double v : b) EXPECT_EQ(v, 0.0);
}

TEST(FieldTree, RejectsToleranceNotFiniteOrNotAboveZero) {
  const WindingSet w = mirror_layers();
  const double x = 0.0, y = 0.0, z = 0.0;
  double b[3];
  for (double bad :
       {0.0, -1e-6, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(field_tree(w, &x, &y, &z, 1, bad, 1, b), InputError) << bad;
  }
}

}  // namespace
}  // namespace expcoil

namespace expcoil {
namespace {

// Through the seam, on a designed magnet's own map (the golden configuration's straight magnet, points a
// few mm from its conductors included): every node within the tolerance of the exact map, the same bits
// for any worker count, and the evaluator says it is not exact.
TEST(FieldTree, ADesignedMagnetsMapThroughTheSeamKeepsItsBound) {
  const ParameterSet set =
      parameter_set_load((std::filesystem::path(EXPCOIL_TEST_DATA) / "golden" / "config.txt").string());
  MagnetSpec magnet = set.magnets[0].with_value(KeyId::kFieldmapVerticalCell, 0.004);
  const Design design = design_magnet(magnet, 2);
  const FieldMapGrid grid = field_map_grid(magnet);
  const FieldMap exact = field_map_compute(design.windings, grid, 2);
  double largest = 0.0;
  for (std::size_t p = 0; p < exact.b.size(); p += 3) {
    largest = std::max(largest, std::hypot(exact.b[p], exact.b[p + 1], exact.b[p + 2]));
  }
  EXPECT_FALSE(make_field_evaluator(design.windings, {1e-6})->exact());
  for (const double tolerance : {1e-3, 1e-6, 1e-9}) {
    const FieldMap one = field_map_compute(design.windings, grid, 1, nullptr, {tolerance});
    const FieldMap three = field_map_compute(design.windings, grid, 3, nullptr, {tolerance});
    ASSERT_EQ(std::memcmp(one.b.data(), three.b.data(), one.b.size() * sizeof(double)), 0) << tolerance;
    double worst = 0.0;
    for (std::size_t p = 0; p < exact.b.size(); p += 3) {
      worst = std::max(worst, std::hypot(one.b[p] - exact.b[p], one.b[p + 1] - exact.b[p + 1],
                                         one.b[p + 2] - exact.b[p + 2]));
    }
    EXPECT_LE(worst, tolerance * largest) << tolerance;
  }
  EXPECT_THROW(make_field_evaluator(design.windings, {-1.0}), InputError);
}

}  // namespace
}  // namespace expcoil
