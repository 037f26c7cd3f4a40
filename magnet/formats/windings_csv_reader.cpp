#include "magnet/formats/windings_csv_reader.hpp"

#include <cmath>

#include "magnet/formats/csv_lines.hpp"
#include "magnet/formats/export_error.hpp"
#include "magnet/formats/field_map_csv_reader.hpp"
#include "magnet/formats/text_support.hpp"

namespace expcoil {

WindingSet windings_csv_read(const std::string& path) {
  CsvLines lines(path);
  std::string_view line;
  if (!lines.next(line) || line.substr(0, line.find_last_not_of(" \t") + 1) != kWindingsCsvHeader)
    throw FileFormatError(path, 1,
                          join({"not a windings table: the first line is not '", kWindingsCsvHeader, "'"}));
  WindingSet windings;
  std::int64_t blank_line = 0;
  while (lines.next(line)) {
    if (is_blank(line)) {
      if (blank_line == 0) blank_line = lines.line_number();
      continue;
    }
    if (blank_line > 0) throw FileFormatError(path, blank_line, "a blank line inside the data");
    double v[7];
    if (!parse_csv_numbers(line, v, 7))
      throw FileFormatError(path, lines.line_number(),
                            join({"expected seven numbers x1,y1,z1, x2,y2,z2, I, found ", quote_line(line)}));
    for (const double x : v)
      if (!std::isfinite(x))
        throw FileFormatError(path, lines.line_number(), "a value is not a finite number");
    windings.append(Segment{v[0], v[1], v[2], v[3], v[4], v[5], v[6]});
  }
  return windings;
}

}  // namespace expcoil
