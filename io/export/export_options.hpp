// Choices a caller may make about an export; the defaults are what the target programs read correctly.
#pragma once

#include <cstddef>
#include <string>

namespace expcoil {

// OPAL's 3DMagnetoStatic reader stores the lines in file order but indexes them with y slowest, x, z
// fastest, while its manual describes x slowest; `reader` writes what the reader indexes.
enum class OpalOrder { reader, documented };

// BDSIM's loopOrder: xyzt (x fastest, the reader's default and its long-standing path) or tzyx (z fastest,
// the CSV's own order; its loading was fixed only in recent BDSIM releases).
enum class BdsimOrder { xyzt, tzyx };

struct ExportOptions {
  OpalOrder opal_order = OpalOrder::reader;
  BdsimOrder bdsim_order = BdsimOrder::xyzt;
  // Segment ends closer than this (m) are one vertex when windings are chained into loops. The windings
  // of expcoil meet exactly; the tolerance forgives tables rounded elsewhere.
  double join_tolerance = 1e-9;
  // MAKEGRID's coil group name (one word; blanks become '_'). Empty: the magnet's name when the windings
  // come from windings_<name>.csv, otherwise "expcoil".
  std::string coil_name;
  // Points held in memory while a field map is put into another loop order (through a scratch file
  // beside the output); at least one line of the fastest axis is always held.
  std::size_t reorder_points = std::size_t{1} << 18;
};

}  // namespace expcoil
