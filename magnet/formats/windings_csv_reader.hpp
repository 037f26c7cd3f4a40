// Reading windings_<name>.csv: the header line "x1 (m),y1,z1, x2,y2,z2, I (Amps)", then one segment per
// line, seven finite numbers; blank lines may only end the file. Segment k is on line k + 2.
#pragma once

#include <string>

#include "magnet/segment.hpp"

namespace expcoil {

// Throws InputError naming the first line that is not a segment.
WindingSet windings_csv_read(const std::string& path);

}  // namespace expcoil
