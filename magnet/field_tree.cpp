// The tree code behind field_tree: a kd-tree over the segments (sources), a kd-tree over the points
// (targets), Cartesian multipole moments of the source cells, local Taylor expansions of the field in the
// target cells, and a closed form summed directly (field_kernel's near form, along chains of segments: one
// square root and one division a pair) for the pairs of leaves that are too close for an expansion.
//
// The expansion. Write K' = mu0 / (4 pi) = kFieldConstant / 2. A straight segment from A along d carrying
// I has the field B(P) = K' I \int_0^1 d x G(P - A - t d) dt with G(R) = R / |R|^3 = -grad (1/|R|). For a
// source cell with centre c_S, a target cell with centre c_T, D = c_T - c_S, a point P = c_T + v and a
// source point s = c_S - w, G(D + v + w) is expanded in Taylor series in (v, w) about 0 and truncated at
// total degree p in v and w together. With the moments M_a = \int I d w^a / a! (a multi-index), H_g =
// d^g G(D) = -d^(g + e_k) (1/|R|) (componentwise), the local coefficients are
//   L_b = K' / b! \sum_{|a| <= p - |b|} M_a x H_(a + b),   B(P) ~ \sum_b L_b v^b.
// The moments of a straight segment are polynomial integrals of degree <= p in t, so Gauss-Legendre with
// floor(p / 2) + 1 nodes gives them exactly; shifting moments to a parent's centre and shifting a local
// expansion to a child's centre are exact polynomial re-expansions. The only approximation is the
// truncation, bounded below (where the cell pairs are accepted).
#include "magnet/field_tree.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lib/errors.hpp"
#include "lib/workers.hpp"
#include "magnet/field.hpp"

namespace expcoil {
namespace {

constexpr int kHighestOrder = 20;
// Leaf sizes (points a multiple of every vector width of the kernel). At high orders an M2L costs as
// much as thousands of near pairs, so larger leaves, which trade expansions for near pairs, pay on large
// sets, the more so the cheaper a near pair: on the example magnet's 93,424 segments and 260,928 points,
// with the near sums along chains, 512 points and 32 segments took 0.94 of the time of 256 and 32 at 1e-6
// (order 10; 512 and 64: 1.06), 512 and 64 0.94 of the time of 256 and 64 at 1e-9 (order 16; 512 and 32:
// 1.06), 768 or 1024 points no less; 256 points 0.80 of the time of 64 at 1e-3 (order 6) and 1e-4 (order
// 7), as much as 512. On 10,000 segments of mirror layers and 10^6 points, where every target leaf holds
// an expansion of its own, 256 points took 0.6 of the time of 64 at 1e-9. On a few thousand segments
// larger source leaves leave too few cells for the expansions to carry much of the sum.
struct Leaves {
  std::int32_t points, segments;
};
Leaves leaf_sizes(int order, std::size_t points, std::size_t segments) {
  const bool large = segments >= 32768;
  if (large) return {order >= 10 ? 512 : 256, order >= 12 ? 64 : 32};
  if (points >= 64 * segments) return {256, 32};
  return {64, 32};
}
// The target tree is cut into the subtrees below this depth, the work items of the workers; a fixed
// depth, so that the items (and with them every result) do not depend on the worker count.
constexpr int kTaskDepth = 8;
// The top of the traversal, down to this depth, runs on one core; below it the parts of it run on the
// workers.
constexpr int kSplitDepth = 3;
// The part of the tolerance (relative to the floor of max |B|) left to rounding, when the tolerance is
// above twice this; below, half of it. With half of every tolerance left to rounding, the tree's largest
// error over the exact map, truncation and rounding together, was at most 3e-14 of max |B| at 1e-9 on the
// example magnet and 1e-13 on every set of the growth table (bench/): the rounding is far smaller than
// this.
constexpr double kRounding = 1e-10;
// From this tolerance up, the near sums run in float, and this part of the tolerance (relative to the
// floor of max |B|) is what their bounds may take at a point; the truncation has that much less. (On the
// example magnet's fine grid at 1e-6, a share of 0.06 sent 1 % of the points' near sums back to double,
// 0.03 sent 7 %, and most bounds lay between 0.1 and 1 of the share: at a tenth of that tolerance most
// would exceed it.)
constexpr double kFloatTolerance = 1e-7;
constexpr double kFloatShare = 0.06;
// A leaf whose centre's float bound exceeds this many shares takes its near sums in double without
// trying float. (The centres' bounds over the share: on the example magnet's fine grid at 1e-6 all
// below 4, 99 % below 1.75, 95 % below 1.1; on mirror layers of 10^5 segments with 10^5 points that miss
// them, whose largest |B| is no more than a few times the typical, 95 % above 38, and every point's
// bound exceeded the share.)
constexpr double kFloatProbe = 4.0;
// Points whose exact field sets the lower bound of max |B|: up to this many spread evenly over the set,
// and as many of the points nearest to a segment's midpoint, those closest to the segment's line. (On the
// example magnet's fine grid 64 of each found the largest |B| of the map, a node on a conductor.)
constexpr std::size_t kFloorSamples = 128;

std::size_t terms(int p) { return p < 0 ? 0 : static_cast<std::size_t>((p + 1) * (p + 2) * (p + 3) / 6); }

// Multi-indices of total degree <= q in order of degree, so that those of degree <= p are a prefix of
// length terms(p), with the tables the recurrences need.
struct Basis {
  int q = 0;
  std::vector<std::array<int, 3>> exponent;
  std::vector<int> index;                                 // (i * (q + 1) + j) * (q + 1) + k -> position
  std::vector<std::array<int, 3>> minus1, minus2, plus1;  // a - e_k, a - 2 e_k, a + e_k, or -1
  std::vector<int> parent_axis;                           // an axis k with a_k > 0
  std::vector<double> inverse;                            // 1 / a_k for that axis
  std::vector<double> factorial;                          // a!
  std::vector<double> inverse_factorial;
  int at(int i, int j, int k) const {
    if (i < 0 || j < 0 || k < 0 || i + j + k > q) return -1;
    return index[static_cast<std::size_t>((i * (q + 1) + j) * (q + 1) + k)];
  }

