// The vectorised field kernel: one lane per point, every lane summing the segments in set order with
// exactly the operations of windings_field (field.cpp), so each point gets the reference's bits
// whatever the vector width. Only Add, Sub, Mul, Div and Sqrt are used (never MulAdd: a fused
// operation rounds once where the reference rounds twice); all are correctly rounded in IEEE double.
//
// Highway compiles this file once per instruction set (SSSE3, SSE4, AVX2 and a portable fallback) and
// picks the best one the processor supports at the first call, so one binary runs on any x86-64.
//
// AVX-512 is left out on purpose: the loop is bound by the divide/square-root unit (two square roots
// and three divisions per segment and point), whose throughput per element is the same for 128-, 256-
// and 512-bit vectors on current x86 cores, so wider vectors add nothing; on the Xeon (AVX-512) this was
// measured on, the AVX-512 build was about 6 % slower than the AVX2 build (field_bench).
#if EXPCOIL_SIMD

#define HWY_DISABLED_TARGETS (HWY_AVX3 | HWY_AVX3_DL)
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "magnet/field_kernel.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
//
#include <hwy/highway.h>

#include <algorithm>
#include <cstddef>

#include "magnet/field.hpp"

HWY_BEFORE_NAMESPACE();
namespace expcoil {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void FieldKernel(const StreamSegment* segments, std::size_t count, const double* x, const double* y,
                 const double* z, std::size_t n, double* out) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  constexpr std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);
  const std::size_t lanes = hn::Lanes(d);
  HWY_ALIGN double bx[kMaxLanes];
  HWY_ALIGN double by[kMaxLanes];
  HWY_ALIGN double bz[kMaxLanes];

  const V zero = hn::Zero(d);
  const V minus_two = hn::Set(d, -2.0);
  const StreamSegment* const end = segments + count;

  for (std::size_t p0 = 0; p0 < n; p0 += lanes) {
    const std::size_t m = std::min(lanes, n - p0);
    V px, py, pz;
    if (m == lanes) {
      px = hn::LoadU(d, x + p0);
      py = hn::LoadU(d, y + p0);
      pz = hn::LoadU(d, z + p0);
    } else {
      // Spare lanes repeat the last point; their results are dropped.
      for (std::size_t l = 0; l < lanes; ++l) {
        const std::size_t p = p0 + std::min(l, m - 1);
        bx[l] = x[p];
        by[l] = y[p];
        bz[l] = z[p];
      }
      px = hn::Load(d, bx);
      py = hn::Load(d, by);
      pz = hn::Load(d, bz);
    }

    V sx = zero;
    V sy = zero;
    V sz = zero;
    for (const StreamSegment* s = segments; s != end; ++s) {
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
      const V tx = hn::Mul(g, hn::Sub(hn::Mul(dy, rz), hn::Mul(ry, dz)));
      const V ty = hn::Mul(g, hn::Sub(hn::Mul(dz, rx), hn::Mul(rz, dx)));
      const V tz = hn::Mul(g, hn::Sub(hn::Mul(dx, ry), hn::Mul(dy, rx)));
      const auto ok = hn::And(hn::And(hn::Ne(den, zero), hn::Gt(c, zero)), hn::Gt(cab, zero));
      sx = hn::IfThenElse(ok, hn::Add(sx, tx), sx);
      sy = hn::IfThenElse(ok, hn::Add(sy, ty), sy);
      sz = hn::IfThenElse(ok, hn::Add(sz, tz), sz);
    }

    hn::Store(sx, d, bx);
    hn::Store(sy, d, by);
    hn::Store(sz, d, bz);
    for (std::size_t l = 0; l < m; ++l) {
      double* o = out + 3 * (p0 + l);
      o[0] = bx[l];
      o[1] = by[l];
      o[2] = bz[l];
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace expcoil
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace expcoil {
namespace {

HWY_EXPORT(FieldKernel);

std::int64_t g_forced_target = 0;

}  // namespace

void field_kernel(const SegmentStream& segments, const double* x, const double* y, const double* z,
                  std::size_t n, double* out) {
  HWY_DYNAMIC_DISPATCH(FieldKernel)(segments.data(), segments.size(), x, y, z, n, out);
}

std::string field_kernel_target() {
  const std::int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
  return hwy::TargetName(usable & -usable);
}

std::vector<KernelTarget> field_kernel_targets() {
  hwy::SetSupportedTargetsForTest(0);
  const std::int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
  force_field_kernel_target(g_forced_target);
  std::vector<KernelTarget> targets;
  for (std::int64_t rest = usable; rest != 0; rest &= rest - 1) {
    const std::int64_t bit = rest & -rest;
    targets.push_back({bit, hwy::TargetName(bit)});
  }
  return targets;
}

void force_field_kernel_target(std::int64_t id) {
  g_forced_target = id;
  hwy::SetSupportedTargetsForTest(id);
  hwy::GetChosenTarget().Update(hwy::SupportedTargets());
}

}  // namespace expcoil
#endif  // HWY_ONCE

#endif  // EXPCOIL_SIMD
