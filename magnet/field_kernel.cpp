// Every form of the field kernel this build has, and the choice among them.
//
// "scalar" is the plain loop at the end of this file, one point at a time, compiled for the baseline
// instruction set; a build without Highway (EXPCOIL_SIMD=OFF) has it alone, so the name means the same
// code in every build. Highway's own one-lane fallback target is compiled too (Highway always builds
// its baseline) but not offered: it would be the same loop again under a second name.
//
// The vectorised forms: one lane per point, every lane summing the segments in set order with exactly
// the operations of windings_field (field.cpp), so each point gets the reference's bits whatever the
// vector width. Only Add, Sub, Mul, Div and Sqrt are used (never MulAdd: a fused operation rounds once
// where the reference rounds twice); all are correctly rounded in IEEE double. Highway compiles them once
// per instruction set (on x86-64 SSSE3, SSE4, AVX2 and AVX-512, which Highway calls AVX3), so one binary
// runs on any processor. Highway 1.0.3 has one more AVX-512 target, AVX3_DL (Ice Lake's integer, bit and
// crypto instructions), left out because this kernel uses none of what it adds.
//
// Which form is fastest depends on the core, not on the vector width: the loop is bound by the divide
// and square-root unit (two square roots and three divisions per segment and point), whose throughput
// per element for 512-bit vectors differs between cores. With AVX-512, an Intel Xeon ran the kernel
// about 6 % slower than with AVX2, an AMD Zen 5 core twice as fast (field_bench). So the process times
// every form the processor runs on a small fixed sample at the first use and keeps the fastest, unless
// EXPCOIL_KERNEL names one. The forms give the same bits: the choice changes the speed only. Each form
// comes with the tree code's near sums (NearKernel) for the same instruction set, again the same bits on
// every one.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "lib/errors.hpp"
#include "magnet/field.hpp"

#if EXPCOIL_SIMD

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "magnet/field_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
//
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace expcoil {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Points p0 to p0 + Lanes(d) - 1 as vectors; past n, spare lanes repeat the last point (their results are
// dropped). `buffer` holds a vector.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void LoadPoints(D d, const double* x, const double* y, const double* z, std::size_t n,
                           std::size_t p0, double* buffer, V& px, V& py, V& pz) {
  const std::size_t lanes = hn::Lanes(d), m = std::min(lanes, n - p0);
  if (m == lanes) {
    px = hn::LoadU(d, x + p0);
    py = hn::LoadU(d, y + p0);
    pz = hn::LoadU(d, z + p0);
    return;
  }
  const double* coordinate[3] = {x, y, z};
  V* vector[3] = {&px, &py, &pz};
  for (int k = 0; k < 3; ++k) {
    for (std::size_t l = 0; l < lanes; ++l) buffer[l] = coordinate[k][p0 + std::min(l, m - 1)];
    *vector[k] = hn::Load(d, buffer);
  }
}

// The sums of those points into out[3 p .. 3 p + 2], p < n.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void StorePoints(D d, V sx, V sy, V sz, std::size_t n, std::size_t p0, double* buffer,
                            double* out) {
  const std::size_t m = std::min(hn::Lanes(d), n - p0);
  const V sum[3] = {sx, sy, sz};
  for (std::size_t k = 0; k < 3; ++k) {
    hn::Store(sum[k], d, buffer);
    for (std::size_t l = 0; l < m; ++l) out[3 * (p0 + l) + k] = buffer[l];
  }
}

