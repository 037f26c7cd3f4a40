#include "io/program/windings_table.hpp"

#include <cmath>

#include "lib/errors.hpp"
#include "lib/line_reader.hpp"
#include "lib/output_file.hpp"
#include "lib/text_buffer.hpp"

namespace expcoil {

namespace {

// Into an OutputFile or a TextBuffer.
template <class Out>
void windings_table_lines(const WindingSet& windings, Out& out) {
  out.text(kWindingsCsvHeader).line_end();
  for (const Segment& s : windings) {
    out.general(s.x1, 15).text(",").general(s.y1, 15).text(",").general(s.z1, 15);
    out.text(", ").general(s.x2, 15).text(",").general(s.y2, 15).text(",").general(s.z2, 15);
    out.text(", ").general(s.current, 15).line_end();
  }
}

}  // namespace

void windings_table_write(const WindingSet& windings, const std::string& path) {
  OutputFile file(path);
  windings_table_lines(windings, file);
  file.commit_or_throw();
}

std::string windings_table_text(const WindingSet& windings) {
  TextBuffer text;
  // Room for typical lines (more only regrows); pages never written are never touched.
  text.reserve(128 * static_cast<std::size_t>(windings.count()) + 64);
  windings_table_lines(windings, text);
  return text.take();
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