  explicit Basis(int highest) : q(highest) {
    index.assign(static_cast<std::size_t>((q + 1) * (q + 1) * (q + 1)), -1);
    for (int n = 0; n <= q; ++n) {
      for (int i = n; i >= 0; --i) {
        for (int j = n - i; j >= 0; --j) {
          index[static_cast<std::size_t>((i * (q + 1) + j) * (q + 1) + (n - i - j))] =
              static_cast<int>(exponent.size());
          exponent.push_back({i, j, n - i - j});
        }
      }
    }
    const std::size_t m = exponent.size();
    minus1.resize(m);
    minus2.resize(m);
    plus1.resize(m);
    parent_axis.resize(m);
    inverse.resize(m);
    factorial.resize(m);
    inverse_factorial.resize(m);
    for (std::size_t a = 0; a < m; ++a) {
      const auto [i, j, k] = exponent[a];
      minus1[a] = {at(i - 1, j, k), at(i, j - 1, k), at(i, j, k - 1)};
      minus2[a] = {at(i - 2, j, k), at(i, j - 2, k), at(i, j, k - 2)};
      plus1[a] = {at(i + 1, j, k), at(i, j + 1, k), at(i, j, k + 1)};
      parent_axis[a] = i > 0 ? 0 : j > 0 ? 1 : 2;
      inverse[a] = a == 0 ? 1.0 : 1.0 / exponent[a][static_cast<std::size_t>(parent_axis[a])];
      double f = 1.0;
      for (int e : exponent[a]) {
        for (int t = 2; t <= e; ++t) f *= t;
      }
      factorial[a] = f;
      inverse_factorial[a] = 1.0 / f;
    }
  }
};

// Nodes and weights of n-point Gauss-Legendre quadrature on [0, 1].
void gauss_legendre(int n, std::vector<double>& node, std::vector<double>& weight) {
  node.resize(static_cast<std::size_t>(n));
  weight.resize(static_cast<std::size_t>(n));
  const double pi = 3.14159265358979323846;
  for (int i = 0; i < n; ++i) {
    double x = std::cos(pi * (i + 0.75) / (n + 0.5));
    double dp = 1.0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      if (n == 1) p0 = 1.0;
      dp = n * (x * p1 - p0) / (x * x - 1.0);
      const double step = p1 / dp;
      x -= step;
      if (std::fabs(step) < 1e-16) break;
    }
    node[static_cast<std::size_t>(i)] = 0.5 * (1.0 - x);
    weight[static_cast<std::size_t>(i)] = 1.0 / ((1.0 - x * x) * dp * dp);
  }
}

struct Cell {
  double c[3];
  double r;
  std::int32_t first, end;  // items [first, end) in tree order
  std::int32_t left = -1, right = -1;
  // Target cells: the part of the error budget that scales with a source cell's field (see field_tree).
  double allowance = 0.0;
  // Source cells: every segment lies in the plane z = c[2] (see field_tree's choice of axes).
  bool planar = false;
  double charge = 0.0;  // source cells: K' \sum |I| length
  bool leaf() const { return left < 0; }
};

// A kd-tree: the longest side of the bounding box of the items' positions is split at the median (ties
// broken by item number, so the tree is a function of the input alone). Cell centres are the centres of
// the bounding boxes of the items' extents; radii are filled in by the caller. With `planes` (every item
// flat in z), a cell whose items lie in more than one plane z = const is first split between planes,
// each plane whole on one side, so that the cells below are planar.
//
// With `deferred`, a cell at depth kBuildDepth is not built but left as a placeholder (left = -2 - k for
// the k-th of them, its range in first and end) for build_tree_on to build on the workers.
constexpr int kBuildDepth = 3;
template <class Position, class Extent>
std::int32_t build_tree(std::vector<Cell>& cells, std::vector<std::int32_t>& order, std::int32_t first,
                        std::int32_t end, std::int32_t leaf, bool planes, const Position& position,
                        const Extent& extent, std::vector<std::int32_t>* deferred = nullptr, int depth = 0) {
  if (deferred != nullptr && depth == kBuildDepth) {
    Cell placeholder;
    placeholder.first = first;
    placeholder.end = end;
    placeholder.left = -2 - static_cast<std::int32_t>(deferred->size());
    deferred->push_back(static_cast<std::int32_t>(cells.size()));
    cells.push_back(placeholder);
    return static_cast<std::int32_t>(cells.size()) - 1;
  }
  double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  double plo[3] = {INFINITY, INFINITY, INFINITY}, phi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (std::int32_t i = first; i < end; ++i) {
    const std::array<double, 3> p = position(order[static_cast<std::size_t>(i)]);
    extent(order[static_cast<std::size_t>(i)], lo, hi);
    for (int k = 0; k < 3; ++k) {
      plo[k] = std::min(plo[k], p[static_cast<std::size_t>(k)]);
      phi[k] = std::max(phi[k], p[static_cast<std::size_t>(k)]);
    }
  }
  const std::int32_t id = static_cast<std::int32_t>(cells.size());
  Cell cell;
  for (int k = 0; k < 3; ++k) cell.c[k] = 0.5 * (lo[k] + hi[k]);
  cell.r = 0.0;
  cell.first = first;
  cell.end = end;
  cell.planar = lo[2] == hi[2];
  cells.push_back(cell);
  int axis = 0;
  for (int k = 1; k < 3; ++k) {
    if (phi[k] - plo[k] > phi[axis] - plo[axis]) axis = k;
  }
  const bool between_planes = planes && phi[2] > plo[2];
  if (between_planes) axis = 2;
  if ((end - first <= leaf && !between_planes) || !(phi[axis] > plo[axis])) return id;
  std::int32_t mid = first + (end - first) / 2;
  {
    // By (coordinate, item number), gathered once: the same order as comparing through `position`, on
    // contiguous keys.
    std::vector<std::pair<double, std::int32_t>> keyed(static_cast<std::size_t>(end - first));
    for (std::int32_t i = first; i < end; ++i) {
      const std::int32_t item = order[static_cast<std::size_t>(i)];
      keyed[static_cast<std::size_t>(i - first)] = {position(item)[static_cast<std::size_t>(axis)], item};
    }
    std::nth_element(keyed.begin(), keyed.begin() + (mid - first), keyed.end());
    for (std::int32_t i = first; i < end; ++i)
      order[static_cast<std::size_t>(i)] = keyed[static_cast<std::size_t>(i - first)].second;
  }
  if (between_planes) {
    // The median's plane goes whole to the side with fewer items of the other planes.
    const double z = position(order[static_cast<std::size_t>(mid)])[2];
    const auto below = std::partition(order.begin() + first, order.begin() + end,
                                      [&](std::int32_t a) { return position(a)[2] < z; });
    const auto upto =
        std::partition(below, order.begin() + end, [&](std::int32_t a) { return position(a)[2] == z; });
    const std::int32_t b = static_cast<std::int32_t>(below - order.begin());
    const std::int32_t u = static_cast<std::int32_t>(upto - order.begin());
    mid = b > first && (b - first >= end - u || u == end) ? b : u;
  }
  const std::int32_t left =
      build_tree(cells, order, first, mid, leaf, planes, position, extent, deferred, depth + 1);
  const std::int32_t right =
      build_tree(cells, order, mid, end, leaf, planes, position, extent, deferred, depth + 1);
  cells[static_cast<std::size_t>(id)].left = left;
  cells[static_cast<std::size_t>(id)].right = right;
  return id;
}

// Appends the tree below cell c of `top` to `cells` in depth-first order, a placeholder's subtree from
// `below` (its cells numbered from 0); returns the cell's new number.
std::int32_t stitch_tree(const std::vector<Cell>& top, const std::vector<std::vector<Cell>>& below,
                         std::int32_t c, std::vector<Cell>& cells) {
  const Cell& cell = top[static_cast<std::size_t>(c)];
  const std::int32_t id = static_cast<std::int32_t>(cells.size());
  if (cell.left <= -2) {
    for (Cell sub : below[static_cast<std::size_t>(-2 - cell.left)]) {
      if (!sub.leaf()) {
        sub.left += id;
        sub.right += id;
      }
      cells.push_back(sub);
    }
    return id;
  }
  cells.push_back(cell);
  if (!cell.leaf()) {
    const std::int32_t left = stitch_tree(top, below, cell.left, cells);
    const std::int32_t right = stitch_tree(top, below, cell.right, cells);
    cells[static_cast<std::size_t>(id)].left = left;
    cells[static_cast<std::size_t>(id)].right = right;
  }
  return id;
}

// build_tree with the subtrees below kBuildDepth built on the workers: the cells and the order are those
// of build_tree, for any worker count (each subtree is a function of its own range of items alone).
template <class Position, class Extent>
void build_tree_on(std::vector<Cell>& cells, std::vector<std::int32_t>& order, std::int32_t end,
                   std::int32_t leaf, bool planes, const Position& position, const Extent& extent,
                   unsigned workers) {
  std::vector<Cell> top;
  std::vector<std::int32_t> deferred;
  build_tree(top, order, 0, end, leaf, planes, position, extent, &deferred, 0);
  std::vector<std::vector<Cell>> below(deferred.size());
  run_workers(static_cast<std::int64_t>(deferred.size()), workers, [&](const WorkerRange& r, unsigned) {
    for (std::int64_t k = r.first; k < r.end; ++k) {
      const Cell& placeholder = top[static_cast<std::size_t>(deferred[static_cast<std::size_t>(k)])];
      build_tree(below[static_cast<std::size_t>(k)], order, placeholder.first, placeholder.end, leaf, planes,
                 position, extent);
    }
  });
  cells.clear();
  stitch_tree(top, below, 0, cells);
}

double distance(const double* a, const double* b) {
  const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
  return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

// body(c) for every cell c on the workers (each cell's value its own, so none depends on the workers).
template <class Body>
void each_cell(std::size_t count, unsigned workers, const Body& body) {
  run_workers(static_cast<std::int64_t>(count), workers, [&](const WorkerRange& r, unsigned) {
    for (std::int64_t c = r.first; c < r.end; ++c) body(static_cast<std::size_t>(c));
  });
}

// A radius computed in rounded arithmetic is enlarged so that it is never below the true one.
double safe_radius(double r) { return r * (1.0 + 1e-12) + 1e-300; }

// The truncation bound. For a unit source at distance |w| < |R| from the expansion point, the terms of
// degree n of the Taylor series of 1/|R + w| are |w|^n P_n(cos theta) / |R|^(n+1), a solid harmonic of
// degree -(n+1) in R. Its gradient has the radial part (n+1) P_n / |R|^(n+2) and the tangential part
// sin(theta) P_n'(cos theta) / |R|^(n+2); with P_n^2 + (1 - x^2) P_n'^2 / (n (n+1)) <= 1 (Szego) the
// squared gradient is at most ((n+1)^2 P_n^2 + n (n+1) (1 - P_n^2)) / |R|^(2n+4) <= (n+1)^2 / |R|^(2n+4).
// The degree-n terms of the Cartesian Taylor polynomial are exactly these (the homogeneous parts of a
// series are unique), and the double expansion in (v, w) truncated at |a| + |b| <= p is the expansion in
// v + w truncated at degree p, because G depends on v + w only. So with rho = (r_T + r_S) / |D| < 1,
//   |G - G_p| <= \sum_{n > p} (n + 1) rho^n / |D|^2 = rho^(p+1) ((p + 2) / (1 - rho) + rho / (1 - rho)^2) /
//   |D|^2,
// and a cell carrying Q = K' \sum |I| length (the moments' charge) is off by at most Q S(p, rho) / |D|^2.
// `power` is rho^(p + 1), `inverse` 1 / (1 - rho).
double truncation_at(int p, double power, double rho, double inverse) {
  return power * ((p + 2) * inverse + rho * (inverse * inverse));
}

// Q S / |D|^2, a cell of charge Q off by at most this at distance |D| (S = truncation_at), enlarged for
// its two roundings.
double pair_bound(double charge, double truncation, double d) {
  return charge * truncation / (d * d) * (1.0 + 1e-15);
}

// x^e for e >= 0, by squaring.
double power_by_squaring(double x, int e) {
  double result = 1.0;
  for (; e > 0; e >>= 1) {
    if (e & 1) result *= x;
    x *= x;
  }
  return result;
}

// The kernel's derivatives are harmonic, d^(g + 2 e_z) = -d^(g + 2 e_x) - d^(g + 2 e_y), so the M2L sum
// needs only the moments and local coefficients whose z exponent is 0 or 1 (2n + 1 of each degree n
// instead of (n + 1)(n + 2) / 2): the other moments are folded onto them (reduce_moments) and the other
// local coefficients follow from them (expand_local). The same identity holds for every degree of the
// truncated sums, so the folding changes nothing but the rounding.
//
// The sums themselves run over the scalar potential's derivatives: with H_g = d^g G = -d^(g + e_k) (1 /
// |R|) componentwise, (M_a x H_(a + b))_i = -eps_ijk M_(a,j) d^(a + b + e_k) (1 / |R|), so
//   \sum_{|a| <= p - |b|} M_a x H_(a + b) = (Phi_(b + e_y, z) - Phi_(b + e_z, y), Phi_(b + e_z, x) -
//   Phi_(b + e_x, z), Phi_(b + e_x, y) - Phi_(b + e_y, x)),
//   Phi_(c, j) = \sum_{|a| <= p + 1 - |c|} M_(a, j) d^(a + c) (1 / |R|),
// the same terms regrouped: three products a term instead of six, on one derivative instead of three.
// Phi is harmonic in c as well, so it too is needed only where c's z exponent is 0 or 1.
struct Reduced {
  std::vector<int> full;                    // reduced index -> Basis index, degrees <= p + 1
  std::vector<int> degree;                  // of each reduced index
  std::vector<int> kernel_index;            // kernel-derivative index -> Basis index (z <= 2)
  std::vector<std::size_t> kernel_end;      // derivatives of degree <= q: the first kernel_end[q]
  std::vector<int> recurrence;              // Basis indices with z <= 3, in degree order
  std::vector<std::size_t> recurrence_end;  // of degree <= q: the first recurrence_end[q]
  // For reduced c of degree n_c >= 1, the kernel index of a + c for the reduced a of degree <= order +
  // 1 - n_c: sum_index[sum_start[c] + a]. A sum truncated at p takes the first count(p + 1 - n_c).
  std::vector<int> sum_index;
  std::vector<std::size_t> sum_start;
  // A planar cell (its segments in one plane z = const through its centre) has no moment with a z
  // exponent: its reduced moments are those of z exponent 0, (n + 1) of degree n, in `planar` (reduced
  // indices) order, and its sums run over them alone: planar_index[planar_start[c] + a], the first
  // planar_count(p + 1 - n_c) of them.
  std::vector<int> planar, planar_index;
  std::vector<std::size_t> planar_start;
  // For reduced b of degree <= order, the reduced index of b + e_k; for k = z where that has z exponent
  // 2, -1, and Phi_(b + e_z) = -Phi_(b + e_z - 2 e_z + 2 e_x) - Phi_(b - e_z + 2 e_y) from lift_x, lift_y.
  std::vector<std::array<int, 3>> up;
  std::vector<int> lift_x, lift_y;

  static std::size_t count(int p) { return p < 0 ? 0 : static_cast<std::size_t>((p + 1) * (p + 1)); }
  static std::size_t planar_count(int p) {
    return p < 0 ? 0 : static_cast<std::size_t>((p + 1) * (p + 2) / 2);
  }

  explicit Reduced(const Basis& basis) {
    const int p = basis.q - 1;
    std::vector<int> kernel_of(basis.exponent.size(), -1), reduced_of(basis.exponent.size(), -1);
    for (int n = 0; n <= basis.q; ++n) {
      for (int az = 0; az <= std::min(1, n); ++az) {
        for (int ax = n - az; ax >= 0; --ax) {
          const int a = basis.at(ax, n - az - ax, az);
          reduced_of[static_cast<std::size_t>(a)] = static_cast<int>(full.size());
          full.push_back(a);
          degree.push_back(n);
        }
      }
      for (int gz = 0; gz <= std::min(2, n); ++gz) {
        for (int gx = n - gz; gx >= 0; --gx) {
          const int g = basis.at(gx, n - gz - gx, gz);
          kernel_of[static_cast<std::size_t>(g)] = static_cast<int>(kernel_index.size());
          kernel_index.push_back(g);
        }
      }
      kernel_end.push_back(kernel_index.size());
    }
    for (int n = 0; n <= basis.q; ++n) {
      for (std::size_t a = terms(n - 1); a < terms(n); ++a) {
        if (basis.exponent[a][2] <= 3) recurrence.push_back(static_cast<int>(a));
      }
      recurrence_end.push_back(recurrence.size());
    }
    for (std::size_t r = 0; r < count(p); ++r) {
      if (basis.exponent[static_cast<std::size_t>(full[r])][2] == 0) planar.push_back(static_cast<int>(r));
    }
    for (std::size_t c = 0; c < count(basis.q); ++c) {
      const auto& ec = basis.exponent[static_cast<std::size_t>(full[c])];
      const int nc = degree[c];
      auto kernel_at = [&](int a) {
        const auto& ea = basis.exponent[static_cast<std::size_t>(full[static_cast<std::size_t>(a)])];
        return kernel_of[static_cast<std::size_t>(basis.at(ea[0] + ec[0], ea[1] + ec[1], ea[2] + ec[2]))];
      };
      sum_start.push_back(sum_index.size());
      planar_start.push_back(planar_index.size());
      if (nc == 0) continue;
      for (std::size_t a = 0; a < count(basis.q - nc); ++a)
        sum_index.push_back(kernel_at(static_cast<int>(a)));
      for (std::size_t a = 0; a < planar_count(basis.q - nc); ++a)
        planar_index.push_back(kernel_at(planar[a]));
    }
    const auto reduced_at = [&](int i, int j, int k) {
      const int a = basis.at(i, j, k);
      return a < 0 ? -1 : reduced_of[static_cast<std::size_t>(a)];
    };
    for (std::size_t b = 0; b < count(p); ++b) {
      const auto [x, y, z] = basis.exponent[static_cast<std::size_t>(full[b])];
      up.push_back({reduced_at(x + 1, y, z), reduced_at(x, y + 1, z), z == 0 ? reduced_at(x, y, 1) : -1});
      lift_x.push_back(z == 1 ? reduced_at(x + 2, y, 0) : -1);
      lift_y.push_back(z == 1 ? reduced_at(x, y + 2, 0) : -1);
    }
  }
};

// Moments (3 per Basis index) folded onto the reduced indices: out[3 r + k].
void reduce_moments(const Basis& basis, const Reduced& reduced, int order, bool planar, const double* moments,
                    double* out) {
  std::vector<double> m(moments, moments + 3 * terms(order));
  // A planar cell's moments with a z exponent are zero: folding them changes nothing.
  for (int n = planar ? 1 : order; n >= 2; --n) {
    for (int z = n; z >= 2; --z) {
      for (int x = n - z; x >= 0; --x) {
        const std::size_t a = static_cast<std::size_t>(basis.at(x, n - z - x, z));
        const std::size_t ax = static_cast<std::size_t>(basis.at(x + 2, n - z - x, z - 2));
        const std::size_t ay = static_cast<std::size_t>(basis.at(x, n - z - x + 2, z - 2));
        for (std::size_t k = 0; k < 3; ++k) {
          m[3 * ax + k] -= m[3 * a + k];
          m[3 * ay + k] -= m[3 * a + k];
        }
      }
    }
  }
  for (std::size_t r = 0; r < Reduced::count(order); ++r) {
    for (std::size_t k = 0; k < 3; ++k) out[3 * r + k] = m[3 * static_cast<std::size_t>(reduced.full[r]) + k];
  }
}

// The M2L sums of up to kLanes source cells at once, one cell per lane (lane-minor arrays: v[i * kLanes +
// l]); every lane runs the same operations, so a lane's result does not depend on the others.
constexpr int kLanes = 8;

// The batches run in vector lanes chosen at load time; without SIMD builds, and under ThreadSanitizer,
// whose runtime is not yet up when the loader calls the clones' resolver, the one default version.
#if EXPCOIL_SIMD && !defined(__SANITIZE_THREAD__)
#define EXPCOIL_TREE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define EXPCOIL_TREE_CLONES
#endif

// kLanes doubles as one value (loads and stores by memcpy, unaligned), for the lane loops that walk a
// term table: the compiler leaves those scalar, as the table's index changes from term to term. The
// operations are those of the lane loops, lane by lane, so the bits are the same.
typedef double LaneVector __attribute__((vector_size(kLanes * sizeof(double)), aligned(alignof(double))));

// `moments` in the layout of the cells' kind: every reduced index, or (planar) those of `planar` alone.
// t holds terms(p + 1) * kLanes, f the derivatives, phi 3 * count(p + 1) * kLanes.
EXPCOIL_TREE_CLONES void batch_m2l(const Basis& basis, const Reduced& reduced, int p, bool planar,
                                   const double* __restrict d, const double* __restrict moments,
                                   double* __restrict t, double* __restrict f, double* __restrict phi,
                                   double* __restrict lp) {
  constexpr std::size_t L = kLanes;
  // d^a (1 / |R|) / a! at R = D: |a| r^2 T_a + (2|a| - 1) \sum_k D_k T_(a - e_k) + (|a| - 1) \sum_k
  // T_(a - 2 e_k) = 0, for the indices with z <= 3 (all that the kernel derivatives below use).
  double r2[L];
  for (std::size_t l = 0; l < L; ++l) {
    r2[l] = (d[l] * d[l] + d[L + l] * d[L + l]) + d[2 * L + l] * d[2 * L + l];
    t[l] = 1.0 / std::sqrt(r2[l]);
  }
  const std::size_t nt = reduced.recurrence_end[static_cast<std::size_t>(p + 1)];
  // In lane vectors, a missing T_(a - e_k) or T_(a - 2 e_k) read as a row of zeros: adding the zero
  // terms leaves the sums as they are, without a branch a term. Each term's value feeds the next ones,
  // so its division by |a| r^2 would hold up the chain: a product with reciprocals taken once instead.
  static constexpr double kZeroRow[L] = {};
  LaneVector dv[3], r2v;
  std::memcpy(dv, d, sizeof dv);
  std::memcpy(&r2v, r2, sizeof r2v);
  const LaneVector inverse_r2 = 1.0 / r2v;
  static const std::array<double, kHighestOrder + 3> inverse_degree = [] {
    std::array<double, kHighestOrder + 3> inverse{};
    for (int n = 1; n < kHighestOrder + 3; ++n) inverse[static_cast<std::size_t>(n)] = 1.0 / n;
    return inverse;
  }();
  for (std::size_t i = 1; i < nt; ++i) {
    const std::size_t a = static_cast<std::size_t>(reduced.recurrence[i]);
    const auto& e = basis.exponent[a];
    const int n = e[0] + e[1] + e[2];
    LaneVector s1 = {}, s2 = {};
    for (std::size_t k = 0; k < 3; ++k) {
      const int i1 = basis.minus1[a][k], i2 = basis.minus2[a][k];
      LaneVector t1, t2;
      std::memcpy(&t1, i1 >= 0 ? t + static_cast<std::size_t>(i1) * L : kZeroRow, sizeof t1);
      std::memcpy(&t2, i2 >= 0 ? t + static_cast<std::size_t>(i2) * L : kZeroRow, sizeof t2);
      s1 += dv[k] * t1;
      s2 += t2;
    }
    const double c1 = 2 * n - 1, c2 = n - 1;
    const LaneVector ta = -(c1 * s1 + c2 * s2) * (inverse_degree[static_cast<std::size_t>(n)] * inverse_r2);
    std::memcpy(t + a * L, &ta, sizeof ta);
  }
  // d^g (1 / |R|), z exponent <= 2, degree <= p + 1.
  const std::size_t nf = reduced.kernel_end[static_cast<std::size_t>(p + 1)];
  for (std::size_t g = 0; g < nf; ++g) {
    const std::size_t full = static_cast<std::size_t>(reduced.kernel_index[g]);
    const double factor = basis.factorial[full];
    for (std::size_t l = 0; l < L; ++l) f[g * L + l] = factor * t[full * L + l];
  }
  // Phi_c for the reduced c of degree 1 to p + 1, each sum held in registers, two c of one degree at a
  // time (their sums run over the same moments, loaded once).
  const std::size_t nc = Reduced::count(p + 1);
  for (std::size_t c = 1; c < nc;) {
    const int q = p + 1 - reduced.degree[c];
    const std::size_t na = planar ? Reduced::planar_count(q) : Reduced::count(q);
    const bool pair = c + 1 < nc && reduced.degree[c + 1] == reduced.degree[c];
    const int* __restrict g0 = planar ? reduced.planar_index.data() + reduced.planar_start[c]
                                      : reduced.sum_index.data() + reduced.sum_start[c];
    const int* __restrict g1 = pair ? (planar ? reduced.planar_index.data() + reduced.planar_start[c + 1]
                                              : reduced.sum_index.data() + reduced.sum_start[c + 1])
                                    : g0;
    double s0[L] = {}, s1[L] = {}, s2[L] = {}, u0[L] = {}, u1[L] = {}, u2[L] = {};
    for (std::size_t a = 0; a < na; ++a) {
      const double* __restrict ma = moments + 3 * L * a;
      const double* __restrict f0 = f + L * static_cast<std::size_t>(g0[a]);
      const double* __restrict f1 = f + L * static_cast<std::size_t>(g1[a]);
      for (std::size_t l = 0; l < L; ++l) s0[l] += ma[l] * f0[l];
      for (std::size_t l = 0; l < L; ++l) s1[l] += ma[L + l] * f0[l];
      for (std::size_t l = 0; l < L; ++l) s2[l] += ma[2 * L + l] * f0[l];
      for (std::size_t l = 0; l < L; ++l) u0[l] += ma[l] * f1[l];
      for (std::size_t l = 0; l < L; ++l) u1[l] += ma[L + l] * f1[l];
      for (std::size_t l = 0; l < L; ++l) u2[l] += ma[2 * L + l] * f1[l];
    }
    double* __restrict o = phi + 3 * L * c;
    for (std::size_t l = 0; l < L; ++l) {
      o[l] = s0[l];
      o[L + l] = s1[l];
      o[2 * L + l] = s2[l];
    }
    if (pair) {
      for (std::size_t l = 0; l < L; ++l) {
        o[3 * L + l] = u0[l];
        o[4 * L + l] = u1[l];
        o[5 * L + l] = u2[l];
      }
    }
    c += pair ? 2 : 1;
  }
  // The local sums from Phi at b + e_x, b + e_y, b + e_z (the last through the harmonic identity where
  // its z exponent is 2).
  const std::size_t nb = Reduced::count(p);
  for (std::size_t b = 0; b < nb; ++b) {
    const auto& u = reduced.up[b];
    const double* __restrict px = phi + 3 * L * static_cast<std::size_t>(u[0]);
    const double* __restrict py = phi + 3 * L * static_cast<std::size_t>(u[1]);
    double pz[3 * L];
    if (u[2] >= 0) {
      const double* __restrict s = phi + 3 * L * static_cast<std::size_t>(u[2]);
      for (std::size_t i = 0; i < 3 * L; ++i) pz[i] = s[i];
    } else {
      const double* __restrict sx = phi + 3 * L * static_cast<std::size_t>(reduced.lift_x[b]);
      const double* __restrict sy = phi + 3 * L * static_cast<std::size_t>(reduced.lift_y[b]);
      for (std::size_t i = 0; i < 3 * L; ++i) pz[i] = -sx[i] - sy[i];
    }
    double* __restrict lb = lp + 3 * L * b;
    for (std::size_t l = 0; l < L; ++l) {
      lb[l] = py[2 * L + l] - pz[L + l];
      lb[L + l] = pz[l] - px[2 * L + l];
      lb[2 * L + l] = px[L + l] - py[l];
    }
  }
}

// Basis indices in degree order, each with the position in the list of its parent a - e_k (k the parent
// axis), which comes before it.
struct MomentList {
  std::vector<int> term, parent, axis;
  std::vector<double> inverse;  // 1 / a_k
  MomentList(const Basis& basis, const std::vector<int>& terms) : term(terms) {
    std::vector<int> position(basis.exponent.size(), -1);
    for (std::size_t j = 0; j < term.size(); ++j)
      position[static_cast<std::size_t>(term[j])] = static_cast<int>(j);
    for (const int a : term) {
      const int k = basis.parent_axis[static_cast<std::size_t>(a)];
      const int from = basis.minus1[static_cast<std::size_t>(a)][static_cast<std::size_t>(k)];
      parent.push_back(from < 0 ? -1 : position[static_cast<std::size_t>(from)]);
      axis.push_back(k);
      inverse.push_back(basis.inverse[static_cast<std::size_t>(a)]);
    }
  }
};

// acc[(3 j + k) * kLanes + l] += q_k \int_0^1 (c - A - t d)^a / a! dt for the j-th Basis index a of `list`,
// q = current times d, for segment l < count (A its start, d its direction), by Gauss-Legendre, one
// segment per lane. mono and mu are scratch of list.term.size() * kLanes.
EXPCOIL_TREE_CLONES void segment_moments(const MomentList& list, const std::vector<double>& node,
                                         const std::vector<double>& weight, const double* c,
                                         const StreamSegment* g, std::size_t count, double* __restrict mono,
                                         double* __restrict mu, double* __restrict acc) {
  constexpr std::size_t L = kLanes;
  const std::size_t m = list.term.size();
  LaneVector start[3], dir[3], q[3];
  for (std::size_t l = 0; l < L; ++l) {
    const StreamSegment& e = g[l < count ? l : 0];
    start[0][l] = e.x1;
    start[1][l] = e.y1;
    start[2][l] = e.z1;
    dir[0][l] = e.dx;
    dir[1][l] = e.dy;
    dir[2][l] = e.dz;
    for (std::size_t k = 0; k < 3; ++k) q[k][l] = l < count ? e.ki * dir[k][l] : 0.0;
  }
  std::fill_n(mu, m * L, 0.0);
  for (std::size_t n = 0; n < node.size(); ++n) {
    LaneVector w[3];
    for (std::size_t k = 0; k < 3; ++k) w[k] = c[k] - (start[k] + node[n] * dir[k]);
    LaneVector one = {};
    one += weight[n];
    std::memcpy(mono, &one, sizeof one);
    LaneVector sum;
    std::memcpy(&sum, mu, sizeof sum);
    sum += one;
    std::memcpy(mu, &sum, sizeof sum);
    for (std::size_t j = 1; j < m; ++j) {
      const std::size_t k = static_cast<std::size_t>(list.axis[j]);
      const std::size_t from = static_cast<std::size_t>(list.parent[j]);
      LaneVector parent;
      std::memcpy(&parent, mono + from * L, sizeof parent);
      const LaneVector term = parent * w[k] * list.inverse[j];
      std::memcpy(mono + j * L, &term, sizeof term);
      std::memcpy(&sum, mu + j * L, sizeof sum);
      sum += term;
      std::memcpy(mu + j * L, &sum, sizeof sum);
    }
  }
  for (std::size_t j = 0; j < m; ++j) {
    LaneVector moment;
    std::memcpy(&moment, mu + j * L, sizeof moment);
    for (std::size_t k = 0; k < 3; ++k) {
      double* o = acc + (3 * j + k) * L;
      LaneVector sum;
      std::memcpy(&sum, o, sizeof sum);
      sum += q[k] * moment;
      std::memcpy(o, &sum, sizeof sum);
    }
  }
}

// b[k * kLanes + l] = \sum_a local[3 a + k] (P_l - c)^a over the Basis indices of degree <= `degree` (none
// when it is negative), for the points P_l, l < count, one point per lane, each lane in the order of the
// one-point loop. mono is scratch of terms(degree) * kLanes.
EXPCOIL_TREE_CLONES void evaluate_local(const Basis& basis, int degree, const double* __restrict local,
                                        const double* c, const double* x, const double* y, const double* z,
                                        std::size_t count, double* __restrict mono, double* __restrict b) {
  constexpr std::size_t L = kLanes;
  if (degree < 0) {
    std::fill_n(b, 3 * L, 0.0);
    return;
  }
  LaneVector v[3], sum[3];
  for (std::size_t l = 0; l < L; ++l) {
    // Spare lanes repeat the first point; their results are not read.
    const std::size_t p = l < count ? l : 0;
    v[0][l] = x[p] - c[0];
    v[1][l] = y[p] - c[1];
    v[2][l] = z[p] - c[2];
    mono[l] = 1.0;
    for (std::size_t k = 0; k < 3; ++k) sum[k][l] = local[k];
  }
  const std::size_t n = terms(degree);
  for (std::size_t a = 1; a < n; ++a) {
    const std::size_t k = static_cast<std::size_t>(basis.parent_axis[a]);
    LaneVector from;
    std::memcpy(&from, mono + static_cast<std::size_t>(basis.minus1[a][k]) * L, sizeof from);
    const LaneVector to = from * v[k];
    std::memcpy(mono + a * L, &to, sizeof to);
    for (std::size_t i = 0; i < 3; ++i) sum[i] += local[3 * a + i] * to;
  }
  for (std::size_t i = 0; i < 3; ++i) std::memcpy(b + i * L, &sum[i], sizeof sum[i]);
}

struct Evaluator;

// What a part of the traversal did, for FieldTreeStats.
struct Counts {
  std::int64_t far_pairs = 0;
  std::int64_t near_pairs = 0;
  std::int64_t double_points = 0;
  std::int64_t double_leaves = 0;

  Counts& operator+=(const Counts& o) {
    far_pairs += o.far_pairs;
    near_pairs += o.near_pairs;
    double_points += o.double_points;
    double_leaves += o.double_leaves;
    return *this;
  }
};

struct Scratch {
  std::vector<double> t, h, phi, lp, mono, near_b, local_b;
  std::vector<double> lane_d, lane_m, accumulated;       // a batch's offsets and moments; the reduced sums
  std::vector<std::vector<std::int32_t>> bucket;         // accepted source cells by order
  std::vector<std::vector<std::int32_t>> planar_bucket;  // those of them that are planar
  std::vector<std::size_t> near_ranges;  // a leaf's near segments, runs of chain records, first and end
  std::vector<double> near_planes;       // and the plane of each run's chain, or NaN
  std::vector<std::uint64_t> marks;      // a bit per chain record, all clear between leaves
  std::vector<std::int32_t> stack;
  std::vector<std::pair<double, std::int32_t>> by_bound;
  std::vector<double> zeros;  // a spare lane's moments
  FloatNearSums float_sums;   // the float near sums' inputs (float_near_sums)
  std::vector<double> near_bound, again;
  std::vector<std::size_t> redo;
  Counts counts;
};

struct Task {
  std::int32_t cell;
  std::vector<std::int32_t> candidates;
  std::vector<double> local;
  int degree;
  double spent;  // the truncation bounds of the expansions in `local`, at any of the cell's points
};

struct Evaluator {
  const Basis& basis;
  const Reduced& reduced;
  int order;      // highest expansion order
  double budget;  // accepted when the truncation bound <= budget * |D|^2 + the target's allowance
  double total;   // the truncation bound allowed at a point, all its expansions together
  std::vector<Cell> sources, targets;
  std::vector<StreamSegment> segments;  // in source-tree order
  // Per source cell, 3 for each term of its MomentList (planar cells: those without a z exponent, the
  // others being zero), from moment_offset[cell].
  std::unique_ptr<double[]> moments;
  std::vector<std::size_t> moment_offset;
  // 3 * Reduced::count(order) per source cell; a planar cell's 3 * Reduced::planar_count(order) alone,
  // those of Reduced::planar in its order (the others are zeros); from reduced_offset[cell]. In the array
  // of the moments, each cell's in the place of its own.
  std::unique_ptr<double[]> reduced_moments;
  std::vector<std::size_t> reduced_offset;
  std::vector<double> px, py, pz;  // points in target-tree order
  std::vector<std::int32_t> point_order;
  // Basis indices of degree <= order; those with no z exponent. Gauss-Legendre for the leaves' moments.
  std::vector<MomentList> moment_lists;
  std::vector<double> node, weight;
  int axes[3];  // coordinate i of the trees is axis axes[i] of the caller's
  NearKernelFunction near_kernel;
  // The near sums in float, where float_share (T, what their bounds may take at a point) is above 0.
  FloatNearKernelFunction near_float = nullptr;
  double float_share = 0.0;
  double* out;
  std::atomic<std::int64_t>* done;
  // The segments along the windings, for the near sums; chain_position[i]: the record of the i-th segment
  // in source-tree order.
  SegmentChains chains;
  std::vector<std::int32_t> chain_position;
  std::vector<float> record_length;  // each record's segment length, for the float near sums

  std::size_t stride() const { return 3 * terms(order); }

  // Smallest order whose bound fits the budget, or -1 when none up to `order` does; `bound`: Q_S S(p,
  // rho) / |D|^2 at that order.
  int order_for(const Cell& t, const Cell& s, double& bound) const {
    const double d = distance(t.c, s.c);
    const double rho = (t.r + s.r) / d;
    if (!(rho < 1.0)) return -1;
    const double spread = (1.0 + rho) * (1.0 + rho);
    const double allowed = budget * d * d + t.allowance / spread;
    if (!(allowed > 0.0)) return -1;
    // Powers of rho and the bound's terms in products: each rounds, so the bound is taken a little larger
    // (a few dozen roundings of relative error 2^-53 each lie far inside the factor). truncation falls as
    // p rises: a quick reject at the highest order first, its power by squaring.
    const double inverse = 1.0 / (1.0 - rho);
    const double top = power_by_squaring(rho, order + 1);
    const double highest = truncation_at(order, top, rho, inverse) * (1.0 + 1e-13);
    if (highest > allowed) return -1;
    double power = rho;  // rho^(p + 1)
    for (int p = 0; p < order; ++p) {
      const double truncation = truncation_at(p, power, rho, inverse) * (1.0 + 1e-13);
      if (truncation <= allowed) {
        bound = pair_bound(s.charge, truncation, d);
        return p;
      }
      power *= rho;
    }
    bound = pair_bound(s.charge, highest, d);
    return order;
  }

  // Q_S S(p, rho) / |D|^2, the bound of the pair at order p (infinite where rho >= 1).
  double bound_at(const Cell& t, const Cell& s, int p) const {
    const double d = distance(t.c, s.c);
    const double rho = (t.r + s.r) / d;
    if (!(rho < 1.0)) return INFINITY;
    const double top = power_by_squaring(rho, p + 1);
    return pair_bound(s.charge, truncation_at(p, top, rho, 1.0 / (1.0 - rho)) * (1.0 + 1e-13), d);
  }

  std::size_t reduced_stride() const { return 3 * Reduced::count(order); }

  // Up to kLanes source cells at order p into w.accumulated (the reduced sums, lanes added in order).
  // Planar batches (every cell planar) read only the moments without a z exponent.
  void run_batch(const Cell& tc, const std::int32_t* batch, std::size_t count, int p, bool planar,
                 Scratch& w) const {
    constexpr std::size_t L = kLanes;
    const std::size_t n = 3 * Reduced::count(p);
    const std::size_t np = Reduced::planar_count(p);
    // Where every cell has the batch's layout, the lanes are filled a term at a time (the stores in
    // order, the loads from kLanes runs), the spare lanes from zeros.
    bool same_layout = true;
    const double* from[L];
    for (std::size_t l = 0; l < L; ++l) {
      const std::int32_t s = batch[l < count ? l : 0];
      const Cell& sc = sources[static_cast<std::size_t>(s)];
      for (std::size_t k = 0; k < 3; ++k) w.lane_d[k * L + l] = tc.c[k] - sc.c[k];
      from[l] =
          l < count ? reduced_moments.get() + reduced_offset[static_cast<std::size_t>(s)] : w.zeros.data();
      same_layout = same_layout && (l >= count || planar || !sc.planar);
    }
    if (same_layout) {
      const std::size_t m = planar ? 3 * np : n;
      double* __restrict lane = w.lane_m.data();
      for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t l = 0; l < L; ++l) lane[i * L + l] = from[l][i];
      }
    }
    for (std::size_t l = 0; l < L && !same_layout; ++l) {
      const std::int32_t s = batch[l < count ? l : 0];
      const Cell& sc = sources[static_cast<std::size_t>(s)];
      const double* mo = reduced_moments.get() + reduced_offset[static_cast<std::size_t>(s)];
      double* lane = w.lane_m.data() + l;
      if (l >= count) {
        for (std::size_t i = 0; i < (planar ? 3 * np : n); ++i) lane[i * L] = 0.0;
      } else if (planar) {
        for (std::size_t i = 0; i < 3 * np; ++i) lane[i * L] = mo[i];
      } else if (sc.planar) {
        // A planar cell in a general batch: its moments with a z exponent are zeros.
        for (std::size_t i = 0; i < n; ++i) lane[i * L] = 0.0;
        for (std::size_t i = 0; i < np; ++i) {
          const std::size_t r = static_cast<std::size_t>(reduced.planar[i]);
          for (std::size_t k = 0; k < 3; ++k) lane[(3 * r + k) * L] = mo[3 * i + k];
        }
      } else {
        for (std::size_t i = 0; i < n; ++i) lane[i * L] = mo[i];
      }
    }
    batch_m2l(basis, reduced, p, planar, w.lane_d.data(), w.lane_m.data(), w.t.data(), w.h.data(),
              w.phi.data(), w.lp.data());
    for (std::size_t i = 0; i < n; ++i) {
      double sum = w.accumulated[i];
      for (std::size_t l = 0; l < L; ++l) sum += w.lp[i * L + l];
      w.accumulated[i] = sum;
    }
    w.counts.far_pairs += static_cast<std::int64_t>(count);
  }

