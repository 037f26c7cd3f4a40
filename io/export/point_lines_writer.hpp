// The writer shared by the text formats that list every node with its coordinates, one line per point in
// the program's CSV order (TOSCA, G4beamline): the format's own class writes its header into file_ in its
// constructor; the data lines and the commit are the same for all.
#pragma once

#include <string>
#include <vector>

#include "io/export/field_map_writer.hpp"
#include "io/text_support.hpp"
#include "lib/output_file.hpp"

namespace expcoil {

template <char* (*PutField)(char*, double)>
class PointLinesWriter : public FieldMapWriter {
 public:
  void write(const double* b, std::size_t points) final {
    file_.throw_if_failed();
    char line[kLineText];
    for (std::size_t p = 0; p < points; ++p, b += 3, walk_.next()) {
      const std::string* coordinates[3];
      for (int a = 0; a < 3; ++a) coordinates[a] = &axis_[a][static_cast<std::size_t>(walk_[a])];
      const char* end = point_line(line, coordinates, b, separator_, leading_, PutField);
      file_.text({line, static_cast<std::size_t>(end - line)});
    }
  }

  void finish() final { file_.commit_or_throw(); }

 protected:
  // Coordinates in `scale` times metres; `separator` and `leading` as point_line takes them.
  PointLinesWriter(const std::string& path, const FieldMapGrid& grid, double scale, char separator,
                   bool leading)
      : file_(path), walk_(grid, kCsvOrder), separator_(separator), leading_(leading) {
    for (int a = 0; a < 3; ++a) axis_[a] = axis_texts(grid, a, scale, put_coordinate);
  }

  OutputFile file_;

 private:
  GridWalk walk_;
  char separator_;
  bool leading_;
  std::vector<std::string> axis_[3];
};

}  // namespace expcoil
