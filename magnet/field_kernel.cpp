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

namespace expcoil {
// The float near sums a point at a time, in the operations of NearFloatKernel's lanes.
void ScalarNearFloatKernel(const FloatNearJob& job, double* out, double* bound);
}  // namespace expcoil

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
template <class D, class V = hn::Vec<D>, class T = hn::TFromD<D>>
HWY_INLINE void LoadPoints(D d, const T* x, const T* y, const T* z, std::size_t n, std::size_t p0, T* buffer,
                           V& px, V& py, V& pz) {
  const std::size_t lanes = hn::Lanes(d), m = std::min(lanes, n - p0);
  if (m == lanes) {
    px = hn::LoadU(d, x + p0);
    py = hn::LoadU(d, y + p0);
    pz = hn::LoadU(d, z + p0);
    return;
  }
  const T* coordinate[3] = {x, y, z};
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

// The run of records [s, end) of one chain into the sums, flat in the plane z = plane unless it is NaN.
template <class D, class V = hn::Vec<D>>
HWY_INLINE void ChainRange(D d, const ChainSegment* s, const ChainSegment* const end, double plane, V px,
                           V py, V pz, V& sx, V& sy, V& sz) {
  if (s == end) return;
  V ux = hn::Sub(px, hn::Set(d, s->x));
  V uy = hn::Sub(py, hn::Set(d, s->y));
  if (plane == plane) {
    const V w = hn::Sub(pz, hn::Set(d, plane));
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
    return;
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
      ChainRange(d, segments + ranges[2 * r], segments + ranges[2 * r + 1],
                 planes != nullptr ? planes[r] : NAN, px, py, pz, sx, sy, sz);
    }
    StorePoints(d, sx, sy, sz, n, p0, buffer, out);
  }
}

