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
// EXPCOIL_KERNEL names one. The forms give the same bits: the choice changes the speed only.
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

// The pair loop of both sums: a vector of points against the segments of every range [ranges[2 r],
// ranges[2 r + 1]), r < range_count, each lane's terms added in the ranges' and the segments' order, so
// that a lane's bits do not depend on the others or on the vector width. `gain(s, b, c, cab, den)` gives
// the factor of the pair's cross product and whether the pair counts. A range whose segments all lie flat
// in one plane z = planes[r] (dz == 0 and z1 == planes[r], to the bit; planes == nullptr: none does)
// takes the loop without the terms that are zero there, rz * dz, dz * rx, ry * dz, and with rz * rz of
// the point once: the same values, in fewer operations, for a loop whose operations are what it waits on.
template <class Gain>
HWY_INLINE void SumPairs(const StreamSegment* segments, const std::size_t* ranges, const double* planes,
                         std::size_t range_count, const double* x, const double* y, const double* z,
                         std::size_t n, double* out, const Gain& gain) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  constexpr std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);
  const std::size_t lanes = hn::Lanes(d);
  HWY_ALIGN double bx[kMaxLanes];
  HWY_ALIGN double by[kMaxLanes];
  HWY_ALIGN double bz[kMaxLanes];

  const V zero = hn::Zero(d);
  const V minus_two = hn::Set(d, -2.0);
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
    for (std::size_t r = 0; r < range_count; ++r) {
      const StreamSegment* const end = segments + ranges[2 * r + 1];
      if (planes != nullptr && planes[r] == planes[r]) {
        const V rz = hn::Sub(pz, hn::Set(d, planes[r]));
        const V rz2 = hn::Mul(rz, rz);
        const V minus_rz = hn::Neg(rz);
        for (const StreamSegment* s = segments + ranges[2 * r]; s != end; ++s) {
          const V dx = hn::Set(d, s->dx);
          const V dy = hn::Set(d, s->dy);
          const V rx = hn::Sub(px, hn::Set(d, s->x1));
          const V ry = hn::Sub(py, hn::Set(d, s->y1));
          const V b = hn::Mul(hn::Add(hn::Mul(rx, dx), hn::Mul(dy, ry)), minus_two);
          const V c = hn::Add(hn::Add(hn::Mul(rx, rx), hn::Mul(ry, ry)), rz2);
          const V cab = hn::Add(hn::Add(c, hn::Set(d, s->a)), b);
          const V den = hn::Sub(hn::Mul(hn::Set(d, s->a4), c), hn::Mul(b, b));
          const auto [g, counts] = gain(s, b, c, cab, den);
          const V tx = hn::Mul(g, hn::Mul(dy, rz));
          const V ty = hn::Mul(g, hn::Mul(minus_rz, dx));
          const V tz = hn::Mul(g, hn::Sub(hn::Mul(dx, ry), hn::Mul(dy, rx)));
          const auto ok = hn::And(hn::And(counts, hn::Gt(c, zero)), hn::Gt(cab, zero));
          sx = hn::IfThenElse(ok, hn::Add(sx, tx), sx);
          sy = hn::IfThenElse(ok, hn::Add(sy, ty), sy);
          sz = hn::IfThenElse(ok, hn::Add(sz, tz), sz);
        }
        continue;
      }
      for (const StreamSegment* s = segments + ranges[2 * r]; s != end; ++s) {
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
        const auto [g, counts] = gain(s, b, c, cab, den);
        const V tx = hn::Mul(g, hn::Sub(hn::Mul(dy, rz), hn::Mul(ry, dz)));
        const V ty = hn::Mul(g, hn::Sub(hn::Mul(dz, rx), hn::Mul(rz, dx)));
        const V tz = hn::Mul(g, hn::Sub(hn::Mul(dx, ry), hn::Mul(dy, rx)));
        const auto ok = hn::And(hn::And(counts, hn::Gt(c, zero)), hn::Gt(cab, zero));
        sx = hn::IfThenElse(ok, hn::Add(sx, tx), sx);
        sy = hn::IfThenElse(ok, hn::Add(sy, ty), sy);
        sz = hn::IfThenElse(ok, hn::Add(sz, tz), sz);
      }
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

void FieldKernel(const StreamSegment* segments, std::size_t count, const double* x, const double* y,
                 const double* z, std::size_t n, double* out) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  const V zero = hn::Zero(d);
  const std::size_t all[2] = {0, count};
  SumPairs(segments, all, nullptr, 1, x, y, z, n, out, [&](const StreamSegment* s, V b, V c, V cab, V den) {
    // (a + a + b) / sqrt(c + a + b) - b / sqrt(c)
    const V f = hn::Sub(hn::Div(hn::Add(hn::Set(d, s->a2), b), hn::Sqrt(cab)), hn::Div(b, hn::Sqrt(c)));
    // K*I / den * f
    return std::pair{hn::Mul(hn::Div(hn::Set(d, s->ki), den), f), hn::Ne(den, zero)};
  });
}

