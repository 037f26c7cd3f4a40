#include "magnet/field.hpp"

#include <cmath>

namespace expcoil {

// Segment from A = (x1, y1, z1) to E = (x2, y2, z2) carrying I, point P, d = E - A, r = P - A:
//   B = K I (d x r) F / (4ac - b^2),   F = (2a + b) / sqrt(c + a + b) - b / sqrt(c),
// with a = |d|^2, b = -2 r.d, c = |r|^2 (so c + a + b = |P - E|^2 and 4ac - b^2 = 4 |d x r|^2).
// The operations are kept in this order, in doubles, without contraction: the files produced from
// these values must not change with the compiler, the machine or the vector width.
//
// The formula is not a number when 4ac - b^2 = 0 (P on the line through the segment, or a = 0),
// c = 0 (P at the start) or c + a + b <= 0 (P at the end, or rounding below zero next to it). A
// segment contributes nothing there, and the running sums are left untouched (adding +0.0 would
// turn a -0.0 sum into +0.0), so that every kernel makes the same decision with the same bits.
std::array<double, 3> windings_field(const WindingSet& windings, double x, double y, double z) {
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

void windings_field_at(double x, double y, double z, double* out, const void* context) {
  const std::array<double, 3> b = windings_field(*static_cast<const WindingSet*>(context), x, y, z);
  out[0] = b[0];
  out[1] = b[1];
  out[2] = b[2];
}

SegmentStream::SegmentStream(const WindingSet& windings) {
  segments_.reserve(windings.count());
  for (const Segment& s : windings) {
    StreamSegment t;
    t.x1 = s.x1;
    t.y1 = s.y1;
    t.z1 = s.z1;
    t.dx = s.x2 - s.x1;
    t.dy = s.y2 - s.y1;
    t.dz = s.z2 - s.z1;
    t.a = (t.dy * t.dy + t.dx * t.dx) + t.dz * t.dz;
    if (t.a == 0.0) continue;
    t.a2 = t.a + t.a;
    t.a4 = 4.0 * t.a;
    t.ki = kFieldConstant * s.current;
    segments_.push_back(t);
  }
}

}  // namespace expcoil