  // The accepted cells of w.bucket, in full batches of one order first, then the rest merged from the
  // highest order down (a cell run at a higher order than it needs is only more accurate). Adds the
  // resulting expansion to `local` and returns the highest order run (-1: none).
  int flush(const Cell& tc, double* local, Scratch& w) const {
    constexpr std::size_t L = kLanes;
    int used = -1;
    std::fill(w.accumulated.begin(), w.accumulated.end(), 0.0);
    for (int p = order; p >= 0; --p) {
      for (bool planar : {false, true}) {
        const std::vector<std::int32_t>& b =
            (planar ? w.planar_bucket : w.bucket)[static_cast<std::size_t>(p)];
        for (std::size_t i = 0; i + L <= b.size(); i += L) {
          run_batch(tc, b.data() + i, L, p, planar, w);
          used = std::max(used, p);
        }
      }
    }
    // The rest in general batches (a planar cell's moments with a z exponent are zeros there).
    std::int32_t pending[L];
    std::size_t count = 0;
    int pending_order = -1;
    for (int p = order; p >= 0; --p) {
      for (bool planar : {false, true}) {
        std::vector<std::int32_t>& b = (planar ? w.planar_bucket : w.bucket)[static_cast<std::size_t>(p)];
        for (std::size_t i = b.size() / L * L; i < b.size(); ++i) {
          if (count == 0) pending_order = p;
          pending[count++] = b[i];
          if (count == L) {
            run_batch(tc, pending, count, pending_order, false, w);
            used = std::max(used, pending_order);
            count = 0;
          }
        }
        b.clear();
      }
    }
    if (count > 0) {
      run_batch(tc, pending, count, pending_order, false, w);
      used = std::max(used, pending_order);
    }
    if (used < 0) return used;
    // The full sums from the reduced ones, then the Taylor coefficients K' / b! times them.
    std::vector<double>& f = w.mono;
    std::fill(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(3 * terms(used)), 0.0);
    for (std::size_t r = 0; r < Reduced::count(used); ++r) {
      const std::size_t b = static_cast<std::size_t>(reduced.full[r]);
      for (std::size_t k = 0; k < 3; ++k) f[3 * b + k] = w.accumulated[3 * r + k];
    }
    for (int n = 2; n <= used; ++n) {
      for (int z = 2; z <= n; ++z) {
        for (int x = n - z; x >= 0; --x) {
          const std::size_t b = static_cast<std::size_t>(basis.at(x, n - z - x, z));
          const std::size_t bx = static_cast<std::size_t>(basis.at(x + 2, n - z - x, z - 2));
          const std::size_t by = static_cast<std::size_t>(basis.at(x, n - z - x + 2, z - 2));
          for (std::size_t k = 0; k < 3; ++k) f[3 * b + k] = -f[3 * bx + k] - f[3 * by + k];
        }
      }
    }
    for (std::size_t b = 0; b < terms(used); ++b) {
      const double c = 0.5 * basis.inverse_factorial[b];
      for (std::size_t k = 0; k < 3; ++k) local[3 * b + k] += c * f[3 * b + k];
    }
    return used;
  }

