#include "magnet/formats/windings_table.hpp"

#include "lib/errors.hpp"
#include "lib/output_file.hpp"

namespace expcoil {

void windings_table_write(const WindingSet& windings, const std::string& path) {
  OutputFile file(path);
  file.text("x1 (m),y1,z1, x2,y2,z2, I (Amps)").line_end();
  for (const Segment& s : windings) {
    file.general(s.x1, 15).text(",").general(s.y1, 15).text(",").general(s.z1, 15);
    file.text(", ").general(s.x2, 15).text(",").general(s.y2, 15).text(",").general(s.z2, 15);
    file.text(", ").general(s.current, 15).line_end();
  }
  file.commit_or_throw();
}

}  // namespace expcoil