// The reference's pair loop: a vector of points against the segments, each lane's terms added in the
// segments' order, so that a lane's bits do not depend on the others or on the vector width.
void FieldKernel(const StreamSegment* segments, std::size_t count, const double* x, const double* y,
                 const double* z, std::size_t n, double* out) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  HWY_ALIGN double buffer[HWY_MAX_BYTES / sizeof(double)];
  const V zero = hn::Zero(d);
  const V minus_two = hn::Set(d, -2.0);
  for (std::size_t p0 = 0; p0 < n; p0 += hn::Lanes(d)) {
    V px, py, pz;
    LoadPoints(d, x, y, z, n, p0, buffer, px, py, pz);
    V sx = zero;
    V sy = zero;
    V sz = zero;
    for (const StreamSegment* s = segments; s != segments + count; ++s) {
      const V dx = hn::Set(d, s->dx);
      const V dy = hn::Set(d, s->dy);
      const V dz = hn::Set(d, s->dz);
      const V rx = hn::Sub(px, hn::Set(d, s->x1));
      const V ry = hn::Sub(py, hn::Set(d, s->y1));
      const V rz = hn::Sub(pz, hn::Set(d, s->z1));
      // b = ((rx*dx + dy*ry) + rz*dz) * -2
      const V b = hn::Mul(hn::Add(hn::Add(hn::Mul(rx, dx), hn::Mul(dy, ry)), hn::Mul(rz, dz)), minus_two);
      // c = (rx*rx + ry*ry) + rz*rz
      const V c = hn::Add(hn::Add(hn::Mul(rx, rx), hn::Mul(ry, ry)), hn::Mul(rz, rz));
      // c + a + b
      const V cab = hn::Add(hn::Add(c, hn::Set(d, s->a)), b);
      // 4*a*c - b*b
      const V den = hn::Sub(hn::Mul(hn::Set(d, s->a4), c), hn::Mul(b, b));
      // (a + a + b) / sqrt(c + a + b) - b / sqrt(c)
      const V f = hn::Sub(hn::Div(hn::Add(hn::Set(d, s->a2), b), hn::Sqrt(cab)), hn::Div(b, hn::Sqrt(c)));
      // K*I / den * f
      const V g = hn::Mul(hn::Div(hn::Set(d, s->ki), den), f);
      const auto counts = hn::Ne(den, zero);
      const V tx = hn::Mul(g, hn::Sub(hn::Mul(dy, rz), hn::Mul(ry, dz)));
      const V ty = hn::Mul(g, hn::Sub(hn::Mul(dz, rx), hn::Mul(rz, dx)));
      const V tz = hn::Mul(g, hn::Sub(hn::Mul(dx, ry), hn::Mul(dy, rx)));
      const auto ok = hn::And(hn::And(counts, hn::Gt(c, zero)), hn::Gt(cab, zero));
      sx = hn::IfThenElse(ok, hn::Add(sx, tx), sx);
      sy = hn::IfThenElse(ok, hn::Add(sy, ty), sy);
      sz = hn::IfThenElse(ok, hn::Add(sz, tz), sz);
    }

    StorePoints(d, sx, sy, sz, n, p0, buffer, out);
  }
}