  // The polynomial \sum_b L_b v^b re-expanded about a point h further on: L'(v') = L(v' + h), one axis
  // at a time (a Taylor shift of every line of coefficients along that axis).
  void shift_local(double* local, int degree, const double* h) const {
    for (int axis = 0; axis < 3; ++axis) {
      if (h[axis] == 0.0) continue;
      for (int u = 0; u <= degree; ++u) {
        for (int v = 0; u + v <= degree; ++v) {
          const int n = degree - u - v;
          int line[kHighestOrder + 2];
          for (int i = 0; i <= n; ++i) {
            line[i] = axis == 0 ? basis.at(i, u, v) : axis == 1 ? basis.at(u, i, v) : basis.at(u, v, i);
          }
          for (int s = 0; s < n; ++s) {
            for (int i = n - 1; i >= s; --i) {
              for (int k = 0; k < 3; ++k) local[3 * line[i] + k] += h[axis] * local[3 * line[i + 1] + k];
            }
          }
        }
      }
    }
  }

  // Moments about c re-expressed about c + h: M'_a = \sum_{g <= a} h^(a - g) / (a - g)! M_g, one axis
  // at a time.
  // With `planar` (the moments with a z exponent are zero) the lines of the x and y shifts that hold
  // only those are skipped: they stay zero.
  void shift_moments(double* mo, const double* h, bool planar) const {
    for (int axis = 0; axis < 3; ++axis) {
      if (h[axis] == 0.0) continue;
      double e[kHighestOrder + 2];
      e[0] = 1.0;
      for (int i = 1; i <= order; ++i) e[i] = e[i - 1] * h[axis] / i;
      for (int u = 0; u <= order; ++u) {
        for (int v = 0; u + v <= order && (v == 0 || axis == 2 || !planar); ++v) {
          const int n = order - u - v;
          int line[kHighestOrder + 2];
          for (int i = 0; i <= n; ++i) {
            line[i] = axis == 0 ? basis.at(i, u, v) : axis == 1 ? basis.at(u, i, v) : basis.at(u, v, i);
          }
          for (int i = n; i >= 1; --i) {
            for (int k = 0; k < 3; ++k) {
              double sum = mo[3 * line[i] + k];
              for (int m = 0; m < i; ++m) sum += e[i - m] * mo[3 * line[m] + k];
              mo[3 * line[i] + k] = sum;
            }
          }
        }
      }
    }
  }

