#include "io/program/windings_table.hpp"

#include <cmath>

#include "lib/errors.hpp"
#include "lib/line_reader.hpp"
#include "lib/output_file.hpp"

namespace expcoil {

void windings_table_write(const WindingSet& windings, const std::string& path) {
  OutputFile file(path);
  file.text(kWindingsCsvHeader).line_end();
  for (const Segment& s : windings) {
    file.general(s.x1, 15).text(",").general(s.y1, 15).text(",").general(s.z1, 15);
    file.text(", ").general(s.x2, 15).text(",").general(s.y2, 15).text(",").general(s.z2, 15);
    file.text(", ").general(s.current, 15).line_end();
  }
  file.commit_or_throw();
}

WindingSet windings_table_read(const std::string& path) {
  LineReader lines(path);
  std::string_view line;
  if (!lines.next(line) || trim_blanks(line) != kWindingsCsvHeader) {
    throw FileFormatError(
        path, 1,
        std::string("not a windings table: the first line is not '").append(kWindingsCsvHeader).append("'"));
  }
  WindingSet windings;
  std::int64_t blank_line = 0;
  while (lines.next(line)) {
    if (is_blank(line)) {
      if (blank_line == 0) blank_line = lines.line_number();
      continue;
    }
    if (blank_line > 0) throw FileFormatError(path, blank_line, "a blank line inside the data");
    double v[7];
    if (!parse_numbers(line, ',', v, 7))
      lines.fail("expected seven numbers x1,y1,z1, x2,y2,z2, I, found " + quote_line(line));
    for (const double x : v)
      if (!std::isfinite(x)) lines.fail("a value is not a finite number");
    windings.append(Segment{v[0], v[1], v[2], v[3], v[4], v[5], v[6]});
  }
  return windings;
}

}  // namespace expcoil
