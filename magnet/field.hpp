// The magnetic field of a magnet's windings: every segment is a straight filament, and its field is
// the closed-form Biot-Savart integral over the straight piece.
//
// The formula, for segment A = (x1, y1, z1) to E = (x2, y2, z2) carrying I and point P, d = E - A,
// r = P - A:
//   B = K I (d x r) F / (4ac - b^2),   F = (2a + b) / sqrt(c + a + b) - b / sqrt(c),
// with a = |d|^2, b = -2 r.d, c = |r|^2 (so c + a + b = |P - E|^2 and 4ac - b^2 = 4 |d x r|^2). Its
// operations are kept in one order, in doubles, without contraction, by every form of the kernel: the
// files produced from these values must not change with the compiler, the machine or the vector width.
// The formula is not a number when 4ac - b^2 = 0 (P on the line through the segment, or a = 0), c = 0
// (P at the start) or c + a + b <= 0 (P at the end, or rounding below zero next to it): a segment
// contributes nothing there, and the running sums are left untouched (adding +0.0 would turn a -0.0
// sum into +0.0), so that every form makes the same decision with the same bits.
//
// The scalar loop (kernel form "scalar") is the one plain evaluation; the vectorised forms evaluate the
// same operations for many points at once and give, for every point, exactly its bits.
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
  // The segments themselves, the stream left empty (for a caller that rearranges them in place).
  std::vector<StreamSegment> take() && { return std::move(segments_); }

 private:
  std::vector<StreamSegment> segments_;
};

// One form of the kernel: out[3p .. 3p+2] = windings_field at point p = (x[p], y[p], z[p]), bit for
// bit, for p < n, from the `count` segments of a SegmentStream.
using FieldKernelFunction = void (*)(const StreamSegment* segments, std::size_t count, const double* x,
                                     const double* y, const double* z, std::size_t n, double* out);

// A segment as the tree code's near sums take it: laid along a chain (chain_segments).
struct ChainSegment {
  double x, y, z;     // where the chain reaches the segment: its start, or its end where it runs backwards
  double dx, dy, dz;  // the segment's own end minus start
  double a2, a4, ki;  // as the segment's StreamSegment
  double kc;          // ki along the chain: -ki where it runs backwards
  // A point whose |u x v|^2 (u, v: to where the chain reaches and leaves the segment) is below this
  // times the larger of |u|^2 and |v|^2 lies close to the segment's line (sin^2 of the angle at the
  // segment's start below kChainClose): there the near sum takes the reference's form.
  double close;
  double backwards;  // 1 where the chain reaches the segment at its end, else 0
};

inline constexpr double kChainClose = 1e-3;

// The segments of a stream laid end to end where their ends meet, to the bit, two at a point (a winding's
// contour pieces come in either direction): the records of each chain one after the other, each chain
// followed by a record that holds only where it ends (x, y, z; its current zero), so that every segment
// of a chain leaves it where the next record starts. The chains, from the end on the lower segment of each
// open one (a closed one from its lowest segment), in the order of those segments: a function of the
// stream alone.
struct SegmentChains {
  std::vector<ChainSegment> records;
  std::vector<std::size_t> ranges;     // each chain's segments, [ranges[2 c], ranges[2 c + 1])
  std::vector<double> planes;          // each chain's plane z = planes[c] where all its segments lie flat
                                       // in one (dz == 0 and one z, to the bit), else NaN
  std::vector<double> record_plane;    // per record, its chain's plane
  std::vector<std::int32_t> position;  // segment i of the stream is records[position[i]]
};
SegmentChains chain_segments(const StreamSegment* segments, std::size_t count);

// The tree code's near sum: out[3p .. 3p+2] = the field at point p, p < n, of the records of the ranges
// [ranges[2 r], ranges[2 r + 1]), r < range_count, in that order, each range a run of consecutive records
// of one chain of SegmentChains (planes[r] its chain's plane; planes == nullptr: take none as flat). One
// square root and one division a pair where the reference takes two and three; within a few ulps of the
// reference's terms (to its bits in the cancelling part of its form next to a conductor), not its bits.
using NearKernelFunction = void (*)(const ChainSegment* segments, const std::size_t* ranges,
                                    const double* planes, std::size_t range_count, const double* x,
                                    const double* y, const double* z, std::size_t n, double* out);

// The near sums in single precision, for loose tolerances (field_tree.cpp): about twice as many lanes, and
// a square root and a division far cheaper than in double. Every record is taken about an origin (a target
// leaf's centre), each range is a run of records of one chain and one current, summed in float partial
// sums of kFloatChunk pairs at most, and every point's sum comes with a bound on its error; a run that a
// point lies too close to (for the bound to hold) is summed in double in that lane, as NearKernel would.
struct FloatVertex {
  float x, y, z;  // a record's start about the origin, rounded to float
  float kc;       // its kc, rounded
  float length;   // its segment's length, rounded up (and enlarged by the coordinates' rounding)
  float weight;   // the coordinates' part of the bound of its segment (lambda, field_kernel.cpp)
};