  // mono, mu and acc: scratch, resized here.
  void leaf_moments(std::int32_t s, std::vector<double>& mono, std::vector<double>& mu,
                    std::vector<double>& acc) const {
    const Cell& cell = sources[static_cast<std::size_t>(s)];
    double* mo = moments.get() + moment_offset[static_cast<std::size_t>(s)];
    // A planar cell's moments with a z exponent are zero (w_z = 0 for all its segments): not computed.
    const MomentList& list = list_of(cell);
    const std::size_t m = list.term.size();
    mono.resize(m * kLanes);
    mu.resize(m * kLanes);
    acc.assign(3 * m * kLanes, 0.0);
    for (std::int32_t i = cell.first; i < cell.end; i += static_cast<std::int32_t>(kLanes)) {
      const std::size_t count = std::min<std::size_t>(kLanes, static_cast<std::size_t>(cell.end - i));
      segment_moments(list, node, weight, cell.c, segments.data() + i, count, mono.data(), mu.data(),
                      acc.data());
    }
    for (std::size_t j = 0; j < m; ++j) {
      for (std::size_t k = 0; k < 3; ++k) {
        double sum = 0.0;
        for (std::size_t l = 0; l < kLanes; ++l) sum += acc[(3 * j + k) * kLanes + l];
        mo[3 * j + k] = sum;
      }
    }
  }

  // The moments of cell s (at depth `depth`) from its children's, those at depth `built` and below
  // already done (built < 0: none).
  void build_moments(std::int32_t s, int depth, int built) {
    const Cell& cell = sources[static_cast<std::size_t>(s)];
    if (cell.leaf() || depth == built) return;  // leaf_moments, run before
    std::vector<double> sum(stride(), 0.0), child(stride());
    for (std::int32_t c : {cell.left, cell.right}) {
      build_moments(c, depth + 1, built);
      const Cell& cc = sources[static_cast<std::size_t>(c)];
      full_moments(c, child.data());
      const double h[3] = {cell.c[0] - cc.c[0], cell.c[1] - cc.c[1], cell.c[2] - cc.c[2]};
      shift_moments(child.data(), h, cc.planar);
      for (std::size_t i = 0; i < stride(); ++i) sum[i] += child[i];
    }
    // A planar cell's children lie in its plane (h_z = 0): the terms with a z exponent stay zero.
    const MomentList& list = list_of(cell);
    double* mo = moments.get() + moment_offset[static_cast<std::size_t>(s)];
    for (std::size_t j = 0; j < list.term.size(); ++j) {
      for (std::size_t k = 0; k < 3; ++k) mo[3 * j + k] = sum[3 * static_cast<std::size_t>(list.term[j]) + k];
    }
  }

  const MomentList& list_of(const Cell& cell) const { return moment_lists[cell.planar ? 1 : 0]; }

  // Cell s's moments at their Basis indices (3 * terms(order)), zeros where its list has none.
  void full_moments(std::int32_t s, double* full) const {
    const MomentList& list = list_of(sources[static_cast<std::size_t>(s)]);
    const double* mo = moments.get() + moment_offset[static_cast<std::size_t>(s)];
    std::fill_n(full, stride(), 0.0);
    for (std::size_t j = 0; j < list.term.size(); ++j) {
      for (std::size_t k = 0; k < 3; ++k)
        full[3 * static_cast<std::size_t>(list.term[j]) + k] = mo[3 * j + k];
    }
  }

  // One target cell against its candidates: expansions accepted into `local` (their bounds added to
  // `spent`), leaf pairs into `near`, the rest handed to the cell's children in `deferred`.
  void interact(std::int32_t t, const std::vector<std::int32_t>& candidates, double* local, int& degree,
                double& spent, std::vector<std::int32_t>& near, std::vector<std::int32_t>& deferred,
                Scratch& w) const {
    const Cell& tc = targets[static_cast<std::size_t>(t)];
    std::vector<std::int32_t>& stack = w.stack;
    stack.assign(candidates.rbegin(), candidates.rend());
    while (!stack.empty()) {
      const std::int32_t s = stack.back();
      stack.pop_back();
      const Cell& sc = sources[static_cast<std::size_t>(s)];
      double bound = 0.0;
      const int p = order_for(tc, sc, bound);
      if (p >= 0) {
        (sc.planar ? w.planar_bucket : w.bucket)[static_cast<std::size_t>(p)].push_back(s);
        spent += bound;
      } else if (sc.leaf() && tc.leaf()) {
        near.push_back(s);
      } else if (!sc.leaf() && (tc.leaf() || sc.r > tc.r)) {
        stack.push_back(sc.right);
        stack.push_back(sc.left);
      } else {
        deferred.push_back(s);
      }
    }
    if (tc.leaf() && !near.empty()) accept_near(tc, spent, near, w);
    degree = std::max(degree, flush(tc, local, w));
  }

  // A leaf's points are owed no more than `total`; what its expansions leave of it goes to the pairs of
  // leaves that their shares turned away, those with the smallest bounds at the highest order first:
  // each that still fits is expanded instead of summed. (Lowering their orders with what is left after
  // them gave nothing: the mixed orders fill fewer batches.)
  void accept_near(const Cell& tc, double& spent, std::vector<std::int32_t>& near, Scratch& w) const {
    double left = total - spent;
    if (!(left > 0.0)) return;
    std::vector<std::pair<double, std::int32_t>>& by_bound = w.by_bound;
    by_bound.clear();
    for (std::size_t i = 0; i < near.size(); ++i) {
      const double b = bound_at(tc, sources[static_cast<std::size_t>(near[i])], order);
      if (b <= left) by_bound.push_back({b, static_cast<std::int32_t>(i)});
    }
    if (by_bound.empty()) return;
    std::sort(by_bound.begin(), by_bound.end());
    std::size_t accepted = 0;
    for (const auto& [b, i] : by_bound) {
      if (b > left) break;
      left -= b;
      spent += b;
      ++accepted;
      const std::int32_t s = near[static_cast<std::size_t>(i)];
      (sources[static_cast<std::size_t>(s)].planar ? w.planar_bucket
                                                   : w.bucket)[static_cast<std::size_t>(order)]
          .push_back(s);
      near[static_cast<std::size_t>(i)] = -1;
    }
    if (accepted > 0) near.erase(std::remove(near.begin(), near.end(), -1), near.end());
  }

