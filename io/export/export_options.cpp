#include "io/export/export_options.hpp"

#include <charconv>
#include <cstdio>
#include <system_error>

#include "io/text_support.hpp"
#include "lib/errors.hpp"
#include "magnet/coil_chain.hpp"

namespace expcoil {
namespace {

template <class E>
struct Choice {
  std::string_view text;
  E value;
};

template <class E, std::size_t N>
void choose(std::string_view key, std::string_view value, const Choice<E> (&choices)[N], E& out) {
  std::string names;
  for (const Choice<E>& c : choices) {
    if (c.text == value) {
      out = c.value;
      return;
    }
    names.append(names.empty() ? "" : " or ").append(c.text);
  }
  throw InputError(join({key, " takes ", names, ", not '", value, "'"}));
}

constexpr Choice<BdsimOrder> kBdsimOrders[] = {{"xyzt", BdsimOrder::xyzt}, {"tzyx", BdsimOrder::tzyx}};
constexpr Choice<OpalH5Units> kOpalH5Units[] = {{"m", OpalH5Units::m}, {"mm", OpalH5Units::mm}};

struct Option {
  std::string_view key;
  std::string_view value;  // what --help shows after '='
  std::string_view help;
  void (*set)(ExportOptions&, std::string_view key, std::string_view value);
};

std::string default_tolerance() {
  char text[32];
  std::snprintf(text, sizeof text, "%g", ExportOptions{}.join_tolerance);
  return text;
}

const Option kOptions[] = {
    {"--bdsim-order", "xyzt|tzyx", "bdsim: x fastest (default) or z fastest (recent BDSIM only)",
     [](ExportOptions& o, std::string_view key, std::string_view value) {
       choose(key, value, kBdsimOrders, o.bdsim_order);
     }},
    {"--opal-h5-units", "m|mm",
     "opal-h5: lengths in metres for OPAL-T (default) or millimetres for OPAL's cyclotron tracking",
     [](ExportOptions& o, std::string_view key, std::string_view value) {
       choose(key, value, kOpalH5Units, o.opal_h5_units);
     }},
    {"--join-tolerance", "METRES", "windings: ends this close are joined (0: only where they meet exactly)",
     [](ExportOptions& o, std::string_view key, std::string_view value) {
       double t = 0.0;
       const auto r = std::from_chars(value.data(), value.data() + value.size(), t);
       if (value.empty() || r.ec != std::errc() || r.ptr != value.data() + value.size())
         throw InputError(join({key, " takes a length in metres, not '", value, "'"}));
       try {
         check_join_tolerance(t);
       } catch (const InputError& e) {
         throw InputError(join({key, ": ", e.what()}));
       }
       o.join_tolerance = t;
     }},
    {"--name", "NAME", "makegrid: the coil group name (default: the magnet's name)",
     [](ExportOptions& o, std::string_view key, std::string_view value) {
       if (value.empty()) throw InputError(join({key, " takes a name"}));
       o.coil_name = std::string(value);
     }},
};

}  // namespace

bool set_export_option(ExportOptions& options, std::string_view argument) {
  const std::size_t equals = argument.find('=');
  if (equals == std::string_view::npos) return false;
  const std::string_view key = argument.substr(0, equals);
  for (const Option& o : kOptions) {
    if (o.key != key) continue;
    o.set(options, key, argument.substr(equals + 1));
    return true;
  }
  return false;
}

ExportOptions parse_export_options(std::span<const std::string> arguments) {
  ExportOptions options;
  for (const std::string& a : arguments)
    if (!set_export_option(options, a)) throw InputError("unknown option or value '" + a + "'");
  return options;
}

std::string export_options_help() {
  std::string text;
  for (const Option& o : kOptions) {
    std::string head = join({"  ", o.key, "=", o.value});
    head.resize(std::max<std::size_t>(head.size() + 2, 34), ' ');
    text += head + std::string(o.help);
    if (o.key == "--join-tolerance") text += " (default " + default_tolerance() + ")";
    text += "\n";
  }
  return text;
}

}  // namespace expcoil