// The tree code's near sum (field_tree.cpp): the same closed form over its common denominator, K I ((2a +
// b) sqrt(c) - b sqrt(c + a + b)) / (den sqrt(c) sqrt(c + a + b)), two square roots and one division per
// pair where the reference takes two and three. Not the reference's bits (a few ulps of the terms apart),
// but again the same operations in every lane, so the same bits for any vector width.
void NearKernel(const StreamSegment* segments, const std::size_t* ranges, const double* planes,
                std::size_t range_count, const double* x, const double* y, const double* z, std::size_t n,
                double* out) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  const V zero = hn::Zero(d);
  SumPairs(segments, ranges, planes, range_count, x, y, z, n, out,
           [&](const StreamSegment* s, V b, V c, V cab, V den) {
             const V root_c = hn::Sqrt(c);
             const V root_cab = hn::Sqrt(cab);
             const V q = hn::Mul(den, hn::Mul(root_c, root_cab));
             const V num = hn::Sub(hn::Mul(hn::Add(hn::Set(d, s->a2), b), root_c), hn::Mul(b, root_cab));
             return std::pair{hn::Div(hn::Mul(hn::Set(d, s->ki), num), q), hn::Ne(q, zero)};
           });
}

}  // namespace HWY_NAMESPACE
}  // namespace expcoil
HWY_AFTER_NAMESPACE();

#endif  // EXPCOIL_SIMD

// Once per build (Highway includes this file again for every instruction set).
#if !EXPCOIL_SIMD || HWY_ONCE
namespace expcoil {
namespace {

// The pair loop of both scalar sums, in the vector loops' order. `gain(s, b, c, cab, den, g)` says whether
// the pair counts and, when it does, sets the factor of its cross product.
template <class Gain>
void ScalarPairs(const StreamSegment* segments, const std::size_t* ranges, const double* planes,
                 std::size_t range_count, const double* x, const double* y, const double* z, std::size_t n,
                 double* out, const Gain& gain) {
  for (std::size_t p = 0; p < n; ++p) {
    double sx = 0.0;
    double sy = 0.0;
    double sz = 0.0;
    for (std::size_t r = 0; r < range_count; ++r) {
      const StreamSegment* const end = segments + ranges[2 * r + 1];
      if (planes != nullptr && planes[r] == planes[r]) {
        const double rz = z[p] - planes[r];
        const double rz2 = rz * rz;
        for (const StreamSegment* s = segments + ranges[2 * r]; s != end; ++s) {
          const double rx = x[p] - s->x1;
          const double ry = y[p] - s->y1;
          const double b = (rx * s->dx + s->dy * ry) * -2.0;
          const double c = (rx * rx + ry * ry) + rz2;
          const double cab = c + s->a + b;
          const double den = s->a4 * c - b * b;
          double g;
          if (!gain(s, b, c, cab, den, g)) continue;
          sx += g * (s->dy * rz);
          sy += g * (-rz * s->dx);
          sz += g * (s->dx * ry - s->dy * rx);
        }
        continue;
      }
      for (const StreamSegment* s = segments + ranges[2 * r]; s != end; ++s) {
        const double rx = x[p] - s->x1;
        const double ry = y[p] - s->y1;
        const double rz = z[p] - s->z1;
        const double b = ((rx * s->dx + s->dy * ry) + rz * s->dz) * -2.0;
        const double c = (rx * rx + ry * ry) + rz * rz;
        const double cab = c + s->a + b;
        const double den = s->a4 * c - b * b;
        double g;
        if (!gain(s, b, c, cab, den, g)) continue;
        sx += g * (s->dy * rz - ry * s->dz);
        sy += g * (s->dz * rx - rz * s->dx);
        sz += g * (s->dx * ry - s->dy * rx);
      }
    }
    out[3 * p] = sx;
    out[3 * p + 1] = sy;
    out[3 * p + 2] = sz;
  }
}

void ScalarKernel(const StreamSegment* segments, std::size_t count, const double* x, const double* y,
                  const double* z, std::size_t n, double* out) {
  const std::size_t all[2] = {0, count};
  ScalarPairs(segments, all, nullptr, 1, x, y, z, n, out,
              [](const StreamSegment* s, double b, double c, double cab, double den, double& g) {
                if (!(den != 0.0 && c > 0.0 && cab > 0.0)) return false;
                const double f = (s->a2 + b) / std::sqrt(cab) - b / std::sqrt(c);
                g = s->ki / den * f;
                return true;
              });
}

void ScalarNearKernel(const StreamSegment* segments, const std::size_t* ranges, const double* planes,
                      std::size_t range_count, const double* x, const double* y, const double* z,
                      std::size_t n, double* out) {
  ScalarPairs(segments, ranges, planes, range_count, x, y, z, n, out,
              [](const StreamSegment* s, double b, double c, double cab, double den, double& g) {
                const double root_c = std::sqrt(c);
                const double root_cab = std::sqrt(cab);
                const double q = den * (root_c * root_cab);
                if (!(q != 0.0 && c > 0.0 && cab > 0.0)) return false;
                g = s->ki * ((s->a2 + b) * root_c - b * root_cab) / q;
                return true;
              });
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