  void evaluate_leaf(const Cell& tc, const double* local, int degree, const std::vector<std::int32_t>& near,
                     Scratch& w) const {
    // The near leaves' segments in chain order (a bit each, read back in order), cut into runs along the
    // chains: neighbours on a winding that both lie near share the distance to their common end.
    std::vector<std::uint64_t>& marks = w.marks;
    std::size_t count = 0, low = marks.size(), high = 0;
    for (std::int32_t s : near) {
      const Cell& sc = sources[static_cast<std::size_t>(s)];
      for (std::int32_t i = sc.first; i < sc.end; ++i) {
        const std::size_t j = static_cast<std::size_t>(chain_position[static_cast<std::size_t>(i)]);
        marks[j / 64] |= std::uint64_t{1} << (j % 64);
        low = std::min(low, j / 64);
        high = std::max(high, j / 64 + 1);
      }
      count += static_cast<std::size_t>(sc.end - sc.first);
    }
    // Two marked records in a row are of one chain: chains are apart by their closing records.
    std::vector<std::size_t>& ranges = w.near_ranges;
    std::vector<double>& planes = w.near_planes;
    ranges.clear();
    planes.clear();
    for (std::size_t word = low; word < high; ++word) {
      for (std::uint64_t bits = marks[word]; bits != 0; bits &= bits - 1) {
        const std::size_t j = 64 * word + static_cast<std::size_t>(std::countr_zero(bits));
        if (!ranges.empty() && ranges.back() == j) {
          ranges.back() = j + 1;
        } else {
          ranges.push_back(j);
          ranges.push_back(j + 1);
          planes.push_back(chains.record_plane[j]);
        }
      }
      marks[word] = 0;
    }
    const std::size_t m = static_cast<std::size_t>(tc.end - tc.first);
    w.near_b.resize(3 * m);
    if (float_share > 0.0 && !ranges.empty()) {
      float_near_sums(tc, w);
    } else {
      near_kernel(chains.records.data(), ranges.data(), planes.data(), planes.size(), px.data() + tc.first,
                  py.data() + tc.first, pz.data() + tc.first, m, w.near_b.data());
    }
    w.counts.near_pairs += static_cast<std::int64_t>(count * m);
    double* b = w.local_b.data();
    for (std::size_t i = 0; i < m; i += kLanes) {
      const std::size_t first = static_cast<std::size_t>(tc.first) + i;
      const std::size_t count = std::min<std::size_t>(kLanes, m - i);
      evaluate_local(basis, degree, local, tc.c, px.data() + first, py.data() + first, pz.data() + first,
                     count, w.mono.data(), b);
      for (std::size_t l = 0; l < count; ++l) {
        double* o = out + 3 * static_cast<std::size_t>(point_order[first + l]);
        for (std::size_t k = 0; k < 3; ++k) o[axes[k]] = w.near_b[3 * (i + l) + k] + b[k * kLanes + l];
      }
    }
    if (done != nullptr) done->fetch_add(static_cast<std::int64_t>(m), std::memory_order_relaxed);
  }

  // The near sums of leaf tc over the runs of w.near_ranges in float, about the leaf's centre. A point
  // whose bound exceeds the share takes its near sums in double, as without floats.
  void float_near_sums(const Cell& tc, Scratch& w) const {
    const std::vector<std::size_t>& ranges = w.near_ranges;
    const std::size_t m = static_cast<std::size_t>(tc.end - tc.first);
    w.float_sums.prepare(chains, record_length, ranges.data(), ranges.size() / 2, tc.c, tc.r,
                         px.data() + tc.first, py.data() + tc.first, pz.data() + tc.first, m);
    // Where the share is small against the near field (a map whose largest |B| is not much above its
    // typical one), most points' bounds exceed it, and the float sums would be paid for and thrown
    // away. The leaf's centre, the float frame's origin, is tried first: a leaf whose centre's bound
    // exceeds kFloatProbe times the share takes its near sums in double at once.
    FloatNearJob probe = w.float_sums.job();
    const float origin = 0.0f;
    probe.x = &tc.c[0];
    probe.y = &tc.c[1];
    probe.z = &tc.c[2];
    probe.fx = probe.fy = probe.fz = &origin;
    probe.n = 1;
    double probe_b[3], probe_bound;
    near_float(probe, probe_b, &probe_bound);
    if (!(probe_bound <= kFloatProbe * float_share)) {
      near_kernel(chains.records.data(), ranges.data(), w.near_planes.data(), w.near_planes.size(),
                  px.data() + tc.first, py.data() + tc.first, pz.data() + tc.first, m, w.near_b.data());
      w.counts.double_points += static_cast<std::int64_t>(m);
      ++w.counts.double_leaves;
      return;
    }
    w.near_bound.resize(m);
    near_float(w.float_sums.job(), w.near_b.data(), w.near_bound.data());
    // The points whose bound exceeds the share, together (a lane's sum does not depend on the others).
    std::vector<std::size_t>& redo = w.redo;
    redo.clear();
    for (std::size_t i = 0; i < m; ++i) {
      if (!(w.near_bound[i] <= float_share)) redo.push_back(i);
    }
    if (redo.empty()) return;
    const std::size_t k = redo.size();
    std::vector<double>& again = w.again;
    again.resize(6 * k);
    for (std::size_t i = 0; i < k; ++i) {
      const std::size_t p = static_cast<std::size_t>(tc.first) + redo[i];
      again[i] = px[p];
      again[k + i] = py[p];
      again[2 * k + i] = pz[p];
    }
    near_kernel(chains.records.data(), ranges.data(), w.near_planes.data(), w.near_planes.size(),
                again.data(), again.data() + k, again.data() + 2 * k, k, again.data() + 3 * k);
    for (std::size_t i = 0; i < k; ++i) {
      for (std::size_t c = 0; c < 3; ++c) w.near_b[3 * redo[i] + c] = again[3 * k + 3 * i + c];
    }
    w.counts.double_points += static_cast<std::int64_t>(k);
  }

  // Everything below target cell t, whose expansion so far is `local` (about t's centre).
  void descend(std::int32_t t, const std::vector<std::int32_t>& candidates, std::vector<double>& local,
               int degree, double spent, Scratch& w) const {
    const Cell& tc = targets[static_cast<std::size_t>(t)];
    std::vector<std::int32_t> near, deferred;
    interact(t, candidates, local.data(), degree, spent, near, deferred, w);
    if (tc.leaf()) {
      evaluate_leaf(tc, local.data(), degree, near, w);
      return;
    }
    for (std::int32_t c : {tc.left, tc.right}) {
      std::vector<double> child = local;
      const Cell& cc = targets[static_cast<std::size_t>(c)];
      const double h[3] = {cc.c[0] - tc.c[0], cc.c[1] - tc.c[1], cc.c[2] - tc.c[2]};
      if (degree >= 0) shift_local(child.data(), degree, h);
      descend(c, deferred, child, degree, spent, w);
    }
  }

  // The top of the target tree, run before the workers start: its cells' interactions, down to the
  // subtrees that become the work items.
  void split(std::int32_t t, const std::vector<std::int32_t>& candidates, std::vector<double> local,
             int degree, double spent, int depth, int stop, std::vector<Task>& tasks, Scratch& w) const {
    const Cell& tc = targets[static_cast<std::size_t>(t)];
    if (depth == stop || tc.leaf()) {
      tasks.push_back({t, candidates, std::move(local), degree, spent});
      return;
    }
    std::vector<std::int32_t> near, deferred;
    interact(t, candidates, local.data(), degree, spent, near, deferred, w);
    for (std::int32_t c : {tc.left, tc.right}) {
      std::vector<double> child = local;
      const Cell& cc = targets[static_cast<std::size_t>(c)];
      const double h[3] = {cc.c[0] - tc.c[0], cc.c[1] - tc.c[1], cc.c[2] - tc.c[2]};
      if (degree >= 0) shift_local(child.data(), degree, h);
      split(c, deferred, std::move(child), degree, spent, depth + 1, stop, tasks, w);
    }
  }

  void size_scratch(Scratch& w) const {
    const std::size_t L = kLanes;
    w.t.assign(terms(order + 1) * L, 0.0);
    w.h.assign(reduced.kernel_index.size() * L, 0.0);
    w.phi.assign(3 * Reduced::count(order + 1) * L, 0.0);
    w.lp.assign(reduced_stride() * L, 0.0);
    w.lane_d.assign(3 * L, 0.0);
    w.lane_m.assign(reduced_stride() * L, 0.0);
    w.zeros.assign(reduced_stride(), 0.0);
    w.accumulated.assign(reduced_stride(), 0.0);
    w.mono.assign(terms(order) * kLanes, 0.0);
    w.local_b.assign(3 * kLanes, 0.0);
    w.bucket.assign(static_cast<std::size_t>(order + 1), {});
    w.planar_bucket.assign(static_cast<std::size_t>(order + 1), {});
    w.marks.assign((chains.records.size() + 63) / 64, 0);
  }
};

// The highest order. Each pair takes the lowest order its bound allows, up to this one; a pair that needs
// more is split, or between leaves summed exactly. The reduced M2L sum costs about (p + 1)^4 / 4 lane
// operations, so beyond some order splitting is cheaper: the order at which rho = 0.28 alone meets the
// relative tolerance, rho^(p+1) <= tolerance, but at least 6: at loose tolerances, where rho = 0.28 asks
// for less, the pairs that the low order turns away fill the near lists. (On the example magnet's 93,424
// segments and 260,928 points, with the leaves' near pairs expanded from what their budget leaves, order
// 10 took 0.96 of the time of order 11 and as much as order 9 at 1e-6; at 1e-9 order 16 0.92 of the time
// of 17 and of 14; before that, order 6 half the time of order 4 at 1e-3 and as much as 7 or 8.)
int highest_order(double tolerance) {
  const int p = static_cast<int>(std::ceil(std::log(tolerance) / std::log(0.28))) - 1;
  return std::clamp(p, 6, kHighestOrder);
}

struct Box {
  double lo[3], hi[3];
};

double box_distance2(const Box& b, const double* q) {
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double e = std::max({b.lo[k] - q[k], 0.0, q[k] - b.hi[k]});
    sum += e * e;
  }
  return sum;
}

// A point of the target tree nearer to q than sqrt(best2), if any, into best_point (the nearest, ties
// to the one found first).
EXPCOIL_TREE_CLONES void nearest(const std::vector<Cell>& cells, const std::vector<Box>& boxes,
                                 std::int32_t c, const double* q, const std::vector<double>& px,
                                 const std::vector<double>& py, const std::vector<double>& pz, double& best2,
                                 std::int32_t& best_point) {
  const Cell& cell = cells[static_cast<std::size_t>(c)];
  if (cell.leaf()) {
    // The squared distances in lane vectors (the same operations), then the first smallest in order.
    constexpr std::int32_t L = kLanes;
    std::int32_t p = cell.first;
    for (; p + L <= cell.end; p += L) {
      const std::size_t i = static_cast<std::size_t>(p);
      LaneVector x, y, z;
      std::memcpy(&x, &px[i], sizeof x);
      std::memcpy(&y, &py[i], sizeof y);
      std::memcpy(&z, &pz[i], sizeof z);
      const LaneVector dx = x - q[0], dy = y - q[1], dz = z - q[2];
      const LaneVector d2 = (dx * dx + dy * dy) + dz * dz;
      for (std::int32_t l = 0; l < L; ++l) {
        if (d2[l] < best2) {
          best2 = d2[l];
          best_point = p + l;
        }
      }
    }
    for (; p < cell.end; ++p) {
      const std::size_t i = static_cast<std::size_t>(p);
      const double dx = px[i] - q[0], dy = py[i] - q[1], dz = pz[i] - q[2];
      const double d2 = (dx * dx + dy * dy) + dz * dz;
      if (d2 < best2) {
        best2 = d2;
        best_point = p;
      }
    }
    return;
  }
  const double dl = box_distance2(boxes[static_cast<std::size_t>(cell.left)], q);
  const double dr = box_distance2(boxes[static_cast<std::size_t>(cell.right)], q);
  const std::int32_t first = dl <= dr ? cell.left : cell.right, second = dl <= dr ? cell.right : cell.left;
  if (std::min(dl, dr) < best2) nearest(cells, boxes, first, q, px, py, pz, best2, best_point);
  if (std::max(dl, dr) < best2) nearest(cells, boxes, second, q, px, py, pz, best2, best_point);
}

