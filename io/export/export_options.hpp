// Choices a caller may make about an export; the defaults are what the target programs read correctly.
// The command line and the Python package both set them from "--key=value" texts, read here alone.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace expcoil {

// BDSIM's loopOrder: xyzt (x fastest, the reader's default and its long-standing path) or tzyx (z fastest,
// the CSV's own order; its loading was fixed only in recent BDSIM releases).
enum class BdsimOrder { xyzt, tzyx };

// The lengths of the OPAL H5hut map: OPAL-T's elements look the map up at positions in metres, taking its
// origin and spacing as they are; only OPAL's cyclotron tracking converts them from millimetres.
enum class OpalH5Units { m, mm };

struct ExportOptions {
  BdsimOrder bdsim_order = BdsimOrder::xyzt;
  OpalH5Units opal_h5_units = OpalH5Units::m;
  // Segment ends closer than this (m) are one vertex when windings are chained into loops. The windings
  // of expcoil meet exactly; the tolerance forgives tables rounded elsewhere. check_join_tolerance
  // (coil_chain.hpp) says which values are taken.
  double join_tolerance = 1e-9;
  // MAKEGRID's coil group name (one word; blanks become '_'). Empty: the magnet's name when the windings
  // come from windings_<name>.csv, otherwise "expcoil".
  std::string coil_name;
  // Points held in memory while a field map is put into another loop order (through a scratch file
  // beside the output); at least one line of the fastest axis is always held. Not an option of the
  // command line: the tests make it small.
  std::size_t reorder_points = std::size_t{1} << 18;
};

// Sets the option that `argument` ("--key=value") names. Returns false when it names none (another
// argument of the caller's); throws InputError naming the argument when the key is an option's but the
// value is not one it takes.
bool set_export_option(ExportOptions& options, std::string_view argument);

// The options of all `arguments`; an argument that is not an option is an InputError too.
ExportOptions parse_export_options(std::span<const std::string> arguments);

// The options' lines for a --help text, each "  --key=VALUE  what it does (default)".
std::string export_options_help();

}  // namespace expcoil