// The tree code's near sums (field_tree.cpp), along chains of segments (chain_segments): the field of a
// segment from the distances u and v to where the chain reaches and leaves it, K I / 2 (u x v) (|u| +
// |v|) / (|u| |v| (|u| |v| + u . v)), where the next segment's u is this one's v: one square root a pair
// (the reference takes two, and three divisions where this takes one). That form has no cancellation
// but beside a segment, where |u| |v| + u . v does; and there, close to a conductor's line, the
// reference's own 4ac - b^2 cancels, so that its bits there are off the true field by far more than a
// tight tolerance. A pair that close (|u x v|^2 below ChainSegment::close times the larger squared end
// distance, a few in a thousand) takes the reference's form instead, from the distance to the segment's
// start, to the bit the reference's, and so keeps to the exact map. Not the reference's bits otherwise
// (a few ulps of its terms apart), but the same operations in every lane, so the same bits for any
// vector width. A chain flat in one plane (planes[r] not NaN) has u_z = v_z = the point's height above it.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void ChainTerm(D d, const ChainSegment* s, V ux, V uy, V uz, V vx, V vy, V vz, V cu, V cv,
                          V root_u, V root_v, V dot, V cx, V cy, V cz, V& sx, V& sy, V& sz) {
  const V zero = hn::Zero(d);
  const V uv = hn::Mul(root_u, root_v);
  const V den = hn::Mul(hn::Add(uv, uv), hn::Add(uv, dot));
  const V g = hn::Div(hn::Mul(hn::Set(d, s->kc), hn::Add(root_u, root_v)), den);
  V tx = hn::Mul(g, cx);
  V ty = hn::Mul(g, cy);
  V tz = hn::Mul(g, cz);
  auto ok = hn::Ne(den, zero);
  const V cross2 = hn::Add(hn::Add(hn::Mul(cx, cx), hn::Mul(cy, cy)), hn::Mul(cz, cz));
  const auto close = hn::Lt(cross2, hn::Mul(hn::Set(d, s->close), hn::Max(cu, cv)));
  if (HWY_UNLIKELY(!hn::AllFalse(d, close))) {
    // The reference's terms, from the segment's start (u, or v where the chain runs backwards).
    const bool back = s->backwards != 0.0;
    const V rx = back ? vx : ux, ry = back ? vy : uy, rz = back ? vz : uz;
    const V c = back ? cv : cu, ce = back ? cu : cv;
    const V root_c = back ? root_v : root_u, root_ce = back ? root_u : root_v;
    const V dx = hn::Set(d, s->dx);
    const V dy = hn::Set(d, s->dy);
    const V dz = hn::Set(d, s->dz);
    const V b =
        hn::Mul(hn::Add(hn::Add(hn::Mul(rx, dx), hn::Mul(dy, ry)), hn::Mul(rz, dz)), hn::Set(d, -2.0));
    const V den_c = hn::Sub(hn::Mul(hn::Set(d, s->a4), c), hn::Mul(b, b));
    const V q = hn::Mul(den_c, hn::Mul(root_c, root_ce));
    const V num = hn::Sub(hn::Mul(hn::Add(hn::Set(d, s->a2), b), root_c), hn::Mul(b, root_ce));
    const V gc = hn::Div(hn::Mul(hn::Set(d, s->ki), num), q);
    tx = hn::IfThenElse(close, hn::Mul(gc, hn::Sub(hn::Mul(dy, rz), hn::Mul(ry, dz))), tx);
    ty = hn::IfThenElse(close, hn::Mul(gc, hn::Sub(hn::Mul(dz, rx), hn::Mul(rz, dx))), ty);
    tz = hn::IfThenElse(close, hn::Mul(gc, hn::Sub(hn::Mul(dx, ry), hn::Mul(dy, rx))), tz);
    const auto ok_c = hn::And(hn::And(hn::Ne(q, zero), hn::Gt(c, zero)), hn::Gt(ce, zero));
    ok = hn::Or(hn::AndNot(close, ok), hn::And(close, ok_c));
  }
  sx = hn::IfThenElse(ok, hn::Add(sx, tx), sx);
  sy = hn::IfThenElse(ok, hn::Add(sy, ty), sy);
  sz = hn::IfThenElse(ok, hn::Add(sz, tz), sz);
}