// An upper bound of A(P) = K' \sum |I| L / dmax(P, segment)^2 over the points P of target cell tc, dmax the
// largest distance from P to a point of the segment: a source cell whose gap to tc is wide against its
// radius at once (Q_S / gap^2), the others' segments one by one (dmax^2 >= |P - m|^2 + L^2 / 4 for the
// midpoint m, the farther end lying at least that far, and |P - m| >= |c_T - m| - r_T).
double field_scale(const std::vector<Cell>& sources, const std::vector<StreamSegment>& segments,
                   const Cell& tc, std::int32_t s) {
  const Cell& sc = sources[static_cast<std::size_t>(s)];
  const double gap = distance(tc.c, sc.c) - tc.r - sc.r;
  if (gap > 0.0 && sc.r <= 0.5 * gap) return sc.charge / (gap * gap);
  if (!sc.leaf()) {
    return field_scale(sources, segments, tc, sc.left) + field_scale(sources, segments, tc, sc.right);
  }
  double sum = 0.0;
  for (std::int32_t i = sc.first; i < sc.end; ++i) {
    const StreamSegment& g = segments[static_cast<std::size_t>(i)];
    const double m[3] = {g.x1 + 0.5 * g.dx, g.y1 + 0.5 * g.dy, g.z1 + 0.5 * g.dz};
    const double q = std::max(0.0, distance(tc.c, m) - tc.r);
    const double den = q * q + 0.25 * g.a;
    if (den > 0.0) sum += 0.5 * std::fabs(g.ki) * std::sqrt(g.a) / den;
  }
  return sum;
}

}  // namespace

