#include "magnet/field.hpp"

#include <cmath>

namespace expcoil {

std::array<double, 3> windings_field(const WindingSet& windings, double x, double y, double z) {
  const SegmentStream stream(windings);
  double b[3];
  field_kernel_on(field_kernel_targets().back(), stream, &x, &y, &z, 1, b);
  return {b[0], b[1], b[2]};
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
