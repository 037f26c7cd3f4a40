// The magnetic field of a magnet's windings: every segment is a straight filament, and its field is
// the closed-form Biot-Savart integral over the straight piece.
//
// windings_field is the reference: it evaluates the formula literally, operation by operation, for
// one point. field_kernel evaluates the same formula for many points at once (vectorised across
// points where the machine allows it) and gives, for every point, exactly the same bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "magnet/segment.hpp"

namespace expcoil {

// mu0 / (2 pi) with mu0 = 4 pi 1e-7, as it rounds in double precision: one unit in the last place
// above the double nearest to 2e-7. It carries mu0 / (4 pi) and the factor 2 of the integral.
inline constexpr double kFieldConstant = 0x1.ad7f29abcaf49p-23;

// (Bx, By, Bz) in tesla at (x, y, z) in metres: the sum, in set order, of the fields of all
// segments. A segment whose term is not a number at the point contributes nothing: a zero-length
// segment, and a point on the straight line through a segment (on it, at an end or on its
// extension). Any number of threads may call it on the same set.
std::array<double, 3> windings_field(const WindingSet& windings, double x, double y, double z);

// The point-callback form: `context` is the WindingSet, `out` receives Bx, By, Bz.
using PointFunction = void (*)(double x, double y, double z, double* out, const void* context);
void windings_field_at(double x, double y, double z, double* out, const void* context);

// The segments laid out for streaming: per segment the terms that do not depend on the point,
// computed once with the same operations as the reference. Zero-length segments are left out, as
// they never contribute.
struct StreamSegment {
  double x1, y1, z1;  // start point
  double dx, dy, dz;  // end minus start
  double a;           // (dy*dy + dx*dx) + dz*dz
  double a2;          // a + a
  double a4;          // 4 * a
  double ki;          // kFieldConstant * current
};

class SegmentStream {
 public:
  explicit SegmentStream(const WindingSet& windings);
  const StreamSegment* data() const { return segments_.data(); }
  std::size_t size() const { return segments_.size(); }

 private:
  std::vector<StreamSegment> segments_;
};

// out[3p .. 3p+2] = windings_field at point p = (x[p], y[p], z[p]), bit for bit, for p < n.
void field_kernel(const SegmentStream& segments, const double* x, const double* y, const double* z,
                  std::size_t n, double* out);

// The instruction set field_kernel runs on ("AVX3", "AVX2", ... or "scalar" when built without the
// vectorised kernel).
std::string field_kernel_target();

// Test and benchmark hook: the instruction sets field_kernel can run on this machine, best first.
struct KernelTarget {
  std::int64_t id;
  std::string name;
};
std::vector<KernelTarget> field_kernel_targets();
// Makes field_kernel run on `id` (one of field_kernel_targets()); 0 restores the automatic choice.
void force_field_kernel_target(std::int64_t id);

}  // namespace expcoil