void field_tree(const WindingSet& windings, const double* x, const double* y, const double* z, std::size_t n,
                double tolerance, unsigned workers, double* out, std::atomic<std::int64_t>* done,
                FieldTreeStats* stats) {
  if (!(std::isfinite(tolerance) && tolerance > 0.0)) {
    throw InputError("the field tree's tolerance is " + std::to_string(tolerance) +
                     ": it must be a finite number above zero");
  }
  if (n > static_cast<std::size_t>(INT32_MAX) || windings.count() > static_cast<std::uint32_t>(INT32_MAX)) {
    throw InputError("the field tree takes fewer than 2^31 points and segments");
  }
  if (stats != nullptr) *stats = FieldTreeStats{};
  if (n == 0) return;
  // The segments, turned below and then laid in source-tree order, in place: the copies would double
  // what the tree takes of memory, and their pages' first touch is a good part of its time.
  std::vector<StreamSegment> turned = SegmentStream(windings).take();
  const std::size_t segment_count = turned.size();
  const NearKernelFunction near_kernel = field_kernel_choice().target.near;

  const int order = highest_order(tolerance);
  const Leaves leaves = leaf_sizes(order, n, segment_count);
  const unsigned slots = worker_count(workers);
  const Basis basis(order + 1);
  const Reduced reduced(basis);
  Evaluator ev{basis, reduced, order, 0.0, 0.0, {},        {},          {},      {},  {},  {},   {}, {}, {},
               {},    {},      {},    {},  {},  {0, 1, 2}, near_kernel, nullptr, 0.0, out, done, {}, {}, {}};
  {
    std::vector<int> all, planar;
    for (std::size_t a = 0; a < terms(order); ++a) {
      all.push_back(static_cast<int>(a));
      if (basis.exponent[a][2] == 0) planar.push_back(static_cast<int>(a));
    }
    ev.moment_lists = {MomentList(basis, all), MomentList(basis, planar)};
    gauss_legendre(order / 2 + 1, ev.node, ev.weight);
  }

  // The trees' axes. Windings that lie in planes (the layers of a straight magnet, x = const) have half the
  // multipole moments of general ones in a frame whose z axis is normal to the planes, and cells that
  // keep to one plane: the axis along which the most segments are flat becomes z (a cyclic permutation,
  // a rotation, so the kernels' cross products keep their form); B is turned back as it is written.
  std::size_t flat[3] = {0, 0, 0};
  for (std::size_t i = 0; i < segment_count; ++i) {
    const StreamSegment& g = turned[i];
    flat[0] += g.dx == 0.0;
    flat[1] += g.dy == 0.0;
    flat[2] += g.dz == 0.0;
  }
  const int normal = flat[2] >= flat[0] && flat[2] >= flat[1] ? 2 : flat[0] >= flat[1] ? 0 : 1;
  for (int i = 0; i < 3; ++i) ev.axes[i] = (normal + 1 + i) % 3;
  const double* coordinate[3] = {x, y, z};
  const double* px_in = coordinate[ev.axes[0]];
  const double* py_in = coordinate[ev.axes[1]];
  const double* pz_in = coordinate[ev.axes[2]];
  for (std::size_t i = 0; i < segment_count; ++i) {
    const StreamSegment& g = turned[i];
    const double start[3] = {g.x1, g.y1, g.z1}, d[3] = {g.dx, g.dy, g.dz};
    turned[i].x1 = start[ev.axes[0]];
    turned[i].y1 = start[ev.axes[1]];
    turned[i].z1 = start[ev.axes[2]];
    turned[i].dx = d[ev.axes[0]];
    turned[i].dy = d[ev.axes[1]];
    turned[i].dz = d[ev.axes[2]];
  }
  const bool planes = !turned.empty() && flat[normal] == turned.size();
  ev.chains = chain_segments(turned.data(), turned.size());

  // The target tree.
  const std::int32_t np = static_cast<std::int32_t>(n);
  ev.point_order.resize(n);
  std::iota(ev.point_order.begin(), ev.point_order.end(), 0);
  auto point = [&](std::int32_t i) {
    const std::size_t j = static_cast<std::size_t>(i);
    return std::array<double, 3>{px_in[j], py_in[j], pz_in[j]};
  };
  auto point_extent = [&](std::int32_t i, double* lo, double* hi) {
    const std::array<double, 3> p = point(i);
    for (std::size_t k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], p[k]);
      hi[k] = std::max(hi[k], p[k]);
    }
  };
  build_tree_on(ev.targets, ev.point_order, np, leaves.points, false, point, point_extent, slots);
  ev.px.resize(n);
  ev.py.resize(n);
  ev.pz.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t o = static_cast<std::size_t>(ev.point_order[i]);
    ev.px[i] = px_in[o];
    ev.py[i] = py_in[o];
    ev.pz[i] = pz_in[o];
  }
  each_cell(ev.targets.size(), slots, [&](std::size_t t) {
    Cell& c = ev.targets[t];
    double r = 0.0;
    for (std::int32_t i = c.first; i < c.end; ++i) {
      const std::size_t p = static_cast<std::size_t>(i);
      const double q[3] = {ev.px[p], ev.py[p], ev.pz[p]};
      r = std::max(r, distance(q, c.c));
    }
    c.r = safe_radius(r);
  });

  // The source tree.
  const std::int32_t ns = static_cast<std::int32_t>(segment_count);
  const StreamSegment* seg = turned.data();
  std::vector<std::int32_t> segment_order(segment_count);
  std::iota(segment_order.begin(), segment_order.end(), 0);
  auto midpoint = [&](std::int32_t i) {
    const StreamSegment& g = seg[i];
    return std::array<double, 3>{g.x1 + 0.5 * g.dx, g.y1 + 0.5 * g.dy, g.z1 + 0.5 * g.dz};
  };
  auto segment_extent = [&](std::int32_t i, double* lo, double* hi) {
    const StreamSegment& g = seg[i];
    const double a[3] = {g.x1, g.y1, g.z1}, e[3] = {g.x1 + g.dx, g.y1 + g.dy, g.z1 + g.dz};
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min({lo[k], a[k], e[k]});
      hi[k] = std::max({hi[k], a[k], e[k]});
    }
  };
  if (ns > 0)
    build_tree_on(ev.sources, segment_order, ns, leaves.segments, planes, midpoint, segment_extent, slots);
  // segments[i] = turned[segment_order[i]], by following the permutation's cycles.
  {
    std::vector<std::uint8_t> placed(segment_count, 0);
    for (std::size_t i = 0; i < segment_count; ++i) {
      if (placed[i]) continue;
      const StreamSegment first = turned[i];
      std::size_t j = i;
      for (;;) {
        placed[j] = 1;
        const std::size_t from = static_cast<std::size_t>(segment_order[j]);
        if (from == i) break;
        turned[j] = turned[from];
        j = from;
      }
      turned[j] = first;
    }
  }
  ev.segments = std::move(turned);
  ev.chain_position.resize(segment_count);
  for (std::size_t i = 0; i < segment_count; ++i)
    ev.chain_position[i] = ev.chains.position[static_cast<std::size_t>(segment_order[i])];
  double charge = 0.0;  // K' \sum |I| length
  for (const StreamSegment& g : ev.segments) charge += 0.5 * std::fabs(g.ki) * std::sqrt(g.a);
  each_cell(ev.sources.size(), slots, [&](std::size_t s) {
    Cell& c = ev.sources[s];
    double r = 0.0;
    for (std::int32_t i = c.first; i < c.end; ++i) {
      const StreamSegment& g = ev.segments[static_cast<std::size_t>(i)];
      const double a[3] = {g.x1, g.y1, g.z1}, e[3] = {g.x1 + g.dx, g.y1 + g.dy, g.z1 + g.dz};
      r = std::max({r, distance(a, c.c), distance(e, c.c)});
    }
    c.r = safe_radius(r);
  });

  // The lower bound of max |B|: the field at sample points, in the near sums' form along all the chains (a
  // few ulps from the exact field, far inside kRounding). Any
  // point's |B| is one; the samples are spread over the set and, since the largest fields are next to
  // conductors, include the points nearest to the segments' midpoints (on a grid through the winding
  // planes the largest |B| is that of a node almost on a conductor, several times that of a node a few mm
  // away).
  std::vector<std::int32_t> sample;
  const std::size_t step = std::max<std::size_t>(1, n / kFloorSamples);
  for (std::size_t i = 0; i < n; i += step) sample.push_back(static_cast<std::int32_t>(i));
  std::vector<Box> boxes(ev.targets.size());
  each_cell(ev.targets.size(), slots, [&](std::size_t t) {
    Box& b = boxes[t];
    for (int k = 0; k < 3; ++k) {
      b.lo[k] = INFINITY;
      b.hi[k] = -INFINITY;
    }
    for (std::int32_t i = ev.targets[t].first; i < ev.targets[t].end; ++i) {
      const std::size_t p = static_cast<std::size_t>(i);
      const double r[3] = {ev.px[p], ev.py[p], ev.pz[p]};
      for (int k = 0; k < 3; ++k) {
        b.lo[k] = std::min(b.lo[k], r[k]);
        b.hi[k] = std::max(b.hi[k], r[k]);
      }
    }
  });
  // In fixed chunks of segments, each search seeded with the last answer of its chunk (neighbours in tree
  // order lie close, so that answer's distance prunes from the start); the answers, ties included, depend
  // on the chunks alone, not on the workers.
  std::vector<std::pair<double, std::int32_t>> closest(segment_count);
  constexpr std::size_t kChunk = 4096;
  const std::size_t chunks = (segment_count + kChunk - 1) / kChunk;
  run_workers(static_cast<std::int64_t>(chunks), slots, [&](const WorkerRange& r, unsigned) {
    for (std::size_t chunk = static_cast<std::size_t>(r.first); chunk < static_cast<std::size_t>(r.end);
         ++chunk) {
      std::int32_t best_point = 0;
      for (std::size_t i = chunk * kChunk; i < std::min(segment_count, (chunk + 1) * kChunk); ++i) {
        const StreamSegment& g = ev.segments[i];
        const double q[3] = {g.x1 + 0.5 * g.dx, g.y1 + 0.5 * g.dy, g.z1 + 0.5 * g.dz};
        const std::size_t last = static_cast<std::size_t>(best_point);
        const double dx = ev.px[last] - q[0], dy = ev.py[last] - q[1], dz = ev.pz[last] - q[2];
        double best2 = (dx * dx + dy * dy) + dz * dz;
        nearest(ev.targets, boxes, 0, q, ev.px, ev.py, ev.pz, best2, best_point);
        // Ranked by the point's distance to the segment's line, which sets its field.
        const std::size_t b = static_cast<std::size_t>(best_point);
        const double rv[3] = {ev.px[b] - g.x1, ev.py[b] - g.y1, ev.pz[b] - g.z1};
        const double c[3] = {rv[1] * g.dz - rv[2] * g.dy, rv[2] * g.dx - rv[0] * g.dz,
                             rv[0] * g.dy - rv[1] * g.dx};
        const double line = g.a > 0.0 ? ((c[0] * c[0] + c[1] * c[1]) + c[2] * c[2]) / g.a : best2;
        closest[i] = {line, best_point};
      }
    }
  });
  std::sort(closest.begin(), closest.end());
  closest.erase(std::unique(closest.begin(), closest.end(),
                            [](const auto& a, const auto& b) { return a.second == b.second; }),
                closest.end());
  for (std::size_t i = 0; i < std::min(closest.size(), kFloorSamples); ++i)
    sample.push_back(closest[i].second);
  std::sort(sample.begin(), sample.end());
  sample.erase(std::unique(sample.begin(), sample.end()), sample.end());
  std::vector<double> sx, sy, sz, sb(3 * sample.size());
  for (std::int32_t i : sample) {
    sx.push_back(ev.px[static_cast<std::size_t>(i)]);
    sy.push_back(ev.py[static_cast<std::size_t>(i)]);
    sz.push_back(ev.pz[static_cast<std::size_t>(i)]);
  }
  run_workers(static_cast<std::int64_t>(sample.size()), slots, [&](const WorkerRange& r, unsigned) {
    const std::size_t first = static_cast<std::size_t>(r.first);
    near_kernel(ev.chains.records.data(), ev.chains.ranges.data(), ev.chains.planes.data(),
                ev.chains.planes.size(), sx.data() + first, sy.data() + first, sz.data() + first,
                static_cast<std::size_t>(r.end - r.first), sb.data() + 3 * first);
  });
  double floor = 0.0;
  for (std::size_t i = 0; i < sample.size(); ++i) {
    floor = std::max(floor, std::sqrt((sb[3 * i] * sb[3 * i] + sb[3 * i + 1] * sb[3 * i + 1]) +
                                      sb[3 * i + 2] * sb[3 * i + 2]));
  }

  // The budget. Every point's far field comes from disjoint source cells (the cells of one point's
  // expansions and its near leaves partition the segments), cell S off by at most Q_S S(p, rho) / |D|^2.
  // eps, the truncation's part of tolerance * floor, is what the bounds of one point's expansions may add
  // up to; the rest is left to rounding (of the expansions, and of the near sums, which run in another
  // order and form than windings_field): half of the tolerance, but no more than kRounding of the floor.
  // Half of eps is shared by charge: a pair is accepted within S(p, rho) <= (eps / 2) |D|^2 / Q, Q the
  // charge of all segments, so these shares sum to at most (eps / 2) \sum Q_S / Q <= eps / 2. The other
  // half is shared by field scale: each segment s of S lies within |D| + r_T' + r_S = |D| (1 + rho) of any
  // point P of the target cell T' (the cell at which the pair is accepted), so Q_S / |D|^2 <= (1 + rho)^2
  // K' \sum_s |I| L / dmax(P, s)^2, and A_T' >= A(P) on T' (field_scale); a pair is allowed S(p, rho) <=
  // (eps / 2) / ((1 + rho)^2 A_T') more, and over the disjoint cells of P's expansions these shares sum to
  // at most (eps / 2) \sum_s K' |I| L / dmax(P, s)^2 / A(P) <= eps / 2 as well. The charge share suits the
  // distant cells, the field-scale share the near ones, whose fields are large against the map's (log)
  // sum A. The shares are what a cell may spend before it knows the rest; the bounds actually spent on
  // the way down to a leaf are added up (Task::spent), and what they leave of eps goes to the leaf's
  // near pairs (accept_near). From kFloatTolerance up, the float near sums' bounds (field_kernel.cpp) take
  // float_share at a point, a point whose bound exceeds it being summed in double.
  const FloatNearKernelFunction near_float = field_kernel_choice().target.near_float;
  const double float_part =
      tolerance >= kFloatTolerance && near_float != nullptr ? kFloatShare * tolerance : 0.0;
  ev.near_float = near_float;
  ev.float_share = float_part * floor;
  if (ev.float_share > 0.0) ev.record_length = record_lengths(ev.chains);
  const double eps = (tolerance - float_part - std::min(0.5 * tolerance, kRounding)) * floor;
  ev.budget = charge > 0.0 ? 0.5 * eps / charge : 0.0;
  ev.total = eps * (1.0 - 1e-12);
  each_cell(ev.sources.size(), slots, [&](std::size_t c) {
    Cell& cell = ev.sources[c];
    for (std::int32_t i = cell.first; i < cell.end; ++i) {
      const StreamSegment& g = ev.segments[static_cast<std::size_t>(i)];
      cell.charge += 0.5 * std::fabs(g.ki) * std::sqrt(g.a);
    }
  });
  // Leaves first (the bound enlarged for its rounding), then every cell the largest of its children's.
  std::vector<double> scale(ev.targets.size(), 0.0);
  if (ns > 0) {
    run_workers(static_cast<std::int64_t>(ev.targets.size()), slots, [&](const WorkerRange& r, unsigned) {
      for (std::size_t t = static_cast<std::size_t>(r.first); t < static_cast<std::size_t>(r.end); ++t) {
        if (ev.targets[t].leaf())
          scale[t] = field_scale(ev.sources, ev.segments, ev.targets[t], 0) * (1.0 + 1e-9);
      }
    });
  }
  for (std::size_t t = ev.targets.size(); t-- > 0;) {
    const Cell& c = ev.targets[t];
    if (!c.leaf())
      scale[t] = std::max(scale[static_cast<std::size_t>(c.left)], scale[static_cast<std::size_t>(c.right)]);
    ev.targets[t].allowance = scale[t] > 0.0 ? 0.5 * eps / scale[t] : 0.0;
  }

  ev.moment_offset.resize(ev.sources.size());
  std::size_t moment_count = 0;
  for (std::size_t c = 0; c < ev.sources.size(); ++c) {
    ev.moment_offset[c] = moment_count;
    moment_count += 3 * ev.list_of(ev.sources[c]).term.size();
  }
  ev.moments = std::make_unique_for_overwrite<double[]>(moment_count);
  // The leaves' moments on the workers (each cell's own), then the shifts up the tree.
  std::vector<std::int32_t> source_leaves;
  for (std::size_t c = 0; c < ev.sources.size(); ++c) {
    if (ev.sources[c].leaf()) source_leaves.push_back(static_cast<std::int32_t>(c));
  }
  run_workers(static_cast<std::int64_t>(source_leaves.size()), slots, [&](const WorkerRange& r, unsigned) {
    std::vector<double> mono, mu, acc;
    for (std::int64_t i = r.first; i < r.end; ++i)
      ev.leaf_moments(source_leaves[static_cast<std::size_t>(i)], mono, mu, acc);
  });
  // The subtrees below kBuildDepth on the workers, each its own cells' sums, then the cells above.
  std::vector<std::int32_t> subtrees;
  const auto collect = [&](const auto& self, std::int32_t c, int depth) -> void {
    const Cell& cell = ev.sources[static_cast<std::size_t>(c)];
    if (depth == kBuildDepth) {
      subtrees.push_back(c);
    } else if (!cell.leaf()) {
      self(self, cell.left, depth + 1);
      self(self, cell.right, depth + 1);
    }
  };
  if (ns > 0) collect(collect, 0, 0);
  run_workers(static_cast<std::int64_t>(subtrees.size()), slots, [&](const WorkerRange& r, unsigned) {
    for (std::int64_t i = r.first; i < r.end; ++i)
      ev.build_moments(subtrees[static_cast<std::size_t>(i)], 0, -1);
  });
  if (ns > 0) ev.build_moments(0, 0, kBuildDepth);
  // Each cell's reduced moments take the place of its full ones, which nothing reads after this: a cell has
  // no more of them (3 (p + 1)^2 <= 3 (p + 1)(p + 2)(p + 3) / 6, a planar cell 3 (p + 1)(p + 2) / 2 of
  // each), and a worker writes only into the cells it has read. A second array would be a tenth of the
  // tree's memory, and the first touch of fresh pages is a good part of its time.
  if (ev.reduced_stride() > 3 * ev.moment_lists[0].term.size() ||
      3 * Reduced::planar_count(order) > 3 * ev.moment_lists[1].term.size()) {
    throw std::logic_error("the field tree's reduced moments outnumber its moments");
  }
  run_workers(static_cast<std::int64_t>(ev.sources.size()), slots, [&](const WorkerRange& r, unsigned) {
    std::vector<double> full(ev.stride()), folded(ev.reduced_stride());
    for (std::size_t c = static_cast<std::size_t>(r.first); c < static_cast<std::size_t>(r.end); ++c) {
      ev.full_moments(static_cast<std::int32_t>(c), full.data());
      double* out = ev.moments.get() + ev.moment_offset[c];
      if (!ev.sources[c].planar) {
        reduce_moments(basis, reduced, order, false, full.data(), out);
        continue;
      }
      // Contiguous, so that a batch reads them in one run.
      reduce_moments(basis, reduced, order, true, full.data(), folded.data());
      for (std::size_t i = 0; i < reduced.planar.size(); ++i) {
        for (std::size_t k = 0; k < 3; ++k)
          out[3 * i + k] = folded[3 * static_cast<std::size_t>(reduced.planar[i]) + k];
      }
    }
  });
  ev.reduced_moments = std::move(ev.moments);
  ev.reduced_offset = std::move(ev.moment_offset);

  Scratch top;
  ev.size_scratch(top);
  std::vector<Task> upper;
  std::vector<std::int32_t> root_candidates;
  if (ns > 0) root_candidates.push_back(0);
  ev.split(0, root_candidates, std::vector<double>(ev.stride(), 0.0), -1, 0.0, 0, kSplitDepth, upper, top);
  // Below kSplitDepth on the workers, each part's items in its own list, the lists joined in order.
  std::vector<std::vector<Task>> parts(upper.size());
  std::vector<Counts> part_counts(upper.size());
  std::atomic<std::size_t> next_part{0};
  run_workers(static_cast<std::int64_t>(slots), slots, [&](const WorkerRange&, unsigned) {
    Scratch w;
    ev.size_scratch(w);
    for (std::size_t i = next_part.fetch_add(1); i < upper.size(); i = next_part.fetch_add(1)) {
      Task& part = upper[i];
      ev.split(part.cell, part.candidates, std::move(part.local), part.degree, part.spent, kSplitDepth,
               kTaskDepth, parts[i], w);
      part_counts[i] = std::exchange(w.counts, Counts{});
    }
  });
  std::vector<Task> tasks;
  for (std::vector<Task>& part : parts) std::move(part.begin(), part.end(), std::back_inserter(tasks));

  // The items differ in cost (those next to conductors have long near lists), so each worker takes the
  // next one left; an item's values depend on the item alone, never on which worker runs it.
  std::vector<Counts> task_counts(tasks.size());
  std::atomic<std::size_t> next{0};
  run_workers(static_cast<std::int64_t>(slots), slots, [&](const WorkerRange&, unsigned) {
    Scratch w;
    ev.size_scratch(w);
    for (std::size_t i = next.fetch_add(1); i < tasks.size(); i = next.fetch_add(1)) {
      Task& task = tasks[i];
      ev.descend(task.cell, task.candidates, task.local, task.degree, task.spent, w);
      task_counts[i] = std::exchange(w.counts, Counts{});
    }
  });

  if (stats != nullptr) {
    stats->field_floor = floor;
    stats->max_order = order;
    stats->float_near = ev.float_share > 0.0;
    Counts all = top.counts;
    for (const Counts& c : part_counts) all += c;
    for (const Counts& c : task_counts) all += c;
    stats->far_pairs = all.far_pairs;
    stats->near_pairs = all.near_pairs;
    stats->double_points = all.double_points;
    stats->double_leaves = all.double_leaves;
    stats->source_cells = static_cast<std::int64_t>(ev.sources.size());
    stats->target_cells = static_cast<std::int64_t>(ev.targets.size());
  }
}

}  // namespace expcoil