#if HWY_TARGET == HWY_SCALAR
// One lane of each type: nothing to gain over the plain loop.
void NearFloatKernel(const FloatNearJob& job, double* out, double* bound) {
  ScalarNearFloatKernel(job, out, bound);
}
#else
// The near sums in float (FloatNearJob), and the bound on their error. Points and vertices are rounded to
// float about an origin; a lane takes a run of records of one chain and one current, with the chain
// term's form as NearKernel's, except that the cross product is taken from the differences of the ends,
// e = u - v (minus the segment), u x v = e x u (flat: (w e_y', w e_x', -(u_x e_y' + u_y e_x')), e_y' = u_y
// - v_y, e_x' = v_x - u_x): its rounding then scales with the segment's length L, not with |u| |v|.
//
// Two parts, for a run whose pairs all satisfy the conditions below (a lane where one does not takes the
// run in double instead, as NearKernel would; u = 2^-24, and every count is to first order, the second
// being far inside the factor 1 + 1e-4 of kFloatBound):
// 1. Evaluation. With the rounded u and v taken as exact, |u|^2 is off by 3u relative, |u| by 2.5u, |u| |v|
//    by 6u, u . v by 3u |u| |v| (Cauchy-Schwarz); with |u| |v| + u . v >= |u| |v| / 2 (an angle at the
//    point of at most 120 degrees), their sum by 22u relative, den by 29u, kc (|u| + |v|) by 5.5u (kc
//    rounded once), g by 35.5u. The cross product's components are off by at most 3u (|u_i| |e_j| + ...),
//    6u |u| |e| in all, 7.4u L |u| with |e| <= L (L enlarged by the rounding of the coordinates); a term g c
//    by 35.5u |g| |c| + 7.4u |g| L |u| + u |g| |c| <= 44u |g| L |u|, since |c| = |e x u| <= L |u|. A run's
//    float partial sums of at most kFloatChunk = 16 terms add 15u sqrt(3) sum |t| <= 26u sum |g| L |u|.
//    Together C = 70 (kFloatEvaluation = 72): C u sum |g| L |u|.
// 2. The coordinates. The float sums are those of the polyline through the rounded vertices, a point's
//    vertex moved by at most eta (FloatNearSums::prepare) from where it lies. Moving the vertices of a run
//    of one current I by delta(s), linear along each segment, changes its field (Biot-Savart, K' = mu0 I /
//    4 pi) by dB = K' int (d delta x R / |R|^3 + dx x d(R / |R|^3) delta terms); integrated by parts, with
//    |d(R / |R|^3)| <= 2 |dx| / |R|^3, |dB| <= K' eta (1 / |R_0|^2 + 1 / |R_k|^2 + 4 int |dx| / |R|^3) along
//    the way from one polyline to the other. For a straight segment K' int |dx| / |R|^3 = |B| / rho = |g| L
//    (|dx x R| = rho |dx|, |u x v| = L rho), so |dB| <= 4.04 eta sum |g| (L + 2 eta) plus K' eta / |u|^2
//    at the run's two ends, with 1 % for the points of the way, which stay within eta of the computed
//    ones: a vertex at least kFloatClose eta from the point, and the point at least half the nearer
//    vertex's distance from each segment (at an angle of at most 120 degrees), keep every distance within
//    1 / 300 of the computed one. These are lambda (the vertices' weight) and end_weight.
// So the bound: C u (sum |g| (L |u| + lambda) + end_weight sum_ends |kc| / |u|^2), accumulated in float per
// 16 pairs (16 roundings more) and in double across them. The conditions, tracked per lane over the run
// (a minimum and a maximum of |v|^2, the run's first |u|^2 among them, and a minimum of 2 (|u| |v| + u .
// v) - |u| |v|): every |u|^2 within [close2, kFloatFar2], close2 >= 1e-14, and every angle within 120
// degrees. Then |u| |v| is within [1e-14, 1e14] and den within [1e-28, 4e28]: no operation overflows,
// and none loses more than a subnormal's absolute 2^-149 (an infinite |v|^2 fails the maximum; nothing
// else can be NaN).
//
// A run's pair in float: the chain term's factor g, its terms added to the run's sums, and its part of
// the bound, |g| (L |u| + lambda), to tb; ok is cleared in a lane where the bound does not hold.
template <class DF, class VF = hn::Vec<DF>>
HWY_INLINE void FloatTerm(DF df, const FloatVertex* f, VF root_u, VF root_v, VF dot, VF cv, VF cx, VF cy,
                          VF cz, VF& nearest, VF& farthest, VF& angle, VF& tx, VF& ty, VF& tz, VF& tb) {
  const VF uv = hn::Mul(root_u, root_v);
  const VF sum = hn::Add(uv, dot);
  const VF den = hn::Mul(hn::Add(uv, uv), sum);
  const VF g = hn::Div(hn::Mul(hn::Set(df, f->kc), hn::Add(root_u, root_v)), den);
  nearest = hn::Min(nearest, cv);
  farthest = hn::Max(farthest, cv);
  angle = hn::Min(angle, hn::Sub(hn::Add(sum, sum), uv));
  tx = hn::Add(tx, hn::Mul(g, cx));
  ty = hn::Add(ty, hn::Mul(g, cy));
  tz = hn::Add(tz, hn::Mul(g, cz));
  tb = hn::Add(tb,
               hn::Mul(hn::Abs(g), hn::Add(hn::Mul(hn::Set(df, f->length), root_u), hn::Set(df, f->weight))));
}