void NearKernel(const ChainSegment* segments, const std::size_t* ranges, const double* planes,
                std::size_t range_count, const double* x, const double* y, const double* z, std::size_t n,
                double* out) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  HWY_ALIGN double buffer[HWY_MAX_BYTES / sizeof(double)];
  for (std::size_t p0 = 0; p0 < n; p0 += hn::Lanes(d)) {
    V px, py, pz;
    LoadPoints(d, x, y, z, n, p0, buffer, px, py, pz);
    V sx = hn::Zero(d);
    V sy = hn::Zero(d);
    V sz = hn::Zero(d);
    for (std::size_t r = 0; r < range_count; ++r) {
      const ChainSegment* s = segments + ranges[2 * r];
      const ChainSegment* const end = segments + ranges[2 * r + 1];
      if (s == end) continue;
      V ux = hn::Sub(px, hn::Set(d, s->x));
      V uy = hn::Sub(py, hn::Set(d, s->y));
      if (planes != nullptr && planes[r] == planes[r]) {
        const V w = hn::Sub(pz, hn::Set(d, planes[r]));
        const V w2 = hn::Mul(w, w);
        V cu = hn::Add(hn::Add(hn::Mul(ux, ux), hn::Mul(uy, uy)), w2);
        V root_u = hn::Sqrt(cu);
        for (; s != end; ++s) {
          const V vx = hn::Sub(px, hn::Set(d, s[1].x));
          const V vy = hn::Sub(py, hn::Set(d, s[1].y));
          const V cv = hn::Add(hn::Add(hn::Mul(vx, vx), hn::Mul(vy, vy)), w2);
          const V root_v = hn::Sqrt(cv);
          const V dot = hn::Add(hn::Add(hn::Mul(ux, vx), hn::Mul(uy, vy)), w2);
          const V cx = hn::Mul(w, hn::Sub(uy, vy));
          const V cy = hn::Mul(w, hn::Sub(vx, ux));
          const V cz = hn::Sub(hn::Mul(ux, vy), hn::Mul(uy, vx));
          ChainTerm(d, s, ux, uy, w, vx, vy, w, cu, cv, root_u, root_v, dot, cx, cy, cz, sx, sy, sz);
          ux = vx;
          uy = vy;
          cu = cv;
          root_u = root_v;
        }
        continue;
      }
      V uz = hn::Sub(pz, hn::Set(d, s->z));
      V cu = hn::Add(hn::Add(hn::Mul(ux, ux), hn::Mul(uy, uy)), hn::Mul(uz, uz));
      V root_u = hn::Sqrt(cu);
      for (; s != end; ++s) {
        const V vx = hn::Sub(px, hn::Set(d, s[1].x));
        const V vy = hn::Sub(py, hn::Set(d, s[1].y));
        const V vz = hn::Sub(pz, hn::Set(d, s[1].z));
        const V cv = hn::Add(hn::Add(hn::Mul(vx, vx), hn::Mul(vy, vy)), hn::Mul(vz, vz));
        const V root_v = hn::Sqrt(cv);
        const V dot = hn::Add(hn::Add(hn::Mul(ux, vx), hn::Mul(uy, vy)), hn::Mul(uz, vz));
        const V cx = hn::Sub(hn::Mul(uy, vz), hn::Mul(uz, vy));
        const V cy = hn::Sub(hn::Mul(uz, vx), hn::Mul(ux, vz));
        const V cz = hn::Sub(hn::Mul(ux, vy), hn::Mul(uy, vx));
        ChainTerm(d, s, ux, uy, uz, vx, vy, vz, cu, cv, root_u, root_v, dot, cx, cy, cz, sx, sy, sz);
        ux = vx;
        uy = vy;
        uz = vz;
        cu = cv;
        root_u = root_v;
      }
    }
    StorePoints(d, sx, sy, sz, n, p0, buffer, out);
  }
}
}  // namespace HWY_NAMESPACE
}  // namespace expcoil
HWY_AFTER_NAMESPACE();

#endif  // EXPCOIL_SIMD

