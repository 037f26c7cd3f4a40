#include "io/export/makegrid.hpp"

#include <cctype>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "io/text_support.hpp"
#include "lib/output_file.hpp"
#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

constexpr std::size_t kField = 23;

// printf "%23.15E".
char* put_field(char* out, double v) {
  char text[kNumberText];
  char* end = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific, 15).ptr;
  const auto length = static_cast<std::size_t>(end - text);
  const std::size_t pad = length < kField ? kField - length : 0;
  std::memset(out, ' ', pad);
  for (std::size_t i = 0; i < length; ++i) out[pad + i] = text[i] == 'e' ? 'E' : text[i];
  return out + pad + length;
}

}  // namespace

std::size_t makegrid_write(const CoilChains& chains, const std::string& path, const std::string& coil_name) {
  std::string name = coil_name.empty() ? std::string("expcoil") : coil_name;
  for (char& c : name)
    if (std::isspace(static_cast<unsigned char>(c))) c = '_';
  if (name.size() > 100) throw InputError("the coil name is longer than MAKEGRID's lines allow");

  for (const CoilChain& c : chains.chains) {
    if (c.closed) continue;
    const std::string end = point_text(chains.points.data() + 3 * (c.first_point + c.point_count - 1));
    throw WindingsError(
        c.last_segment,
        c.other_current_continues
            ? join({"windings of different currents meet at ", end, "; MAKEGRID takes loops of one current"})
            : join({"the winding through this segment does not close: no segment of ", plain_text(c.current),
                    " A continues from ", end, "; MAKEGRID takes closed loops only"}));
  }
  std::size_t pairs = 0;
  for (const CoilChain& c : chains.chains) pairs += c.point_count < 3;
  if (pairs == chains.chains.size()) throw InputError("there are no windings to write");

  OutputFile file(path);
  file.text("periods 1\nbegin filament\nmirror NIL\n");
  char line[5 * kField + 4];
  for (const CoilChain& c : chains.chains) {
    if (c.point_count < 3) continue;
    for (std::size_t v = 0; v <= c.point_count; ++v) {
      const double* p = chains.points.data() + 3 * (c.first_point + v % c.point_count);
      char* end = line;
      for (int a = 0; a < 3; ++a) end = put_field(end, p[a]);
      end = put_field(end, v < c.point_count ? c.current : 0.0);
      file.text({line, static_cast<std::size_t>(end - line)});
      if (v < c.point_count) {
        file.text("\n");
      } else {
        file.text(" 1 ").text(name).text("\n");
      }
    }
    file.throw_if_failed();
  }
  file.text("end\n");
  file.commit_or_throw();
  return pairs;
}

void makegrid_write_windings(const CoilChains& chains, const std::string& path, const ExportOptions& options,
                             ExportReport& report) {
  const std::size_t pairs = makegrid_write(chains, path, options.coil_name);
  report.loops -= pairs;
  if (pairs > 0)
    report.notes.push_back(join({std::to_string(pairs), pairs == 1 ? " segment pair" : " segment pairs",
                                 " that cancel (there and back) left out"}));
}

}  // namespace expcoil