void NearFloatKernel(const FloatNearJob& job, double* out, double* bound) {
  const hn::ScalableTag<float> df;
  const hn::Repartition<double, decltype(df)> dd;
  const hn::Half<decltype(df)> dh;
  using VF = hn::Vec<decltype(df)>;
  using VD = hn::Vec<decltype(dd)>;
  using M = hn::Mask<decltype(df)>;
  const std::size_t nf = hn::Lanes(df), nd = hn::Lanes(dd), n = job.n;
  HWY_ALIGN float fbuffer[HWY_MAX_BYTES / sizeof(float)];
  HWY_ALIGN double dbuffer[HWY_MAX_BYTES / sizeof(double)];
  const VF zero = hn::Zero(df);
  const VD zero_d = hn::Zero(dd);
  const VF close2 = hn::Set(df, job.close2);
  const VF end_weight = hn::Set(df, job.end_weight);
  for (std::size_t p0 = 0; p0 < n; p0 += nf) {
    VF qx, qy, qz;
    LoadPoints(df, job.fx, job.fy, job.fz, n, p0, fbuffer, qx, qy, qz);
    VD px[2], py[2], pz[2];
    for (std::size_t h = 0; h < 2; ++h)
      LoadPoints(dd, job.x, job.y, job.z, n, std::min(p0 + h * nd, n - 1), dbuffer, px[h], py[h], pz[h]);
    VD sx[2] = {zero_d, zero_d}, sy[2] = {zero_d, zero_d}, sz[2] = {zero_d, zero_d}, sb[2] = {zero_d, zero_d};
    for (std::size_t r = 0; r < job.range_count; ++r) {
      const std::size_t first = job.ranges[2 * r], last = job.ranges[2 * r + 1];
      if (first == last) continue;
      const FloatVertex* f = job.vertices + job.vertex_first[r];
      const FloatVertex* const f_end = f + (last - first);
      const double plane = job.planes[r];
      // The run's sums: float over kFloatChunk pairs at most, then added into doubles.
      VF t[4] = {zero, zero, zero, zero};
      VD run[4][2] = {{zero_d, zero_d}, {zero_d, zero_d}, {zero_d, zero_d}, {zero_d, zero_d}};
      const auto flush = [&] {
        for (std::size_t k = 0; k < 4; ++k) {
          run[k][0] = hn::Add(run[k][0], hn::PromoteTo(dd, hn::LowerHalf(dh, t[k])));
          run[k][1] = hn::Add(run[k][1], hn::PromoteTo(dd, hn::UpperHalf(dh, t[k])));
          t[k] = zero;
        }
      };
      std::size_t pairs = 0;
      VF ux = hn::Sub(qx, hn::Set(df, f->x));
      VF uy = hn::Sub(qy, hn::Set(df, f->y));
      VF cu, root_u, cu_first, nearest, farthest, angle = zero;
      if (plane == plane) {
        const VF w = hn::Sub(qz, hn::Set(df, job.float_planes[r]));
        const VF w2 = hn::Mul(w, w);
        cu = hn::Add(hn::Add(hn::Mul(ux, ux), hn::Mul(uy, uy)), w2);
        root_u = hn::Sqrt(cu);
        cu_first = cu;
        nearest = cu;
        farthest = cu;
        for (; f != f_end; ++f) {
          const VF vx = hn::Sub(qx, hn::Set(df, f[1].x));
          const VF vy = hn::Sub(qy, hn::Set(df, f[1].y));
          const VF cv = hn::Add(hn::Add(hn::Mul(vx, vx), hn::Mul(vy, vy)), w2);
          const VF root_v = hn::Sqrt(cv);
          const VF dot = hn::Add(hn::Add(hn::Mul(ux, vx), hn::Mul(uy, vy)), w2);
          const VF ey = hn::Sub(uy, vy);
          const VF ex = hn::Sub(vx, ux);
          const VF cx = hn::Mul(w, ey);
          const VF cy = hn::Mul(w, ex);
          const VF cz = hn::Neg(hn::Add(hn::Mul(ux, ey), hn::Mul(uy, ex)));
          FloatTerm(df, f, root_u, root_v, dot, cv, cx, cy, cz, nearest, farthest, angle, t[0], t[1], t[2],
                    t[3]);
          ux = vx;
          uy = vy;
          cu = cv;
          root_u = root_v;
          if (++pairs == kFloatChunk) {
            flush();
            pairs = 0;
          }
        }
      } else {
        VF uz = hn::Sub(qz, hn::Set(df, f->z));
        cu = hn::Add(hn::Add(hn::Mul(ux, ux), hn::Mul(uy, uy)), hn::Mul(uz, uz));
        root_u = hn::Sqrt(cu);
        cu_first = cu;
        nearest = cu;
        farthest = cu;
        for (; f != f_end; ++f) {
          const VF vx = hn::Sub(qx, hn::Set(df, f[1].x));
          const VF vy = hn::Sub(qy, hn::Set(df, f[1].y));
          const VF vz = hn::Sub(qz, hn::Set(df, f[1].z));
          const VF cv = hn::Add(hn::Add(hn::Mul(vx, vx), hn::Mul(vy, vy)), hn::Mul(vz, vz));
          const VF root_v = hn::Sqrt(cv);
          const VF dot = hn::Add(hn::Add(hn::Mul(ux, vx), hn::Mul(uy, vy)), hn::Mul(uz, vz));
          const VF ex = hn::Sub(ux, vx);
          const VF ey = hn::Sub(uy, vy);
          const VF ez = hn::Sub(uz, vz);
          const VF cx = hn::Sub(hn::Mul(ey, uz), hn::Mul(ez, uy));
          const VF cy = hn::Sub(hn::Mul(ez, ux), hn::Mul(ex, uz));
          const VF cz = hn::Sub(hn::Mul(ex, uy), hn::Mul(ey, ux));
          FloatTerm(df, f, root_u, root_v, dot, cv, cx, cy, cz, nearest, farthest, angle, t[0], t[1], t[2],
                    t[3]);
          ux = vx;
          uy = vy;
          uz = vz;
          cu = cv;
          root_u = root_v;
          if (++pairs == kFloatChunk) {
            flush();
            pairs = 0;
          }
        }
      }
      // The run's two ends: |kc| / |u|^2 at its first and last vertex.
      const VF ends = hn::Div(hn::Add(hn::Mul(hn::Set(df, std::fabs(f_end[first - last].kc)), cu),
                                      hn::Mul(hn::Set(df, std::fabs(f_end[-1].kc)), cu_first)),
                              hn::Mul(cu_first, cu));
      t[3] = hn::Add(t[3], hn::Mul(end_weight, ends));
      flush();
      // The conditions: every vertex within [close2, kFloatFar2] (every intermediate value then finite and
      // far from underflow), every angle within 120 degrees.
      const M ok = hn::And(hn::And(hn::Ge(nearest, close2), hn::Le(farthest, hn::Set(df, kFloatFar2))),
                           hn::Ge(angle, zero));
      VD* const total[4] = {sx, sy, sz, sb};
      if (hn::AllTrue(df, ok)) {
        for (std::size_t k = 0; k < 4; ++k) {
          for (std::size_t h = 0; h < 2; ++h) total[k][h] = hn::Add(total[k][h], run[k][h]);
        }
        continue;
      }
      // Lanes where the bound does not hold take the run in double; the others keep the float sums.
      const VF flags = hn::IfThenElseZero(ok, hn::Set(df, 1.0f));
      const VD half_flags[2] = {hn::PromoteTo(dd, hn::LowerHalf(dh, flags)),
                                hn::PromoteTo(dd, hn::UpperHalf(dh, flags))};
      for (std::size_t h = 0; h < 2; ++h) {
        const auto keep = hn::Ne(half_flags[h], zero_d);
        VD c[3] = {zero_d, zero_d, zero_d};
        ChainRange(dd, job.segments + first, job.segments + last, plane, px[h], py[h], pz[h], c[0], c[1],
                   c[2]);
        for (std::size_t k = 0; k < 3; ++k)
          total[k][h] = hn::Add(total[k][h], hn::IfThenElse(keep, run[k][h], c[k]));
        total[3][h] = hn::Add(total[3][h], hn::IfThenElseZero(keep, run[3][h]));
      }
    }
    for (std::size_t h = 0; h < 2 && p0 + h * nd < n; ++h) {
      StorePoints(dd, sx[h], sy[h], sz[h], n, p0 + h * nd, dbuffer, out);
      hn::Store(hn::Mul(sb[h], hn::Set(dd, kFloatBound)), dd, dbuffer);
      for (std::size_t l = 0; l < std::min(nd, n - p0 - h * nd); ++l) bound[p0 + h * nd + l] = dbuffer[l];
    }
  }
}
#endif
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

