#include "magnet/formats/windings_table.hpp"

#include "lib/errors.hpp"
#include "lib/output_file.hpp"
#include "lib/text_reader.hpp"

namespace expcoil {

namespace {

constexpr const char* kHeader = "x1 (m),y1,z1, x2,y2,z2, I (Amps)";

}  // namespace

void windings_table_write(const WindingSet& windings, const std::string& path) {
  OutputFile file(path);
  file.text(kHeader).line_end();
  for (const Segment& s : windings) {
    file.general(s.x1, 15).text(",").general(s.y1, 15).text(",").general(s.z1, 15);
    file.text(", ").general(s.x2, 15).text(",").general(s.y2, 15).text(",").general(s.z2, 15);
    file.text(", ").general(s.current, 15).line_end();
  }
  file.commit_or_throw();
}

WindingSet windings_table_read(const std::string& path) {
  TextReader reader(path);
  std::string line;
  if (!reader.next(line)) throw InputError(path + ": the file is empty, not a windings table");
  if (line != kHeader) {
    reader.fail(std::string("not a windings table: the first line is not \"") + kHeader + '"');
  }
  WindingSet windings;
  while (reader.next(line)) {
    double v[7];
    if (!parse_numbers(line, ',', v, 7)) reader.fail("expected seven numbers: x1,y1,z1, x2,y2,z2, I");
    windings.append(Segment{v[0], v[1], v[2], v[3], v[4], v[5], v[6]});
  }
  return windings;
}

}  // namespace expcoil
