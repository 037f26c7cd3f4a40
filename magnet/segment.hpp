// The conductors of a magnet: straight segments carrying a signed current.
#pragma once

#include "lib/grow_list.hpp"

namespace expcoil {

struct Segment {
  double x1, y1, z1;  // first end point, m
  double x2, y2, z2;  // second end point, m
  double current;     // A; positive when it flows from the first end point to the second
};

using WindingSet = GrowList<Segment>;

}  // namespace expcoil