// The run of records [s, end) of one chain into sum at point (x, y, z): ChainRange a lane at a time.
void ScalarChainRange(const ChainSegment* s, const ChainSegment* const end, double plane, double x, double y,
                      double z, double* sum) {
  if (s == end) return;
  const bool flat = plane == plane;
  const double w = flat ? z - plane : 0.0, w2 = w * w;
  double u[3] = {x - s->x, y - s->y, flat ? w : z - s->z};
  double cu = flat ? (u[0] * u[0] + u[1] * u[1]) + w2 : (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
  double root_u = std::sqrt(cu);
  for (; s != end; ++s) {
    const double v[3] = {x - s[1].x, y - s[1].y, flat ? w : z - s[1].z};
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

void ScalarNearKernel(const ChainSegment* segments, const std::size_t* ranges, const double* planes,
                      std::size_t range_count, const double* x, const double* y, const double* z,
                      std::size_t n, double* out) {
  for (std::size_t p = 0; p < n; ++p) {
    double sum[3] = {0.0, 0.0, 0.0};
    for (std::size_t r = 0; r < range_count; ++r) {
      ScalarChainRange(segments + ranges[2 * r], segments + ranges[2 * r + 1],
                       planes != nullptr ? planes[r] : NAN, x[p], y[p], z[p], sum);
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
  const FloatNearKernelFunction near_float[HWY_MAX_DYNAMIC_TARGETS] = {
      HWY_CHOOSE_TARGET_LIST(NearFloatKernel)};
  const std::int64_t supported = hwy::SupportedTargets();
  for (int i = 0; i < HWY_MAX_DYNAMIC_TARGETS; ++i) {
    const std::int64_t bit = std::int64_t{1} << (HWY_HIGHEST_TARGET_BIT + 1 - HWY_MAX_DYNAMIC_TARGETS + i);
    if (compiled[i] == nullptr || (supported & bit) == 0) continue;
    std::string name = hwy::TargetName(bit);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    targets.push_back({name, compiled[i], near[i], near_float[i]});
  }
#endif
  targets.push_back({"scalar", &ScalarKernel, &ScalarNearKernel, &ScalarNearFloatKernel});
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

void ScalarNearFloatKernel(const FloatNearJob& job, double* out, double* bound) {
  for (std::size_t p = 0; p < job.n; ++p) {
    const float qx = job.fx[p], qy = job.fy[p], qz = job.fz[p];
    double sum[3] = {0.0, 0.0, 0.0}, sb = 0.0;
    for (std::size_t r = 0; r < job.range_count; ++r) {
      const std::size_t first = job.ranges[2 * r], last = job.ranges[2 * r + 1];
      if (first == last) continue;
      const double plane = job.planes[r];
      const bool flat = plane == plane;
      const float w = flat ? qz - job.float_planes[r] : 0.0f, w2 = w * w;
      float t[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      double run[4] = {0.0, 0.0, 0.0, 0.0};
      const auto flush = [&] {
        for (int k = 0; k < 4; ++k) {
          run[k] += static_cast<double>(t[k]);
          t[k] = 0.0f;
        }
      };
      std::size_t pairs = 0;
      const FloatVertex* f = job.vertices + job.vertex_first[r];
      const FloatVertex* const f_end = f + (last - first);
      float u[3] = {qx - f->x, qy - f->y, flat ? w : qz - f->z};
      float cu = flat ? (u[0] * u[0] + u[1] * u[1]) + w2 : (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
      float root_u = std::sqrt(cu);
      const float cu_first = cu;
      float nearest = cu, farthest = cu, angle = 0.0f;
      for (; f != f_end; ++f) {
        const float v[3] = {qx - f[1].x, qy - f[1].y, flat ? w : qz - f[1].z};
        float cv, dot, cross[3];
        if (flat) {
          cv = (v[0] * v[0] + v[1] * v[1]) + w2;
          dot = (u[0] * v[0] + u[1] * v[1]) + w2;
          const float ey = u[1] - v[1], ex = v[0] - u[0];
          cross[0] = w * ey;
          cross[1] = w * ex;
          cross[2] = -(u[0] * ey + u[1] * ex);
        } else {
          cv = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
          dot = (u[0] * v[0] + u[1] * v[1]) + u[2] * v[2];
          const float e[3] = {u[0] - v[0], u[1] - v[1], u[2] - v[2]};
          cross[0] = e[1] * u[2] - e[2] * u[1];
          cross[1] = e[2] * u[0] - e[0] * u[2];
          cross[2] = e[0] * u[1] - e[1] * u[0];
        }
        const float root_v = std::sqrt(cv);
        const float uv = root_u * root_v;
        const float s = uv + dot;
        const float den = (uv + uv) * s;
        const float g = f->kc * (root_u + root_v) / den;
        nearest = std::min(nearest, cv);
        farthest = std::max(farthest, cv);
        angle = std::min(angle, (s + s) - uv);
        for (int k = 0; k < 3; ++k) t[k] += g * cross[k];
        t[3] += std::fabs(g) * (f->length * root_u + f->weight);
        for (int k = 0; k < 3; ++k) u[k] = v[k];
        cu = cv;
        root_u = root_v;
        if (++pairs == kFloatChunk) {
          flush();
          pairs = 0;
        }
      }
      t[3] +=
          job.end_weight *
          ((std::fabs(f_end[first - last].kc) * cu + std::fabs(f_end[-1].kc) * cu_first) / (cu_first * cu));
      flush();
      if (nearest >= job.close2 && farthest <= kFloatFar2 && angle >= 0.0f) {
        for (int k = 0; k < 3; ++k) sum[k] += run[k];
        sb += run[3];
      } else {
        double c[3] = {0.0, 0.0, 0.0};
        ScalarChainRange(job.segments + first, job.segments + last, plane, job.x[p], job.y[p], job.z[p], c);
        for (int k = 0; k < 3; ++k) sum[k] += c[k];
      }
    }
    for (int k = 0; k < 3; ++k) out[3 * p + static_cast<std::size_t>(k)] = sum[k];
    bound[p] = sb * kFloatBound;
  }
}

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