// Once per build (Highway includes this file again for every instruction set).
#if !EXPCOIL_SIMD || HWY_ONCE
namespace expcoil {
namespace {

void ScalarKernel(const StreamSegment* segments, std::size_t count, const double* x, const double* y,
                  const double* z, std::size_t n, double* out) {
  for (std::size_t p = 0; p < n; ++p) {
    double sx = 0.0;
    double sy = 0.0;
    double sz = 0.0;
    for (const StreamSegment* s = segments; s != segments + count; ++s) {
      const double rx = x[p] - s->x1;
      const double ry = y[p] - s->y1;
      const double rz = z[p] - s->z1;
      const double b = ((rx * s->dx + s->dy * ry) + rz * s->dz) * -2.0;
      const double c = (rx * rx + ry * ry) + rz * rz;
      const double cab = c + s->a + b;
      const double den = s->a4 * c - b * b;
      if (!(den != 0.0 && c > 0.0 && cab > 0.0)) continue;
      const double f = (s->a2 + b) / std::sqrt(cab) - b / std::sqrt(c);
      const double g = s->ki / den * f;
      sx += g * (s->dy * rz - ry * s->dz);
      sy += g * (s->dz * rx - rz * s->dx);
      sz += g * (s->dx * ry - s->dy * rx);
    }
    out[3 * p] = sx;
    out[3 * p + 1] = sy;
    out[3 * p + 2] = sz;
  }
}

// The near sums' loop of NearKernel, a point at a time, in its operations.
void ChainTermScalar(const ChainSegment* s, const double* u, const double* v, double cu, double cv,
                     double root_u, double root_v, double dot, const double* cross, double* sum) {
  const double uv = root_u * root_v;
  const double den = (uv + uv) * (uv + dot);
  double g = s->kc * (root_u + root_v) / den;
  double t[3] = {g * cross[0], g * cross[1], g * cross[2]};
  bool ok = den != 0.0;
  const double cross2 = (cross[0] * cross[0] + cross[1] * cross[1]) + cross[2] * cross[2];
  if (cross2 < s->close * std::max(cu, cv)) {
    const bool back = s->backwards != 0.0;
    const double* r = back ? v : u;
    const double rx = r[0], ry = r[1], rz = r[2];
    const double c = back ? cv : cu, ce = back ? cu : cv;
    const double root_c = back ? root_v : root_u, root_ce = back ? root_u : root_v;
    const double b = ((rx * s->dx + s->dy * ry) + rz * s->dz) * -2.0;
    const double den_c = s->a4 * c - b * b;
    const double q = den_c * (root_c * root_ce);
    g = s->ki * ((s->a2 + b) * root_c - b * root_ce) / q;
    t[0] = g * (s->dy * rz - ry * s->dz);
    t[1] = g * (s->dz * rx - rz * s->dx);
    t[2] = g * (s->dx * ry - s->dy * rx);
    ok = q != 0.0 && c > 0.0 && ce > 0.0;
  }
  if (!ok) return;
  for (int k = 0; k < 3; ++k) sum[k] += t[k];
}

void ScalarNearKernel(const ChainSegment* segments, const std::size_t* ranges, const double* planes,
                      std::size_t range_count, const double* x, const double* y, const double* z,
                      std::size_t n, double* out) {
  for (std::size_t p = 0; p < n; ++p) {
    double sum[3] = {0.0, 0.0, 0.0};
    for (std::size_t r = 0; r < range_count; ++r) {
      const ChainSegment* s = segments + ranges[2 * r];
      const ChainSegment* const end = segments + ranges[2 * r + 1];
      if (s == end) continue;
      const bool flat = planes != nullptr && planes[r] == planes[r];
      const double w = flat ? z[p] - planes[r] : 0.0, w2 = w * w;
      double u[3] = {x[p] - s->x, y[p] - s->y, flat ? w : z[p] - s->z};
      double cu = flat ? (u[0] * u[0] + u[1] * u[1]) + w2 : (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
      double root_u = std::sqrt(cu);
      for (; s != end; ++s) {
        const double v[3] = {x[p] - s[1].x, y[p] - s[1].y, flat ? w : z[p] - s[1].z};
        double cv, dot, cross[3];
        if (flat) {
          cv = (v[0] * v[0] + v[1] * v[1]) + w2;
          dot = (u[0] * v[0] + u[1] * v[1]) + w2;
          cross[0] = w * (u[1] - v[1]);
          cross[1] = w * (v[0] - u[0]);
        } else {
          cv = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
          dot = (u[0] * v[0] + u[1] * v[1]) + u[2] * v[2];
          cross[0] = u[1] * v[2] - u[2] * v[1];
          cross[1] = u[2] * v[0] - u[0] * v[2];
        }
        cross[2] = u[0] * v[1] - u[1] * v[0];
        const double root_v = std::sqrt(cv);
        ChainTermScalar(s, u, v, cu, cv, root_u, root_v, dot, cross, sum);
        for (int k = 0; k < 3; ++k) u[k] = v[k];
        cu = cv;
        root_u = root_v;
      }
    }
    for (int k = 0; k < 3; ++k) out[3 * p + static_cast<std::size_t>(k)] = sum[k];
  }
}

std::vector<KernelTarget> make_targets() {
  std::vector<KernelTarget> targets;
#if EXPCOIL_SIMD
  // Highway's list of the per-target compilations, best first: entry i is the target whose bit is
  // HWY_HIGHEST_TARGET_BIT + 1 - HWY_MAX_DYNAMIC_TARGETS + i, nullptr where this build has none.
  const FieldKernelFunction compiled[HWY_MAX_DYNAMIC_TARGETS] = {HWY_CHOOSE_TARGET_LIST(FieldKernel)};
  const NearKernelFunction near[HWY_MAX_DYNAMIC_TARGETS] = {HWY_CHOOSE_TARGET_LIST(NearKernel)};
  const std::int64_t supported = hwy::SupportedTargets();
  for (int i = 0; i < HWY_MAX_DYNAMIC_TARGETS; ++i) {
    const std::int64_t bit = std::int64_t{1} << (HWY_HIGHEST_TARGET_BIT + 1 - HWY_MAX_DYNAMIC_TARGETS + i);
    if (compiled[i] == nullptr || (supported & bit) == 0) continue;
    std::string name = hwy::TargetName(bit);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    targets.push_back({name, compiled[i], near[i]});
  }
#endif
  targets.push_back({"scalar", &ScalarKernel, &ScalarNearKernel});
  return targets;
}

// The timing sample: 256 segments of a helix and 64 points inside it, a multiple of every vector
// width so that no lane is spare. At 1e8 to 1e9 segment-point pairs per second a form takes 16 to
// 160 microseconds on it, long against the clock's resolution and short against a scheduler's slice.
constexpr int kSampleSegments = 256;
constexpr int kSamplePoints = 64;
// Forms are timed in turn, round after round, each keeping its best round: a round that another
// process interrupts or that runs while the clock or the vector unit is still waking up is ignored.
constexpr int kSampleRounds = 6;

std::size_t fastest(const std::vector<KernelTarget>& targets) {
  WindingSet windings;
  for (int k = 0; k < kSampleSegments; ++k) {
    const double t0 = 0.1 * k, t1 = 0.1 * (k + 1), z0 = 0.002 * k - 0.25;
    windings.append({0.2 * std::cos(t0), 0.2 * std::sin(t0), z0, 0.2 * std::cos(t1), 0.2 * std::sin(t1),
                     z0 + 0.002, 100.0});
  }
  const SegmentStream stream(windings);
  std::vector<double> x, y, z, out(3 * kSamplePoints);
  for (int p = 0; p < kSamplePoints; ++p) {
    x.push_back(0.05 * (p % 4) - 0.075);
    y.push_back(0.05 * (p / 4 % 4) - 0.075);
    z.push_back(0.1 * (p / 16) - 0.15);
  }

  using Clock = std::chrono::steady_clock;
  std::vector<Clock::duration> best(targets.size(), Clock::duration::max());
  for (int round = 0; round < kSampleRounds; ++round) {
    for (std::size_t t = 0; t < targets.size(); ++t) {
      const Clock::time_point start = Clock::now();
      field_kernel_on(targets[t], stream, x.data(), y.data(), z.data(), kSamplePoints, out.data());
      best[t] = std::min(best[t], Clock::now() - start);
    }
  }
  // The first of equals: the widest.
  return static_cast<std::size_t>(std::min_element(best.begin(), best.end()) - best.begin());
}

}  // namespace

const std::vector<KernelTarget>& field_kernel_targets() {
  static const std::vector<KernelTarget> targets = make_targets();
  return targets;
}

KernelChoice choose_field_kernel(const char* requested) {
  const std::vector<KernelTarget>& targets = field_kernel_targets();
  if (requested != nullptr && *requested != '\0') {
    for (const KernelTarget& t : targets) {
      if (t.name == requested) return {t, "forced by EXPCOIL_KERNEL", 0.0};
    }
    std::string names;
    for (const KernelTarget& t : targets) names += (names.empty() ? "" : ", ") + t.name;
    throw InputError("EXPCOIL_KERNEL is \"" + std::string(requested) +
                     "\", which is not a field kernel this machine runs: use " +
                     (targets.size() > 1 ? "one of " : "") + names +
                     ", or leave it unset to pick the fastest");
  }
  if (targets.size() == 1) return {targets.front(), "the only one", 0.0};
  const auto start = std::chrono::steady_clock::now();
  const std::size_t pick = fastest(targets);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {targets[pick], "measured", took.count()};
}

const KernelChoice& field_kernel_choice() {
  static const KernelChoice choice = choose_field_kernel(std::getenv("EXPCOIL_KERNEL"));
  return choice;
}

void field_kernel(const SegmentStream& segments, const double* x, const double* y, const double* z,
                  std::size_t n, double* out) {
  field_kernel_choice().target.function(segments.data(), segments.size(), x, y, z, n, out);
}

void field_kernel_on(const KernelTarget& target, const SegmentStream& segments, const double* x,
                     const double* y, const double* z, std::size_t n, double* out) {
  target.function(segments.data(), segments.size(), x, y, z, n, out);
}

}  // namespace expcoil
#endif  // !EXPCOIL_SIMD || HWY_ONCE