inline constexpr std::size_t kFloatChunk = 16;
// The bound's constants (derived in field_kernel.cpp): C, the float evaluation's and a partial sum's
// rounding per |g| L |u| of a pair, in units of 2^-24; the bound is C 2^-24 (1 + 1e-4) times the sum of
// the pairs' |g| (L |u| + lambda) and the ends' terms. A vertex nearer than kFloatClose eta, or with
// |u|^2 above kFloatFar2, takes the run in double.
inline constexpr double kFloatEvaluation = 72.0;
inline constexpr double kFloatBound = kFloatEvaluation * 0x1p-24 * (1.0 + 1e-4);
inline constexpr float kFloatFar2 = 1e14f;
inline constexpr double kFloatClose = 600.0;

struct FloatNearJob {
  const ChainSegment* segments = nullptr;     // the records, for runs summed in double
  const FloatVertex* vertices = nullptr;      // each run's records and its end's, about the origin
  const std::size_t* ranges = nullptr;        // the runs' records, [ranges[2 r], ranges[2 r + 1])
  const std::size_t* vertex_first = nullptr;  // where in vertices run r's first record is
  const double* planes = nullptr;             // each run's chain's plane, or NaN
  const float* float_planes = nullptr;        // that plane about the origin, rounded
  std::size_t range_count = 0;
  const double *x = nullptr, *y = nullptr, *z = nullptr;    // the points
  const float *fx = nullptr, *fy = nullptr, *fz = nullptr;  // the points about the origin, rounded
  std::size_t n = 0;
  float close2 = 0.0f;      // a point nearer a run's vertex than sqrt(close2) takes the run in double
  float end_weight = 0.0f;  // the coordinates' part of the bound at a run's two ends, per |kc| / |u|^2
};

// The inputs of the float near sums of points about an origin, all within `radius` of it, over runs of
// consecutive records of chains (each run [ranges[2 r], ranges[2 r + 1]) of one chain): the runs cut where
// the current changes, the records and the points about the origin, and the bound's weights. Made anew by
// each prepare(), which keeps its vectors' memory for the next; job() refers to them.
class FloatNearSums {
 public:
  void prepare(const SegmentChains& chains, const std::vector<float>& lengths, const std::size_t* ranges,
               std::size_t range_count, const double* origin, double radius, const double* x, const double* y,
               const double* z, std::size_t n);
  const FloatNearJob& job() const { return job_; }

 private:
  FloatNearJob job_;
  std::vector<FloatVertex> vertices_;
  std::vector<std::size_t> chunks_, chunk_vertices_;
  std::vector<double> planes_;
  std::vector<float> float_planes_, fx_, fy_, fz_;
};

// Each record's segment length, rounded, for FloatNearSums.
std::vector<float> record_lengths(const SegmentChains& chains);

// out[3p .. 3p+2]: the near sum at point p, p < n; bound[p]: a bound on its error against the exact sum
// of its runs (in tesla, as the field), beyond the rounding of double sums. The same bits for every
// point whatever the vector width.
using FloatNearKernelFunction = void (*)(const FloatNearJob& job, double* out, double* bound);

// A form of the kernel this machine runs. The name is what EXPCOIL_KERNEL takes: the instruction set in
// lower case ("avx3" for AVX-512, "avx2", "sse4", "ssse3") or "scalar", the plain one-point loop that a
// build without the vectorised kernel (EXPCOIL_SIMD=OFF) has alone.
struct KernelTarget {
  std::string name;
  FieldKernelFunction function;
  // The tree code's form of the near sum for the same instruction set.
  NearKernelFunction near = nullptr;
  FloatNearKernelFunction near_float = nullptr;
};

// The forms this build has and this processor runs, widest first, "scalar" last. Built once.
const std::vector<KernelTarget>& field_kernel_targets();

// How the form that field_kernel runs on was picked.
struct KernelChoice {
  KernelTarget target;
  std::string how;  // "measured", "forced by EXPCOIL_KERNEL" or "the only one"
  double seconds;   // what making the choice took (timing every form on the sample)
};

// The choice for a value of EXPCOIL_KERNEL. A name of field_kernel_targets() picks that form; nullptr
// or "" (the variable unset or empty) picks the form that is fastest on a small fixed sample, a few
// milliseconds of work in all. Any other value throws InputError (lib/errors.hpp) with a message that
// names the variable, the value and the names this machine runs. The forms give the same bits, so the
// choice changes the speed only.
KernelChoice choose_field_kernel(const char* requested);

// The process's choice: choose_field_kernel(EXPCOIL_KERNEL from the environment), made at the first
// call and kept; thread-safe. While the variable is bad, every call throws.
const KernelChoice& field_kernel_choice();

// out[3p .. 3p+2] = windings_field at point p = (x[p], y[p], z[p]), bit for bit, for p < n, on the
// process's choice (field_kernel_choice(), which it makes at the first call and may throw).
void field_kernel(const SegmentStream& segments, const double* x, const double* y, const double* z,
                  std::size_t n, double* out);

// The same on the given form; touches no shared state, so threads may run different forms at once.
void field_kernel_on(const KernelTarget& target, const SegmentStream& segments, const double* x,
                     const double* y, const double* z, std::size_t n, double* out);

}  // namespace expcoil
